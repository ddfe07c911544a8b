// The buffer a document is read into: not cleared when it is made, and mapped when large.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

// A byte block that is not cleared when it is made: a document is read over it at once, so
// clearing it first would only touch every page twice. Large blocks are mapped with their pages
// already in place; their size always comes from a file's real length, never from a header.
class ByteBlock {
  public:
    ByteBlock() = default;
    // Throws std::bad_alloc like any allocation of the program.
    explicit ByteBlock(size_t size);
    ByteBlock(ByteBlock&& other) noexcept : Bytes(other.Bytes), Size(other.Size), Mapped(other.Mapped) {
        other.Forget();
    }
    ByteBlock& operator=(ByteBlock&& other) noexcept;
    ByteBlock(const ByteBlock&) = delete;
    ByteBlock& operator=(const ByteBlock&) = delete;
    ~ByteBlock() { Release(); }

    template <class Iterator>
    void assign(Iterator first, Iterator last) {
        ByteBlock copy(size_t(last - first));
        for (size_t i = 0; first != last; ++first, ++i) copy.Bytes[i] = uint8_t(*first);
        *this = std::move(copy);
    }
    uint8_t* data() const { return Bytes; }
    size_t size() const { return Size; }
    bool empty() const { return Size == 0; }
    // Keeps the first size bytes and forgets the rest (a file that shrank while it was read).
    void shrink(size_t size) {
        if (size < Size) Size = size;
    }

  private:
    void Release();
    void Forget() {
        Bytes = nullptr;
        Size = 0;
        Mapped = 0;
    }

    uint8_t* Bytes = nullptr;
    size_t Size = 0;
    size_t Mapped = 0;  // the mapping's length, 0 for a block from new[]
};
