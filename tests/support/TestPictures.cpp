// The tests' own picture files (see the header).
#include "TestPictures.h"

#include <spng.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>

namespace {

std::string Extension(const std::string& path) {
    std::string e = path.substr(path.rfind('.') + 1);
    for (char& c : e) c = char(std::tolower(static_cast<unsigned char>(c)));
    return e;
}

void Put(std::string& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += char(value >> (8 * i));
}

void PutBigEndian(std::string& out, uint32_t value) {
    for (int i = 3; i >= 0; --i) out += char(value >> (8 * i));
}

uint32_t Get(const std::string& in, size_t at, int bytes) {
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | uint8_t(in[at + size_t(i)]);
    return value;
}

std::string BmpBytes(const Picture& p) {
    const uint32_t stride = (uint32_t(p.Width) * 3 + 3) & ~3u;
    const uint32_t pixels = stride * uint32_t(p.Height);
    std::string out = "BM";
    Put(out, 54 + pixels, 4), Put(out, 0, 4), Put(out, 54, 4);
    Put(out, 40, 4), Put(out, uint32_t(p.Width), 4), Put(out, uint32_t(p.Height), 4);
    Put(out, 1, 2), Put(out, 24, 2), Put(out, 0, 4), Put(out, pixels, 4);
    Put(out, 2835, 4), Put(out, 2835, 4), Put(out, 0, 4), Put(out, 0, 4);
    for (int32_t y = p.Height - 1; y >= 0; --y) {
        for (int32_t x = 0; x < p.Width; ++x)
            out += {char(p.At(x, y).Blue), char(p.At(x, y).Green), char(p.At(x, y).Red)};
        out.append(stride - uint32_t(p.Width) * 3, '\0');
    }
    return out;
}

std::string TgaBytes(const Picture& p) {
    std::string out(12, '\0');
    out[2] = 2;  // uncompressed true colour
    Put(out, uint32_t(p.Width), 2), Put(out, uint32_t(p.Height), 2);
    out += {24, 0};  // bottom-left origin
    for (int32_t y = p.Height - 1; y >= 0; --y)
        for (int32_t x = 0; x < p.Width; ++x)
            out += {char(p.At(x, y).Blue), char(p.At(x, y).Green), char(p.At(x, y).Red)};
    return out;
}

uint32_t Crc32(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFF;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = crc & 1 ? 0xEDB88320 ^ (crc >> 1) : crc >> 1;
    }
    return ~crc;
}

void PutChunk(std::string& out, const std::string& typeAndData) {
    PutBigEndian(out, uint32_t(typeAndData.size() - 4));
    out += typeAndData;
    PutBigEndian(out, Crc32(typeAndData));
}

// Filter type 0 on every row and the zlib stream as stored blocks of at most 65535 bytes.
std::string PngBytes(const Picture& p) {
    std::string raw;
    for (int32_t y = 0; y < p.Height; ++y) {
        raw += '\0';
        for (int32_t x = 0; x < p.Width; ++x)
            raw += {char(p.At(x, y).Red), char(p.At(x, y).Green), char(p.At(x, y).Blue)};
    }
    std::string zlib = "\x78\x01";
    for (size_t at = 0; at == 0 || at < raw.size(); at += 65535) {
        const size_t n = std::min<size_t>(65535, raw.size() - at);
        zlib += char(at + n == raw.size());
        Put(zlib, uint32_t(n), 2), Put(zlib, uint32_t(~n & 0xFFFF), 2);
        zlib.append(raw, at, n);
    }
    uint32_t a = 1, b = 0;
    for (unsigned char c : raw) a = (a + c) % 65521, b = (b + a) % 65521;
    PutBigEndian(zlib, b << 16 | a);
    std::string out = "\x89PNG\r\n\x1a\n", header = "IHDR";
    PutBigEndian(header, uint32_t(p.Width)), PutBigEndian(header, uint32_t(p.Height));
    header += {8, 2, 0, 0, 0};
    PutChunk(out, header);
    PutChunk(out, "IDAT" + zlib);
    PutChunk(out, "IEND");
    return out;
}

