// Document buffers: from new[] when small, a mapping of their own when large.
#include "ByteBlock.h"

#include <new>

#include "MappedBlock.h"

ByteBlock::ByteBlock(size_t size) : Size(size) {
    if (size < kMappedBlockBytes) {
        Bytes = new uint8_t[size];
        return;
    }
    Bytes = MapBlock(size, true);
    if (Bytes == nullptr) throw std::bad_alloc();
    Mapped = size;
}

ByteBlock& ByteBlock::operator=(ByteBlock&& other) noexcept {
    if (this != &other) {
        Release();
        Bytes = other.Bytes;
        Size = other.Size;
        Mapped = other.Mapped;
        other.Forget();
    }
    return *this;
}

void ByteBlock::Release() {
    if (Mapped != 0) {
        UnmapBlock(Bytes, Mapped);
    } else {
        delete[] Bytes;
    }
    Forget();
}
