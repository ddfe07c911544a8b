// Zero-filled pixel blocks: small ones from calloc, large ones straight from the kernel as fresh
// anonymous pages, placed when mapped (see MappedBlock.cpp). Every pixel is written soon after
// anyway, and a page taken on its first touch costs a trap each, which on virtual machines made a
// 12 MP JPEG's load two and a half times slower than the decoding itself; what is saved besides is
// a second, user-space pass over memory that is zero already.
#include "PixelBlockAlloc.h"

#include <cstdlib>
#include <new>

#include "MappedBlock.h"

namespace {

// Every block starts with its record, keeping the pixels 16-byte aligned as malloc would.
constexpr size_t kRecordBytes = 16;

struct BlockRecord {
    size_t MappedBytes;  // 0 for a calloc block
};
static_assert(sizeof(BlockRecord) <= kRecordBytes, "the record must fit before the pixels");

}  // namespace

uint8_t* AllocPixelBlock(size_t bytes) {
    if (bytes == 0 || bytes > SIZE_MAX - kRecordBytes) return nullptr;
    const size_t total = bytes + kRecordBytes;
    const bool mapped = total >= kMappedBlockBytes;
    uint8_t* base = mapped ? MapBlock(total, true) : static_cast<uint8_t*>(std::calloc(total, 1));
    if (base == nullptr) return nullptr;
    new (base) BlockRecord{mapped ? total : 0};
    return base + kRecordBytes;
}

void FreePixelBlock(uint8_t* block) {
    if (block == nullptr) return;
    uint8_t* base = block - kRecordBytes;
    const size_t mappedBytes = reinterpret_cast<BlockRecord*>(base)->MappedBytes;
    if (mappedBytes != 0) {
        UnmapBlock(base, mappedBytes);
    } else {
        std::free(base);
    }
}
