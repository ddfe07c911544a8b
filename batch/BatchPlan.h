// Which output each input becomes, and the checks that refuse a batch before anything runs.
#pragma once

#include <string>
#include <vector>

#include "BatchCommandLine.h"

struct BatchItem {
    std::string Input;      // as the user named it
    std::string InputPath;  // absolute: the host runs in another folder
    std::string Output;     // where the result goes, in the output folder
    std::string Extension;  // of the output, with its dot: chooses the format the host writes
};

// The output file name for input: the pattern with %n replaced, or the input's own name with its
// extension when a format is written for it, else ".png".
std::string OutputFileName(const std::string& input, const std::string& pattern);

// Fills items from options. False, with problem set, when an output has no format that is
// written, two inputs share an output, or an output is one of the inputs.
bool PlanBatch(const BatchOptions& options, const std::string& workingDirectory,
               std::vector<BatchItem>& items, std::string& problem);
