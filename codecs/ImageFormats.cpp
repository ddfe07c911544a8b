// The format table and everything derived from it: codecs by type, the signature sniffer, the
// names in messages and the lists of the usage text.
#include "ImageFormats.h"

#include <cstring>
#include <vector>

#include "ImageHandle_Bmp.h"
#include "ImageHandle_Heif.h"
#include "ImageHandle_IPicture.h"
#include "ImageHandle_Jpeg.h"
#include "ImageHandle_Png.h"
#include "ImageHandle_Pnm.h"
#include "ImageHandle_Tga.h"
#include "ImageHandle_Tiff.h"
#include "ImageHandle_Webp.h"
#include "JpegSegments.h"

namespace {

bool StartsWith(const uint8_t* bytes, size_t count, const char* signature, size_t length, size_t at = 0) {
    return count >= at + length && std::memcmp(bytes + at, signature, length) == 0;
}

template <class Codec>
std::unique_ptr<FCImageHandleBase> Make(ImageType) {
    return std::make_unique<Codec>();
}

constexpr PixelLayout kRgb8{3, 255, false};
constexpr PixelLayout kRgba8{4, 255, false};
constexpr PixelLayout kRgb16{3, 65535, false};
constexpr PixelLayout kRgba16{4, 65535, false};
constexpr PixelLayout kBgra8{4, 255, true};
constexpr PixelLayout kBmpWrites[] = {kImage24Layout};
constexpr PixelLayout kTgaWrites[] = {kImage24Layout, kBgra8};
// TurboJPEG takes the 24-bit image as it lies.
constexpr PixelLayout kJpegWrites[] = {kImage24Layout};
constexpr PixelLayout kEveryWrites[] = {kRgb8, kRgba8, kRgb16, kRgba16};
constexpr PixelLayout kWebpWrites[] = {kRgb8, kRgba8};
constexpr PixelLayout kPpmWrites[] = {kRgb8, kRgb16};
template <size_t N>
constexpr LayoutList Layouts(const PixelLayout (&items)[N]) {
    return LayoutList{items, N};
}

constexpr uint32_t kJpegKeeps = ItemProfile | ItemExif | ItemXmp | ItemResolution | ItemOrientation;
constexpr uint32_t kPngKeeps = ItemProfile | ItemExif | ItemXmp | ItemResolution | ItemOrientation;
constexpr uint32_t kTiffKeeps = ItemProfile | ItemXmp | ItemResolution | ItemOrientation;
constexpr uint32_t kWebpKeeps = ItemProfile | ItemExif | ItemXmp | ItemOrientation;
constexpr uint32_t kDepthAndAlpha = ItemTransparency | ItemDeepSamples;

// Searched in this order, first the extension, then the signature; messages list the formats so.
const ImageFormat kFormats[] = {
    {"BMP",
     {{"bmp", ImageTypeBmp, "BMP", ItemResolution, Layouts(kBmpWrites)}},
     1,
     [](const uint8_t* b, size_t n) { return StartsWith(b, n, "BM", 2); },
     Make<FCImageHandle_Bmp>,
     0,
     false,
     ItemResolution | ItemTransparency,
     {}},
    {"TGA",
     {{"tga", ImageTypeTga, "TGA", 0, Layouts(kTgaWrites)}},
     1,
     nullptr,
     Make<FCImageHandle_Tga>,
     0,
     false,
     ItemTransparency,
     {}},
    {"PNG",
     {{"png", ImageTypePng, "PNG", kPngKeeps, Layouts(kEveryWrites)}},
     1,
     [](const uint8_t* b, size_t n) { return StartsWith(b, n, "\x89PNG\r\n\x1a\n", 8); },
     Make<FCImageHandle_Png>,
     0,
     false,
     kPngKeeps | kDepthAndAlpha,
     {0, 0, 0, true}},
    {"JPEG",
     {{"jpg", ImageTypeJpeg, "JPEG", kJpegKeeps, Layouts(kJpegWrites)},
      {"jpeg", ImageTypeJpeg, "JPEG", kJpegKeeps, Layouts(kJpegWrites)}},
     2,
     [](const uint8_t* b, size_t n) { return StartsWith(b, n, "\xff\xd8\xff", 3); },
     Make<FCImageHandle_Jpeg>,
     0,
     true,
     kJpegKeeps,
     {kIccProfileMax, kJpegExifMax, kJpegXmpMax, false}},
    {"GIF",
     {{"gif", ImageTypeGif, nullptr, 0, {}}},
     1,
     [](const uint8_t* b, size_t n) {
         return StartsWith(b, n, "GIF87a", 6) || StartsWith(b, n, "GIF89a", 6);
     },
     [](ImageType) -> std::unique_ptr<FCImageHandleBase> {
         return std::make_unique<FCImageHandle_IPicture>(FCImageHandle_IPicture::Format::Gif);
     },
     0,
     false,
     ItemTransparency,
     {}},
    {"TIFF",
     {{"tif", ImageTypeTiff, "TIFF", kTiffKeeps, Layouts(kEveryWrites)},
      {"tiff", ImageTypeTiff, "TIFF", kTiffKeeps, Layouts(kEveryWrites)}},
     2,
     [](const uint8_t* b, size_t n) {
         return StartsWith(b, n, "II*\0", 4) || StartsWith(b, n, "MM\0*", 4) ||
                StartsWith(b, n, "II+\0", 4) || StartsWith(b, n, "MM\0+", 4);
     },
     Make<FCImageHandle_Tiff>,
     0,
     false,
     kTiffKeeps | kDepthAndAlpha,
     {}},
    {"WebP",
     {{"webp", ImageTypeWebp, "WebP", kWebpKeeps, Layouts(kWebpWrites)}},
     1,
     [](const uint8_t* b, size_t n) { return StartsWith(b, n, "RIFF", 4) && StartsWith(b, n, "WEBP", 4, 8); },
     Make<FCImageHandle_Webp>,
     FCImageHandle_Webp::kMaxSide,
     true,
     kWebpKeeps | ItemTransparency,
     {}},
    {"HEIF",
     {{"heic", ImageTypeHeif, nullptr, 0, {}},
      {"heif", ImageTypeHeif, nullptr, 0, {}},
      {"avif", ImageTypeHeif, nullptr, 0, {}}},
     3,
     [](const uint8_t* b, size_t n) { return StartsWith(b, n, "ftyp", 4, 4); },
     Make<FCImageHandle_Heif>,
     0,
     false,
     ItemProfile | ItemExif | ItemXmp | ItemTransparency | ItemDeepSamples,
     {}},
    {"PNM",
     {{"pbm", ImageTypePbm, nullptr, 0, {}},
      {"pgm", ImageTypePgm, nullptr, 0, {}},
      {"ppm", ImageTypePpm, "PPM", 0, Layouts(kPpmWrites)},
      {"pnm", ImageTypePnm, "PPM", 0, Layouts(kPpmWrites)},
      {"pam", ImageTypePam, "PAM", 0, Layouts(kEveryWrites)}},
     5,
     // "P1" to "P7" and a blank: every netpbm form, which the one PNM reader takes.
     [](const uint8_t* b, size_t n) {
         return n >= 3 && b[0] == 'P' && b[1] >= '1' && b[1] <= '7' &&
                (b[2] == ' ' || b[2] == '\t' || b[2] == '\n' || b[2] == '\r');
     },
     [](ImageType type) -> std::unique_ptr<FCImageHandleBase> {
         using Form = FCImageHandle_Pnm::Form;
         const Form form = type == ImageTypePam                           ? Form::Pam
                           : type == ImageTypePpm || type == ImageTypePnm ? Form::Ppm
                                                                          : Form::ReadOnly;
         return std::make_unique<FCImageHandle_Pnm>(form);
     },
     0,
     false,
     ItemTransparency | ItemDeepSamples,
     {}},
    {nullptr, {}, 0, nullptr, nullptr, 0, false, 0, {}},
};

const FormatExtension* FindExtension(ImageType type) {
    for (const ImageFormat* format = kFormats; format->Name != nullptr; ++format) {
        for (size_t i = 0; i < format->ExtensionCount; ++i) {
            if (format->Extensions[i].Type == type) return &format->Extensions[i];
        }
    }
    return nullptr;
}

// "NAME (.a, .b)" for each row, or for each written form when written is set.
std::string NamesWithExtensions(bool written) {
    std::vector<std::string> names;
    for (const ImageFormat* format = kFormats; format->Name != nullptr; ++format) {
        std::vector<std::pair<std::string, std::string>> forms;
        for (size_t i = 0; i < format->ExtensionCount; ++i) {
            const FormatExtension& e = format->Extensions[i];
            if (written && e.WrittenAs == nullptr) continue;
            const std::string name = written ? e.WrittenAs : format->Name;
            if (forms.empty() || forms.back().first != name) forms.push_back({name, ""});
            forms.back().second += (forms.back().second.empty() ? "." : ", .") + std::string(e.Extension);
        }
        for (const auto& [name, extensions] : forms) names.push_back(name + " (" + extensions + ")");
    }
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

}  // namespace

std::string Listed(const std::vector<std::string>& items) {
    std::string text;
    for (size_t i = 0; i < items.size(); ++i) {
        text += i == 0 ? "" : (i + 1 == items.size() ? " and " : ", ");
        text += items[i];
    }
    return text;
}

const ImageFormat* ImageFormats() {
    return kFormats;
}

const ImageFormat* FindImageFormat(ImageType type) {
    for (const ImageFormat* format = kFormats; format->Name != nullptr; ++format) {
        for (size_t i = 0; i < format->ExtensionCount; ++i) {
            if (format->Extensions[i].Type == type) return format;
        }
    }
    return nullptr;
}

const ImageFormat* SniffImageFormat(const uint8_t* bytes, size_t count) {
    for (const ImageFormat* format = kFormats; format->Name != nullptr; ++format) {
        if (format->Sniff != nullptr && format->Sniff(bytes, count)) return format;
    }
    return nullptr;
}

const char* ImageTypeName(ImageType type) {
    const ImageFormat* format = FindImageFormat(type);
    return format != nullptr ? format->Name : "unknown";
}

bool CanSaveImageType(ImageType type) {
    const FormatExtension* extension = FindExtension(type);
    return extension != nullptr && extension->WrittenAs != nullptr;
}

int32_t MaxSavedSide(ImageType type) {
    const ImageFormat* format = FindImageFormat(type);
    return format != nullptr ? format->MaxSide : 0;
}

bool TakesQuality(ImageType type) {
    const ImageFormat* format = FindImageFormat(type);
    return format != nullptr && format->TakesQuality;
}

uint32_t ItemsKept(ImageType type) {
    const FormatExtension* extension = FindExtension(type);
    if (extension == nullptr) return 0;
    uint32_t keeps = extension->Keeps;
    for (size_t i = 0; i < extension->Writes.Count; ++i) {
        if (extension->Writes.Items[i].HasAlpha()) keeps |= ItemTransparency;
        if (extension->Writes.Items[i].Wide()) keeps |= ItemDeepSamples;
    }
    return keeps;
}

LayoutList WrittenLayouts(ImageType type) {
    const FormatExtension* extension = FindExtension(type);
    return extension != nullptr ? extension->Writes : LayoutList();
}

std::string ReadFormatNames() {
    return NamesWithExtensions(false);
}

std::string WrittenFormatNames() {
    return NamesWithExtensions(true);
}

std::string PictureItemNames(uint32_t items) {
    static const struct {
        PictureItem Item;
        const char* Name;
    } kNames[] = {
        {ItemProfile, "colour profile"},
        {ItemExif, "EXIF"},
        {ItemXmp, "XMP"},
        {ItemResolution, "resolution"},
        {ItemOrientation, "orientation"},
        {ItemTransparency, "transparency"},
        {ItemDeepSamples, "16-bit samples"},
    };
    std::vector<std::string> names;
    for (const auto& row : kNames) {
        if ((items & row.Item) != 0) names.push_back(row.Name);
    }
    return Listed(names);
}

std::string WhatEachOutputKeeps(const char* indent) {
    std::string text;
    std::string last;
    for (const ImageFormat* format = kFormats; format->Name != nullptr; ++format) {
        for (size_t i = 0; i < format->ExtensionCount; ++i) {
            const FormatExtension& e = format->Extensions[i];
            if (e.WrittenAs == nullptr || last == e.WrittenAs) continue;
            last = e.WrittenAs;
            const std::string kept = PictureItemNames(ItemsKept(e.Type));
            text += std::string(indent) + e.WrittenAs + ": " + (kept.empty() ? "nothing" : kept) + "\n";
        }
    }
    return text;
}
