// One writer for every file the programs put down: a temporary file named after its owner,
// renamed into place when whole, and the sweep that removes what a stopped writer left.
#include "AtomicFileWriter.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

const char kHostPrefix[] = ".corvane-host-";
const char kModulePrefix[] = ".corvane-module-";
const char kRandomPart[] = "XXXXXX";
constexpr size_t kRandomLength = sizeof(kRandomPart) - 1;
// Small header and row writes gather here; large blocks go straight to the file.
constexpr size_t kBufferBytes = 64 * 1024;

const volatile std::sig_atomic_t* gWriteStop = nullptr;

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The one pattern of temporary names: the owner's prefix and six random characters, created
// exclusively, so a name planted in advance is never opened.
std::string TemporaryPattern(const std::string& finalPath, TemporaryOwner owner) {
    const std::string folder = FolderOf(finalPath);
    switch (owner) {
        case TemporaryOwner::Host:
            return folder + kHostPrefix + kRandomPart;
        case TemporaryOwner::Module:
            return folder + kModulePrefix + std::to_string(getpid()) + "-" + kRandomPart;
        case TemporaryOwner::Output:
            break;
    }
    return folder + "." + finalPath.substr(folder.size()) + ".part-" + kRandomPart;
}

mode_t NewFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

bool StartsWith(const char* name, const char* prefix) {
    return std::strncmp(name, prefix, std::strlen(prefix)) == 0;
}

// The process id in a module's temporary name, or 0 when the name is not one.
pid_t ModuleProcessOf(const char* name) {
    const char* digits = name + std::strlen(kModulePrefix);
    char* end = nullptr;
    errno = 0;
    const long pid = std::strtol(digits, &end, 10);
    if (end == digits || *end != '-' || std::strlen(end + 1) != kRandomLength || errno != 0 || pid <= 0 ||
        pid > INT_MAX) {
        return 0;
    }
    return pid_t(pid);
}

bool WriterGone(const char* name, TemporaryOwner owner) {
    if (owner == TemporaryOwner::Host) {
        return StartsWith(name, kHostPrefix) && std::strlen(name) == std::strlen(kHostPrefix) + kRandomLength;
    }
    if (!StartsWith(name, kModulePrefix)) return false;
    const pid_t pid = ModuleProcessOf(name);
    return pid != 0 && kill(pid, 0) != 0 && errno == ESRCH;
}

}  // namespace

void SetWriteStop(const volatile std::sig_atomic_t* stop) {
    gWriteStop = stop;
}

bool ResolveOutputTarget(const std::string& path, std::string& target, int& error) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
        error = errno;
        if (error != ENOENT) return false;
        target = path;
        return true;
    }
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr || stat(resolved, &status) != 0) {
        error = errno;
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        error = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    target = resolved;
    return true;
}

bool CanCreateBeside(const std::string& path, int& error) {
    std::string name = TemporaryPattern(path, TemporaryOwner::Output);
    const int descriptor = mkostemp(name.data(), O_CLOEXEC);
    if (descriptor < 0) {
        error = errno;
        return false;
    }
    close(descriptor);
    unlink(name.c_str());
    return true;
}

std::vector<std::string> SweepTemporaryFiles(const std::string& folder, TemporaryOwner owner) {
    std::vector<std::string> removed;
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) return removed;
    const std::string prefix = folder == "." ? std::string() : folder + "/";
    while (const dirent* entry = readdir(listing)) {
        if (!WriterGone(entry->d_name, owner)) continue;
        const std::string path = prefix + entry->d_name;
        struct stat status;
        if (lstat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode) && unlink(path.c_str()) == 0) {
            removed.push_back(path);
        }
    }
    closedir(listing);
    return removed;
}

bool AtomicFileWriter::Open(const std::string& path, LinkPolicy links, TemporaryOwner owner) {
    Abandon();
    FirstError = 0;
    int error = 0;
    FinalPath = path;
    if (links == LinkPolicy::Follow && !ResolveOutputTarget(path, FinalPath, error)) return Fail(error);
    // Replacing a followed file keeps its permissions, as rewriting it in place would.
    struct stat existing;
    const bool keepMode = links == LinkPolicy::Follow && stat(FinalPath.c_str(), &existing) == 0;
    std::string name = TemporaryPattern(FinalPath, owner);
    Descriptor = mkostemp(name.data(), O_CLOEXEC);
    if (Descriptor < 0) return Fail(errno);
    TemporaryPath = name;
    // mkostemp makes the file private; an exchange file must stay readable and removable by a
    // module that another user runs.
    if (fchmod(Descriptor, keepMode ? existing.st_mode & 07777 : NewFileMode()) != 0) return Fail(errno);
    Buffer.reserve(kBufferBytes);
    return true;
}

bool AtomicFileWriter::Stopped() {
    return gWriteStop != nullptr && *gWriteStop != 0;
}

bool AtomicFileWriter::Append(const void* data, size_t size) {
    if (Descriptor < 0 || FirstError != 0) return false;
    if (Stopped()) return Fail(EINTR);
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    if (Buffer.size() + size > kBufferBytes) {
        if (!WriteThrough(Buffer.data(), Buffer.size())) return false;
        Buffer.clear();
    }
    if (size >= kBufferBytes) return WriteThrough(bytes, size);
    Buffer.insert(Buffer.end(), bytes, bytes + size);
    return true;
}

bool AtomicFileWriter::WriteThrough(const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t written = write(Descriptor, data, size);
        if (Stopped()) return Fail(EINTR);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return Fail(written < 0 ? errno : ENOSPC);
        data += written;
        size -= size_t(written);
    }
    return true;
}

bool AtomicFileWriter::Commit() {
    if (Descriptor < 0 || FirstError != 0) return false;
    if (!WriteThrough(Buffer.data(), Buffer.size())) return false;
    Buffer.clear();
    const int descriptor = Descriptor;
    Descriptor = -1;
    // close reports the failures of a network file system that write did not.
    if (close(descriptor) != 0) return Fail(errno);
    // rename replaces a file or a link at the final name without following it; a device, a FIFO
    // or a folder there is nobody's file to replace and stays.
    struct stat existing;
    if (lstat(FinalPath.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode) &&
        !S_ISLNK(existing.st_mode)) {
        return Fail(EEXIST);
    }
    if (Stopped()) return Fail(EINTR);
    if (rename(TemporaryPath.c_str(), FinalPath.c_str()) != 0) return Fail(errno);
    TemporaryPath.clear();
    return true;
}

void AtomicFileWriter::Abandon() {
    if (Descriptor >= 0) close(Descriptor);
    Descriptor = -1;
    if (!TemporaryPath.empty()) unlink(TemporaryPath.c_str());
    TemporaryPath.clear();
    Buffer.clear();
}

bool AtomicFileWriter::Fail(int error) {
    if (FirstError == 0) FirstError = error;
    Abandon();
    return false;
}
