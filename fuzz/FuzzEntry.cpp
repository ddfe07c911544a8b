// The libFuzzer entry point of one fuzz program: CORVANE_FUZZ_ENTRY names the target it runs, or
// CORVANE_FUZZ_FORMAT the key of the format whose codec it runs.
#include "FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#ifdef CORVANE_FUZZ_FORMAT
    return FuzzFormatLoad(CORVANE_FUZZ_FORMAT, data, size);
#else
    return CORVANE_FUZZ_ENTRY(data, size);
#endif
}
