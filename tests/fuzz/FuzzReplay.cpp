// Replays files through the fuzz targets, built with the ordinary compiler, so that every seed and
// every crash input ever kept runs again in the test suite.
// Usage: fuzz_replay TARGET PATH...; folders are searched for the target's file types.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzTargets.h"

namespace {

namespace fs = std::filesystem;

struct ReplayTarget {
    const char* Name;
    int (*Run)(const uint8_t*, size_t);
    std::vector<std::string> Extensions;
};

const ReplayTarget kTargets[] = {
    {"exchange", FuzzExchangeDocument, {".xml"}},
    {"bmp", FuzzBmpLoad, {".bmp"}},
    {"tga", FuzzTgaLoad, {".tga"}},
    {"pnm", FuzzPnmLoad, {".pbm", ".pgm", ".ppm", ".pnm", ".pam"}},
    {"picture", FuzzPictureLoadMemory, {".jpg", ".jpeg", ".gif"}},
    {"png", FuzzPngLoadMemory, {".png"}},
    {"serialize", FuzzSerializeRestore, {".rec"}},
    {"exif", FuzzExifWalk, {".exif"}},
    {"tiff", FuzzTiffLoadMemory, {".tif", ".tiff"}},
    {"webp", FuzzWebpLoadMemory, {".webp"}},
    {"heif", FuzzHeifLoadMemory, {".heic", ".heif", ".avif"}},
};

bool Matches(const ReplayTarget& target, const fs::path& path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return std::find(target.Extensions.begin(), target.Extensions.end(), extension) !=
           target.Extensions.end();
}

std::vector<fs::path> CollectInputs(const ReplayTarget& target, char** paths, int count) {
    std::vector<fs::path> inputs;
    for (int i = 0; i < count; ++i) {
        if (fs::is_regular_file(paths[i])) {
            inputs.emplace_back(paths[i]);
            continue;
        }
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(paths[i])) {
            if (entry.is_regular_file() && Matches(target, entry.path())) inputs.push_back(entry.path());
        }
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

}  // namespace

int main(int argc, char** argv) {
    const ReplayTarget* target = nullptr;
    for (const ReplayTarget& t : kTargets) {
        if (argc >= 2 && std::strcmp(argv[1], t.Name) == 0) target = &t;
    }
    if (target == nullptr || argc < 3) {
        std::fprintf(stderr,
                     "usage: %s exchange|bmp|tga|pnm|picture|png|serialize|exif|tiff|webp|heif PATH...\n",
                     argv[0]);
        return 2;
    }
    const std::vector<fs::path> inputs = CollectInputs(*target, argv + 2, argc - 2);
    // An empty list means a wrong path, not a pass.
    if (inputs.empty()) {
        std::fprintf(stderr, "no %s inputs found\n", target->Name);
        return 1;
    }
    for (const fs::path& path : inputs) {
        // Named before it runs, so a crash shows which file caused it.
        std::fprintf(stderr, "%s\n", path.c_str());
        std::ifstream in(path, std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
        target->Run(bytes.data(), bytes.size());
    }
    std::printf("%zu %s inputs replayed\n", inputs.size(), target->Name);
    return 0;
}
