// Zero-filled pixel blocks on top of calloc.
#include "PageAlloc.h"

#include <cstdlib>

// calloc rather than malloc + memset: large blocks come straight from fresh anonymous pages,
// which the kernel has already zeroed, so the C library skips the clearing pass for them.
uint8_t* AllocZeroedPixels(size_t bytes) {
    if (bytes == 0) return nullptr;
    return static_cast<uint8_t*>(std::calloc(bytes, 1));
}

void FreePixels(uint8_t* block) {
    std::free(block);
}
