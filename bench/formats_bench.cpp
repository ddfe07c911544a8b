// TIFF, WebP and HEIF benchmark: saving and loading through the codecs next to a driver that calls
// libtiff, libwebp and libheif directly with the same settings (decode to memory, encode from
// memory, the file written or read whole), medians of 5 runs. The driver is the reference.
// Usage: formats_bench PICTURE.bmp PICTURE.heic SCRATCH_DIR
#include <tiffio.h>
#include <webp/decode.h>
#include <webp/encode.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ImageHandle.h"
#include "LibraryDrivers.h"

namespace {

constexpr int kRounds = 5;
constexpr int kWebpQuality = 92;
constexpr uint32_t kStripBytes = 64 * 1024;

double MedianMs(const std::function<bool()>& step) {
    std::vector<double> times;
    for (int i = 0; i < kRounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (!step()) std::fprintf(stderr, "step failed\n");
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[kRounds / 2];
}

Rgb ToRgb(const FCObjImage& image) {
    Rgb rgb{image.InfoHeader.biWidth, image.InfoHeader.biHeight, {}};
    rgb.bytes.resize(size_t(rgb.width) * rgb.height * 3);
    for (int y = 0; y < rgb.height; ++y) {
        const uint8_t* from = image.RowTable[y];
        uint8_t* to = rgb.bytes.data() + size_t(y) * rgb.width * 3;
        for (int x = 0; x < rgb.width * 3; x += 3)
            to[x] = from[x + 2], to[x + 1] = from[x + 1], to[x + 2] = from[x];
    }
    return rgb;
}

bool DriverWebpSave(const Rgb& rgb, const std::string& path) {
    uint8_t* out = nullptr;
    const size_t size =
        WebPEncodeRGB(rgb.bytes.data(), rgb.width, rgb.height, rgb.width * 3, kWebpQuality, &out);
    const bool ok = size > 0 && WriteWhole(path, out, size);
    WebPFree(out);
    return ok;
}

// Each load takes fresh memory for its pixels, as the codecs do, left uncleared.
using Pixels = std::unique_ptr<uint8_t[]>;

bool DriverWebpLoad(const std::string& path) {
    const std::vector<uint8_t> file = ReadWhole(path);
    int w = 0, h = 0;
    if (!WebPGetInfo(file.data(), file.size(), &w, &h)) return false;
    const size_t size = size_t(w) * h * 3;
    const Pixels pixels(new uint8_t[size]);
    return WebPDecodeRGBInto(file.data(), file.size(), pixels.get(), size, w * 3) != nullptr;
}

bool DriverTiffSave(const Rgb& rgb, const std::string& path) {
    TIFF* tif = TIFFOpen(path.c_str(), "wl");
    if (tif == nullptr) return false;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(rgb.width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(rgb.height));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, std::max<uint32_t>(1, kStripBytes / (uint32_t(rgb.width) * 3)));
    // The predictor works in place: each row goes through a scratch copy, or the next round would
    // compress the differences.
    std::vector<uint8_t> row(size_t(rgb.width) * 3);
    bool ok = true;
    for (int y = 0; y < rgb.height && ok; ++y) {
        const uint8_t* from = rgb.bytes.data() + size_t(y) * row.size();
        std::copy(from, from + row.size(), row.begin());
        ok = TIFFWriteScanline(tif, row.data(), y, 0) >= 0;
    }
    TIFFClose(tif);
    return ok;
}

bool DriverTiffLoad(const std::string& path) {
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (tif == nullptr) return false;
    uint32_t w = 0, h = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    const size_t size = size_t(w) * h * 3;
    const Pixels pixels(new uint8_t[size]);
    bool ok = true;
    size_t at = 0;
    for (uint32_t s = 0; s < TIFFNumberOfStrips(tif) && ok; ++s) {
        const tmsize_t got = TIFFReadEncodedStrip(tif, s, pixels.get() + at, tmsize_t(size - at));
        ok = got >= 0;
        at += size_t(got);
    }
    TIFFClose(tif);
    return ok;
}

void Row(const char* what, double ours, double driver) {
    std::printf("  %-12s corvane %7.1f ms   library driver %7.1f ms   ratio %.2f\n", what, ours, driver,
                ours / driver);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s PICTURE.bmp PICTURE.heic SCRATCH_DIR\n", argv[0]);
        return 2;
    }
    FCObjImage picture;
    if (!picture.LoadFromFile(argv[1])) return 1;
    const std::string dir = argv[3];
    const Rgb rgb = ToRgb(picture);
    for (const char* extension : {"webp", "tif"}) {
        const bool webp = extension[0] == 'w';
        const std::string ours = dir + "/corvane." + extension, driver = dir + "/driver." + extension;
        const double saveOurs = MedianMs([&] { return picture.SaveToFile(ours.c_str()); });
        const double saveDriver =
            MedianMs([&] { return webp ? DriverWebpSave(rgb, driver) : DriverTiffSave(rgb, driver); });
        Row(webp ? "WebP save" : "TIFF save", saveOurs, saveDriver);
        const double loadOurs = MedianMs([&] {
            FCObjImage back;
            return back.LoadFromFile(ours.c_str());
        });
        const double loadDriver =
            MedianMs([&] { return webp ? DriverWebpLoad(driver) : DriverTiffLoad(driver); });
        Row(webp ? "WebP load" : "TIFF load", loadOurs, loadDriver);
    }
    const double heifOurs = MedianMs([&] {
        FCObjImage back;
        return back.LoadFromFile(argv[2]);
    });
    Row("HEIC load", heifOurs, MedianMs([&] { return DriverHeifLoad(argv[2]); }));
    return 0;
}
