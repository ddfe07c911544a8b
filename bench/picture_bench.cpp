// Times FCImageHandle_IPicture::LoadMemory on one JPEG or GIF file (best of several rounds, file
// already in memory) and prints milliseconds and megapixels per second.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iterator>
#include <vector>

#include "ImageHandle_Jpeg.h"

namespace {

constexpr int kDefaultRounds = 3;
constexpr double kMillisecondsPerSecond = 1000.0;
constexpr double kPixelsPerMegapixel = 1e6;

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: picture_bench FILE [ROUNDS]\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : kDefaultRounds;
    double best = 1e9;
    int32_t width = 0;
    int32_t height = 0;
    for (int round = 0; round < rounds; ++round) {
        FCImageHandle_Jpeg codec;
        const auto start = std::chrono::steady_clock::now();
        const bool loaded = codec.LoadMemory(bytes.data(), int32_t(bytes.size()));
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        if (!loaded) {
            std::fprintf(stderr, "picture_bench: %s was refused\n", argv[1]);
            return 1;
        }
        std::deque<FCObjImage*> list;
        codec.GetImageList(list, false);
        width = list.front()->InfoHeader.biWidth;
        height = list.front()->InfoHeader.biHeight;
        best = std::min(best, elapsed.count());
    }
    const double megapixels = double(width) * height / kPixelsPerMegapixel;
    std::printf("%s: %d x %d, best of %d: %.1f ms, %.1f MP/s\n", argv[1], width, height, rounds,
                best * kMillisecondsPerSecond, megapixels / best);
    return 0;
}
