// Options come before the inputs, in any order, as `--name VALUE`, `--name=VALUE` or a switch
// alone, each at most once: the batch's own, and the host's through the host's own table, so that
// every option the host takes reaches the hosts and any other is refused by its name.
#include "BatchCommandLine.h"

#include <sys/stat.h>

#include <ostream>
#include <set>

#include "HostOptions.h"

namespace {

constexpr uint32_t kMaxJobs = 256;

using Outcome = HostOptionReader::Outcome;

bool ParseJobs(const std::string& text, uint32_t& jobs) {
    if (text.empty() || text.size() > 3) return false;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + uint32_t(c - '0');
    }
    if (value < 1 || value > kMaxJobs) return false;
    jobs = value;
    return true;
}

bool StoreJobs(const std::string& text, BatchOptions& options, std::string& problem) {
    if (ParseJobs(text, options.Jobs)) return true;
    problem = "--jobs takes a whole number from 1 to " + std::to_string(kMaxJobs) + ", not \"" + text + "\"";
    return false;
}

bool IsFolder(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// "out/" and "out" are folders; a last part holding % or an extension ("out/%n.png",
// "out/one.png"), unless it names a folder, is the pattern of the names in it.
bool StoreOut(const std::string& out, BatchOptions& options, std::string& problem) {
    if (out.empty()) {
        problem = "--out needs a folder";
        return false;
    }
    const size_t slash = out.rfind('/');
    const std::string last = slash == std::string::npos ? out : out.substr(slash + 1);
    std::string folder = out;
    const size_t dot = last.rfind('.');
    if (last.find('%') != std::string::npos || (dot != std::string::npos && dot > 0 && !IsFolder(out))) {
        folder = slash == std::string::npos ? "." : out.substr(0, slash);
        options.Pattern = last;
    }
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (folder.empty()) folder = slash == 0 ? "/" : ".";
    options.OutFolder = folder;
    for (size_t i = 0; i < options.Pattern.size(); ++i) {
        if (options.Pattern[i] != '%') continue;
        const char next = i + 1 < options.Pattern.size() ? options.Pattern[i + 1] : '\0';
        if (next != 'n' && next != '%') {
            problem = "--out knows only %n (the input's name without extension) and %%, not \"" + out + "\"";
            return false;
        }
        ++i;
    }
    return true;
}

bool StoreModule(const std::string& command, BatchOptions& options, std::string& problem) {
    options.Module = command;
    if (command.empty()) problem = "--module needs a command";
    return !command.empty();
}

struct OwnOption {
    const char* Name;
    bool TakesValue;
    bool (*Store)(const std::string& value, BatchOptions& options, std::string& problem);
};

const OwnOption kOwnOptions[] = {
    {"--jobs", true, StoreJobs},
    {"--module", true, StoreModule},
    {"--out", true, StoreOut},
    {"--overwrite", false,
     [](const std::string&, BatchOptions& o, std::string&) {
         o.Overwrite = true;
         return true;
     }},
    {"--skip-existing", false,
     [](const std::string&, BatchOptions& o, std::string&) {
         o.SkipExisting = true;
         return true;
     }},
};

// The host's grammar for the batch's own options, so that both read alike on one command line.
Outcome TakeOwnOption(int& index, int argc, const char* const* argv, BatchOptions& options,
                      std::set<std::string>& seen, std::string& problem) {
    const std::string argument = argv[index];
    const std::string name = argument.substr(0, argument.find('='));
    for (const OwnOption& option : kOwnOptions) {
        if (name != option.Name) continue;
        std::string value;
        if (!TakeOptionValue(name, option.TakesValue, index, argc, argv, seen, value, problem))
            return Outcome::Refused;
        return option.Store(value, options, problem) ? Outcome::Taken : Outcome::Refused;
    }
    return Outcome::NotAnOption;
}

// What is missing or contradictory once every option is read.
bool CheckOptions(const BatchOptions& options, bool optionsEnded, std::string& problem) {
    for (const std::string& input : options.Inputs) {
        if (optionsEnded || input.size() < 2 || input[0] != '-') continue;
        problem = input + " comes after the inputs; options go before them (-- ends the options)";
        return false;
    }
    if (options.Overwrite && options.SkipExisting)
        problem =
            "--overwrite and --skip-existing do not go together: one replaces results that exist, the "
            "other keeps them";
    else if (options.Module.empty())
        problem = "--module COMMAND is needed";
    else if (options.OutFolder.empty())
        problem = "--out FOLDER is needed";
    return problem.empty();
}

}  // namespace

BatchAction ParseBatchCommandLine(int argc, const char* const* argv, BatchOptions& options,
                                  std::string& problem) {
    HostOptionReader hostReader;
    HostOptions host;
    std::set<std::string> seen;
    bool optionsEnded = false;
    int index = 1;
    for (; index < argc; ++index) {
        const std::string argument = argv[index];
        if (argument == "--") {
            optionsEnded = true;
            ++index;
            break;
        }
        if (argument == "--help" || argument == "-h") return BatchAction::Help;
        if (argument == "--version") return BatchAction::Version;
        if (argument.size() < 2 || argument[0] != '-') break;
        Outcome taken = TakeOwnOption(index, argc, argv, options, seen, problem);
        if (taken == Outcome::NotAnOption) taken = hostReader.Take(index, argc, argv, host, problem);
        if (taken == Outcome::NotAnOption)
            problem = "unknown option " + argument.substr(0, argument.find('='));
        if (taken != Outcome::Taken) return BatchAction::Usage;
    }
    for (; index < argc; ++index) options.Inputs.push_back(argv[index]);
    options.HostOptions = hostReader.Taken();
    options.Quiet = host.Quiet;
    return CheckOptions(options, optionsEnded, problem) ? BatchAction::Run : BatchAction::Usage;
}

void PrintBatchUsage(std::ostream& out) {
    out << "Usage: corvane-batch [OPTIONS] --module 'COMMAND' --out FOLDER[/PATTERN] [IN ...]\n\n"
           "Runs one Corvane exchange per picture: for each input a private folder in FOLDER, COMMAND\n"
           "started in its exchange folder through /bin/sh, and corvane beside it; the result goes to\n"
           "FOLDER under the input's name. Without IN, the inputs are read from standard input, one a "
           "line.\n\n"
           "Options, before the inputs and in any order, as --name VALUE or --name=VALUE; -- ends them:\n"
           " --module CMD - the module, e.g. template, ambrel or 'python3 /path/to/blur.py 3'\n"
           " --out FOLDER/ - keeps each input's format where Corvane writes it, else PNG\n"
           " --out 'FOLDER/%n.png' - chooses the format; %n is the input's name without extension\n"
           " --jobs N - pictures at once (default: the number of cores)\n"
           " --overwrite - replace results that exist (default: such an input fails)\n"
           " --skip-existing - skip inputs whose result exists, to resume a batch (not with --overwrite)\n"
           "corvane's options, passed to every host; -q and --quiet quiet the batch too:\n"
        << HostOptionLines()
        << "\nWith --strip, or an output that keeps no orientation (BMP, TGA, PNM), a picture with an\n"
           "orientation is turned first, so it shows as it did.\n"
           "Each host's warnings are shown with the input's name, and counted in the summary.\n"
           "The installed modules are found by name (PREFIX/lib/corvane/modules).\n"
           "Exit status: 0 all pictures saved or skipped, 1 some failed, 2 nothing run, 130 after Ctrl-C.\n";
}
