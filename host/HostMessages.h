// What the host tells its user: progress lines and notes (which --quiet silences), warnings about
// the picture, and why a run failed.
#pragma once

#include <string>
#include <vector>

#include "HostRun.h"
#include "LoadResult.h"

// How every warning line starts.
constexpr char kWarningStart[] = "Warning: ";

// A progress line or a note, with its line end; nothing under --quiet.
void SayProgress(const HostRun& run, const std::string& line);
// One "Warning: IN " line for each phrase; returns how many.
size_t SayWarnings(const std::string& input, const std::vector<std::string>& phrases);
// The input could not be opened (errno-style error): the usual line, then one naming the cause.
void ReportMissingInput(const std::string& input, int error);
// Why a save failed, from the errno of the write that failed (0: the writer refused the picture).
std::string SaveFailure(int error);
// Why the picture was not read, after the usual "Read IN failed" words: the cause with the reason
// of the reader that refused, or the formats that are read when neither the extension nor the
// content names one.
void ReportRefusal(const std::string& input, const LoadResult& result, const LoadOptions& options);
// A list for a message: "a and b".
std::string Joined(const std::vector<std::string>& names);
