// What a load came to, as a value: the codecs print nothing, and whoever loaded the picture turns
// this into its own words.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class LoadStatus {
    Loaded,
    CannotOpen,      // the name cannot be opened for reading
    NotRegularFile,  // a folder, FIFO or device stands under the name
    UnknownType,     // no codec reads a file of this extension
    Damaged,         // the codec refused the content
    Unsupported,     // a valid file of a kind no codec here reads
    OverPixelLimit,  // Width x Height is more than the pixel limit allows
    OverImageLimit,  // within the pixel limit, but the image object cannot hold this shape
    OutOfMemory,
};

struct LoadResult {
    LoadStatus Status = LoadStatus::Damaged;
    // The size of a picture refused for its size.
    uint64_t Width = 0;
    uint64_t Height = 0;
    // Rows the file ended before filling: the picture loads with them black.
    uint32_t IncompleteRows = 0;
    // Each completes a line "Warning: NAME " + phrase; a picture that loads may carry several.
    std::vector<std::string> Warnings;
    // What a library said about a refusal, when it said anything.
    std::string Detail;

    bool Ok() const { return Status == LoadStatus::Loaded; }
};
