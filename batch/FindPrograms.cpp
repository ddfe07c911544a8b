// Where the host and the modules are: beside this program in a build tree, in the installed
// modules' folder once installed, else on PATH.
#include "FindPrograms.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "BatchRunner.h"

extern char** environ;

namespace {

std::string OwnFolder() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return "";
    const std::string self(path, size_t(length));
    return self.substr(0, self.rfind('/'));
}

bool IsFolder(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

std::vector<std::string> ModuleEnvironment(const std::string& moduleFolder) {
    std::vector<std::string> words;
    const char* path = std::getenv("PATH");
    const std::string rest = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    words.push_back("PATH=" + (moduleFolder.empty() ? rest : moduleFolder + ":" + rest));
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "PATH=", 5) != 0) words.push_back(*entry);
    }
    return words;
}

BatchPrograms FindBatchPrograms() {
    BatchPrograms programs;
    const std::string own = OwnFolder();
    programs.Host =
        !own.empty() && access((own + "/corvane").c_str(), X_OK) == 0 ? own + "/corvane" : "corvane";
    const std::string installed = own + "/../lib/corvane/modules";
    if (!own.empty()) programs.ModuleFolder = IsFolder(installed) ? installed : own;
    return programs;
}
