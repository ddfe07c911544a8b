// The module sequence shared by every module program; only ConvertPixels differs between them.
#include "ModuleRuntime.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <new>

#include "ExchangeFiles.h"

namespace {

const char kAnswerFlagPath[] = "../go.flag";
const char kVersionLine[] = "Corvane version 1.1";

// Once the host's flag is taken, the host waits for an answer from us alone: every way out
// after that must leave it a flag, or it would wait for ever.
bool gTookPart = false;

// A flag without a document: the host finds no answer and ends instead of waiting for ever. The
// host's document goes too, read or not: it has been answered, if only with a failure.
int FailExchange() {
    if (!gTookPart) return kExitFailed;
    unlink(kDocumentFileName);
    if (!RaiseFlag(kAnswerFlagPath)) {
        std::cout << "Error: " << kAnswerFlagPath << " could not be written\n";
    }
    return kExitFailed;
}

int Exchange(ExchangeState& state, ConvertPixelsFunction convertPixels) {
    // A second copy of a module in one folder would take the next run's document.
    if (!LockFolder(".")) {
        std::cout << "Another module is already waiting in this folder\n";
        return kExitFailed;
    }
    WaitForFlag();
    if (unlink(kFlagFileName) != 0 && errno != ENOENT) {
        // Started again, we would answer the same document twice; the host still waits for
        // a module that can take its flag.
        std::cout << "Error: " << kFlagFileName << " cannot be removed: " << std::strerror(errno) << "\n";
        return kExitFailed;
    }
    gTookPart = true;
    if (!ReadDocument(state) || !ParseDocument(state)) {
        std::cout << std::flush;
        return FailExchange();
    }
    convertPixels(state);
    if (!WriteDocument(state)) {
        std::cout << "Error: ../image.xml could not be written\n";
        return FailExchange();
    }
    if (!RaiseFlag(kAnswerFlagPath)) {
        std::cout << "Error: " << kAnswerFlagPath << " could not be written\n";
        return kExitFailed;
    }
    return kExitAnswered;
}

}  // namespace

int RunModule(ExchangeState& state, ConvertPixelsFunction convertPixels) {
    // An answer over the file size limit must fail with an error we report, not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        return Exchange(state, convertPixels);
    } catch (const std::bad_alloc&) {
        std::cout << "\nError: out of memory\n";
        return FailExchange();
    }
}

int RunModule(int argc, const char* const* argv, const ModuleDescription& module,
              ConvertPixelsFunction convertPixels) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << module.Name << " (" << kVersionLine << ")\n";
        return kExitAnswered;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::cout << "Usage: " << module.Name << "\n\n"
                  << "A Corvane module: " << module.Summary << ".\n"
                  << "Start it in the exchange folder, a folder right below the one where corvane runs;\n"
                  << "it waits for one picture, answers it and ends.\n";
        return kExitAnswered;
    }
    ExchangeState state;
    return RunModule(state, convertPixels);
}
