// The metadata intake and the rules of what each output keeps, from the format table: the items a
// written form keeps, and the sizes its containers hold.
#include "MetadataOutput.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "Descriptions.h"
#include "Exif.h"
#include "JpegSegments.h"
#include "PictureWarnings.h"

namespace {

static_assert(kKeptProfileMax == kIccProfileMax, "a kept profile must fit a JPEG");

constexpr size_t kIccColourSpaceAt = 16;
constexpr size_t kIccColourSpaceBytes = 4;
constexpr char kIccRgb[] = "RGB ";
constexpr char kIccGrey[] = "GRAY";
constexpr uint16_t kUpright = 1;

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

bool IsProfileOf(const std::vector<uint8_t>& profile, const char* space) {
    return profile.size() >= kIccColourSpaceAt + kIccColourSpaceBytes &&
           std::memcmp(profile.data() + kIccColourSpaceAt, space, kIccColourSpaceBytes) == 0;
}

// Drops an item over the size its output holds, with a warning.
void Limit(std::vector<uint8_t>& item, size_t most, const char* name, const char* format,
           std::vector<std::string>& warnings) {
    if (most == 0 || item.size() <= most) return;
    warnings.push_back(warning::ItemTooLargeForOutput(name, item.size(), format));
    item.clear();
}

}  // namespace

void CheckPictureMetadata(PictureMetadata& metadata, std::vector<std::string>& warnings) {
    if (!metadata.Exif.empty()) {
        const ExifCheck check = CheckExif(metadata.Exif);
        if (!check.Whole) {
            warnings.push_back(check.Orientation != 0 ? warning::kDamagedExifOrientationKept
                                                      : warning::kDamagedExif);
            metadata.Exif = check.Orientation != 0 ? MinimalExif(check.Orientation) : std::vector<uint8_t>();
        }
        if (metadata.Orientation == 0) metadata.Orientation = check.Orientation;
    }
    if (metadata.IccProfile.size() > kKeptProfileMax) {
        warnings.push_back(warning::ItemTooLarge("a colour profile", kKeptProfileMax));
        metadata.IccProfile.clear();
    }
    if (metadata.Xmp.size() > kKeptXmpMax) {
        warnings.push_back(warning::ItemTooLarge("an XMP packet", kKeptXmpMax));
        metadata.Xmp.clear();
    }
    if (const size_t dropped = CapDescriptions(metadata.Descriptions))
        warnings.push_back(warning::DescriptionsPastLimit(dropped, kKeptDescriptionsMax));
}

bool OrientationReachesOutput(const PictureMetadata& metadata, ImageType output, bool strip) {
    return metadata.Orientation <= kUpright || (!strip && (ItemsKept(output) & ItemOrientation) != 0);
}

void MarkMetadataTurned(PictureMetadata& metadata) {
    constexpr uint16_t kFirstQuarterTurn = 5;
    if (metadata.Orientation >= kFirstQuarterTurn) SwapExifPixelDimensions(metadata.Exif);
    if (metadata.Orientation != 0) metadata.Orientation = kUpright;
}

void MarkMetadataResized(PictureMetadata& metadata, uint32_t width, uint32_t height) {
    SetExifPixelDimensions(metadata.Exif, width, height);
}

std::vector<std::string> SettleMetadataForOutput(PictureMetadata& metadata, bool hasResolution,
                                                 ImageType output, bool strip, bool greyOutput) {
    std::vector<std::string> warnings;
    if (strip) {
        metadata = PictureMetadata{};
        return warnings;
    }
    const uint32_t keeps = ItemsKept(output);
    const ImageFormat* format = FindImageFormat(output);
    const char* name = format != nullptr ? format->Name : "this output format";
    std::vector<std::string> dropped;
    const auto drop = [&](std::vector<uint8_t>& item, PictureItem kind, const char* words) {
        if (item.empty() || (keeps & kind) != 0) return;
        dropped.push_back(words);
        item.clear();
    };
    drop(metadata.IccProfile, ItemProfile, "a colour profile");
    drop(metadata.Exif, ItemExif, "EXIF");
    drop(metadata.Xmp, ItemXmp, "XMP");
    if (!metadata.Descriptions.empty() && (keeps & ItemDescriptions) == 0) {
        dropped.push_back(warning::DescriptionWords(metadata.Descriptions.size()));
        metadata.Descriptions.clear();
    }
    if (hasResolution && (keeps & ItemResolution) == 0) dropped.push_back("a resolution");
    if (!dropped.empty()) warnings.push_back(warning::NotKeptByOutput(Listed(dropped), name));
    std::vector<std::string> keywords;
    std::vector<size_t> tooLarge;
    SettleDescriptions(metadata.Descriptions, output, keywords, tooLarge);
    if (!keywords.empty())
        warnings.push_back(
            warning::NotKeptByOutput(warning::DescriptionWords(keywords.size(), keywords), name));
    for (const size_t bytes : tooLarge)
        warnings.push_back(warning::ItemTooLargeForOutput("a description", bytes, name));
    const bool fits =
        greyOutput ? IsProfileOf(metadata.IccProfile, kIccGrey) : IsProfileOf(metadata.IccProfile, kIccRgb);
    if (!metadata.IccProfile.empty() && !fits) {
        const std::string space = ColourSpaceName(metadata.IccProfile);
        warnings.push_back(greyOutput ? warning::ProfileNotGrey(space) : warning::ProfileNotRgb(space));
        metadata.IccProfile.clear();
    }
    if (format != nullptr) {
        const ItemLimits& limits = format->WriterLimits;
        Limit(metadata.IccProfile, limits.Profile, "a colour profile", name, warnings);
        Limit(metadata.Exif, limits.Exif, "EXIF", name, warnings);
        Limit(metadata.Xmp, limits.Xmp, "XMP", name, warnings);
        if (limits.XmpWithoutZero &&
            std::find(metadata.Xmp.begin(), metadata.Xmp.end(), 0) != metadata.Xmp.end()) {
            warnings.push_back(warning::XmpWithZero(name));
            metadata.Xmp.clear();
        }
    }
    // An orientation whose EXIF is gone (never there, too large, damaged) still goes out, as an EXIF
    // block of that tag alone, where the output keeps it in EXIF.
    if (metadata.Orientation > kUpright && (keeps & ItemExif) != 0 && (keeps & ItemOrientation) != 0 &&
        metadata.Exif.empty())
        metadata.Exif = MinimalExif(metadata.Orientation);
    return warnings;
}
