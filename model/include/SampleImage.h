// A picture whose samples the 24-bit image cannot hold: more than 8 bits per sample, or alpha
// beside the colour. Rows run from the top, each pixel red, green, blue (and alpha); a sample of
// more than 8 bits takes two bytes, the most significant first, as PNG and PAM store them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "ObjImage.h"

// Sample i of a row (i counts samples, not pixels) of one byte, or of two with the most significant
// first. A loop over a whole picture picks Wide once, not per sample.
template <bool Wide>
inline uint32_t GetSample(const uint8_t* row, size_t i) {
    return Wide ? uint32_t(row[2 * i]) << 8 | row[2 * i + 1] : row[i];
}
template <bool Wide>
inline void PutSample(uint8_t* row, size_t i, uint32_t value) {
    if (Wide) {
        row[2 * i] = uint8_t(value >> 8);
        row[2 * i + 1] = uint8_t(value);
    } else {
        row[i] = uint8_t(value);
    }
}
// Calls body(std::true_type()) for wide samples, body(std::false_type()) for narrow ones.
template <class Body>
inline void WithSampleWidth(bool wide, Body&& body) {
    if (wide) {
        body(std::true_type());
    } else {
        body(std::false_type());
    }
}

class FCSampleImage {
  public:
    FCSampleImage() = default;
    FCSampleImage(const FCSampleImage&) = delete;
    FCSampleImage& operator=(const FCSampleImage&) = delete;
    ~FCSampleImage() { Release(); }

    // channels is 1 (grey), 2 (grey and alpha), 3 (colour) or 4 (colour and alpha); maxValue, 1 to 65535, is
    // the largest value a sample takes (255, 1023, 65535, or a netpbm maxval): up to 255 a sample takes one
    // byte, above it two. The samples start zero. False, with the image unchanged, for a shape it cannot take
    // or when memory runs out.
    bool Create(int32_t width, int32_t height, uint32_t channels, uint32_t maxValue);
    void Release();
    bool IsValid() const { return Samples != nullptr; }
    // Trades every member with other.
    void SwapWith(FCSampleImage& other) noexcept;

    uint32_t BytesPerSample() const { return MaxValue > 255 ? 2 : 1; }
    // The bits a sample of MaxValue needs: 8 for 255, 10 for 1023, 16 for 65535.
    uint32_t SignificantBits() const;
    size_t RowBytes() const { return size_t(Width) * Channels * BytesPerSample(); }
    uint8_t* Row(int32_t y) const { return Samples + size_t(y) * RowBytes(); }
    // Sample i of a row (i counts samples, not pixels).
    uint32_t SampleAt(const uint8_t* row, size_t i) const {
        return BytesPerSample() == 1 ? GetSample<false>(row, i) : GetSample<true>(row, i);
    }
    void SetSample(uint8_t* row, size_t i, uint32_t value) const {
        if (BytesPerSample() == 1) {
            PutSample<false>(row, i, value);
        } else {
            PutSample<true>(row, i, value);
        }
    }

    int32_t Width = 0;
    int32_t Height = 0;
    uint32_t Channels = 0;
    uint32_t MaxValue = 0;
    int32_t XPixelsPerMetre = 0;
    int32_t YPixelsPerMetre = 0;
    uint8_t* Samples = nullptr;  // Height rows of RowBytes, owned
};

// Each value a sample of 0 to from can take, as a sample of 0 to to: (v x to + from / 2) / from,
// except that samples of 8 bits or fewer go to 8 bits first and are then multiplied by 257, so
// that narrowing the result again gives exactly the 8-bit picture.
std::vector<uint16_t> SampleValueTable(uint32_t from, uint32_t to);
// The bits a sample of 0 to maxValue needs: 8 for 255, 10 for 1023, 16 for 65535.
uint32_t SignificantBitsOf(uint32_t maxValue);

// The one narrowing of samples above 8 bits: each colour sample becomes
// (v x 255 + MaxValue / 2) / MaxValue, alpha is left out, and the resolution goes along. image
// becomes a 24-bit picture of the same size; false, with image unchanged, when memory runs out.
bool NarrowToImage(const FCSampleImage& samples, FCObjImage& image);

// The samples in another form: channels 1 to 4 (alpha added opaque, or left out; grey spread over
// the colour, never colour into grey) and maxValue
// 255 or 65535. Samples above 8 bits are scaled by v x maxValue / MaxValue, rounded; samples of 8
// bits or fewer (MaxValue up to 255) go to 8 bits first and are then multiplied by 257, so that
// narrowing the result again gives exactly the 8-bit picture. False, with samples unchanged, when
// memory runs out or colour would become grey.
bool ConvertSamples(FCSampleImage& samples, uint32_t channels, uint32_t maxValue);
// A 24-bit picture as samples of that form (alpha opaque), its resolution along.
bool WidenToSamples(const FCObjImage& image, FCSampleImage& samples, uint32_t channels, uint32_t maxValue);
// True when some alpha sample is below MaxValue; false without alpha (one or three channels).
bool HasTransparentSample(const FCSampleImage& samples);
