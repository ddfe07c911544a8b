// The colour of premultiplied alpha taken back.
#include "SampleRows.h"

#include <algorithm>

void TakeOutPremultipliedAlpha(uint8_t* row, size_t width, uint32_t max) {
    WithSampleWidth(max > 255, [&](auto wide) {
        for (size_t i = 0; i < width * 4; i += 4) {
            const uint32_t a = std::min(GetSample<wide>(row, i + 3), max);
            for (size_t c = i; c < i + 3; ++c)
                PutSample<wide>(row, c, Unpremultiply(GetSample<wide>(row, c), a, max));
        }
    });
}
