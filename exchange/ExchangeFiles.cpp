// Temporary-then-rename writing, link-safe opening and folder locks for the exchange files.
#include "ExchangeFiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <vector>

#include "Exchange.h"

namespace {

constexpr size_t kMappedBlockBytes = size_t(1) << 20;

std::string TemporaryPattern(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return folder + "." + name + ".XXXXXX";
}

// mkostemp makes the file private; the exchange files get the permissions an ordinary new file
// would have, so a module run by another user can still read and remove them.
void ApplyUmask(int descriptor) {
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(descriptor, 0666 & ~mask);
}

}  // namespace

ByteBlock::ByteBlock(size_t size) : Size(size) {
    if (size < kMappedBlockBytes) {
        Bytes = new uint8_t[size];
        return;
    }
    void* block =
        mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    Bytes = static_cast<uint8_t*>(block);
    Mapped = size;
}

ByteBlock& ByteBlock::operator=(ByteBlock&& other) noexcept {
    if (this != &other) {
        Release();
        Bytes = other.Bytes;
        Size = other.Size;
        Mapped = other.Mapped;
        other.Forget();
    }
    return *this;
}

void ByteBlock::Release() {
    if (Mapped != 0) {
        munmap(Bytes, Mapped);
    } else {
        delete[] Bytes;
    }
    Forget();
}

bool AtomicFileWriter::Open(const std::string& path) {
    Abandon();
    FirstError = 0;
    std::string pattern = TemporaryPattern(path);
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    // O_EXCL under the hood: a link or file already at the temporary name is never opened.
    Descriptor = mkostemp(name.data(), O_CLOEXEC);
    if (Descriptor < 0) return Fail(errno);
    ApplyUmask(Descriptor);
    FinalPath = path;
    TemporaryPath = name.data();
    return true;
}

bool AtomicFileWriter::Append(const void* data, size_t size) {
    if (Descriptor < 0 || FirstError != 0) return false;
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = write(Descriptor, next, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return Fail(written < 0 ? errno : ENOSPC);
        next += written;
        size -= size_t(written);
    }
    return true;
}

bool AtomicFileWriter::Commit() {
    if (Descriptor < 0 || FirstError != 0) return false;
    const int descriptor = Descriptor;
    Descriptor = -1;
    // close reports the failures of a network file system that write did not.
    if (close(descriptor) != 0) return Fail(errno);
    // rename replaces a file or a link at the final name without following it; a device, a FIFO
    // or a folder there is nobody's exchange file and stays.
    struct stat existing;
    if (lstat(FinalPath.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode) &&
        !S_ISLNK(existing.st_mode)) {
        return Fail(EEXIST);
    }
    if (rename(TemporaryPath.c_str(), FinalPath.c_str()) != 0) return Fail(errno);
    TemporaryPath.clear();
    return true;
}

void AtomicFileWriter::Abandon() {
    if (Descriptor >= 0) close(Descriptor);
    Descriptor = -1;
    if (!TemporaryPath.empty()) unlink(TemporaryPath.c_str());
    TemporaryPath.clear();
}

bool AtomicFileWriter::Fail(int error) {
    if (FirstError == 0) FirstError = error;
    Abandon();
    return false;
}

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
