// Our own walk of a PNG's chunk list. libspng is handed only the chunks the pixels need (the
// critical ones and tRNS); every other chunk is read here, once: libspng 0.7 cannot be told to
// leave the chunks it knows alone, and would inflate and keep every profile and text chunk itself,
// within limits that refuse the whole file when a large profile or many text chunks pass them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "PictureMetadata.h"

class ByteSource;

struct PngChunk {
    char Type[5] = {};
    std::vector<uint8_t> Body;  // of the chunks whose contents are read; empty for the others
};

struct PngChunkList {
    // The byte ranges of the file the decoder is to see, in order: the signature, the chunks it
    // needs and, from a chunk that does not fit, the rest of the file as it is.
    struct Range {
        uint64_t Offset;
        uint64_t Length;
    };
    std::vector<Range> ForDecoder;
    // The chunks kept from the decoder, checksums checked, and IHDR and tRNS, for what they carry.
    std::vector<PngChunk> Others;
    // Text chunks passed over once those held came to kHeldTextMax bytes: past the descriptions kept.
    size_t TextPassedOver = 0;
};

// The bytes of text chunks the walk holds, beyond what can come to kKeptDescriptionsMax once read
// (a keyword and the fields before a text).
constexpr size_t kHeldTextMax = 2 * kKeptDescriptionsMax;

// Walks the chunks after the signature up to IEND, or up to the first that does not fit in the
// source. The decoder's chunks are passed over, to be read where they lie; of the others only
// those that carry something are held. False, with the reason, when a chunk kept from the decoder
// fails its checksum: the bytes are damaged, and nothing says the damage stayed in that chunk.
bool WalkPngChunks(ByteSource& in, PngChunkList& chunks, std::string& reason);

struct PngExtras {
    int32_t XPixelsPerMetre = 0;  // from pHYs in metres; 0 for none
    int32_t YPixelsPerMetre = 0;
    bool Transparent = false;  // an alpha channel or tRNS
    bool Animated = false;     // acTL
};

// Takes what the chunks carry: the profile, EXIF, XMP, descriptions, resolution, transparency and
// animation.
// Every damaged or doubled item is left out of metadata and said in warnings; compressed items
// inflate to at most what is kept of them.
void ReadPngMetadata(const PngChunkList& chunks, PictureMetadata& metadata, PngExtras& extras,
                     std::vector<std::string>& warnings);
