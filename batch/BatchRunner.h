// Runs the planned exchanges, a few at once, and reports them.
#pragma once

#include <string>
#include <vector>

#include "BatchCommandLine.h"
#include "BatchPlan.h"

// Where the batch finds its programs: the host, and the folder the modules are named from.
struct BatchPrograms {
    std::string Host;          // a path, or a name looked up on PATH
    std::string ModuleFolder;  // put first on the module's PATH; empty: PATH as it is
};

// The host beside this program when there is one, else "corvane" from PATH; the installed
// modules' folder beside it, or this program's own folder in a build tree.
BatchPrograms FindBatchPrograms();

// Returns the exit status of corvane-batch: 0 all saved or skipped, 1 any failed, 128 + signal when stopped.
int RunBatch(const BatchOptions& options, const BatchPrograms& programs, const std::vector<BatchItem>& items);
