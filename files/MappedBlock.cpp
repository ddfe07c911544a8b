// Anonymous mappings for large blocks.
#include "MappedBlock.h"

#include <sys/mman.h>

uint8_t* MapBlock(size_t bytes, bool populate) {
    if (bytes == 0) return nullptr;
    // No huge-page hint: a request that finds no free 2 MB page makes the kernel compact memory
    // first, and the worst loads became several times slower than without it.
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | (populate ? MAP_POPULATE : 0), -1, 0);
    return block == MAP_FAILED ? nullptr : static_cast<uint8_t*>(block);
}

void UnmapBlock(uint8_t* block, size_t bytes) {
    if (block != nullptr) munmap(block, bytes);
}
