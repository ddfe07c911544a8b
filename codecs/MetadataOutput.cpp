// The rules of what each output format keeps: JPEG, PNG and WebP the RGB profile, EXIF and XMP
// (JPEG within its segment sizes), TIFF the profile and XMP, the others none of them.
#include "MetadataOutput.h"

#include <cstring>
#include <utility>

#include "Exif.h"
#include "JpegSegments.h"

namespace {

constexpr size_t kIccColourSpaceAt = 16;
constexpr size_t kIccColourSpaceBytes = 4;
constexpr char kIccRgb[] = "RGB ";

// The profile's colour space as its header names it, for the warning; "unnamed" when unreadable.
std::string ColourSpaceName(const std::vector<uint8_t>& profile) {
    std::string name;
    for (size_t i = 0; i < kIccColourSpaceBytes && kIccColourSpaceAt + i < profile.size(); ++i) {
        const char c = char(profile[kIccColourSpaceAt + i]);
        if (c < ' ' || c > '~') return "an unnamed";
        if (c != ' ') name += c;
    }
    return name.empty() ? "an unnamed" : "a " + name;
}

bool IsRgbProfile(const std::vector<uint8_t>& profile) {
    return profile.size() >= kIccColourSpaceAt + kIccColourSpaceBytes &&
           std::memcmp(profile.data() + kIccColourSpaceAt, kIccRgb, kIccColourSpaceBytes) == 0;
}

std::string ListItems(const PictureMetadata& metadata) {
    std::vector<const char*> items;
    if (!metadata.IccProfile.empty()) items.push_back("a colour profile");
    if (!metadata.Exif.empty()) items.push_back("EXIF");
    if (!metadata.Xmp.empty()) items.push_back("XMP");
    std::string list;
    for (size_t i = 0; i < items.size(); ++i) {
        list += i == 0 ? "" : (i + 1 == items.size() ? " and " : ", ");
        list += items[i];
    }
    return list;
}

bool CarriesExif(ImageType output) {
    return output == ImageTypeJpeg || output == ImageTypePng || output == ImageTypeWebp;
}

bool CarriesProfileAndXmp(ImageType output) {
    return CarriesExif(output) || output == ImageTypeTiff;
}

}  // namespace

void MarkMetadataTurned(PictureMetadata& metadata) {
    constexpr uint16_t kFirstQuarterTurn = 5;
    if (metadata.Orientation >= kFirstQuarterTurn) SwapExifPixelDimensions(metadata.Exif);
    if (metadata.Orientation != 0) metadata.Orientation = 1;
}

std::vector<std::string> SettleMetadataForOutput(PictureMetadata& metadata, ImageType output, bool strip) {
    std::vector<std::string> warnings;
    if (strip || metadata.Empty()) {
        metadata = PictureMetadata{};
        return warnings;
    }
    PictureMetadata dropped;
    if (!CarriesProfileAndXmp(output)) std::swap(dropped.IccProfile, metadata.IccProfile);
    if (!CarriesProfileAndXmp(output)) std::swap(dropped.Xmp, metadata.Xmp);
    if (!CarriesExif(output)) std::swap(dropped.Exif, metadata.Exif);
    if (!dropped.Empty())
        warnings.push_back("has " + ListItems(dropped) + ", which this output format does not keep.");
    if (metadata.Empty()) return warnings;
    if (!metadata.IccProfile.empty() && !IsRgbProfile(metadata.IccProfile)) {
        warnings.push_back("has " + ColourSpaceName(metadata.IccProfile) +
                           " colour profile; the output is RGB, so it is not kept.");
        metadata.IccProfile.clear();
    }
    if (output != ImageTypeJpeg) return warnings;
    if (metadata.Exif.size() > kJpegExifMax) {
        warnings.push_back("has EXIF of " + std::to_string(metadata.Exif.size()) +
                           " bytes, more than a JPEG segment holds; it is not kept.");
        metadata.Exif.clear();
    }
    if (metadata.Xmp.size() > kJpegXmpMax) {
        warnings.push_back("has XMP of " + std::to_string(metadata.Xmp.size()) +
                           " bytes, more than a JPEG segment holds; it is not kept.");
        metadata.Xmp.clear();
    }
    return warnings;
}