bool LoadPng(const std::string& bytes, Picture& picture) {
    spng_ctx* png = spng_ctx_new(0);
    spng_ihdr header{};
    size_t size = 0;
    std::vector<uint8_t> rgb;
    bool ok = png != nullptr && spng_set_png_buffer(png, bytes.data(), bytes.size()) == 0 &&
              spng_get_ihdr(png, &header) == 0 && spng_decoded_image_size(png, SPNG_FMT_RGB8, &size) == 0;
    if (ok) {
        rgb.resize(size);
        ok = spng_decode_image(png, rgb.data(), size, SPNG_FMT_RGB8, 0) == 0;
    }
    spng_ctx_free(png);
    if (!ok) return false;
    picture = Picture{int32_t(header.width), int32_t(header.height), {}};
    for (size_t i = 0; i + 2 < rgb.size(); i += 3) picture.Pixels.push_back({rgb[i], rgb[i + 1], rgb[i + 2]});
    return true;
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const Rgb& p) {
    return out << '(' << int(p.Red) << ',' << int(p.Green) << ',' << int(p.Blue) << ')';
}

bool SavePicture(const Picture& picture, const std::string& path) {
    const std::string extension = Extension(path);
    const std::string bytes = extension == "bmp"   ? BmpBytes(picture)
                              : extension == "tga" ? TgaBytes(picture)
                              : extension == "png" ? PngBytes(picture)
                                                   : std::string();
    std::ofstream out(path, std::ios::binary);
    return !bytes.empty() && out.write(bytes.data(), std::streamsize(bytes.size())).good();
}

bool LoadPicture(const std::string& path, Picture& picture) {
    std::ifstream in(path, std::ios::binary);
    const std::string f{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::string extension = Extension(path);
    if (extension == "png") return LoadPng(f, picture);
    int32_t width = 0, height = 0;
    size_t at = 0, stride = 0;
    bool topDown = false;
    if (extension == "bmp") {
        if (f.size() < 54 || f.compare(0, 2, "BM") != 0 || Get(f, 28, 2) != 24 || Get(f, 30, 4) != 0)
            return false;
        width = int32_t(Get(f, 18, 4)), height = int32_t(Get(f, 22, 4)), at = Get(f, 10, 4);
        topDown = height < 0, height = topDown ? -height : height;
        stride = (size_t(width) * 3 + 3) & ~size_t(3);
    } else if (extension == "tga") {
        if (f.size() < 18 || f[2] != 2 || f[16] != 24) return false;
        width = int32_t(Get(f, 12, 2)), height = int32_t(Get(f, 14, 2)), at = 18 + uint8_t(f[0]);
        topDown = (f[17] & 0x20) != 0;
        stride = size_t(width) * 3;
    } else {
        return false;
    }
    if (width <= 0 || height <= 0 || at + stride * size_t(height) > f.size()) return false;
    picture = Picture{width, height, {}};
    for (int32_t y = 0; y < height; ++y) {
        const size_t row = at + stride * size_t(topDown ? y : height - 1 - y);
        for (int32_t x = 0; x < width; ++x) {
            const size_t p = row + 3 * size_t(x);
            picture.Pixels.push_back({uint8_t(f[p + 2]), uint8_t(f[p + 1]), uint8_t(f[p])});
        }
    }
    return true;
}

bool LoadRawRgb(const std::string& path, int32_t width, int32_t height, Picture& picture) {
    std::ifstream in(path, std::ios::binary);
    const std::string f{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (width <= 0 || height <= 0 || f.size() != size_t(width) * size_t(height) * 3) return false;
    picture = Picture{width, height, {}};
    for (size_t i = 0; i < f.size(); i += 3)
        picture.Pixels.push_back({uint8_t(f[i]), uint8_t(f[i + 1]), uint8_t(f[i + 2])});
    return true;
}
