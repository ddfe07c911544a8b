// TGA codec: reads raw and run-length, colour-mapped, true-colour and grey files (alpha kept in a
// sample image when asked); writes raw or run-length with a top-left origin: a picture as 24-bit
// colour or 32 bits with 8 attribute bits of alpha, and a colour-mapped, 16-bit or 32-bit image as
// it holds its rows.
#pragma once

#include "ImageHandle.h"

class ByteSource;

class FCImageHandle_Tga : public FCImageHandle {
  public:
    // A packet cut by the end of a row: what is left of it continues in the next row, as readers
    // of files that let packets cross rows expect.
    struct RlePending {
        uint32_t pixelsLeft = 0;
        bool isRun = false;
        uint8_t pixel[4] = {0, 0, 0, 0};
    };

    // The header holds 16-bit sizes.
    static constexpr int32_t kMaxSide = 65535;

    FCImageHandle_Tga() : FCImageHandle(FileIntake{true}) {}
    // The one decoder: LoadMemory runs it over the block, LoadOpenFile over a window on the file
    // (plain pixel rows read straight into their places in the new image), and the fuzz targets
    // over a file source with windows of every small size.
    bool LoadSource(ByteSource& in) override;
    // flag -1 writes raw rows, 1 run-length ones; other values write nothing.
    bool SaveFile(const char* path, int32_t flag) override;

    // Decodes packets until pixelCount pixels of depth bits (8, 16, 24 or 32) fill row; never
    // reads at or past sourceEnd nor writes past the row. Returns the position after the packets
    // consumed; a packet reaching beyond the row leaves its rest in pending.
    static const uint8_t* RleDecodeLine(uint16_t depth, const uint8_t* source, const uint8_t* sourceEnd,
                                        uint8_t* row, int32_t pixelCount, RlePending& pending);
    // Encodes one row as run packets only; out holds at least (1 + depth / 8) bytes per pixel.
    // Returns the end of the bytes produced.
    static uint8_t* RleEncodeLine(uint16_t depth, const uint8_t* row, int32_t pixelCount, uint8_t* out);

  protected:
    ImageType WrittenType() const override { return ImageTypeTga; }
    bool WritePicture(const char* path, int32_t flag) override;
};
