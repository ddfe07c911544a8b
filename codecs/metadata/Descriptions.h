// The text a picture carries to describe itself, between the forms that hold it: TIFF's four
// ASCII tags, PNG's text chunks (by keyword) and JPEG's COM segments, all UTF-8 once read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ImageFormats.h"
#include "PictureMetadata.h"

namespace keyword {
constexpr char kDescription[] = "Description";  // TIFF's ImageDescription
constexpr char kAuthor[] = "Author";            // TIFF's Artist
constexpr char kCopyright[] = "Copyright";
constexpr char kSoftware[] = "Software";
constexpr char kComment[] = "Comment";  // a JPEG's COM
}  // namespace keyword

// Bytes up to the first zero as UTF-8: as they are where they are valid UTF-8, else read as Latin-1
// (what PNG's tEXt and most TIFF writers mean).
std::string TextFromBytes(const uint8_t* bytes, size_t size);
// Latin-1 bytes (PNG keywords) as UTF-8.
std::string Latin1ToUtf8(const uint8_t* bytes, size_t size);
// The text in Latin-1, one byte a character; false when a character is beyond it.
bool ToLatin1(const std::string& utf8, std::string& latin1);
// A PNG keyword: 1 to 79 printable Latin-1 characters, no space at either end or two together.
bool IsPngKeyword(const std::string& latin1);

// What an item costs against kKeptDescriptionsMax.
inline size_t DescriptionBytes(const PictureText& text) {
    return text.Keyword.size() + text.Text.size();
}

// Keeps the items from the first while they fit in kKeptDescriptionsMax together; the count left out.
size_t CapDescriptions(std::vector<PictureText>& descriptions);

// Leaves in descriptions what a file of type output writes, as that writer names them: every item
// for PNG; for TIFF the first of each of its four tags (a JPEG's comment as the ImageDescription
// when no description came); for JPEG the descriptions and comments, each a COM segment, so of at
// most kJpegSegmentBodyMax bytes. Names the keywords left out in dropped and the sizes of the items
// too large in tooLarge.
void SettleDescriptions(std::vector<PictureText>& descriptions, ImageType output,
                        std::vector<std::string>& dropped, std::vector<size_t>& tooLarge);
