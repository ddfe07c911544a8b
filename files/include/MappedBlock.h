// Large blocks straight from the kernel as fresh anonymous pages, under the one allocator of big
// buffers (ByteBlock.h: documents, file images, pixel blocks): one place decides what counts as large.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Below this a block comes from the heap; from here on it gets a mapping of its own.
constexpr size_t kMappedBlockBytes = size_t(1) << 20;

// A zero-filled mapping of bytes, or null when the memory is not available. populate places
// every page at once, which costs the kernel one pass instead of a fault per page: worth it for
// a block that is written whole at once.
uint8_t* MapBlock(size_t bytes, bool populate);
void UnmapBlock(uint8_t* block, size_t bytes);
// The huge page a mapping is asked to use.
constexpr size_t kLargePageBytes = size_t(2) << 20;
// The memory under the whole large pages (aligned) between first and end goes back to the kernel;
// those bytes read as zero afterwards.
void ReleasePages(uint8_t* first, uint8_t* end);
// Which pages of a block have ever been written or read, as they stand when it is made: a page
// never touched is zero and costs no memory, so a caller may leave it so instead of touching it.
// Taken once before the block is read, since reading a page places it.
class PageSnapshot {
  public:
    PageSnapshot(const uint8_t* block, size_t bytes);
    // False only when no page under the bytes (inside the block) had been touched.
    bool Touched(const uint8_t* at, size_t bytes) const;

  private:
    uintptr_t first_ = 0;
    std::vector<unsigned char> resident_;  // empty when the kernel could not say: all touched
};
// The mapping grown to bytes, moved by the kernel if it must (its pages move, not their contents);
// the new bytes are zero. Null, with the block as it was, when the memory is not available.
uint8_t* GrowBlock(uint8_t* block, size_t oldBytes, size_t bytes);
