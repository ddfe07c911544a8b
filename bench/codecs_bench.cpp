// Codec benchmark: saves and loads a 64-megapixel 24-bit image as BMP and TGA and prints MB/s
// beside a plain memory copy of the same bytes; or, given a picture, times saving it as PNG and JPEG
// and loading the PNG back (medians of several runs, for comparison with other programs).
// Usage: codecs_bench [scratch dir] | codecs_bench --formats PICTURE.bmp SCRATCH_DIR
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ImageHandle_Bmp.h"
#include "ImageHandle_Jpeg.h"
#include "ImageHandle_Png.h"
#include "ImageHandle_Tga.h"

namespace {

constexpr int32_t kSide = 8192;  // 8192 x 8192 = 64 megapixels
constexpr int kRounds = 3;
constexpr int kFormatRounds = 5;
constexpr double kMillisecondsPerSecond = 1000.0;

double Seconds(const std::function<bool()>& step) {
    const auto start = std::chrono::steady_clock::now();
    if (!step()) std::fprintf(stderr, "step failed\n");
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Best of a few rounds: the first writes of a run also pay for the kernel's fresh page-cache pages.
template <class Codec>
void Measure(const char* label, const FCObjImage& image, const std::string& path, int32_t flag, double mb) {
    double save = 1e9, load = 1e9;
    for (int round = 0; round < kRounds; ++round) {
        save = std::min(save, Seconds([&] {
                            Codec codec;
                            codec.SaveList.push_back(&image);
                            return codec.SaveFile(path.c_str(), flag);
                        }));
        load = std::min(load, Seconds([&] {
                            Codec codec;
                            return codec.LoadFile(path.c_str());
                        }));
    }
    std::printf("%-10s save %7.0f MB/s   load %7.0f MB/s\n", label, mb / save, mb / load);
    std::remove(path.c_str());
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

long FileBytes(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

// Median save time of one codec, and the size of the file it wrote.
template <class Codec>
void MeasureSave(const char* label, const FCObjImage& image, const std::string& path, int32_t flag) {
    std::vector<double> times;
    for (int round = 0; round < kFormatRounds; ++round) {
        times.push_back(Seconds([&] {
            Codec codec;
            codec.SaveList.push_back(&image);
            return codec.SaveFile(path.c_str(), flag);
        }));
    }
    std::printf("  %-22s %7.0f ms  %10ld bytes\n", label, Median(times) * kMillisecondsPerSecond,
                FileBytes(path));
}

template <class Codec>
void MeasureLoad(const char* label, const std::string& path) {
    std::vector<double> times;
    for (int round = 0; round < kFormatRounds; ++round) {
        times.push_back(Seconds([&] {
            Codec codec;
            return codec.LoadFile(path.c_str());
        }));
    }
    std::printf("  %-22s %7.0f ms\n", label, Median(times) * kMillisecondsPerSecond);
}

int MeasureFormats(const std::string& picture, const std::string& dir) {
    FCObjImage image;
    if (!image.LoadFromFile(picture.c_str())) {
        std::fprintf(stderr, "codecs_bench: cannot load %s\n", picture.c_str());
        return 1;
    }
    const std::string png = dir + "/corvane.png";
    MeasureSave<FCImageHandle_Png>("corvane PNG save", image, png, -1);
    MeasureLoad<FCImageHandle_Png>("corvane PNG load", png);
    MeasureSave<FCImageHandle_Jpeg>("corvane JPEG save q92", image, dir + "/corvane.jpg", -1);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--formats") return MeasureFormats(argv[2], argv[3]);
    const std::string dir = argc > 1 ? argv[1] : "/tmp";
    FCObjImage image;
    if (!image.Create(kSide, kSide, 24)) return 1;
    for (int32_t y = 0; y < kSide; ++y)
        for (int32_t i = 0; i < kSide * 3; ++i) image.RowTable[y][i] = uint8_t((i / 96 + y / 32) * 17);
    const size_t bytes = size_t(kSide) * size_t(image.Stride());
    const double mb = double(bytes) / (1024.0 * 1024.0);
    // Two references: a copy into memory already in use, and one into fresh pages, which is what
    // a load writes to (the first touch of each page dominates on many machines).
    std::vector<uint8_t> warm(bytes);
    const double warmTime = Seconds([&] {
        std::memcpy(warm.data(), image.PixelStore, bytes);
        return true;
    });
    const double freshTime = Seconds([&] {
        FCObjImage fresh;
        return fresh.Create(kSide, kSide, 24) && std::memcpy(fresh.PixelStore, image.PixelStore, bytes);
    });
    std::printf("%-10s warm %7.0f MB/s   fresh %7.0f MB/s\n", "memcpy", mb / warmTime, mb / freshTime);
    Measure<FCImageHandle_Bmp>("BMP", image, dir + "/bench.bmp", -1, mb);
    Measure<FCImageHandle_Tga>("TGA raw", image, dir + "/bench.tga", -1, mb);
    Measure<FCImageHandle_Tga>("TGA RLE", image, dir + "/bench-rle.tga", 1, mb);
    return 0;
}
