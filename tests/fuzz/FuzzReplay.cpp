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
#include "ImageFormats.h"

namespace {

namespace fs = std::filesystem;

struct ReplayTarget {
    std::string Name;
    int (*Run)(const uint8_t*, size_t);  // null: the codec of the format whose key is Key
    const char* Key;
    std::vector<std::string> Extensions;
};

// A row of the format list as the fuzz programs take it: the program that reads its files.
struct FormatProgram {
    const char* Key;
    const char* Name;
    int (*Run)(const uint8_t*, size_t);
};

// clang-format off
#define FORMAT(key) [] { FormatProgram p{#key, #key, nullptr};
#define FUZZ(target, entry) p.Name = #target; p.Run = entry;
#define END_FORMAT return p; }(),
// clang-format on
constexpr FormatProgram kFormatPrograms[] = {
#include "formats.def"
};

// The targets of the inputs that are no picture, then one per fuzz program of the formats, which
// reads the files of every format whose row names it.
std::vector<ReplayTarget> Targets() {
    std::vector<ReplayTarget> targets = {
        {"exchange", FuzzExchangeDocument, nullptr, {".xml"}},
        {"serialize", FuzzSerializeRestore, nullptr, {".rec"}},
        {"exif", FuzzExifWalk, nullptr, {".exif"}},
    };
    for (const FormatProgram& program : kFormatPrograms) {
        auto target = std::find_if(targets.begin(), targets.end(),
                                   [&](const ReplayTarget& t) { return t.Name == program.Name; });
        if (target == targets.end())
            target = targets.insert(targets.end(), {program.Name, program.Run, program.Key, {}});
        for (const ImageFormat* format = ImageFormats(); format->Name != nullptr; ++format) {
            if (std::strcmp(format->Key, program.Key) != 0) continue;
            for (size_t i = 0; i < format->ExtensionCount; ++i)
                target->Extensions.push_back(std::string(".") + format->Extensions[i].Extension);
        }
    }
    return targets;
}

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
    const std::vector<ReplayTarget> targets = Targets();
    const ReplayTarget* target = nullptr;
    std::string names;
    for (const ReplayTarget& t : targets) {
        if (argc >= 2 && t.Name == argv[1]) target = &t;
        names += (names.empty() ? "" : "|") + t.Name;
    }
    if (target == nullptr || argc < 3) {
        std::fprintf(stderr, "usage: %s %s PATH...\n", argv[0], names.c_str());
        return 2;
    }
    const std::vector<fs::path> inputs = CollectInputs(*target, argv + 2, argc - 2);
    // An empty list means a wrong path, not a pass.
    if (inputs.empty()) {
        std::fprintf(stderr, "no %s inputs found\n", target->Name.c_str());
        return 1;
    }
    for (const fs::path& path : inputs) {
        // Named before it runs, so a crash shows which file caused it.
        std::fprintf(stderr, "%s\n", path.c_str());
        std::ifstream in(path, std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
        if (target->Run != nullptr)
            target->Run(bytes.data(), bytes.size());
        else
            FuzzFormatLoad(target->Key, bytes.data(), bytes.size());
    }
    std::printf("%zu %s inputs replayed\n", inputs.size(), target->Name.c_str());
    return 0;
}
