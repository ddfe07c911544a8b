// The host's side of one exchange: command line, document out, answer in, picture saved.
#pragma once

// Exit codes of the host program; a stop by signal ends with 128 + the signal's number.
constexpr int kExitSaved = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The whole host program; argv as main receives it. Returns the process exit code.
int RunHost(int argc, const char* const* argv);
