// Piecewise reading of an image file straight into the memory that keeps the result, so a load
// needs no whole-file block. Files are read, never mapped: another program may shorten a file
// under us, and touching a mapped page past its new end would kill the process (SIGBUS), where a
// read merely comes back short.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

class FileReader {
  public:
    FileReader() = default;
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // Reads through descriptor, which stays the caller's, a regular file whose length was size
    // when it was opened: 1 byte up to the largest block a codec accepts (a signed 32-bit count).
    // False for anything else, which the whole-file path then judges as it always has.
    bool Open(int descriptor, uint64_t size);
    // The size when the file was opened; reads past the current end simply come back short.
    uint64_t Size() const { return size_; }

    // Up to count bytes from offset; fewer only where the file ends (or a read fails).
    size_t ReadAt(uint64_t offset, void* to, size_t count);
    // Consecutive bytes from offset into the pieces of pieces[0 .. count) in order, however the
    // kernel splits the reads; returns the bytes read. The pieces are advanced as they fill.
    size_t ReadScatteredAt(uint64_t offset, iovec* pieces, int count);

  private:
    int fd_ = -1;
    uint64_t size_ = 0;
};
