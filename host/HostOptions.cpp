// Options come before the names, as `--name VALUE` or `--name=VALUE`, each at most once; `--`
// ends them. Anything doubtful is a usage error, so a typo never runs with a default.
#include "HostOptions.h"

#include <cstring>
#include <iostream>
#include <limits>
#include <vector>

#include "PixelLimit.h"

namespace {

constexpr char kVersionLine[] = "Corvane version 1.1\n";

struct OptionRow {
    const char* Name;
    uint64_t Minimum;
    uint64_t Maximum;
};

constexpr OptionRow kOptions[] = {
    {"--max-pixels", 1, kMaxPixelLimit},
    {"--quality", 1, 100},
    {"--timeout", 1, std::numeric_limits<uint32_t>::max()},
};

// Plain decimal digits only: no sign, no spaces, no suffix.
bool ParseWholeNumber(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + uint64_t(c - '0');
    }
    return true;
}

void Store(HostOptions& options, size_t row, uint64_t value) {
    switch (row) {
        case 0:
            options.MaxPixels = value;
            break;
        case 1:
            options.Quality = int32_t(value);
            break;
        default:
            options.TimeoutSeconds = uint32_t(value);
            break;
    }
}

bool TakeOption(const std::string& argument, int& index, int argc, const char* const* argv,
                HostOptions& options, bool seen[], std::string& problem) {
    const size_t equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    for (size_t row = 0; row < std::size(kOptions); ++row) {
        if (name != kOptions[row].Name) continue;
        if (seen[row]) {
            problem = name + " is given more than once";
            return false;
        }
        seen[row] = true;
        std::string text;
        if (equals != std::string::npos) {
            text = argument.substr(equals + 1);
        } else if (index + 1 < argc) {
            text = argv[++index];
        } else {
            problem = name + " needs a value";
            return false;
        }
        uint64_t value = 0;
        if (!ParseWholeNumber(text, value) || value < kOptions[row].Minimum ||
            value > kOptions[row].Maximum) {
            problem = name + " takes a whole number from " + std::to_string(kOptions[row].Minimum) + " to " +
                      std::to_string(kOptions[row].Maximum) + ", not \"" + text + "\"";
            return false;
        }
        Store(options, row, value);
        return true;
    }
    problem = "unknown option " + name;
    return false;
}

}  // namespace

CommandLineAction ParseCommandLine(int argc, const char* const* argv, HostOptions& options,
                                   std::string& problem) {
    bool seen[std::size(kOptions)] = {};
    std::vector<std::string> names;
    int index = 1;
    for (; index < argc; ++index) {
        const std::string argument = argv[index];
        if (argument == "--") {
            ++index;
            break;
        }
        if (argument == "--help" || argument == "-h") return CommandLineAction::Help;
        if (argument == "--version") return CommandLineAction::Version;
        if (argument.size() < 2 || argument[0] != '-') break;
        if (!TakeOption(argument, index, argc, argv, options, seen, problem)) return CommandLineAction::Usage;
    }
    for (; index < argc; ++index) names.push_back(argv[index]);
    if (names.size() != 3) return CommandLineAction::Usage;
    options.Directory = names[0];
    options.Input = names[1];
    options.Output = names[2];
    return CommandLineAction::Run;
}

void PrintVersion() {
    std::cout << kVersionLine;
}

void PrintUsageBanner() {
    std::cout << "\n"
              << kVersionLine << "\n"
              << "Corvane allows the average developer to easily create their own\n"
              << "Image Manipulation software in the language of their choice\n\n"
              << "Syntax: corvane [dir] [input.bmp] [output.bmp]\n"
              << " [dir] - directory of module to manipulate image\n"
              << " [input.bmp] - input bitmap image to manipulate\n"
              << " [output.bmp] - output manipulated bitmap\n\n"
              << "Options, before [dir]:\n"
              << " --max-pixels N - refuse pictures of more than N pixels (default " << kDefaultPixelLimit
              << ")\n"
              << " --quality N - JPEG and WebP output quality, 1 to 100 (default 92);\n"
              << "               WebP at 100 is lossless: the pixels are kept exactly\n"
              << " --timeout SECONDS - stop waiting for the module after that long\n\n"
              << "Reads BMP, TGA, PNG, JPEG, GIF, TIFF, WebP, HEIC, HEIF and AVIF;\n"
              << "writes BMP, TGA, PNG, JPEG, TIFF and WebP.\n"
              << "Start the module in [dir], a folder right below this one.\n"
              << "Credits: the Corvane host and the template and ambrel modules;\n"
              << "JPEG by libjpeg-turbo, PNG by libspng, GIF input by giflib, TIFF by libtiff,\n"
              << "WebP by libwebp, HEIC, HEIF and AVIF input by libheif.\n\n";
}
