// What a picture carries besides its pixels and its resolution (which the image's own header
// holds): read by every reader whose format has it, checked by one intake whatever the container,
// kept by the host for the whole run and handed to the writer. It never goes through the
// exchange: modules see pixels only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The largest items kept: a profile as large as a JPEG carries (255 APP2 chunks), and an XMP
// packet of 16 MB, far beyond any a camera or an editor writes.
constexpr size_t kKeptProfileMax = 16707345;
constexpr size_t kKeptXmpMax = size_t(16) << 20;
// All the descriptions together, keywords included: far beyond what a microscope or a camera
// writes, small enough that a file of many text chunks costs little.
constexpr size_t kKeptDescriptionsMax = size_t(1) << 20;

// A text the picture carries to describe itself, named as PNG names it: "Description" (TIFF's
// ImageDescription), "Author" (TIFF's Artist), "Copyright", "Software", "Comment" (a JPEG's COM)
// or any other PNG keyword. Both are UTF-8, never empty.
struct PictureText {
    std::string Keyword;
    std::string Text;
    bool operator==(const PictureText& other) const { return Keyword == other.Keyword && Text == other.Text; }
};

struct PictureMetadata {
    std::vector<uint8_t> IccProfile;        // the ICC profile, whole
    std::vector<uint8_t> Exif;              // a TIFF structure, from its byte-order mark on
    std::vector<uint8_t> Xmp;               // the XMP packet as stored
    std::vector<PictureText> Descriptions;  // in the order the file has them
    // How the stored picture is shown, 1 to 8; 0 when nothing says. A reader whose format has a
    // tag of its own (TIFF) sets it; otherwise the intake takes EXIF's.
    uint16_t Orientation = 0;

    // No profile, EXIF or XMP for a writer to put in (the orientation may still be set).
    bool HoldsNoBlocks() const { return IccProfile.empty() && Exif.empty() && Xmp.empty(); }
};
