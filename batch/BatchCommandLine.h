// The command line of corvane-batch: its own options, the host's options it passes on, the
// module command, the output folder and pattern, and the inputs.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

struct BatchOptions {
    uint32_t Jobs = 0;  // 0: one per core
    bool Overwrite = false;
    bool SkipExisting = false;             // an input whose result exists is left as it is
    bool Quiet = false;                    // the host's --quiet, which quiets the batch too
    std::string Module;                    // run through /bin/sh -c in each exchange folder
    std::string OutFolder;                 // without a trailing slash
    std::string Pattern;                   // empty: the input's name and, where written, its extension
    std::vector<std::string> HostOptions;  // passed to every host, before its names
    std::vector<std::string> Inputs;       // empty: one per line from standard input
};

enum class BatchAction { Run, Help, Version, Usage };

// Fills options from argv; for Usage, problem says what is wrong.
BatchAction ParseBatchCommandLine(int argc, const char* const* argv, BatchOptions& options,
                                  std::string& problem);

void PrintBatchUsage(std::ostream& out);
