// Folder locks and the busy lock, all with flock: the kernel lets them go when a holder dies.
#include "ExchangeFiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "Exchange.h"

const char kBusyFileName[] = ".corvane-busy";

bool LockFolder(const char* path) {
    // Kept open on purpose: the lock lives as long as the process.
    const int descriptor = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) return false;
    if (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        close(descriptor);
        return false;
    }
    return true;
}

int TakeBusyLock() {
    // Not through a link: the file is in a folder others can write.
    const int descriptor = open(kBusyFileName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (descriptor < 0) return -1;
    // A signal ends the wait (EINTR); the caller decides what the signal means.
    if (flock(descriptor, LOCK_EX) != 0) {
        const int error = errno;
        close(descriptor);
        errno = error;
        return -1;
    }
    return descriptor;
}

void ReleaseBusyLock(int descriptor) {
    if (descriptor < 0) return;
    unlink(kBusyFileName);
    close(descriptor);
}

bool BusyLockHeld(const std::string& folder) {
    const int descriptor = open((folder + "/" + kBusyFileName).c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0) return false;
    const bool held = flock(descriptor, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(descriptor);
    return held;
}
