// Options come before the inputs, as `--name VALUE` or `--name=VALUE`. Every option that is not
// the batch's own is the host's and takes a value; the host itself judges it before anything runs.
#include "BatchCommandLine.h"

#include <sys/stat.h>

#include <ostream>

namespace {

constexpr uint32_t kMaxJobs = 256;

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

bool IsFolder(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// "out/" and "out" are folders; a last part holding % or an extension ("out/%n.png",
// "out/one.png"), unless it names a folder, is the pattern of the names in it.
bool SplitOut(const std::string& out, BatchOptions& options, std::string& problem) {
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

bool TakeValue(const std::string& argument, size_t equals, int& index, int argc, const char* const* argv,
               std::string& value, std::string& problem) {
    if (equals != std::string::npos) {
        value = argument.substr(equals + 1);
        return true;
    }
    if (index + 1 >= argc) {
        problem = argument + " needs a value";
        return false;
    }
    value = argv[++index];
    return true;
}

bool TakeOption(const std::string& argument, int& index, int argc, const char* const* argv,
                BatchOptions& options, bool& sawOut, std::string& problem) {
    const size_t equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    if (name == "--overwrite" && equals == std::string::npos) {
        options.Overwrite = true;
        return true;
    }
    std::string value;
    if (!TakeValue(argument, equals, index, argc, argv, value, problem)) return false;
    if (name == "--jobs") {
        if (ParseJobs(value, options.Jobs)) return true;
        problem =
            "--jobs takes a whole number from 1 to " + std::to_string(kMaxJobs) + ", not \"" + value + "\"";
        return false;
    }
    if (name == "--module") {
        options.Module = value;
        if (!value.empty()) return true;
        problem = "--module needs a command";
        return false;
    }
    if (name == "--out") {
        sawOut = true;
        return !value.empty() && SplitOut(value, options, problem);
    }
    options.HostOptions.push_back(name);
    options.HostOptions.push_back(value);
    return true;
}

}  // namespace

BatchAction ParseBatchCommandLine(int argc, const char* const* argv, BatchOptions& options,
                                  std::string& problem) {
    bool sawOut = false;
    int index = 1;
    for (; index < argc; ++index) {
        const std::string argument = argv[index];
        if (argument == "--") {
            ++index;
            break;
        }
        if (argument == "--help" || argument == "-h") return BatchAction::Help;
        if (argument == "--version") return BatchAction::Version;
        if (argument.size() < 3 || argument.compare(0, 2, "--") != 0) break;
        if (!TakeOption(argument, index, argc, argv, options, sawOut, problem)) {
            if (problem.empty()) problem = "--out needs a folder";
            return BatchAction::Usage;
        }
    }
    for (; index < argc; ++index) options.Inputs.push_back(argv[index]);
    if (options.Module.empty() || !sawOut) {
        problem = options.Module.empty() ? "--module COMMAND is needed" : "--out FOLDER is needed";
        return BatchAction::Usage;
    }
    return BatchAction::Run;
}

void PrintBatchUsage(std::ostream& out) {
    out << "Usage: corvane-batch [--jobs N] [--overwrite] [host options] --module 'COMMAND'\n"
           "                     --out FOLDER[/PATTERN] [IN ...]\n\n"
           "Runs one Corvane exchange per picture: for each input a private folder in FOLDER, COMMAND\n"
           "started in its exchange folder through /bin/sh, and corvane beside it; the result goes to\n"
           "FOLDER under the input's name. Without IN, the inputs are read from standard input, one a "
           "line.\n\n"
           " --jobs N       pictures at once (default: the number of cores)\n"
           " --overwrite    replace outputs that exist (default: such an input fails)\n"
           " --module CMD   the module, e.g. template, ambrel or 'python3 /path/to/blur.py 3'\n"
           " --out FOLDER/  keeps each input's format where Corvane writes it, else PNG\n"
           " --out 'FOLDER/%n.png'  chooses the format; %n is the input's name without extension\n"
           " --max-pixels N, --quality N, --timeout SECONDS and other host options go to corvane.\n\n"
           "The installed modules are found by name (PREFIX/lib/corvane/modules).\n"
           "Exit status: 0 all pictures saved, 1 some failed, 2 nothing run, 130 after Ctrl-C.\n";
}
