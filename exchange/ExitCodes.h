// Exit codes shared by every Corvane program: whoever started one can tell a finished run from
// a failed one without reading its output.
#pragma once

constexpr int kExitSaved = 0;      // the host saved its result
constexpr int kExitAnswered = 0;   // a module answered
constexpr int kExitHelpShown = 0;  // --help or --version printed what was asked
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;  // a command line the program cannot run
// A program stopped by a signal it caught ends with 128 + the signal's number, as a shell reports it.
constexpr int kExitSignalBase = 128;
