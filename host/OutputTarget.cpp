// OUT resolved to the file a save replaces, as an absolute name, so that two looks compare equal
// whether or not the file exists yet.
#include "OutputTarget.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "AtomicFileWriter.h"
#include "ImageHandle.h"

namespace {

// Empty, with problem set, when nothing may be saved there.
std::string Resolve(const std::string& output, std::string& problem) {
    std::string target;
    int error = 0;
    if (!ResolveOutputTarget(output, target, error)) {
        struct stat status;
        const bool link = lstat(output.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
        problem = error == EISDIR           ? "it is a folder"
                  : error == EINVAL         ? "it is not a regular file"
                  : link && error == ENOENT ? "it is a link to nothing"
                                            : std::strerror(error);
        return std::string();
    }
    if (!target.empty() && target[0] == '/') return target;
    const size_t slash = output.rfind('/');
    char folder[PATH_MAX];
    if (realpath(slash == std::string::npos ? "." : output.substr(0, slash + 1).c_str(), folder) == nullptr) {
        problem = "its folder does not exist";
        return std::string();
    }
    return std::string(folder) + "/" + output.substr(slash == std::string::npos ? 0 : slash + 1);
}

}  // namespace

bool CheckOutput(const std::string& output, std::string& target) {
    std::string problem;
    int error = 0;
    if (!CanSaveImageType(GetImageHandleFactory()->GetImageType(output.c_str()))) {
        problem = "no format is written for this file extension (written: " + WrittenFormatNames() + ")";
    } else {
        const size_t slash = output.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : output.substr(0, slash + 1);
        struct stat status;
        if (stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
            problem = "its folder does not exist";
        } else {
            target = Resolve(output, problem);
        }
        if (problem.empty() && !CanCreateBeside(target, error)) {
            problem = std::string("no file can be created in its folder: ") + std::strerror(error);
        }
    }
    if (problem.empty()) return true;
    std::cout << "Cannot write " << output << ": " << problem << "\n";
    return false;
}

bool CheckOutputSize(const std::string& output, int32_t width, int32_t height) {
    const ImageType type = GetImageHandleFactory()->GetImageType(output.c_str());
    const int32_t side = MaxSavedSide(type);
    if (side == 0 || (width <= side && height <= side)) return true;
    std::cout << "Cannot write " << output << ": " << ImageTypeName(type) << " holds at most " << side
              << " x " << side << " pixels\n";
    return false;
}

bool OutputStillLeadsTo(const std::string& output, const std::string& target) {
    std::string problem;
    const std::string now = Resolve(output, problem);
    if (now == target) return true;
    std::cout << "Cannot write " << output << ": "
              << (now.empty() ? problem + " now" : "it now leads to " + now) << ", not to " << target
              << "; nothing saved.\n";
    return false;
}
