// Runs one exchange for a module program: wait, read, parse, transform, answer.
#pragma once

#include "Exchange.h"
#include "ExitCodes.h"

// Transforms the picture in place: OutputPixels is InputPixels, and every pixel must be written
// from input values that the transform itself has not overwritten yet.
using ConvertPixelsFunction = void (*)(ExchangeState& state);

struct ModuleDescription {
    const char* Name;     // the program's name, as in "template"
    const char* Summary;  // one line: what the transform does
};

// argv as main receives it: "--help" and "--version" alone are answered at once; every other
// argument is ignored.
int RunModule(int argc, const char* const* argv, const ModuleDescription& module,
              ConvertPixelsFunction convertPixels);
// The exchange itself, for a program that has handled its command line.
int RunModule(ExchangeState& state, ConvertPixelsFunction convertPixels);
