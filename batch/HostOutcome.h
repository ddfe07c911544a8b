// How an exchange went: what its host wrote to its status (see HostStatus.h), and why its module
// said it could not answer, as the user sees them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "BatchPlan.h"

struct HostOutcome {
    bool Saved = false;                 // the outcome says so, of a file in the host's folder
    std::string Output;                 // the file the host was to write, in its folder
    std::vector<std::string> Warnings;  // the first ones, whole, as the host said them
    size_t Unshown = 0;                 // the warnings beyond those
    std::string Message;                // the host's last line
    bool ModuleNoAnswer = false;        // the module's flag came back without a document
};

// A file for a host's status in folder, already unlinked, so that nothing in the folder (a module
// runs below it) can reach it; above the standard descriptors, closed on exec. -1 when it cannot
// be made.
int MakeStatusFile(const std::string& folder);
// What the host wrote to it.
HostOutcome ReadHostOutcome(int descriptor);

// text as the user sees it: under the names the user knows for the input and for the host's
// output (result), without the bytes that would redraw the user's terminal.
std::string AsShown(const std::string& text, const BatchItem& item, const std::string& result);
// Why a module that could not answer says it could not, from the end of its log.
std::string ModuleSaid(const std::string& logPath);
