// Waiting for "go.flag" with a way out: a time limit, a stop request from a signal handler, and
// a regular tick for a progress line. WaitForFlag is this wait without any of them.
#pragma once

#include <csignal>
#include <functional>

enum class WaitOutcome { FlagRaised, TimedOut, Stopped };

struct WaitControl {
    double TimeoutSeconds = 0;                         // 0: no limit
    const volatile std::sig_atomic_t* Stop = nullptr;  // set by a signal handler
    double TickSeconds = 0;                            // 0: no ticks
    std::function<void(double dueSeconds)> Tick;       // called with the time the tick was due
    // For tests: the folder watch is not set up, as where inotify is missing or fails.
    bool PollOnly = false;
};

// Returns as soon as "go.flag" can be opened in the working directory: on Linux a watch on the
// folder wakes it at once; the one-second poll stays as the fallback and as the longest sleep.
WaitOutcome WaitForFlagUntil(const WaitControl& control);
