// ByteSource: the window over memory or a file, refilled with pread and retried after interruptions.
#include "ByteSource.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "ByteOrder.h"

namespace {

// The largest source a codec reads: block lengths are signed 32-bit counts.
constexpr uint64_t kMaxSourceBytes = uint64_t(std::numeric_limits<int32_t>::max());

// Up to count bytes at offset; fewer only where the file ends or a read fails.
size_t ReadAt(int fd, uint64_t offset, uint8_t* to, size_t count) {
    size_t total = 0;
    while (total < count) {
        const ssize_t got = pread(fd, to + total, count - total, off_t(offset + total));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        total += size_t(got);
    }
    return total;
}

}  // namespace

ByteSource::ByteSource(const uint8_t* data, size_t size)
    : size_(data != nullptr && size <= kMaxSourceBytes ? size : 0),
      window_(data),
      capacity_(size_),
      wi_(size_) {}

ByteSource::ByteSource(int descriptor, uint64_t size, size_t windowBytes) {
    if (descriptor < 0 || size == 0 || size > kMaxSourceBytes) return;
    fd_ = descriptor;
    size_ = size;
    capacity_ = size_t(std::min<uint64_t>(std::max<size_t>(windowBytes, 1), size));
    buffer_.resize(capacity_);
    window_ = buffer_.data();
    closed_ = false;
}

bool ByteSource::Seek(uint64_t offset) {
    if (offset > size_) return false;
    if (offset >= start_ && offset - start_ <= wi_) {
        ri_ = size_t(offset - start_);
        return true;
    }
    start_ = offset;
    ri_ = wi_ = 0;
    closed_ = fd_ < 0 || offset == size_;
    return true;
}

bool ByteSource::Skip(uint64_t count) {
    return count <= Remaining() && Seek(Position() + count);
}

bool ByteSource::U16LE(uint16_t& v) {
    uint8_t b[2];
    if (!Bytes(b, sizeof b)) return false;
    v = GetU16LE(b);
    return true;
}

bool ByteSource::U32LE(uint32_t& v) {
    uint8_t b[4];
    if (!Bytes(b, sizeof b)) return false;
    v = GetU32LE(b);
    return true;
}

bool ByteSource::I32LE(int32_t& v) {
    uint32_t u = 0;
    if (!U32LE(u)) return false;
    v = int32_t(u);
    return true;
}

bool ByteSource::U16BE(uint16_t& v) {
    uint8_t b[2];
    if (!Bytes(b, sizeof b)) return false;
    v = GetU16BE(b);
    return true;
}

bool ByteSource::U32BE(uint32_t& v) {
    uint8_t b[4];
    if (!Bytes(b, sizeof b)) return false;
    v = GetU32BE(b);
    return true;
}

bool ByteSource::Take(uint64_t count, const uint8_t*& bytes) {
    if (count > Remaining() || count > capacity_) return false;
    while (wi_ - ri_ < count) {
        if (!Refill()) return false;
    }
    bytes = window_ + ri_;
    ri_ += size_t(count);
    return true;
}

bool ByteSource::Refill() {
    if (closed_) return false;
    const size_t keep = wi_ - ri_;
    if (keep != 0 && ri_ != 0) std::memmove(buffer_.data(), buffer_.data() + ri_, keep);
    start_ += ri_;
    ri_ = 0;
    wi_ = keep;
    const uint64_t end = start_ + wi_;
    const size_t want = size_t(std::min<uint64_t>(capacity_ - wi_, size_ - end));
    const size_t got = ReadAt(fd_, end, buffer_.data() + wi_, want);
    wi_ += got;
    // A short read means the file is shorter now than when it was opened: it ends here.
    closed_ = got < want || end + got == size_;
    return got != 0;
}

size_t ByteSource::BytesUpTo(void* to, uint64_t count) {
    iovec piece{to, size_t(std::min<uint64_t>(count, size_))};
    return ScatterUpTo(&piece, 1);
}

size_t ByteSource::ScatterUpTo(const iovec* pieces, int count) {
    uint64_t left = 0;
    for (int i = 0; i < count; ++i) left += pieces[i].iov_len;
    left = std::min(left, Remaining());
    size_t total = 0;
    // Filling pieces[i], of which done bytes are filled already.
    int i = 0;
    size_t done = 0;
    while (i < count && left != 0) {
        if (pieces[i].iov_len == done) {
            ++i, done = 0;
            continue;
        }
        uint8_t* to = static_cast<uint8_t*>(pieces[i].iov_base) + done;
        size_t n = 0;
        if (ri_ == wi_ && !closed_ && left >= capacity_) {
            n = ReadDirect(pieces + i, count - i, done, left);
        } else if (ri_ != wi_ || Refill()) {
            n = size_t(std::min<uint64_t>({pieces[i].iov_len - done, wi_ - ri_, left}));
            std::memcpy(to, window_ + ri_, n);
            ri_ += n;
        }
        if (n == 0) break;
        total += n, left -= n;
        for (; n != 0 && i < count; ++i, done = 0) {
            const size_t room = pieces[i].iov_len - done;
            if (n < room) {
                done += n;
                break;
            }
            n -= room;
        }
    }
    return total;
}

size_t ByteSource::ReadDirect(const iovec* pieces, int count, size_t done, uint64_t left) {
    iovec parts[kMaxDirectPieces];
    int used = 0;
    for (uint64_t room = left; used < count && used < int(kMaxDirectPieces) && room != 0; ++used) {
        const size_t skip = used == 0 ? done : 0;
        const size_t len = size_t(std::min<uint64_t>(pieces[used].iov_len - skip, room));
        parts[used] = iovec{static_cast<uint8_t*>(pieces[used].iov_base) + skip, len};
        room -= len;
    }
    const uint64_t at = Position();
    ssize_t got = -1;
    do {
        got = preadv(fd_, parts, used, off_t(at));
    } while (got < 0 && errno == EINTR);
    const size_t read = got > 0 ? size_t(got) : 0;
    start_ = at + read;
    ri_ = wi_ = 0;
    // Nothing read means the file is shorter now than when it was opened: it ends here.
    closed_ = read == 0 || start_ == size_;
    return read;
}
