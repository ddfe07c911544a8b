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

void TouchPixels(const ExchangePixel* pixels, uint32_t count) {
    static volatile uint32_t sink = 0;
    uint32_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) sum += uint32_t(pixels[i].Red + pixels[i].Green + pixels[i].Blue);
    sink = sink + sum;
}

}  // namespace

// The payload must lie inside the document before anything is allocated, so the input's own size
// bounds the memory; no cap is needed here.
int FuzzExchangeDocument(const uint8_t* data, size_t size) {
    QuietStdout quiet;
    ExchangeState state;
    state.DocumentBuffer.assign(data, data + size);
    if (ParseDocument(state)) TouchPixels(state.InputPixels, state.PixelCount);
    return 0;
}
