// Bounds-checked reader over an untrusted block (data, size, pos), for the JPEG marker walk: every
// read compares by subtraction, so no offset or count from a file can wrap or leave the block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ByteOrder.h"

class ByteReader {
  public:
    ByteReader(const uint8_t* data, size_t size) : p_(data), size_(data ? size : 0) {}

    size_t Remaining() const { return size_ - pos_; }
    size_t Position() const { return pos_; }
    const uint8_t* Current() const { return p_ + pos_; }

    // Moves to an absolute offset (64-bit, so a 32-bit field plus a base cannot wrap).
    bool Seek(uint64_t offset) {
        if (offset > size_) return false;
        pos_ = size_t(offset);
        return true;
    }
    bool Skip(uint64_t count) {
        if (count > Remaining()) return false;
        pos_ += size_t(count);
        return true;
    }

    bool U8(uint8_t& v) {
        if (Remaining() < 1) return false;
        v = p_[pos_++];
        return true;
    }
    bool U16LE(uint16_t& v) {
        if (Remaining() < 2) return false;
        v = GetU16LE(p_ + pos_);
        pos_ += 2;
        return true;
    }
    bool U32LE(uint32_t& v) {
        if (Remaining() < 4) return false;
        v = GetU32LE(p_ + pos_);
        pos_ += 4;
        return true;
    }
    // JPEG segment lengths are big-endian.
    bool U16BE(uint16_t& v) {
        if (Remaining() < 2) return false;
        v = GetU16BE(p_ + pos_);
        pos_ += 2;
        return true;
    }
    bool I32LE(int32_t& v) {
        uint32_t u = 0;
        if (!U32LE(u)) return false;
        v = int32_t(u);
        return true;
    }
    // Strict: all count bytes or nothing.
    bool Bytes(void* dst, size_t count) {
        if (count > Remaining()) return false;
        std::memcpy(dst, p_ + pos_, count);
        pos_ += count;
        return true;
    }
    // Strict, without a copy: bytes points at the next count bytes, which are passed over.
    bool Take(size_t count, const uint8_t*& bytes) {
        if (count > Remaining()) return false;
        bytes = p_ + pos_;
        pos_ += count;
        return true;
    }
    // Lenient: copies what the block still holds, up to count, and returns how much that was;
    // the caller's bytes beyond it stay as they were (pixel data cut short by the file's end).
    size_t BytesUpTo(void* dst, uint64_t count) {
        const size_t n = count < Remaining() ? size_t(count) : Remaining();
        if (n != 0) std::memcpy(dst, p_ + pos_, n);
        pos_ += n;
        return n;
    }

  private:
    const uint8_t* p_;
    size_t size_;
    size_t pos_ = 0;
};
