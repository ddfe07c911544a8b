// Options come before the names, as `--name VALUE` or `--name=VALUE` (switches without a value),
// each at most once; `--` ends them. Anything doubtful is a usage error, so a typo never runs with a default.
#include "HostOptions.h"

#include <cstring>
#include <iostream>
#include <limits>
#include <vector>

#include "CorvaneVersion.h"
#include "ImageFormats.h"
#include "LossyQuality.h"
#include "PixelLimit.h"

namespace {

// Each row stores its own value, so the table can be reordered or grown without a switch to
// keep in step.
struct OptionRow {
    const char* Name;
    uint64_t Minimum;
    uint64_t Maximum;
    void (*Store)(HostOptions& options, uint64_t value);
};

constexpr OptionRow kOptions[] = {
    {"--max-pixels", 1, kMaxPixelLimit, [](HostOptions& o, uint64_t v) { o.MaxPixels = v; }},
    {"--quality", kMinQuality, kMaxQuality, [](HostOptions& o, uint64_t v) { o.Quality = int32_t(v); }},
    {"--timeout", 1, std::numeric_limits<uint32_t>::max(),
     [](HostOptions& o, uint64_t v) { o.TimeoutSeconds = uint32_t(v); }},
};

struct SwitchRow {
    const char* Name;
    bool HostOptions::*Field;
};

constexpr SwitchRow kSwitches[] = {
    {"--strip", &HostOptions::Strip},
    {"--auto-orient", &HostOptions::AutoOrient},
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

bool TakeOption(const std::string& argument, int& index, int argc, const char* const* argv,
                HostOptions& options, bool seen[], std::string& problem) {
    const size_t equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    for (const SwitchRow& row : kSwitches) {
        if (name != row.Name) continue;
        if (options.*row.Field) {
            problem = name + " is given more than once";
        } else if (equals != std::string::npos) {
            problem = name + " takes no value";
        } else {
            options.*row.Field = true;
            return true;
        }
        return false;
    }
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
        kOptions[row].Store(options, value);
        return true;
    }
    problem = "unknown option " + name;
    return false;
}

// Lines of the usage text are kept within this width; a long list of formats wraps at a blank.
constexpr size_t kUsageWidth = 96;

std::string Wrapped(const std::string& text) {
    std::string out;
    size_t start = 0;
    while (text.size() - start > kUsageWidth) {
        const size_t blank = text.rfind(' ', start + kUsageWidth);
        const size_t end = blank == std::string::npos || blank <= start ? start + kUsageWidth : blank;
        out += text.substr(start, end - start) + "\n";
        start = end + (end < text.size() && text[end] == ' ' ? 1 : 0);
        out += " ";
    }
    return out + text.substr(start) + "\n";
}

}  // namespace

CommandLineAction ParseCommandLine(int argc, const char* const* argv, HostOptions& options,
                                   std::string& problem) {
    bool seen[std::size(kOptions)] = {};
    std::vector<std::string> names;
    bool optionsEnded = false;
    int index = 1;
    for (; index < argc; ++index) {
        const std::string argument = argv[index];
        if (argument == "--") {
            optionsEnded = true;
            ++index;
            break;
        }
        if (argument == "--help" || argument == "-h") return CommandLineAction::Help;
        if (argument == "--version") return CommandLineAction::Version;
        if (argument.size() < 2 || argument[0] != '-') break;
        if (!TakeOption(argument, index, argc, argv, options, seen, problem)) return CommandLineAction::Usage;
    }
    for (; index < argc; ++index) names.push_back(argv[index]);
    for (size_t k = 1; k < names.size() && !optionsEnded; ++k) {
        if (names[k].size() >= 2 && names[k][0] == '-') {
            problem = names[k] + " comes after DIR; options go before DIR";
            return CommandLineAction::Usage;
        }
    }
    if (names.size() != 3) {
        problem = std::to_string(names.size()) + (names.size() == 1 ? " name" : " names") +
                  " given; corvane needs three: DIR IN OUT";
        return CommandLineAction::Usage;
    }
    options.Directory = names[0];
    options.Input = names[1];
    options.Output = names[2];
    return CommandLineAction::Run;
}

void PrintVersion() {
    std::cout << kVersionLine << "\n";
}

void PrintUsageBanner() {
    std::cout
        << "\n"
        << kVersionLine << "\n\n"
        << "Corvane allows the average developer to easily create their own\n"
        << "Image Manipulation software in the language of their choice\n\n"
        << "Syntax: corvane [dir] [input.bmp] [output.bmp]\n"
        << " [dir] - directory of module to manipulate image\n"
        << " [input.bmp] - input bitmap image to manipulate\n"
        << " [output.bmp] - output manipulated bitmap\n\n"
        << "Options, before [dir]:\n"
        << " --max-pixels N - refuse pictures of more than N pixels (default " << kDefaultPixelLimit << ")\n"
        << " --quality N - JPEG and WebP output quality, " << kMinQuality << " to " << kMaxQuality
        << " (default " << kDefaultQuality << ");\n"
        << "               WebP at " << kMaxQuality << " is lossless: the pixels are kept exactly\n"
        << " --timeout SECONDS - stop waiting for the module after that long\n"
        << " --strip - keep no colour profile, EXIF or XMP in the output\n"
        << " --auto-orient - turn the picture upright as its orientation says (phone photos)\n\n"
        << Wrapped("Reads " + ReadFormatNames() + ".") << Wrapped("Writes " + WrittenFormatNames() + ".")
        << "What each output keeps besides the pixels (the rest is said in a warning):\n"
        << WhatEachOutputKeeps(" ")
        << "Samples above 8 bits are narrowed to 8 with rounding. A picture whose orientation the output\n"
        << "cannot keep (or --strip drops) is turned first, so it shows as the input did.\n"
        << "Start the module in [dir], a folder right below this one.\n"
        << "Installed, template and ambrel live in PREFIX/lib/corvane/modules/ (a build: build/bin/);\n"
        << "corvane-batch runs a module over many pictures.\n"
        << "Credits: the Corvane host and the template and ambrel modules;\n"
        << "JPEG by libjpeg-turbo, PNG by libspng, GIF input by giflib, TIFF by libtiff,\n"
        << "WebP by libwebp, HEIC, HEIF and AVIF input by libheif.\n\n";
}
