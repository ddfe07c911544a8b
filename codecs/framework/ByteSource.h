// The bytes a decoder reads, from memory or from an open file through a window refilled with pread:
// the one reader of untrusted bytes, every read bounds-checked by subtraction, so no offset or count
// from a file can wrap or leave the source. A closed source holds no more than its window, which
// tells "truncated" from "need more bytes".
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <vector>

class ByteSource {
  public:
    // Window of a file source when the caller names none: a few reads for a header, then whole
    // runs of packets per refill.
    static constexpr size_t kDefaultWindowBytes = size_t(64) << 10;

    // Bytes already in memory: the window is the whole block, and the source is closed.
    ByteSource(const uint8_t* data, size_t size);
    // The file behind descriptor (the caller's), of length size when it was opened: 1 byte up to the
    // largest block a codec accepts (a signed 32-bit count), else the source is not usable. Files are
    // read, never mapped: a file another program shortens under us must give short reads, not SIGBUS.
    ByteSource(int descriptor, uint64_t size, size_t windowBytes = kDefaultWindowBytes);
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;

    bool Usable() const { return size_ != 0; }
    // The length the source was opened with; reads past the file's current end come back short.
    uint64_t Size() const { return size_; }
    uint64_t Position() const { return start_ + ri_; }
    uint64_t Remaining() const { return size_ - Position(); }

    // Moves to an absolute offset within the source; the window is kept when it holds the offset.
    bool Seek(uint64_t offset);
    bool Skip(uint64_t count);

    // Strict reads: all of the value or false (the source then ends; position undefined).
    bool U8(uint8_t& v) {
        if (ri_ == wi_ && !Refill()) return false;
        v = window_[ri_++];
        return true;
    }
    bool U16LE(uint16_t& v);
    bool U32LE(uint32_t& v);
    bool I32LE(int32_t& v);
    // Big-endian fields: JPEG segment lengths, PNG chunk heads.
    bool U16BE(uint16_t& v);
    bool U32BE(uint32_t& v);
    bool Bytes(void* to, size_t count) { return BytesUpTo(to, count) == count; }
    // Strict, without a copy: bytes points at the next count bytes, which are passed over. Only
    // where the window can hold them all: always for a source over memory, whose window is the
    // whole block; for a file, up to its window's size.
    bool Take(uint64_t count, const uint8_t*& bytes);

    // Lenient: up to count bytes, fewer only where the source ends; the caller's bytes beyond stay
    // as they were (pixel data cut short). With the window empty, a request of a window or more
    // goes from the file straight into the caller's memory.
    size_t BytesUpTo(void* to, uint64_t count);
    // The same into consecutive pieces (the rows of a picture), one after the other.
    size_t ScatterUpTo(const iovec* pieces, int count);

  private:
    // Keeps the unread bytes, reads more behind them; false when nothing more came (closed).
    bool Refill();
    // From the file at the position straight into the pieces (done bytes of the first filled
    // already), at most left bytes, the window being empty; one read, which may come back short.
    size_t ReadDirect(const iovec* pieces, int count, size_t done, uint64_t left);
    static constexpr size_t kMaxDirectPieces = 64;

    int fd_ = -1;
    uint64_t size_ = 0;
    std::vector<uint8_t> buffer_;
    const uint8_t* window_ = nullptr;
    size_t capacity_ = 0;
    uint64_t start_ = 0;  // offset of window_[0] in the source
    size_t ri_ = 0;       // next byte to read; ri_ <= wi_ <= capacity_
    size_t wi_ = 0;       // end of the bytes the window holds
    bool closed_ = true;
};
