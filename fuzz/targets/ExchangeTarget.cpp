// Fuzz target: ParseDocument on any bytes taken as a whole "image.xml" document.
#include <iostream>

#include "Exchange.h"
#include "FuzzTargets.h"

namespace {

// The parser reports every refusal on standard output; millions of runs would drown the log.
class QuietStdout {
  public:
    QuietStdout() : saved_(std::cout.rdbuf(nullptr)) {}
    ~QuietStdout() {
        std::cout.rdbuf(saved_);
        std::cout.clear();
    }

  private:
    std::streambuf* saved_;
};

// Every payload byte, whatever the document's form and frames: a pixel pointer or size past the block shows.
void TouchPayload(const uint8_t* bytes, uint64_t count) {
    static volatile uint32_t sink = 0;
    uint32_t sum = 0;
    for (uint64_t i = 0; i < count; ++i) sum += bytes[i];
    sink = sink + sum;
}

}  // namespace

// The payload must lie inside the document before anything is allocated, so the input's own size
// bounds the memory; no cap is needed here.
int FuzzExchangeDocument(const uint8_t* data, size_t size) {
    QuietStdout quiet;
    ExchangeState state;
    state.DocumentBuffer.assign(data, data + size);
    if (ParseDocument(state)) {
        const uint64_t pixelBytes = uint64_t(state.Channels) * uint64_t(state.Depth) / 8;
        TouchPayload(reinterpret_cast<const uint8_t*>(state.InputPixels),
                     state.PixelCount * pixelBytes * uint64_t(state.Frames));
    }
    return 0;
}
