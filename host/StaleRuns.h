// What earlier runs left in the host's folder and in DIR, and what this run takes back of its own
// when it stops or fails: leftovers are removed with a word, never somebody else's files.
#pragma once

#include <string>

#include "HostRun.h"

// Empty when directory is a folder right below the working directory, else what it is instead.
const char* ExchangeFolderProblem(const std::string& directory);
// The same check, with the message printed.
bool CheckExchangeFolder(const std::string& directory);
// A folder, FIFO or device under an answer's name, or a user's own "image.xml", stops the run.
bool CheckAnswerNames();
// A host stopped while its module worked left a marker: no run starts until that module is done,
// and its late answer is removed, never taken for this run's.
bool SettleStoppedRun(const HostRun& run);
// Flags and documents of an earlier run that was killed, and temporary files of writers that are
// gone, in the host's folder and in DIR.
void RemoveLeftovers(const HostRun& run);
// What this run put into DIR and the module has not taken yet; returns the names removed.
std::string RemoveOwnFiles(const HostRun& run);
// When a module may still be working on our picture: the marker that keeps the next run from
// taking its answer. Returns whether it was left.
bool LeaveStopMarker(const HostRun& run);
// The words for a marker left.
void SayModuleMayAnswer(const HostRun& run);
