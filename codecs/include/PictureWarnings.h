// Every warning a load or a save can give about a picture, in one place: each completes the line
// "Warning: NAME " + phrase, so the same loss is said the same way whatever the format, and tests
// take the words from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// "a, b and c": how the warnings and the usage text list things.
inline std::string Listed(const std::vector<std::string>& items) {
    std::string text;
    for (size_t i = 0; i < items.size(); ++i) {
        text += i == 0 ? "" : (i + 1 == items.size() ? " and " : ", ");
        text += items[i];
    }
    return text;
}

namespace warning {

// What the picture has that the 24-bit exchange does not carry.
constexpr char kTransparency[] =
    "has transparency, which is not kept: the picture comes out opaque (--alpha keeps it, for a module that "
    "takes it).";
constexpr char kFrames[] = "has several frames or pages; only the first is used.";
// Every frame asked for, and the file damaged after some of them.
inline std::string FramesCutShort(uint64_t kept, const std::string& words) {
    return "is damaged after frame " + std::to_string(kept) + " (" + words + "); the " +
           (kept == 1 ? std::string("frame") : std::to_string(kept) + " frames") + " before it " +
           (kept == 1 ? "is" : "are") + " kept.";
}
inline std::string NarrowedSamples(uint32_t bits) {
    return "has " + std::to_string(bits) + " bits per sample; narrowed to 8.";
}

// Damage: what a reader could not take whole.
inline std::string EndsEarly(uint32_t incompleteRows, int32_t height) {
    return "ends early; " + std::to_string(incompleteRows) + " of " + std::to_string(height) +
           " rows are incomplete and stay black.";
}

// A picture a library decoded to its end despite damage.
constexpr char kEndsEarlyGrey[] = "ends early; the part it does not reach is grey.";
inline std::string DamagedData(const std::string& words) {
    return "has damaged data (" + words + ")";
}

// Metadata the intake or a reader leaves out.
constexpr char kDamagedExif[] = "has a damaged EXIF block (an offset or a count outside it); it is not kept.";
constexpr char kDamagedExifOrientationKept[] =
    "has a damaged EXIF block (an offset or a count outside it); only its orientation is kept.";
constexpr char kDamagedProfile[] = "has a damaged colour profile; it is not kept.";
constexpr char kDamagedProfileChunks[] =
    "has a damaged colour profile (a chunk missing, doubled or misnumbered); it is not kept.";
constexpr char kDamagedXmp[] = "has a damaged XMP packet; it is not kept.";
// --colour srgb, and a profile lcms2 cannot read or convert through.
constexpr char kUnusableProfile[] =
    "has a colour profile that cannot be used; its colours are taken as they are, and the profile is kept.";
constexpr char kUnusableCmykProfile[] =
    "has a CMYK colour profile that cannot be used; its colours are made by the plain ink model.";
constexpr char kSecondProfile[] = "has a second colour profile, which is not kept.";
constexpr char kSecondExif[] = "has a second EXIF block, which is not kept.";
constexpr char kSecondXmp[] = "has a second XMP packet, which is not kept.";
constexpr char kExtendedXmp[] = "has Extended XMP, which is not kept.";
inline std::string ItemTooLarge(const char* item, uint64_t most) {
    return std::string("has ") + item + " of more than " + std::to_string(most) +
           " bytes, which is not kept.";
}
// Descriptions past what is kept in all, and text chunks that cannot be read.
inline std::string DescriptionsPastLimit(size_t dropped, size_t most) {
    return "has descriptions of more than " + std::to_string(most) + " bytes in all; " +
           (dropped == 1 ? std::string("the last is") : "the last " + std::to_string(dropped) + " are") +
           " not kept.";
}
inline std::string DamagedTextChunks(size_t count) {
    return count == 1 ? std::string("has a damaged text chunk; it is not kept.")
                      : "has " + std::to_string(count) + " damaged text chunks; they are not kept.";
}
// A description or several, as the list of items an output drops names them; with keywords, those
// that an output keeping others leaves out: descriptions "Title" and "Comment".
inline std::string DescriptionWords(size_t count, const std::vector<std::string>& keywords = {}) {
    std::vector<std::string> quoted;
    for (const std::string& keyword : keywords) quoted.push_back("\"" + keyword + "\"");
    return std::string(count == 1 ? "a description" : "descriptions") +
           (quoted.empty() ? "" : " " + Listed(quoted));
}

// What the output's format cannot hold of the answer (these complete "Warning: OUT ").
constexpr char kFramesNotWritten[] = "cannot keep the other frames or pages; only the first is saved.";
constexpr char kTransparencyNotWritten[] = "cannot keep transparency; the picture comes out opaque.";
constexpr char kDeepSamplesNotWritten[] = "cannot keep 16-bit samples; they are narrowed to 8.";
// What the form the run chose did not carry to the module, said of the output it comes to.
constexpr char kTransparencyNotSent[] =
    "comes out opaque: the picture's transparency was not sent to the module (--alpha sends it).";
inline std::string DeepSamplesNotSent(uint32_t bits) {
    return "comes out at 8 bits: the picture's " + std::to_string(bits) +
           " bits per sample were narrowed for the module (--depth 16 keeps them).";
}

// What the output's format cannot hold.
inline std::string NotKeptByOutput(const std::string& items, const char* format) {
    return "has " + items + ", which " + format + " does not keep.";
}
inline std::string ItemTooLargeForOutput(const char* item, uint64_t bytes, const char* format) {
    return std::string("has ") + item + " of " + std::to_string(bytes) + " bytes, more than " + format +
           " holds; it is not kept.";
}
inline std::string ProfileNotRgb(const std::string& space) {
    return "has " + space + " colour profile; the output is RGB, so it is not kept.";
}
inline std::string ProfileNotGrey(const std::string& space) {
    return "has " + space + " colour profile; the output is grey, so it is not kept.";
}
inline std::string XmpWithZero(const char* format) {
    return std::string("has an XMP packet with a zero byte in it, which ") + format +
           " cannot hold; it is not kept.";
}

}  // namespace warning
