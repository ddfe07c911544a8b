// Runs one exchange for a module program: wait, read, parse, transform, answer.
#pragma once

#include <cstdint>

#include "Exchange.h"
#include "ExitCodes.h"

// Transforms the picture in place: OutputPixels is InputPixels, and every pixel must be written
// from input values that the transform itself has not overwritten yet.
using ConvertPixelsFunction = void (*)(ExchangeState& state);

struct ModuleDescription {
    const char* Name;     // the program's name, as in "template"
    const char* Summary;  // one line: what the transform does
};

// argv as main receives it: "--help" and "--version" alone are answered at once; "--timeout
// SECONDS" (or "--timeout=SECONDS") first gives up when no flag comes within that long (one line,
// exit 1, nothing written), and a value that is missing, not a whole number or 0 is a usage error
// (exit 2); every other argument is ignored.
int RunModule(int argc, const char* const* argv, const ModuleDescription& module,
              ConvertPixelsFunction convertPixels);
// The exchange itself, for a program that has handled its command line; timeoutSeconds 0 waits
// for ever.
int RunModule(ExchangeState& state, ConvertPixelsFunction convertPixels, uint32_t timeoutSeconds = 0);
