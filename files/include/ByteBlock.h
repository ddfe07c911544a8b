// The one allocator of large byte blocks: pixels, files read whole, exchange documents. Small
// blocks come from the heap, large ones are mappings of their own (MappedBlock.h). One convention
// when memory is short: null, or an empty ByteBlock, never an exception; the caller says so in its
// own words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

// What a new block holds before its owner writes it.
enum class BlockFill {
    // Zero, so that a new image needs no clearing pass of its own. A large block's pages are taken
    // as they are first written: rows a file never fills cost nothing.
    Zero,
    // Whatever was there: the block is written whole at once (a document read over it), so
    // clearing it first would only touch every page twice. A large block's pages are placed at
    // once, which costs the kernel one pass instead of a fault a page.
    Unset,
};

// A block of bytes (a block of none for 0), or null when the memory is not available.
uint8_t* AllocBlock(size_t bytes, BlockFill fill);
// The block grown to bytes, its contents kept and the rest zero, moved if it must be: a mapped
// block is remapped, not copied. Null, with block untouched and still owned, when memory runs out.
uint8_t* ExtendBlock(uint8_t* block, size_t bytes);
// Gives back a block from AllocBlock or ExtendBlock; null is ignored.
void FreeBlock(uint8_t* block);

// Gives a block's memory back to the kernel from the front as its reader goes through it once,
// such as a decoder's whole picture taken into the sink a row at a time: the rows taken cost
// nothing while the rest are. Whole large pages only, so some memory may stay; the bytes given
// back read as zero. A heap block stays as it is.
class FrontRelease {
  public:
    explicit FrontRelease(uint8_t* block) : Block(block) {}
    // The first bytes of the block have been read for the last time.
    void Consumed(size_t bytes);

  private:
    uint8_t* Block;
    size_t Released = 0;
};

struct BlockDeleter {
    void operator()(uint8_t* block) const { FreeBlock(block); }
};
// Owns a block until it is handed over (to an image, which frees it with FreeBlock).
using BlockPtr = std::unique_ptr<uint8_t, BlockDeleter>;

// A block that knows its size. Moves hand the block over; nothing is copied.
class ByteBlock {
  public:
    ByteBlock() = default;
    // No block at all (data() null, size 0) when the memory is not available.
    ByteBlock(size_t size, BlockFill fill) : Bytes(AllocBlock(size, fill)), Size(Bytes ? size : 0) {}
    ByteBlock(ByteBlock&& other) noexcept
        : Bytes(std::move(other.Bytes)), Size(std::exchange(other.Size, 0)) {}
    ByteBlock& operator=(ByteBlock&& other) noexcept {
        Bytes = std::move(other.Bytes);
        Size = std::exchange(other.Size, 0);
        return *this;
    }

    // The block becomes a copy of first..last; false, the block as it was, when memory runs out.
    template <class Iterator>
    bool assign(Iterator first, Iterator last) {
        ByteBlock copy(size_t(last - first), BlockFill::Unset);
        if (copy.data() == nullptr) return false;
        for (size_t i = 0; first != last; ++first, ++i) copy.data()[i] = uint8_t(*first);
        *this = std::move(copy);
        return true;
    }
    uint8_t* data() const { return Bytes.get(); }
    size_t size() const { return Size; }
    bool empty() const { return Size == 0; }
    // Keeps the first size bytes and forgets the rest (a file that shrank while it was read).
    void shrink(size_t size) {
        if (size < Size) Size = size;
    }

  private:
    BlockPtr Bytes;
    size_t Size = 0;
};
