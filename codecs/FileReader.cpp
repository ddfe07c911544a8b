// FileReader: pread/preadv over a descriptor, retried after interruptions and short reads.
#include "FileReader.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <limits>

bool FileReader::Open(int descriptor, uint64_t size) {
    if (descriptor < 0 || fd_ >= 0 || size == 0 || size > uint64_t(std::numeric_limits<int32_t>::max()))
        return false;
    fd_ = descriptor;
    size_ = size;
    return true;
}

size_t FileReader::ReadAt(uint64_t offset, void* to, size_t count) {
    iovec piece{to, count};
    return ReadScatteredAt(offset, &piece, 1);
}

size_t FileReader::ReadScatteredAt(uint64_t offset, iovec* pieces, int count) {
    if (fd_ < 0 || offset > uint64_t(std::numeric_limits<off_t>::max())) return 0;
    size_t total = 0;
    while (count > 0) {
        if (pieces->iov_len == 0) {
            ++pieces, --count;
            continue;
        }
        const ssize_t got = preadv(fd_, pieces, count < IOV_MAX ? count : IOV_MAX, off_t(offset + total));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        total += size_t(got);
        for (size_t left = size_t(got); left > 0;) {
            const size_t n = left < pieces->iov_len ? left : pieces->iov_len;
            pieces->iov_base = static_cast<uint8_t*>(pieces->iov_base) + n;
            pieces->iov_len -= n;
            left -= n;
            if (pieces->iov_len == 0) ++pieces, --count;
        }
    }
    return total;
}
