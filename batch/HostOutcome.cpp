// Only a part of a log is read, and what is shown of it is what a terminal would show, without
// the bytes that would redraw the user's terminal.
#include "HostOutcome.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace {

// Longer than any line a host says, two paths and all, so its last line is shown whole.
constexpr std::streamoff kLogTail = 16384;
// A host's log is a few lines long: its warnings about the input, said before anything is sent,
// and those about the output, said after the answer, are all in its head.
constexpr std::streamoff kLogHead = 65536;
// More than a host says for any picture; a log that holds more has been written by somebody else.
constexpr size_t kShownWarnings = 16;
// How a module kit closes its own account of a failure.
constexpr char kKitNoAnswer[] = "Error: no answer";

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

// The lines worth showing; lines starting with unsaid are passed over.
std::vector<std::string> ShownLines(const std::string& log, const std::string& unsaid = "") {
    std::istringstream in(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        const std::string shown = Shown(line);
        if (!shown.empty() && (unsaid.empty() || !StartsWith(shown, unsaid))) lines.push_back(shown);
    }
    return lines;
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

}  // namespace

// Only a part of a log is read: a module may have written gigabytes without a line break. A tail
// that starts inside a line says so with "...".
std::string ReadLogPart(const std::string& path, bool head) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = in ? std::streamoff(in.tellg()) : 0;
    // One byte before the tail tells whether it starts a line.
    const std::streamoff start = head || size <= kLogTail ? 0 : size - kLogTail - 1;
    std::string part(size_t(std::min(size - start, head ? kLogHead : kLogTail + 1)), '\0');
    in.seekg(start);
    in.read(&part[0], std::streamsize(part.size()));
    part.resize(in ? part.size() : size_t(std::max<std::streamsize>(in.gcount(), 0)));
    if (start == 0 || part.empty()) return part;
    return part[0] == '\n' ? part.substr(1) : "..." + part.substr(1);
}

std::string LastLine(const std::string& log, const std::string& unsaid) {
    const std::vector<std::string> lines = ShownLines(log, unsaid);
    return lines.empty() ? "" : lines.back();
}

// A kit closes with its "Error: no answer" line, and the reason is the line before it; a module
// of our runtime ends with its reason.
std::string ModuleSaid(const std::string& log) {
    const std::vector<std::string> lines = ShownLines(log);
    const auto closing = std::find_if(lines.begin(), lines.end(),
                                      [](const std::string& line) { return StartsWith(line, kKitNoAnswer); });
    if (closing == lines.end()) return lines.empty() ? "" : lines.back();
    return closing == lines.begin() ? *closing : *(closing - 1) + "; " + *closing;
}

// The host was given the input's absolute path and an output in its private folder; the user
// knows them by the input's name as given and the output's name in the output folder.
std::string AsNamed(const std::string& text, const BatchItem& item, const std::string& result) {
    std::string named;
    for (size_t at = 0; at < text.size();) {
        if (text.compare(at, item.InputPath.size(), item.InputPath) == 0) {
            named += item.Input;
            at += item.InputPath.size();
        } else if (NamesResult(text, at, result)) {
            named += item.Output;
            at += result.size();
        } else {
            named += text[at++];
        }
    }
    return named;
}

std::vector<std::string> HostWarnings(const std::string& log, const BatchItem& item,
                                      const std::string& result, size_t& unshown) {
    std::istringstream in(log);
    std::string line;
    std::vector<std::string> warnings;
    unshown = 0;
    while (std::getline(in, line)) {
        if (!StartsWith(line, kWarningStart)) continue;
        if (warnings.size() == kShownWarnings) {
            ++unshown;
            continue;
        }
        warnings.push_back(Shown(AsNamed(line, item, result)));
    }
    return warnings;
}
