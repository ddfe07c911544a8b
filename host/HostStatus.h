// The status a host writes for the program that started it (--status-fd N), so that a caller such
// as corvane-batch learns how the run went without reading the host's sentences.
//
// One line a fact, "KEY VALUE": KEY a word, VALUE the rest of the line, in which a backslash is
// written "\\" and a line end "\n". A line comes as soon as its fact is known, the outcome last:
//   output OUT          the file the run is to write, as OUT was given (a run that read its names)
//   warning LINE        each warning, the whole line as said on standard output
//   hint LINE           the hint for starting a module, as said
//   module no-answer    the module's flag came back without a document: it could not answer
//   message LINE        the last line said on standard output (the hint aside): for a run that
//                       saved nothing, what went wrong
//   outcome WORD        as the exit code says: saved, failed, usage, shown (--help, --version)
//                       or "stopped N", N the signal
// A status without its outcome line is from a host that did not end by itself (killed, crashed).
#pragma once

#include <string>

// The option that asks for it.
constexpr char kStatusFdOption[] = "--status-fd";

namespace status {
constexpr char kOutput[] = "output";
constexpr char kWarning[] = "warning";
constexpr char kHint[] = "hint";
constexpr char kModule[] = "module";
constexpr char kMessage[] = "message";
constexpr char kOutcome[] = "outcome";

constexpr char kNoAnswer[] = "no-answer";  // of "module"
constexpr char kSaved[] = "saved";         // of "outcome"
constexpr char kFailed[] = "failed";
constexpr char kUsage[] = "usage";
constexpr char kShown[] = "shown";
constexpr char kStopped[] = "stopped";
}  // namespace status

// The host's side. From here on the status goes to descriptor (-1: there is none), and what is
// said on standard output passes through a watch that keeps its last line.
void OpenStatus(int descriptor);
// One line; nothing without a status. Never raises SIGPIPE: a reader that went away only loses
// the rest of the status.
void WriteStatus(const char* key, const std::string& value);
// The message and the outcome of a run that ends with exitCode (ran: it had its names, so 0 means
// saved); standard output is left as it was. Returns exitCode.
int CloseStatus(int exitCode, bool ran);

// The reader's side: one line of a status, without its line end, split and unescaped.
void ParseStatusLine(const std::string& line, std::string& key, std::string& value);
