// The libFuzzer entry point of one fuzz program; CORVANE_FUZZ_ENTRY names the target it runs.
#include "FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return CORVANE_FUZZ_ENTRY(data, size);
}
