// corvane-batch: applies a module to many pictures, one exchange per picture, several at once.
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>

#include "BatchCommandLine.h"
#include "BatchPlan.h"
#include "BatchRunner.h"
#include "CorvaneVersion.h"
#include "ExitCodes.h"

namespace {

// A terminal on standard input would wait for names nobody is typing.
bool ReadInputs(BatchOptions& options) {
    if (!options.Inputs.empty()) return true;
    if (isatty(STDIN_FILENO) == 1) return false;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty()) options.Inputs.push_back(line);
    }
    return !options.Inputs.empty();
}

int Refuse(const std::string& problem) {
    std::cerr << "corvane-batch: " << problem << "\n";
    return kExitUsage;
}

std::string WorkingDirectory() {
    std::error_code error;
    return std::filesystem::current_path(error).string();
}

}  // namespace

int main(int argc, char** argv) {
    BatchOptions options;
    std::string problem;
    switch (ParseBatchCommandLine(argc, argv, options, problem)) {
        case BatchAction::Help:
            PrintBatchUsage(std::cout);
            return 0;
        case BatchAction::Version:
            std::cout << "corvane-batch (" << kVersionLine << ")\n";
            return 0;
        case BatchAction::Usage:
            PrintBatchUsage(std::cerr);
            return Refuse(problem);
        case BatchAction::Run:
            break;
    }
    if (!ReadInputs(options))
        return Refuse("no inputs: name them after the options or one a line on standard input");
    const BatchPrograms programs = FindBatchPrograms();
    std::vector<BatchItem> items;
    const std::string here = WorkingDirectory();
    if (here.empty()) return Refuse("cannot tell the current folder");
    if (!PlanBatch(options, here, items, problem)) return Refuse(problem);
    std::error_code error;
    std::filesystem::create_directories(options.OutFolder, error);
    if (error) return Refuse("cannot make " + options.OutFolder + ": " + error.message());
    return RunBatch(options, programs, items);
}
