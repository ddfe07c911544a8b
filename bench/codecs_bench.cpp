// Codec benchmark: saves and loads 12- and 64-megapixel 24-bit pictures as BMP and TGA through
// FCObjImage::LoadFromFile (medians and worst of several rounds), and times fresh pixel blocks
// with and without the huge-page hint. The machine is shared: only medians are worth quoting.
// Given a picture, it times saving it as PNG and JPEG and loading the PNG back instead.
// Usage: codecs_bench [scratch dir] [codecs|hugepages]...   (codecs alone by default)
//        codecs_bench --load FILE   loads one file and prints the process's peak resident set
//        codecs_bench --formats PICTURE.bmp SCRATCH_DIR
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ImageHandle_Bmp.h"
#include "ImageHandle_Jpeg.h"
#include "ImageHandle_Png.h"
#include "ImageHandle_Tga.h"

namespace {

constexpr int kLoadRounds = 7;
// Huge-page effects swing from run to run; a verdict needs many rounds of both sides.
constexpr int kHintRounds = 20;

struct Picture {
    const char* label;
    int32_t width, height;
};
constexpr Picture kPictures[] = {{"12 MP", 4000, 3000}, {"64 MP", 8192, 8192}};

double Seconds(const std::function<bool()>& step) {
    const auto start = std::chrono::steady_clock::now();
    if (!step()) std::fprintf(stderr, "step failed\n");
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Stats {
    double median, worst;
};

Stats Summarise(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times.back()};
}

void PrintStats(const char* what, const char* label, const Stats& s) {
    std::printf("  %-26s %-6s median %7.1f ms   worst %7.1f ms\n", what, label, 1000 * s.median,
                1000 * s.worst);
}

std::string FirstLine(const char* path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line.empty() ? "unknown" : line;
}

bool Save(const FCObjImage& image, const std::string& path, bool tga, int32_t flag) {
    if (!tga) {
        FCImageHandle_Bmp codec;
        codec.SaveList.push_back(&image);
        return codec.SaveFile(path.c_str(), flag);
    }
    FCImageHandle_Tga codec;
    codec.SaveList.push_back(&image);
    return codec.SaveFile(path.c_str(), flag);
}

// Noisy but compressible content: runs of equal pixels for the run-length coder, and no page
// of the file that the kernel could share.
void Fill(FCObjImage& image) {
    uint32_t state = 7;
    for (int32_t y = 0; y < image.InfoHeader.biHeight; ++y) {
        uint8_t* row = image.RowTable[y];
        for (int32_t x = 0; x < image.InfoHeader.biWidth; ++x) {
            if (x % 4 == 0) state = state * 1664525u + 1013904223u;
            row[3 * x] = uint8_t(state >> 24), row[3 * x + 1] = uint8_t(state >> 16);
            row[3 * x + 2] = uint8_t(state >> 8);
        }
    }
}

void BenchCodecs(const std::string& dir) {
    struct Format {
        const char* name;
        const char* file;
        bool tga;
        int32_t flag;
    };
    const Format formats[] = {{"BMP", "bench.bmp", false, -1},
                              {"TGA raw", "bench.tga", true, -1},
                              {"TGA RLE", "bench-rle.tga", true, 1}};
    for (const Picture& picture : kPictures) {
        std::printf("LoadFromFile, 24-bit %d x %d (%s), %d rounds:\n", picture.width, picture.height,
                    picture.label, kLoadRounds);
        FCObjImage image;
        if (!image.Create(picture.width, picture.height, 24)) return;
        Fill(image);
        for (const Format& f : formats) {
            if (!Save(image, dir + "/" + f.file, f.tga, f.flag)) std::fprintf(stderr, "save failed\n");
        }
        // Written-back files: the kernel's flushing of the fresh files must not land in a round.
        sync();
        std::vector<double> times[3];
        // Formats alternate inside each round, so a noisy moment hits all of them alike.
        for (int round = 0; round < kLoadRounds; ++round) {
            for (int i = 0; i < 3; ++i) {
                const std::string path = dir + "/" + formats[i].file;
                times[i].push_back(Seconds([&] {
                    FCObjImage loaded;
                    return loaded.LoadFromFile(path.c_str());
                }));
            }
        }
        for (int i = 0; i < 3; ++i) {
            PrintStats(formats[i].name, "load", Summarise(times[i]));
            std::remove((dir + "/" + formats[i].file).c_str());
        }
    }
}

// A block mapped the way AllocBlock maps large pictures, hinted or not.
uint8_t* MapFresh(size_t bytes, bool hint) {
    void* base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    if (hint) madvise(base, bytes, MADV_HUGEPAGE);
    return static_cast<uint8_t*>(base);
}

bool ReadWhole(int fd, uint8_t* to, size_t bytes, off_t at) {
    for (size_t done = 0; done < bytes;) {
        const ssize_t got = pread(fd, to + done, bytes - done, at + off_t(done));
        if (got <= 0) return false;
        done += size_t(got);
    }
    return true;
}

// First touch (every byte written, as a decoder does) and a whole read of a file's pixel data
// straight into the block (as the BMP reader does), mapping and unmapping included.
void BenchHugePageHint(const std::string& dir) {
    std::printf("fresh pixel blocks with and without the huge-page hint, %d rounds alternating:\n",
                kHintRounds);
    for (const Picture& picture : kPictures) {
        const size_t bytes = size_t(picture.width) * size_t(picture.height) * 3;
        const std::string path = dir + "/hint.raw";
        {
            std::vector<uint8_t> content(bytes, 0x5A);
            std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(content.data()), bytes);
        }
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        std::vector<double> touch[2], read[2];
        for (int round = 0; round < kHintRounds; ++round) {
            for (int hint = 0; hint < 2; ++hint) {
                touch[hint].push_back(Seconds([&] {
                    uint8_t* block = MapFresh(bytes, hint != 0);
                    if (block == nullptr) return false;
                    std::memset(block, 0x33, bytes);
                    return munmap(block, bytes) == 0;
                }));
                read[hint].push_back(Seconds([&] {
                    uint8_t* block = MapFresh(bytes, hint != 0);
                    if (block == nullptr) return false;
                    const bool ok = ReadWhole(fd, block, bytes, 0);
                    return munmap(block, bytes) == 0 && ok;
                }));
            }
        }
        close(fd);
        std::remove(path.c_str());
        PrintStats("first touch, no hint", picture.label, Summarise(touch[0]));
        PrintStats("first touch, MADV_HUGEPAGE", picture.label, Summarise(touch[1]));
        PrintStats("file read, no hint", picture.label, Summarise(read[0]));
        PrintStats("file read, MADV_HUGEPAGE", picture.label, Summarise(read[1]));
    }
}

