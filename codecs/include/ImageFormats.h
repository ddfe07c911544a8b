// The formats Corvane reads and writes, one row each, as codecs/framework/formats.def lists them: everything
// that picks, names or describes a format (the factory, the sniffer, messages, the usage text, what
// an output keeps) reads this table, so adding a format is one row there and one codec file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "PictureView.h"

class FCImageHandleBase;

// The types of file, each with its value, as the rows of the format list declare them.
enum ImageType : int32_t {
    ImageTypeUnknown = 0,
#define TYPES(...) __VA_ARGS__,
#include "../framework/formats.def"
};

// What a picture carries besides its 8-bit colour, as a reader takes it and a writer keeps it.
enum PictureItem : uint32_t {
    ItemProfile = 1u << 0,
    ItemExif = 1u << 1,
    ItemXmp = 1u << 2,
    ItemResolution = 1u << 3,
    ItemOrientation = 1u << 4,
    ItemTransparency = 1u << 5,
    ItemDeepSamples = 1u << 6,   // more than 8 bits per sample
    ItemFrames = 1u << 7,        // an animation's frames, a TIFF's pages
    ItemDescriptions = 1u << 8,  // text: TIFF's ImageDescription and the like, PNG text, JPEG COM
    ItemGrey = 1u << 9,          // grey as grey, one channel (and alpha)
};

// The layouts a writer takes, in its order of preference; what a written file keeps of transparency,
// deep samples and grey follows from them.
struct LayoutList {
    const PixelLayout* Items = nullptr;
    size_t Count = 0;
};

// One extension of a format, with the type it names, the form a file of that name is written in
// (null: files of that name are only read), what such a file keeps besides the pixels and its colour,
// and the layouts its writer takes.
struct FormatExtension {
    const char* Extension;  // lower case, without the dot
    ImageType Type;
    const char* WrittenAs;  // "PPM" for .ppm, "PAM" for .pam
    uint32_t Keeps;         // PictureItem bits, but for transparency, deep samples and grey
    LayoutList Writes;
};

// The largest items a writer's container takes; 0: no limit of its own.
struct ItemLimits {
    size_t Profile = 0;
    size_t Exif = 0;
    size_t Xmp = 0;
    bool XmpWithoutZero = false;  // the container ends its text at a zero byte
};

struct ImageFormat {
    const char* Key;   // the row's short lower-case word in formats.def: "jpeg"; names its fuzz program
    const char* Name;  // as users know it: "JPEG", "WebP"
    FormatExtension Extensions[5];
    size_t ExtensionCount;
    // True when the first bytes of a file are this format's signature; null for a format that
    // has none (TGA).
    bool (*Sniff)(const uint8_t* bytes, size_t count);
    // The codec for a file of one of the row's types; it reads, and writes where the row says so.
    std::unique_ptr<FCImageHandleBase> (*NewCodec)(ImageType type);
    int32_t MaxSide;       // the largest width and height a written file holds; 0: no limit of its own
    bool TakesQuality;     // the writer is lossy and takes --quality
    uint32_t ReaderTakes;  // PictureItem bits
    ItemLimits WriterLimits;
};

// Every row, in the order messages list them; ends with a row whose Name is null.
const ImageFormat* ImageFormats();
// The row of a type, or null for ImageTypeUnknown and values no row has.
const ImageFormat* FindImageFormat(ImageType type);
// The row whose signature the first bytes carry, or null.
const ImageFormat* SniffImageFormat(const uint8_t* bytes, size_t count);

// The format's name as users know it ("JPEG", "WebP"); "unknown" for no format.
const char* ImageTypeName(ImageType type);
// True for the types whose files are written.
bool CanSaveImageType(ImageType type);
// The largest width and height the type's writer takes; 0 when the format sets no limit of its own.
int32_t MaxSavedSide(ImageType type);
// True when the type's writer takes a quality.
bool TakesQuality(ImageType type);
// What a written file of the type keeps besides the pixels (PictureItem bits); 0 when not written.
uint32_t ItemsKept(ImageType type);
// The layouts the type's writer takes; none when it is not written.
LayoutList WrittenLayouts(ImageType type);

// For messages and the usage text: "BMP (.bmp), ..., PNM (.pbm, .pgm, .ppm, .pnm, .pam)" and the
// same for the forms written ("PPM (.ppm, .pnm), PAM (.pam)").
std::string ReadFormatNames();
std::string WrittenFormatNames();
// The items as words: "colour profile, EXIF and XMP"; empty for none.
std::string PictureItemNames(uint32_t items);
// One line per written form: what a file of that form keeps besides the pixels.
std::string WhatEachOutputKeeps(const char* indent);
