// The status goes out with plain writes, line by line, so that a host killed halfway still leaves
// what it had said; standard output passes through unchanged, byte for byte and flush for flush.
#include "HostStatus.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <iostream>
#include <streambuf>

#include "ExitCodes.h"

namespace {

// Longer than any line the host says, two paths and all; a longer one is kept up to here.
constexpr size_t kKeptLine = 16384;

// Passes every byte on to the buffer it stands in for, and keeps the last line with anything in
// it but blanks.
class LastLineWatch : public std::streambuf {
  public:
    explicit LastLineWatch(std::streambuf* out) : Out(out) {}
    std::streambuf* Out;
    std::string Last;
    std::string Unsaid;  // a line not to keep (the hint)

    std::string LastSaid() const { return HasWords(Current) && Current != Unsaid ? Current : Last; }

  protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        Keep(traits_type::to_char_type(c));
        return Out->sputc(traits_type::to_char_type(c));
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        for (std::streamsize i = 0; i < n; ++i) Keep(s[i]);
        return Out->sputn(s, n);
    }
    int sync() override { return Out->pubsync(); }

  private:
    static bool HasWords(const std::string& line) {
        for (const char c : line) {
            if (static_cast<unsigned char>(c) > ' ' && c != 0x7F) return true;
        }
        return false;
    }
    void Keep(char c) {
        if (c != '\n') {
            if (Current.size() < kKeptLine) Current += c;
            return;
        }
        if (HasWords(Current) && Current != Unsaid) Last = Current;
        Current.clear();
    }
    std::string Current;
};

int gStatus = -1;
LastLineWatch* gWatch = nullptr;

// The one signal a write can raise is blocked, and one it raised taken back, so that the run
// goes on as it would without a status.
void WriteAll(const std::string& text) {
    sigset_t pipe, previous;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigprocmask(SIG_BLOCK, &pipe, &previous);
    for (size_t done = 0; done < text.size();) {
        const ssize_t wrote = write(gStatus, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote < 0 && errno == EPIPE) {
            const timespec now{0, 0};
            sigtimedwait(&pipe, nullptr, &now);
        }
        if (wrote <= 0) {
            gStatus = -1;
            break;
        }
        done += size_t(wrote);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

std::string OutcomeWord(int exitCode, bool ran) {
    if (exitCode >= kExitSignalBase)
        return std::string(status::kStopped) + " " + std::to_string(exitCode - kExitSignalBase);
    if (exitCode == kExitFailed) return status::kFailed;
    if (exitCode == kExitUsage) return status::kUsage;
    return ran ? status::kSaved : status::kShown;
}

}  // namespace

void OpenStatus(int descriptor) {
    if (descriptor < 0) return;
    gStatus = descriptor;
    static LastLineWatch watch(std::cout.rdbuf());
    gWatch = &watch;
    std::cout.rdbuf(gWatch);
}

void WriteStatus(const char* key, const std::string& value) {
    if (gWatch != nullptr && key == std::string(status::kHint)) gWatch->Unsaid = value;
    if (gStatus < 0) return;
    std::string line = std::string(key) + " ";
    for (const char c : value) line += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : std::string(1, c);
    WriteAll(line + "\n");
}

int CloseStatus(int exitCode, bool ran) {
    if (gWatch == nullptr) return exitCode;
    std::cout.flush();
    std::cout.rdbuf(gWatch->Out);
    const std::string said = gWatch->LastSaid();
    gWatch = nullptr;
    if (!said.empty()) WriteStatus(status::kMessage, said);
    WriteStatus(status::kOutcome, OutcomeWord(exitCode, ran));
    return exitCode;
}

void ParseStatusLine(const std::string& line, std::string& key, std::string& value) {
    const size_t space = line.find(' ');
    key = line.substr(0, space);
    value.clear();
    if (space == std::string::npos) return;
    for (size_t i = space + 1; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size() && (line[i + 1] == '\\' || line[i + 1] == 'n')) {
            value += line[++i] == 'n' ? '\n' : '\\';
        } else {
            value += line[i];
        }
    }
}
