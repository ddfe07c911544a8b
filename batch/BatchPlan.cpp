// Output names are settled for the whole batch first: a clash found half-way would leave some
// pictures done and the rest refused.
#include "BatchPlan.h"

#include <sys/stat.h>

#include <map>
#include <set>
#include <utility>

#include "ImageHandle.h"

namespace {

constexpr char kFallbackExtension[] = ".png";

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A leading dot starts a hidden name, not an extension.
size_t ExtensionStart(const std::string& name) {
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name.size() : dot;
}

bool Writable(const std::string& name) {
    return CanSaveImageType(GetImageHandleFactory()->GetImageType(name.c_str()));
}

}  // namespace

std::string OutputFileName(const std::string& input, const std::string& pattern) {
    const std::string name = BaseName(input);
    const std::string stem = name.substr(0, ExtensionStart(name));
    if (pattern.empty()) return Writable(name) ? name : stem + kFallbackExtension;
    std::string result;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size()) {
            result += pattern[++i] == 'n' ? stem : "%";
        } else {
            result += pattern[i];
        }
    }
    return result;
}

bool PlanBatch(const BatchOptions& options, const std::string& workingDirectory,
               std::vector<BatchItem>& items, std::string& problem) {
    std::set<std::pair<dev_t, ino_t>> inputFiles;
    std::map<std::string, std::string> takenBy;
    for (const std::string& input : options.Inputs) {
        BatchItem item;
        item.Input = input;
        item.InputPath = !input.empty() && input[0] == '/' ? input : workingDirectory + "/" + input;
        const std::string name = OutputFileName(input, options.Pattern);
        if (BaseName(input).empty() || name.empty() || !Writable(name)) {
            problem = "no output name for " + input + ": \"" + name + "\" has no extension Corvane writes";
            return false;
        }
        item.Output = options.OutFolder + "/" + name;
        item.Extension = name.substr(ExtensionStart(name));
        const auto clash = takenBy.emplace(item.Output, input);
        if (!clash.second) {
            problem = input + " and " + clash.first->second + " would both be saved as " + item.Output;
            return false;
        }
        struct stat status;
        if (stat(item.InputPath.c_str(), &status) == 0) inputFiles.emplace(status.st_dev, status.st_ino);
        items.push_back(std::move(item));
    }
    for (const BatchItem& item : items) {
        struct stat status;
        if (stat(item.Output.c_str(), &status) == 0 &&
            inputFiles.count({status.st_dev, status.st_ino}) != 0) {
            problem = item.Output + " is one of the inputs; inputs are never overwritten";
            return false;
        }
    }
    return true;
}
