// Byte blocks: small ones from the heap, large ones straight from the kernel as fresh anonymous
// pages (see MappedBlock.cpp), which are zero already: no clearing pass of our own.
// Decision: a zero-filled block's pages are taken as the decoder writes them, not when it is
// mapped. A tiny file can claim a picture of gigabytes; placing its pages up front took them all
// before any data arrived (a 27-byte PPM took 2.4 GB), while rows the file never fills, left
// untouched, cost nothing. In huge pages a first touch costs one fault per 2 MB, which measured as
// fast as placing them at once.
#include "ByteBlock.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "MappedBlock.h"

namespace {

// Every block starts with its record, keeping the bytes 16-byte aligned as malloc would.
constexpr size_t kRecordBytes = 16;

struct BlockRecord {
    size_t MappedBytes;  // 0 for a heap block
    size_t Bytes;        // what was asked for
};
static_assert(sizeof(BlockRecord) <= kRecordBytes, "the record must fit before the bytes");

}  // namespace

uint8_t* AllocBlock(size_t bytes, BlockFill fill) {
    if (bytes > SIZE_MAX - kRecordBytes) return nullptr;
    const size_t total = bytes + kRecordBytes;
    const bool zero = fill == BlockFill::Zero;
    const bool mapped = total >= kMappedBlockBytes;
    uint8_t* base = mapped ? MapBlock(total, !zero)
                           : static_cast<uint8_t*>(zero ? std::calloc(total, 1) : std::malloc(total));
    if (base == nullptr) return nullptr;
    new (base) BlockRecord{mapped ? total : 0, bytes};
    return base + kRecordBytes;
}

uint8_t* ExtendBlock(uint8_t* block, size_t bytes) {
    if (block == nullptr || bytes > SIZE_MAX - kRecordBytes) return nullptr;
    const BlockRecord record = *reinterpret_cast<BlockRecord*>(block - kRecordBytes);
    if (bytes <= record.Bytes) return block;
    const size_t total = bytes + kRecordBytes;
    if (record.MappedBytes != 0) {
        uint8_t* grown = GrowBlock(block - kRecordBytes, record.MappedBytes, total);
        if (grown == nullptr) return nullptr;
        new (grown) BlockRecord{total, bytes};
        return grown + kRecordBytes;
    }
    // A heap block is small: a copy costs little.
    uint8_t* grown = AllocBlock(bytes, BlockFill::Zero);
    if (grown == nullptr) return nullptr;
    std::memcpy(grown, block, record.Bytes);
    FreeBlock(block);
    return grown;
}

void FrontRelease::Consumed(size_t bytes) {
    if (Block == nullptr) return;
    const BlockRecord& record = *reinterpret_cast<BlockRecord*>(Block - kRecordBytes);
    bytes = std::min(bytes, record.Bytes);
    // A call a row would cost a system call a row: only once a large page more is through. From
    // the start each time, which costs the kernel little, so that no page between two calls stays;
    // the record lies before the first whole page, which keeps it.
    if (record.MappedBytes == 0 || bytes < Released + kLargePageBytes) return;
    ReleasePages(Block, Block + bytes);
    Released = bytes;
}

void FreeBlock(uint8_t* block) {
    if (block == nullptr) return;
    uint8_t* base = block - kRecordBytes;
    const size_t mappedBytes = reinterpret_cast<BlockRecord*>(base)->MappedBytes;
    if (mappedBytes != 0) {
        UnmapBlock(base, mappedBytes);
    } else {
        std::free(base);
    }
}