int LoadOne(const char* path) {
    FCObjImage image;
    const bool loaded = image.LoadFromFile(path);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%s: %s, %d x %d, peak resident %.1f MB\n", path, loaded ? "loaded" : "refused",
                image.InfoHeader.biWidth, image.InfoHeader.biHeight, double(usage.ru_maxrss) / 1024.0);
    return loaded ? 0 : 1;
}

constexpr int kFormatRounds = 5;
constexpr double kMillisecondsPerSecond = 1000.0;

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
void MeasureSave(const char* label, const FCObjImage& image, const std::string& path, int32_t flag,
                 const PictureMetadata* metadata = nullptr) {
    std::vector<double> times;
    for (int round = 0; round < kFormatRounds; ++round) {
        times.push_back(Seconds([&] {
            Codec codec;
            codec.SaveList.push_back(&image);
            codec.SaveMetadata = metadata;
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
    // What a phone photo carries: a 70 KB profile in two segments, EXIF and XMP of a few KB.
    PictureMetadata metadata;
    metadata.IccProfile.assign(70000, 0x11);
    metadata.Exif.assign(4000, 0x22);
    metadata.Xmp.assign(3000, 0x33);
    MeasureSave<FCImageHandle_Jpeg>("  + profile, EXIF, XMP", image, dir + "/corvane-meta.jpg", -1,
                                    &metadata);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--load") return LoadOne(argv[2]);
    if (argc == 4 && std::string(argv[1]) == "--formats") return MeasureFormats(argv[2], argv[3]);
    const std::string dir = argc > 1 ? argv[1] : "/tmp";
    std::vector<std::string> sections(argv + std::min(argc, 2), argv + argc);
    if (sections.empty()) sections = {"codecs"};
    std::printf("codecs_bench: %u cores, transparent huge pages: %s\n", std::thread::hardware_concurrency(),
                FirstLine("/sys/kernel/mm/transparent_hugepage/enabled").c_str());
    for (const std::string& section : sections) {
        if (section == "codecs") BenchCodecs(dir);
        if (section == "hugepages") BenchHugePageHint(dir);
    }
    return 0;
}
