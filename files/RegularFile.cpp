// One opener for every file the programs read: one open, checked on the descriptor it gave.
#include "RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

int OpenRegularFile(const char* path, LinkPolicy links, uint64_t& size, bool* notRegular) {
    if (notRegular != nullptr) *notRegular = false;
    if (path == nullptr) return -1;
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (links == LinkPolicy::Refuse ? O_NOFOLLOW : 0);
    const int descriptor = open(path, flags);
    if (descriptor < 0) return -1;
    struct stat status;
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        if (notRegular != nullptr) *notRegular = true;
        close(descriptor);
        return -1;
    }
    // Reading never blocks on a regular file; the flag only mattered for the open.
    fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    size = uint64_t(status.st_size);
    return descriptor;
}

int64_t ReadFully(int descriptor, void* buffer, size_t size) {
    char* next = static_cast<char*>(buffer);
    size_t total = 0;
    while (total < size) {
        const ssize_t got = read(descriptor, next + total, size - total);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        total += size_t(got);
    }
    return int64_t(total);
}

bool NameTaken(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}
