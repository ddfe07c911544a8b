// What a picture carries besides its pixels and its resolution (which the image's own header
// holds): read by every reader whose format has it, kept by the host for the whole run and
// handed to the writer. It never goes through the exchange: modules see pixels only.
#pragma once

#include <cstdint>
#include <vector>

struct PictureMetadata {
    std::vector<uint8_t> IccProfile;  // the ICC profile, whole
    std::vector<uint8_t> Exif;        // a TIFF structure, from its byte-order mark on
    std::vector<uint8_t> Xmp;         // the XMP packet as stored
    uint16_t Orientation = 0;         // EXIF IFD0 Orientation, 1 to 8; 0 when there is none

    bool Empty() const { return IccProfile.empty() && Exif.empty() && Xmp.empty(); }
};
