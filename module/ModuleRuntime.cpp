// The module sequence shared by every module program; only ConvertPixels differs between them.
#include "ModuleRuntime.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <new>
#include <string>

#include "CorvaneVersion.h"
#include "ExchangeFiles.h"
#include "StopSignals.h"

namespace {

// Once the host's flag is taken, the host waits for an answer from us alone: every way out
// after that must leave it a flag, or it would wait for ever.
bool gTookPart = false;
bool gAnswerWritten = false;
int gBusyLock = -1;

int StopOr(int code) {
    return gStopSignal != 0 ? kExitSignalBase + gStopSignal : code;
}

// The busy lock goes only once our flag is up, so a host never finds it free while we work.
int Finish(int code) {
    ReleaseBusyLock(gBusyLock);
    gBusyLock = -1;
    std::cout << std::flush;
    return StopOr(code);
}

// A flag without a document: the host finds no answer and ends instead of waiting for ever. The
// host's document goes too, read or not: it has been answered, if only with a failure.
int FailExchange() {
    if (!gTookPart) return Finish(kExitFailed);
    // The failure flag must get through even when a stop refused every other write.
    SetWriteStop(nullptr);
    unlink(kDocumentFileName);
    if (gAnswerWritten) unlink(kAnswerDocumentPath);
    if (!RaiseFlag(kAnswerFlagPath)) std::cout << "Error: " << kAnswerFlagPath << " could not be written\n";
    return Finish(kExitFailed);
}

// Takes the host's flag under the busy lock; false (with the reason printed) when we may not.
bool TakeHostFlag() {
    gBusyLock = TakeBusyLock();
    if (gBusyLock < 0) {
        if (gStopSignal == 0) {
            std::cout << "Error: " << kBusyFileName << " cannot be locked: " << std::strerror(errno) << "\n";
        }
        return false;
    }
    if (unlink(kFlagFileName) != 0 && errno != ENOENT) {
        // Started again, we would answer the same document twice; the host still waits for
        // a module that can take its flag.
        std::cout << "Error: " << kFlagFileName << " cannot be removed: " << std::strerror(errno) << "\n";
        return false;
    }
    gTookPart = true;
    return gStopSignal == 0;
}

int Exchange(ExchangeState& state, ConvertPixelsFunction convertPixels, uint32_t timeoutSeconds) {
    // A second copy of a module in one folder would take the next run's document.
    if (!LockFolder(".")) {
        std::cout << "Another module is already waiting in this folder\n";
        return kExitFailed;
    }
    if (!WaitForFlag(timeoutSeconds)) {
        std::cout << "No picture from the host within " << timeoutSeconds << " s; giving up\n";
        return Finish(kExitFailed);
    }
    // A stop from here on ends the run with a flag for the host.
    CatchStopSignals({SIGINT, SIGTERM, SIGHUP});
    if (!TakeHostFlag()) return gTookPart ? FailExchange() : Finish(kExitFailed);
    if (!ReadDocument(state) || gStopSignal != 0) return FailExchange();
    convertPixels(state);
    if (gStopSignal != 0) return FailExchange();
    if (!WriteDocument(state)) {
        if (gStopSignal == 0) std::cout << "Error: " << kAnswerDocumentPath << " could not be written\n";
        return FailExchange();
    }
    gAnswerWritten = true;
    if (gStopSignal != 0 || !RaiseFlag(kAnswerFlagPath)) {
        if (gStopSignal == 0) std::cout << "Error: " << kAnswerFlagPath << " could not be written\n";
        return FailExchange();
    }
    // Answered: a stop that comes now changes nothing.
    gStopSignal = 0;
    return Finish(kExitAnswered);
}

// The host's own limit for its --timeout.
constexpr uint64_t kLongestTimeout = UINT32_MAX;

// "--timeout SECONDS" or "--timeout=SECONDS" as the first argument: whole seconds, 1 to
// kLongestTimeout, as the host reads its own. seconds stays 0 when it is not given; false with
// the problem when its value is missing or wrong.
bool TakeTimeout(int argc, const char* const* argv, uint32_t& seconds, std::string& problem) {
    const std::string first = argc > 1 ? argv[1] : "";
    std::string text;
    if (first == "--timeout" && argc > 2) {
        text = argv[2];
    } else if (first == "--timeout") {
        problem = "--timeout needs a value";
        return false;
    } else if (first.rfind("--timeout=", 0) == 0) {
        text = first.substr(std::strlen("--timeout="));
    } else {
        return true;
    }
    // Plain decimal digits, leading zeros allowed; the value stops growing once over the limit,
    // so a long run of digits cannot wrap round.
    const bool digitsOnly = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    uint64_t value = 0;
    for (const char c : text) {
        if (digitsOnly && value <= kLongestTimeout) value = value * 10 + uint64_t(c - '0');
    }
    if (!digitsOnly || value < 1 || value > kLongestTimeout) {
        problem = "--timeout takes a whole number from 1 to " + std::to_string(kLongestTimeout) + ", not \"" +
                  text + "\"";
        return false;
    }
    seconds = uint32_t(value);
    return true;
}

}  // namespace

int RunModule(ExchangeState& state, ConvertPixelsFunction convertPixels, uint32_t timeoutSeconds) {
    // An answer over the file size limit must fail with an error we report, not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        return Exchange(state, convertPixels, timeoutSeconds);
    } catch (const std::bad_alloc&) {
        std::cout << "\n" << kOutOfMemoryLine;
        return FailExchange();
    }
}

int RunModule(int argc, const char* const* argv, const ModuleDescription& module,
              ConvertPixelsFunction convertPixels) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << module.Name << " (" << kVersionLine << ")\n";
        return kExitHelpShown;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::cout << "Usage: " << module.Name << " [--timeout SECONDS]\n\n"
                  << "A Corvane module: " << module.Summary << ".\n"
                  << "Start it in the exchange folder, a folder right below the one where corvane runs;\n"
                  << "it waits for one picture, answers it and ends.\n\n"
                  << "Options:\n"
                  << " --timeout SECONDS - give up when no picture comes within that long: one line,\n"
                  << "   exit 1, nothing written (1 to " << kLongestTimeout << "; default: wait for ever)\n";
        return kExitHelpShown;
    }
    uint32_t timeoutSeconds = 0;
    std::string problem;
    if (!TakeTimeout(argc, argv, timeoutSeconds, problem)) {
        std::cout << "Error: " << problem << "\n";
        return kExitUsage;
    }
    ExchangeState state;
    return RunModule(state, convertPixels, timeoutSeconds);
}
