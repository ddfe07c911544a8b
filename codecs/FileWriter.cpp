// Output files are written beside their target and renamed into place, so a full disk or an I/O
// error leaves the earlier file untouched and no partial file behind.
#include "FileWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Small header and row writes gather here; large blocks go straight to the file.
constexpr size_t kBufferBytes = 64 * 1024;
// Attempts at a free temporary name before giving up.
constexpr int kTempNameAttempts = 100;

// The file that will finally be replaced: symbolic links are followed so that the link stays a
// link and the file it names gets the new content.
bool ResolveTarget(const char* path, std::string& target, mode_t& mode, bool& exists) {
    struct stat st;
    if (lstat(path, &st) != 0) {
        if (errno != ENOENT) return false;
        target = path;
        exists = false;
        return true;
    }
    char resolved[PATH_MAX];
    if (realpath(path, resolved) == nullptr || stat(resolved, &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) return false;
    target = resolved;
    mode = st.st_mode & 07777;
    exists = true;
    return true;
}

}  // namespace

FileWriter::~FileWriter() {
    Discard();
}

bool FileWriter::Open(const char* path) {
    if (path == nullptr || *path == '\0' || fd_ >= 0) return false;
    mode_t mode = 0;
    bool exists = false;
    if (!ResolveTarget(path, target_, mode, exists)) return false;
    static unsigned counter = 0;
    for (int attempt = 0; attempt < kTempNameAttempts && fd_ < 0; ++attempt) {
        const std::string name =
            target_ + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        fd_ = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0)
            temp_ = name;
        else if (errno != EEXIST)
            return false;
    }
    if (fd_ < 0) return false;
    // Replacing a file keeps its permissions, as rewriting it in place would.
    if (exists && fchmod(fd_, mode) != 0) {
        Discard();
        return false;
    }
    buffer_.reserve(kBufferBytes);
    return true;
}

bool FileWriter::Write(const void* data, size_t count) {
    if (fd_ < 0 || failed_) return false;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    if (buffer_.size() + count > kBufferBytes && !FlushBuffer()) return false;
    if (count >= kBufferBytes) return WriteThrough(bytes, count);
    buffer_.insert(buffer_.end(), bytes, bytes + count);
    return true;
}

bool FileWriter::Commit() {
    if (fd_ < 0 || failed_ || !FlushBuffer()) {
        Discard();
        return false;
    }
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0 || rename(temp_.c_str(), target_.c_str()) != 0) {
        Discard();
        return false;
    }
    temp_.clear();
    return true;
}

bool FileWriter::WriteThrough(const uint8_t* data, size_t count) {
    while (count > 0) {
        const ssize_t n = write(fd_, data, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            failed_ = true;
            return false;
        }
        data += n;
        count -= size_t(n);
    }
    return true;
}

bool FileWriter::FlushBuffer() {
    const bool ok = WriteThrough(buffer_.data(), buffer_.size());
    buffer_.clear();
    return ok;
}

void FileWriter::Discard() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (!temp_.empty()) unlink(temp_.c_str());
    temp_.clear();
}
