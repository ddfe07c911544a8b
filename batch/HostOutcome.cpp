// Only a part of a status or a log is read, and what is shown of it is what a terminal would show,
// without the bytes that would redraw the user's terminal.
#include "HostOutcome.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>

#include "Exchange.h"
#include "HostStatus.h"

namespace {

// A host's status is a few lines long; one that holds more has not been written by our host.
constexpr size_t kStatusBytes = 1 << 20;
// Longer than any line a module kit says, so its reason is shown whole.
constexpr std::streamoff kLogTail = 16384;
// More than a host says for any picture; any beyond are only counted.
constexpr size_t kShownWarnings = 16;
constexpr char kStatusName[] = "host.status";

// What the user sees of a line a program wrote: what it shows after its last carriage return,
// without control bytes and escapes (they would redraw the user's terminal).
std::string Shown(const std::string& line) {
    const size_t carriage = line.rfind('\r', line.find_last_not_of(" \r\t"));
    std::string shown;
    for (size_t i = carriage == std::string::npos ? 0 : carriage + 1; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (c >= 0x20 && c != 0x7F) shown += char(c);
    }
    const size_t end = shown.find_last_not_of(' ');
    if (end == std::string::npos) return "";
    const size_t first = shown.find_first_not_of(' ');
    return shown.substr(first, end + 1 - first);
}

bool StartsWith(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

// The lines worth showing.
std::vector<std::string> ShownLines(const std::string& log) {
    std::istringstream in(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        const std::string shown = Shown(line);
        if (!shown.empty()) lines.push_back(shown);
    }
    return lines;
}

// Only the tail of a log is read: a module may have written gigabytes without a line break. A
// tail that starts inside a line says so with "...".
std::string ReadLogTail(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = in ? std::streamoff(in.tellg()) : 0;
    // One byte before the tail tells whether it starts a line.
    const std::streamoff start = size <= kLogTail ? 0 : size - kLogTail - 1;
    std::string part(size_t(std::min(size - start, kLogTail + 1)), '\0');
    in.seekg(start);
    in.read(&part[0], std::streamsize(part.size()));
    part.resize(in ? part.size() : size_t(std::max<std::streamsize>(in.gcount(), 0)));
    if (start == 0 || part.empty()) return part;
    return part[0] == '\n' ? part.substr(1) : "..." + part.substr(1);
}

// Where a host's line names OUT: the whole word, after a space or at the start.
bool NamesResult(const std::string& text, size_t at, const std::string& result) {
    if ((at != 0 && text[at - 1] != ' ') || text.compare(at, result.size(), result) != 0) return false;
    const size_t end = at + result.size();
    const bool sentenceEnd =
        end < text.size() && text[end] == '.' && (end + 1 == text.size() || text[end + 1] == ' ');
    return end == text.size() || text[end] == ' ' || text[end] == ',' || text[end] == ':' ||
           text[end] == ';' || sentenceEnd;
}

// The host was given the input's absolute path and an output in its private folder; the user
// knows them by the input's name as given and the output's name in the output folder.
std::string AsNamed(const std::string& text, const BatchItem& item, const std::string& result) {
    std::string named;
    for (size_t at = 0; at < text.size();) {
        if (text.compare(at, item.InputPath.size(), item.InputPath) == 0) {
            named += item.Input;
            at += item.InputPath.size();
        } else if (!result.empty() && NamesResult(text, at, result)) {
            named += item.Output;
            at += result.size();
        } else {
            named += text[at++];
        }
    }
    return named;
}

std::string ReadStatus(int descriptor) {
    struct stat file;
    if (descriptor < 0 || fstat(descriptor, &file) != 0 || file.st_size <= 0) return "";
    std::string text(std::min(size_t(file.st_size), kStatusBytes), '\0');
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t got = pread(descriptor, &text[done], text.size() - done, off_t(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += size_t(got);
    }
    text.resize(done);
    return text;
}

// The host saves into its working directory, which holds nothing but what the batch put there.
bool InHostFolder(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

int MakeStatusFile(const std::string& folder) {
    const std::string path = folder + "/" + kStatusName;
    const int opened = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (opened < 0) return -1;
    unlink(path.c_str());
    if (opened > STDERR_FILENO) return opened;
    const int moved = fcntl(opened, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(opened);
    return moved;
}

HostOutcome ReadHostOutcome(int descriptor) {
    HostOutcome outcome;
    std::istringstream in(ReadStatus(descriptor));
    std::string key, value;
    for (std::string line; std::getline(in, line);) {
        ParseStatusLine(line, key, value);
        if (key == status::kOutput) {
            outcome.Output = value;
        } else if (key == status::kWarning && outcome.Warnings.size() < kShownWarnings) {
            outcome.Warnings.push_back(value);
        } else if (key == status::kWarning) {
            ++outcome.Unshown;
        } else if (key == status::kMessage) {
            outcome.Message = value;
        } else if (key == status::kModule) {
            outcome.ModuleNoAnswer = value == status::kNoAnswer;
        } else if (key == status::kOutcome) {
            outcome.Saved = value == status::kSaved && InHostFolder(outcome.Output);
        }
    }
    return outcome;
}

std::string AsShown(const std::string& text, const BatchItem& item, const std::string& result) {
    return Shown(AsNamed(text, item, result));
}

// A kit closes with its "Error: no answer" line, and the reason is the line before it; a module
// of our runtime ends with its reason.
std::string ModuleSaid(const std::string& logPath) {
    const std::vector<std::string> lines = ShownLines(ReadLogTail(logPath));
    const auto closing = std::find_if(lines.begin(), lines.end(),
                                      [](const std::string& line) { return StartsWith(line, kKitNoAnswer); });
    if (closing == lines.end()) return lines.empty() ? "" : lines.back();
    return closing == lines.begin() ? *closing : *(closing - 1) + "; " + *closing;
}
