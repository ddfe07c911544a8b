// Locks for the exchange folders, which other users and programs can write too: one program of
// a kind per folder, and a module's busy lock that tells "waiting" from "working".
#pragma once

#include <string>

// Takes an exclusive lock on a folder for the rest of the process; false if another process
// holds it (or it cannot be opened).
bool LockFolder(const char* path);

// A module's busy lock in its working directory, taken before it removes the host's flag and
// held until its own flag is up. Returns the descriptor, or -1 (with errno) when it cannot be
// opened or the wait for it was interrupted.
int TakeBusyLock();
// Removes the lock's file and lets it go.
void ReleaseBusyLock(int descriptor);
// True while a module holds the busy lock in folder.
bool BusyLockHeld(const std::string& folder);
