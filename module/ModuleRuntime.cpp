// The module sequence shared by every module program; only ConvertPixels differs between them.
#include "ModuleRuntime.h"

#include <cstdio>
#include <iostream>

namespace {

const char kAnswerFlagPath[] = "../go.flag";

}  // namespace

int RunModule(ExchangeState& state, ConvertPixelsFunction convertPixels) {
    WaitForFlag();
    std::remove(kFlagFileName);
    if (!ReadDocument(state) || !ParseDocument(state)) return kExitFailed;
    convertPixels(state);
    const bool written = WriteDocument(state);
    if (!written) std::cout << "Error: ../image.xml could not be written\n";
    // The flag goes up even after a failed write, so the host fails on the answer instead of waiting.
    const bool raised = RaiseFlag(kAnswerFlagPath);
    if (!raised) std::cout << "Error: " << kAnswerFlagPath << " could not be written\n";
    return written && raised ? kExitAnswered : kExitFailed;
}
