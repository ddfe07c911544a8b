// Options come before the names, as `--name VALUE` or `--name=VALUE` (switches without a value),
// each at most once; `--` ends them. Anything doubtful is a usage error, so a typo never runs with a default.
#include "HostOptions.h"

#include <fcntl.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <iostream>
#include <iterator>
#include <limits>
#include <vector>

#include "CorvaneVersion.h"
#include "HostStatus.h"
#include "ImageFormats.h"
#include "LossyQuality.h"
#include "PixelLimit.h"

namespace {

enum class OptionKind { Switch, Number, Choice };

// The values a choice takes, as its row lists them: numbers, or words whose value is their place.
struct Choices {
    const uint64_t* Values;
    size_t Count;
    const char* const* Words = nullptr;
};
constexpr uint64_t kDepths[] = {8, 16};
constexpr uint64_t kFrameChoices[] = {0, 1};
constexpr const char* kFrameWords[] = {"first", "all"};
constexpr uint64_t kColourChoices[] = {0, 1};
constexpr const char* kColourWords[] = {"keep", "srgb"};

// Each row stores its own value, so the table can be reordered or grown without a switch to
// keep in step; a switch stores 1.
struct OptionRow {
    const char* Name;
    const char* Short;  // a one-letter form, or null
    OptionKind Kind;
    const char* Value;  // the value's name in the usage text
    uint64_t Minimum;   // a number's range
    uint64_t Maximum;
    Choices Values;  // a choice's values
    const char* Help;
    void (*Store)(HostOptions& options, uint64_t value);
};

const OptionRow kOptions[] = {
    {"--max-pixels",
     nullptr,
     OptionKind::Number,
     "N",
     1,
     kMaxPixelLimit,
     {},
     "refuse pictures of more than N pixels (default 268435456)",
     [](HostOptions& o, uint64_t v) { o.MaxPixels = v; }},
    {"--quality",
     nullptr,
     OptionKind::Number,
     "N",
     kMinQuality,
     kMaxQuality,
     {},
     "JPEG, WebP and HEIC output quality (default 92); WebP at 100 is lossless",
     [](HostOptions& o, uint64_t v) { o.Quality = int32_t(v); }},
    {"--timeout",
     nullptr,
     OptionKind::Number,
     "SECONDS",
     1,
     std::numeric_limits<uint32_t>::max(),
     {},
     "stop waiting for the module after that long",
     [](HostOptions& o, uint64_t v) { o.TimeoutSeconds = uint32_t(v); }},
    {"--strip",
     nullptr,
     OptionKind::Switch,
     nullptr,
     0,
     0,
     {},
     "keep no colour profile, EXIF, XMP or descriptions (an oriented picture is turned first)",
     [](HostOptions& o, uint64_t) { o.Strip = true; }},
    {"--auto-orient",
     nullptr,
     OptionKind::Switch,
     nullptr,
     0,
     0,
     {},
     "turn the picture upright as its orientation says before the module sees it",
     [](HostOptions& o, uint64_t) { o.AutoOrient = true; }},
    {"--quiet",
     "-q",
     OptionKind::Switch,
     nullptr,
     0,
     0,
     {},
     "say only warnings and failures; the exit code says the rest",
     [](HostOptions& o, uint64_t) { o.Quiet = true; }},
    {"--strict",
     nullptr,
     OptionKind::Switch,
     nullptr,
     0,
     0,
     {},
     "fail on any warning (something the output cannot keep, damage): nothing is saved",
     [](HostOptions& o, uint64_t) { o.Strict = true; }},
    {"--alpha",
     nullptr,
     OptionKind::Switch,
     nullptr,
     0,
     0,
     {},
     "hand the module the transparency too: a version 2 document of four samples a pixel",
     [](HostOptions& o, uint64_t) { o.Alpha = true; }},
    {"--depth",
     nullptr,
     OptionKind::Choice,
     "BITS",
     0,
     0,
     {kDepths, std::size(kDepths)},
     "bits of each sample the module gets (default 8); 16 keeps deeper pictures whole",
     [](HostOptions& o, uint64_t v) { o.Depth = uint32_t(v); }},
    {"--grey",
     nullptr,
     OptionKind::Switch,
     nullptr,
     0,
     0,
     {},
     "hand a grey picture over as grey: a version 2 document of one sample a pixel (two with --alpha)",
     [](HostOptions& o, uint64_t) { o.Grey = true; }},
    {"--frames",
     nullptr,
     OptionKind::Choice,
     "WHICH",
     0,
     0,
     {kFrameChoices, std::size(kFrameChoices), kFrameWords},
     "first (the default) or all: every frame of an animated GIF, WebP or JPEG XL, every page of a TIFF",
     [](HostOptions& o, uint64_t v) { o.AllFrames = v == 1; }},
    {"--colour",
     nullptr,
     OptionKind::Choice,
     "WHAT",
     0,
     0,
     {kColourChoices, std::size(kColourChoices), kColourWords},
     "keep (the default): colours as stored; srgb: a picture in another profile is converted to sRGB "
     "first",
     [](HostOptions& o, uint64_t v) { o.ColourToSrgb = v == 1; }},
};

std::string ChoiceWord(const Choices& choices, size_t i) {
    return choices.Words != nullptr ? choices.Words[i] : std::to_string(choices.Values[i]);
}

// "a, b or c" of a choice's values.
std::string ChoiceWords(const Choices& choices) {
    std::string words;
    for (size_t i = 0; i < choices.Count; ++i)
        words += (i == 0 ? "" : i + 1 == choices.Count ? " or " : ", ") + ChoiceWord(choices, i);
    return words;
}

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

// The value a choice's word or number stands for; false for none of its values.
bool FindChoice(const Choices& choices, const std::string& text, uint64_t& value) {
    for (size_t i = 0; i < choices.Count; ++i) {
        if (choices.Words != nullptr ? text == choices.Words[i]
                                     : ParseWholeNumber(text, value) && value == choices.Values[i]) {
            value = choices.Values[i];
            return true;
        }
    }
    return false;
}

const OptionRow* FindRow(const std::string& name) {
    for (const OptionRow& row : kOptions) {
        if (name == row.Name || (row.Short != nullptr && name == row.Short)) return &row;
    }
    return nullptr;
}

// --status-fd is not in the table: corvane-batch, which reads the table, gives each of its hosts a
// status of its own.
constexpr char kStatusFdHelp[] =
    " --status-fd N - write how the run went (outcome, warnings, output) to descriptor N, a line each\n";

// A descriptor that can take the status: open, and not for reading only.
HostOptionReader::Outcome TakeStatusFd(int& index, int argc, const char* const* argv,
                                       std::set<std::string>& seen, HostOptions& options,
                                       std::string& problem) {
    const std::string argument = argv[index];
    if (argument.substr(0, argument.find('=')) != kStatusFdOption)
        return HostOptionReader::Outcome::NotAnOption;
    std::string text;
    if (!TakeOptionValue(kStatusFdOption, true, index, argc, argv, seen, text, problem))
        return HostOptionReader::Outcome::Refused;
    uint64_t value = 0;
    if (!ParseWholeNumber(text, value) || value > uint64_t(INT_MAX)) {
        problem = std::string(kStatusFdOption) + " takes a whole number from 0 to " +
                  std::to_string(INT_MAX) + ", not \"" + text + "\"";
        return HostOptionReader::Outcome::Refused;
    }
    const int flags = fcntl(int(value), F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
        problem = std::string(kStatusFdOption) + " " + text + " names no descriptor open for writing";
        return HostOptionReader::Outcome::Refused;
    }
    options.StatusFd = int(value);
    return HostOptionReader::Outcome::Taken;
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

bool TakeOptionValue(const std::string& seenAs, bool takesValue, int& index, int argc,
                     const char* const* argv, std::set<std::string>& seen, std::string& value,
                     std::string& problem) {
    const std::string argument = argv[index];
    const size_t equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    if (!seen.insert(seenAs).second) {
        problem = name + " is given more than once";
        return false;
    }
    if (equals != std::string::npos) {
        if (takesValue)
            value = argument.substr(equals + 1);
        else
            problem = name + " takes no value";
        return takesValue;
    }
    if (!takesValue) return true;
    if (index + 1 < argc) {
        value = argv[++index];
        return true;
    }
    problem = name + " needs a value";
    return false;
}

HostOptionReader::Outcome HostOptionReader::Take(int& index, int argc, const char* const* argv,
                                                 HostOptions& options, std::string& problem) {
    const std::string argument = argv[index];
    const std::string name = argument.substr(0, argument.find('='));
    const OptionRow* row = FindRow(name);
    if (row == nullptr) return Outcome::NotAnOption;
    std::string text;
    if (!TakeOptionValue(row->Name, row->Kind != OptionKind::Switch, index, argc, argv, Seen, text, problem))
        return Outcome::Refused;
    if (row->Kind == OptionKind::Switch) {
        row->Store(options, 1);
        Given.push_back(row->Name);
        return Outcome::Taken;
    }
    uint64_t value = 0;
    if (row->Kind == OptionKind::Choice) {
        const Choices& choices = row->Values;
        if (!FindChoice(choices, text, value)) {
            problem = name + " takes " + ChoiceWords(choices) + ", not \"" + text + "\"";
            return Outcome::Refused;
        }
        row->Store(options, value);
        Given.push_back(std::string(row->Name) + "=" +
                        (choices.Words != nullptr ? text : std::to_string(value)));
        return Outcome::Taken;
    }
    if (!ParseWholeNumber(text, value) || value < row->Minimum || value > row->Maximum) {
        problem = name + " takes a whole number from " + std::to_string(row->Minimum) + " to " +
                  std::to_string(row->Maximum) + ", not \"" + text + "\"";
        return Outcome::Refused;
    }
    row->Store(options, value);
    Given.push_back(std::string(row->Name) + "=" + std::to_string(value));
    return Outcome::Taken;
}

std::string HostOptionLines() {
    std::string lines;
    for (const OptionRow& row : kOptions) {
        std::string name = row.Short != nullptr ? std::string(row.Short) + ", " + row.Name : row.Name;
        if (row.Value != nullptr) name += std::string(" ") + row.Value;
        lines += " " + name + " - " + row.Help;
        if (row.Kind == OptionKind::Number)
            lines += " (" + std::to_string(row.Minimum) + " to " + std::to_string(row.Maximum) + ")";
        if (row.Kind == OptionKind::Choice) lines += " (" + ChoiceWords(row.Values) + ")";
        lines += "\n";
    }
    return lines;
}

CommandLineAction ParseCommandLine(int argc, const char* const* argv, HostOptions& options,
                                   std::string& problem) {
    HostOptionReader reader;
    std::set<std::string> seen;  // of the options outside the table
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
        HostOptionReader::Outcome taken = TakeStatusFd(index, argc, argv, seen, options, problem);
        if (taken == HostOptionReader::Outcome::NotAnOption)
            taken = reader.Take(index, argc, argv, options, problem);
        if (taken == HostOptionReader::Outcome::NotAnOption)
            problem = "unknown option " + argument.substr(0, argument.find('='));
        if (taken != HostOptionReader::Outcome::Taken) return CommandLineAction::Usage;
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
        << HostOptionLines() << kStatusFdHelp << "\n"
        << Wrapped("Reads " + ReadFormatNames() + ".") << Wrapped("Writes " + WrittenFormatNames() + ".")
        << "What each output keeps besides the pixels (the rest is said in a warning):\n"
        << WhatEachOutputKeeps(" ")
        << "With --colour srgb, a picture converted to sRGB keeps no colour profile in any output.\n"
        << "Without --alpha and --depth 16, transparency is dropped and samples above 8 bits are narrowed\n"
        << "to 8 with rounding. Without --grey a grey picture goes as colour; with it, it stays grey\n"
        << "where the output keeps grey and comes out as colour elsewhere (nothing is lost). A picture\n"
        << "whose orientation the output cannot keep (or --strip drops) is turned first, so it shows as\n"
        << "the input did.\n"
        << "Start the module in [dir], a folder right below this one.\n"
        << "Installed, template and ambrel live in PREFIX/lib/corvane/modules/ (a build: build/bin/);\n"
        << "corvane-batch runs a module over many pictures.\n"
        << "Credits: the Corvane host and the template and ambrel modules;\n"
        << "JPEG by libjpeg-turbo, PNG by libspng, GIF by giflib, TIFF by libtiff,\n"
        << "WebP by libwebp, HEIC, HEIF and AVIF by libheif (HEIC written through x265,\n"
        << "AVIF through libavif and aom), JPEG XL by libjxl.\n\n";
}
