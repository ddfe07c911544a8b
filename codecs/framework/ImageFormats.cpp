// The format table and everything derived from it: codecs by type, the signature sniffer, the
// names in messages and the lists of the usage text.
#include "ImageFormats.h"

#include <cstring>
#include <vector>

#include "ImageHandle_Avif.h"
#include "ImageHandle_Bmp.h"
#include "ImageHandle_Gif.h"
#include "ImageHandle_Heif.h"
#include "ImageHandle_IPicture.h"
#include "ImageHandle_Jpeg.h"
#include "ImageHandle_Jxl.h"
#include "ImageHandle_Png.h"
#include "ImageHandle_Pnm.h"
#include "ImageHandle_Tga.h"
#include "ImageHandle_Tiff.h"
#include "ImageHandle_Webp.h"
#include "JpegSegments.h"
#include "PictureWarnings.h"

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
constexpr PixelLayout kGrey8{1, 255, false};
constexpr PixelLayout kGreyAlpha8{2, 255, false};
constexpr PixelLayout kGrey16{1, 65535, false};
constexpr PixelLayout kGreyAlpha16{2, 65535, false};
constexpr PixelLayout kBmpWrites[] = {kImage24Layout};
constexpr PixelLayout kTgaWrites[] = {kImage24Layout, kBgra8, kGrey8, kGreyAlpha8};
// TurboJPEG takes the 24-bit image as it lies, and grey.
constexpr PixelLayout kJpegWrites[] = {kImage24Layout, kGrey8};
constexpr PixelLayout kEveryWrites[] = {kRgb8,  kRgba8,      kRgb16,  kRgba16,
                                        kGrey8, kGreyAlpha8, kGrey16, kGreyAlpha16};
constexpr PixelLayout kPgmWrites[] = {kGrey8, kGrey16};
constexpr PixelLayout kWebpWrites[] = {kRgb8, kRgba8};
constexpr PixelLayout kGifWrites[] = {kRgb8, kRgba8};
constexpr PixelLayout kHeifWrites[] = {kRgb8, kRgba8};
constexpr PixelLayout kPpmWrites[] = {kRgb8, kRgb16};
template <size_t N>
constexpr LayoutList Layouts(const PixelLayout (&items)[N]) {
    return LayoutList{items, N};
}

// What a written file keeps besides its pixels' colour; of transparency and deep samples, what
// its layouts hold.
constexpr uint32_t kJpegKeeps =
    ItemProfile | ItemExif | ItemXmp | ItemResolution | ItemOrientation | ItemDescriptions;
constexpr uint32_t kPngKeeps =
    ItemProfile | ItemExif | ItemXmp | ItemResolution | ItemOrientation | ItemDescriptions;
constexpr uint32_t kTiffKeeps = ItemProfile | ItemXmp | ItemResolution | ItemOrientation | ItemDescriptions;
constexpr uint32_t kWebpKeeps = ItemProfile | ItemExif | ItemXmp | ItemOrientation;
constexpr uint32_t kHeifKeeps = ItemProfile | ItemExif | ItemXmp;
constexpr uint32_t kJxlKeeps = ItemProfile | ItemExif | ItemXmp | ItemOrientation;
constexpr uint32_t kDepthAndAlpha = ItemTransparency | ItemDeepSamples;

std::unique_ptr<FCImageHandleBase> NewPnmCodec(ImageType type) {
    using Form = FCImageHandle_Pnm::Form;
    const Form form = type == ImageTypePam                           ? Form::Pam
                      : type == ImageTypePpm || type == ImageTypePnm ? Form::Ppm
                      : type == ImageTypePgm                         ? Form::Pgm
                                                                     : Form::ReadOnly;
    return std::make_unique<FCImageHandle_Pnm>(form);
}

// Each row of formats.def is a lambda that fills in the fields its lines name and leaves the rest
// zero, run while compiling: a row with more extensions than Extensions holds does not compile.
// clang-format off
#define FORMAT(key) [] { ImageFormat f{}; f.Key = #key;
#define NAME(name) f.Name = name;
#define EXTENSION(extension, type) f.Extensions[f.ExtensionCount++] = {extension, type, nullptr, 0, {}};
#define WRITTEN_AS(form) f.Extensions[f.ExtensionCount - 1].WrittenAs = form;
#define KEEPS(items) f.Extensions[f.ExtensionCount - 1].Keeps = items;
#define WRITES(layouts) f.Extensions[f.ExtensionCount - 1].Writes = Layouts(layouts);
#define SNIFF(...) f.Sniff = [](const uint8_t* b, size_t n) { return __VA_ARGS__; };
#define CODEC(function) f.NewCodec = function;
#define READER_TAKES(items) f.ReaderTakes = items;
#define MAX_SIDE(pixels) f.MaxSide = pixels;
#define TAKES_QUALITY f.TakesQuality = true;
#define PROFILE_MAX(bytes) f.WriterLimits.Profile = bytes;
#define EXIF_MAX(bytes) f.WriterLimits.Exif = bytes;
#define XMP_MAX(bytes) f.WriterLimits.Xmp = bytes;
#define XMP_WITHOUT_ZERO f.WriterLimits.XmpWithoutZero = true;
#define END_FORMAT return f; }(),
// clang-format on

// Searched in this order, first the extension, then the signature; messages list the formats so.
constexpr ImageFormat kFormats[] = {
#include "formats.def"
    ImageFormat{},
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
        if (!extension->Writes.Items[i].Colour()) keeps |= ItemGrey;
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
        {ItemDescriptions, "descriptions"},
        {ItemTransparency, "transparency"},
        {ItemDeepSamples, "16-bit samples"},
        {ItemGrey, "grey"},
        {ItemFrames, "frames"},
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
