// The host's side of one exchange: command line, document out, answer in, picture saved.
#pragma once

#include "ExitCodes.h"

// The whole host program; argv as main receives it. Returns the process exit code.
int RunHost(int argc, const char* const* argv);
