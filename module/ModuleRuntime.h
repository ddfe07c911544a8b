// Runs one exchange for a module program: wait, read, parse, transform, answer.
#pragma once

#include "Exchange.h"

// Exit codes: a failed run must not look like an answered one to whoever started the module.
constexpr int kExitAnswered = 0;
constexpr int kExitFailed = 1;

using ConvertPixelsFunction = void (*)(ExchangeState& state);

int RunModule(ExchangeState& state, ConvertPixelsFunction convertPixels);
