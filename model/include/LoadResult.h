// What a load came to, as a value: the codecs print nothing, and whoever loaded the picture turns
// this into its own words. Every refusal carries its reason from the reader that refused.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ImageSize.h"

enum class LoadStatus {
    Loaded,
    CannotOpen,      // the name cannot be opened for reading
    NotRegularFile,  // a folder, FIFO or device stands under the name
    UnknownType,     // no codec reads a file of this extension, nor one of this signature
    Damaged,         // the codec refused the content
    Unsupported,     // a valid file of a kind no codec here reads
    OverPixelLimit,  // Width x Height is more than the pixel limit allows
    OverImageLimit,  // within the pixel limit, but the image object cannot hold this shape
    OverFrameLimit,  // each frame within the pixel limit, but not all of them together
    OutOfMemory,
};

// What the caller of a load asks of it.
struct LoadOptions {
    // Pictures of more pixels are refused from their header, before any pixel memory is taken.
    uint64_t PixelLimit = kDefaultPixelLimit;
    // The caller hears of a picture's transparency in the result (and a load into samples of four
    // channels keeps it), instead of a warning that it is dropped.
    bool KeepAlpha = false;
    // The bytes a pixel takes in the form the picture is held in after the load: 3 for the 24-bit
    // image, up to 8 for samples of four 16-bit channels. Every picture within the pixel limit fits
    // at 3; a larger form is checked with the size, before any pixel memory is taken.
    uint32_t HeldPixelBytes = 3;
    // Every frame of an animation (every full-size page of a TIFF) is read, not only the first; all
    // of them together may hold FramesPixelLimit() pixels, checked from the file's counts.
    bool AllFrames = false;
    // --colour srgb: a reader whose pixels lose their own space as they are decoded (CMYK JPEG)
    // converts them through the file's profile to sRGB, and drops the profile.
    bool ColourToSrgb = false;
    // A grey file (grey, or grey and alpha, as stored) is held grey: one channel, two where the
    // form asked for has alpha. Colour files, palettes among them, are held as asked.
    bool KeepGrey = false;
    uint64_t FramesPixelLimit() const { return kFramesPerPixelLimit * PixelLimit; }
};

struct LoadResult {
    // Set by the reader that refused, with its reason; a picture that loads is marked so by the
    // codec framework only once its image is in hand.
    LoadStatus Status = LoadStatus::Damaged;
    // The size of a picture refused for its size.
    uint64_t Width = 0;
    uint64_t Height = 0;
    // The frames of a picture refused for all of them together.
    uint64_t Frames = 0;
    // Rows the file ended before filling: the picture loads with them black.
    uint32_t IncompleteRows = 0;
    // Each completes a line "Warning: NAME " + phrase; a picture that loads may carry several.
    std::vector<std::string> Warnings;
    // Why the reader refused: a library's own words, or the reader's fixed text.
    std::string Detail;
    // The format whose reader gave this result, by its name in messages; null where none did. A
    // file read by its signature alone is refused in its format's name, not its extension's.
    const char* Format = nullptr;
    // The picture has transparency: some alpha sample below its largest value, whatever the number
    // of samples its reader decoded (alpha 0 everywhere in a BMP alpha mask or a TGA is none).
    bool Transparent = false;
    // Of a load into samples: the bits a sample of the file had (8 for 24-bit pictures), whatever
    // the form they were delivered in.
    uint32_t SourceBits = 0;

    bool Ok() const { return Status == LoadStatus::Loaded; }
    // Notes a refusal and its reason; returns false, for the reader's own return.
    bool Refuse(LoadStatus status, std::string detail) {
        Status = status;
        Detail = std::move(detail);
        return false;
    }
};
