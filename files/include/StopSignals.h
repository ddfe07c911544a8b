// Stop signals turned into a clean end: the handler only notes the signal, and every writer of
// the process then stops taking bytes, so each program can take back its own files and exit.
#pragma once

#include <csignal>
#include <initializer_list>

// The number of the last stop signal caught, 0 before any; a program may clear it once a stop
// can no longer change anything.
extern volatile std::sig_atomic_t gStopSignal;

// Catches signals without SA_RESTART, so a blocking call (a wait, a read) returns at once, and
// makes every writer obey the stop (SetWriteStop).
void CatchStopSignals(std::initializer_list<int> signals);
