// The "go.flag" handshake: its presence alone says a document is complete and closed.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iostream>

#include "Exchange.h"
#include "ExchangeWait.h"

const char kFlagFileName[] = "go.flag";
const char kAnswerFlagPath[] = "../go.flag";
const char kWaitingLine[] = "Waiting ...\n";
const char kKitNoAnswer[] = "Error: no answer";

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kPollSeconds = 1.0;
const char kFlagContent[] = "finished";

// Non-blocking, so a FIFO planted under the name cannot hang the wait.
bool FlagPresent() {
    const int descriptor = open(kFlagFileName, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) return false;
    close(descriptor);
    return true;
}

bool WriteFlag(const std::string& path, TemporaryOwner owner, const char* content, size_t size) {
    AtomicFileWriter out;
    if (out.Open(path, LinkPolicy::Refuse, owner) && out.Append(content, size) && out.Commit()) return true;
    errno = out.Error();
    return false;
}

// A watch on the working folder: a flag created, moved in or closed after writing wakes us.
class FolderWatch {
  public:
    explicit FolderWatch(bool enabled) {
        if (!enabled) return;
        Descriptor = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (Descriptor >= 0 &&
            inotify_add_watch(Descriptor, ".", IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
            close(Descriptor);
            Descriptor = -1;
        }
    }
    ~FolderWatch() {
        if (Descriptor >= 0) close(Descriptor);
    }
    // Sleeps until an event or the time is up (or a signal arrives); events are only a cue to look.
    void Sleep(double seconds) {
        const int milliseconds = std::max(0, int(seconds * 1000 + 0.5));
        pollfd entry{Descriptor, POLLIN, 0};
        poll(&entry, Descriptor >= 0 ? 1 : 0, milliseconds);
        if (Descriptor < 0) return;
        alignas(inotify_event) char events[4096];
        while (read(Descriptor, events, sizeof events) > 0) {
        }
    }

  private:
    int Descriptor = -1;
};

}  // namespace

WaitOutcome WaitForFlagUntil(const WaitControl& control) {
    // The watch is set before the first look, so a flag raised in between is never missed.
    FolderWatch watch(!control.PollOnly);
    const Clock::time_point start = Clock::now();
    double nextTick = control.TickSeconds;
    for (;;) {
        if (control.Stop != nullptr && *control.Stop) return WaitOutcome::Stopped;
        if (FlagPresent()) return WaitOutcome::FlagRaised;
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        // The tick comes first and names the time it was due, so a late wake-up near the time
        // limit still shows the line it owes, with the same number.
        if (control.Tick && control.TickSeconds > 0 && elapsed >= nextTick) {
            control.Tick(nextTick);
            while (nextTick <= elapsed) nextTick += control.TickSeconds;
        }
        if (control.TimeoutSeconds > 0 && elapsed >= control.TimeoutSeconds) return WaitOutcome::TimedOut;
        double sleep = kPollSeconds;
        if (control.TimeoutSeconds > 0) sleep = std::min(sleep, control.TimeoutSeconds - elapsed);
        if (control.Tick && control.TickSeconds > 0) sleep = std::min(sleep, nextTick - elapsed);
        watch.Sleep(sleep);
    }
}

bool WaitForFlag(double timeoutSeconds) {
    // Flushed so a log redirected to a file shows the wait while it lasts.
    std::cout << kWaitingLine << std::flush;
    WaitControl control;
    control.TimeoutSeconds = timeoutSeconds;
    return WaitForFlagUntil(control) == WaitOutcome::FlagRaised;
}

bool RaiseFlag(const std::string& path, TemporaryOwner owner, std::ostream* progress) {
    if (progress != nullptr) *progress << "Start Corvane\n";
    if (WriteFlag(path, owner, kFlagContent, sizeof(kFlagContent) - 1)) return true;
    // An empty file needs no data block, so a full disk still takes it.
    return (errno == ENOSPC || errno == EFBIG) && WriteFlag(path, owner, "", 0);
}
