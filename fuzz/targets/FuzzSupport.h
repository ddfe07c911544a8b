// Helpers of the fuzz targets: the decoded-size cap and reading every output byte, so that a
// decoder that hands out memory it never filled or owns shows up under the sanitizers; every
// successful load goes on through the framework's hand-over and metadata intake, and inputs are
// loaded a second time keeping alpha.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>

#include "ByteOrder.h"
#include "ByteSource.h"
#include "FuzzTargets.h"
#include "ImageHandle.h"
#include "ImageSize.h"

namespace fuzzsupport {

// Adds up the bytes into a volatile sink, so no read can be optimised away.
inline void TouchBytes(const uint8_t* bytes, size_t count) {
    static volatile uint32_t sink = 0;
    uint32_t sum = 0;
    for (size_t i = 0; i < count; ++i) sum += bytes[i];
    sink = sink + sum;
}

// True when a picture of this size and depth stays under the cap. Dimensions are taken as the
// header gives them; a size the decoder refuses anyway passes, so the refusal is exercised.
inline bool WithinDecodeCap(int64_t width, int64_t height, uint32_t bitsPerPixel,
                            uint64_t cap = kFuzzMaxDecodedBytes) {
    if (width <= 0 || height <= 0 || bitsPerPixel == 0 || bitsPerPixel > kMaxBitsPerPixel) return true;
    if (width > INT32_MAX || height > INT32_MAX) return false;
    uint32_t pixelBytes = 0;
    uint64_t rowTableBytes = 0;
    if (!ComputeImageBytes(int32_t(width), int32_t(height), uint16_t(bitsPerPixel), pixelBytes)) return false;
    if (!ComputeBufferBytes(sizeof(uint8_t*), height, rowTableBytes)) return false;
    return pixelBytes + rowTableBytes <= cap;
}

// Every row through RowTable and the whole palette, as a caller of the image would read them.
inline void TouchImage(const FCObjImage& image) {
    if (!image.IsValid()) return;
    const size_t stride = size_t(image.Stride());
    for (int32_t y = 0; y < image.InfoHeader.biHeight; ++y) TouchBytes(image.RowTable[y], stride);
    if (image.Palette != nullptr) {
        const size_t entries = PaletteEntryCount(image.InfoHeader.biBitCount);
        TouchBytes(reinterpret_cast<const uint8_t*>(image.Palette), entries * sizeof(RGBQUAD));
    }
}

// A sample image's every row, as the narrowing or a writer would read it.
inline void TouchSamples(const FCSampleImage* samples) {
    if (samples == nullptr || !samples->IsValid()) return;
    for (int32_t y = 0; y < samples->Height; ++y) TouchBytes(samples->Row(y), samples->RowBytes());
}

// Reads back everything a successful load decoded, then hands it over as the framework does (the
// metadata intake included) and reads back what came out, taken to 24 bits as the host takes it.
inline void TouchDecoded(FCImageHandleBase& codec) {
    std::deque<FCObjImage*> images;
    codec.GetImageList(images, false);
    for (FCObjImage* image : images) TouchImage(*image);
    TouchSamples(&codec.Rows.Samples);
    if (codec.Rows.Image.IsValid()) TouchImage(codec.Rows.Image);
    for (const std::unique_ptr<PictureFrame>& frame : codec.Rows.Earlier) {
        TouchImage(frame->Image);
        TouchSamples(&frame->Samples);
    }
    FCObjImage picture;
    PictureMetadata metadata;
    if (!TakeDecodedPicture(codec, picture, &metadata)) return;
    TouchImage(picture);
    TouchBytes(metadata.Exif.data(), metadata.Exif.size());
    if (WithinDecodeCap(picture.InfoHeader.biWidth, picture.InfoHeader.biHeight, 24)) {
        picture.ConvertTo24();
        TouchImage(picture);
    }
}

// The codec a make function gives, by value or owned through a pointer (a format's NewCodec).
inline FCImageHandleBase& CodecOf(FCImageHandleBase& codec) {
    return codec;
}
inline FCImageHandleBase& CodecOf(const std::unique_ptr<FCImageHandleBase>& codec) {
    return *codec;
}

// Runs LoadMemory of a codec from make, under pixelLimit, and reads back everything it decoded;
// a picture that loads is loaded once more by a fresh codec that keeps alpha and grey and reads every
// frame (pages), all of them within the cap together. Only then: the libraries' decodes are the costly
// part of a run, and a file they refuse they refuse either way.
template <class Make>
int LoadAndTouchWith(const Make& make, const uint8_t* data, size_t size, uint64_t pixelLimit) {
    if (size > size_t(INT32_MAX)) return 0;
    constexpr uint64_t kFramesPixelLimit = kFuzzMaxDecodedBytes / 4 / kFramesPerPixelLimit;
    for (const bool everything : {false, true}) {
        auto made = make();
        FCImageHandleBase& codec = CodecOf(made);
        codec.Options.PixelLimit = everything ? std::min(pixelLimit, kFramesPixelLimit) : pixelLimit;
        codec.Options.KeepAlpha = everything;
        codec.Options.AllFrames = everything;
        // A --grey run's load: grey files take the readers' grey paths, held in one or two samples.
        codec.Options.KeepGrey = everything;
        if (everything) codec.Rows.KeepGreyAs(2, 65535);
        if (!codec.LoadMemory(data, int32_t(size))) break;
        TouchDecoded(codec);
    }
    return 0;
}

template <class Codec>
int LoadAndTouch(const uint8_t* data, size_t size, uint64_t pixelLimit = kDefaultPixelLimit) {
    return LoadAndTouchWith([] { return Codec(); }, data, size, pixelLimit);
}

// The input as a file, read the way the host reads a picture: through a file source, whose
// window (1 to 256 bytes, from the input's last byte) is small and odd enough that every read
// crosses its edge somewhere. One file serves every run.
inline int InputFile(const uint8_t* data, size_t size) {
    static const int fd = memfd_create("fuzz-input", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0) __builtin_trap();
    for (size_t done = 0; done < size;) {
        const ssize_t put = pwrite(fd, data + done, size - done, off_t(done));
        if (put <= 0) __builtin_trap();
        done += size_t(put);
    }
    return fd;
}

inline bool SameImage(const FCObjImage& a, const FCObjImage& b) {
    if (std::memcmp(&a.InfoHeader, &b.InfoHeader, sizeof a.InfoHeader) != 0 ||
        std::memcmp(a.BitMasks, b.BitMasks, sizeof a.BitMasks) != 0 ||
        (a.Palette == nullptr) != (b.Palette == nullptr))
        return false;
    const size_t entries = a.Palette ? PaletteEntryCount(a.InfoHeader.biBitCount) : 0;
    if (entries != 0 && std::memcmp(a.Palette, b.Palette, entries * sizeof(RGBQUAD)) != 0) return false;
    return std::memcmp(a.PixelStore, b.PixelStore, size_t(a.Stride()) * size_t(a.InfoHeader.biHeight)) == 0;
}

// Decodes the input through a file source and through the whole block: one decoder, so the two
// must agree on everything; a difference is a fault of the window and stops the run. Then reads
// back the picture as LoadAndTouch does.
template <class Codec>
void LoadBothWaysAndTouch(const uint8_t* data, size_t size, uint64_t pixelLimit, bool keepAlpha) {
    ByteSource source(InputFile(data, size), size, size_t(data[size - 1]) + 1);
    Codec fromFile, fromMemory;
    fromFile.Options.PixelLimit = fromMemory.Options.PixelLimit = pixelLimit;
    fromFile.Options.KeepAlpha = fromMemory.Options.KeepAlpha = keepAlpha;
    const bool loaded = fromFile.LoadSource(source);
    if (loaded != fromMemory.LoadMemory(data, int32_t(size))) __builtin_trap();
    if (fromFile.Result.Status != fromMemory.Result.Status ||
        fromFile.Result.IncompleteRows != fromMemory.Result.IncompleteRows)
        __builtin_trap();
    std::deque<FCObjImage*> a, b;
    fromFile.GetImageList(a, false);
    fromMemory.GetImageList(b, false);
    if (a.size() != b.size() || fromFile.Rows.Samples.IsValid() != fromMemory.Rows.Samples.IsValid())
        __builtin_trap();
    for (size_t i = 0; i < a.size(); ++i) {
        if (!SameImage(*a[i], *b[i])) __builtin_trap();
    }
    const FCSampleImage* x = &fromFile.Rows.Samples;
    const FCSampleImage* y = &fromMemory.Rows.Samples;
    if (x->IsValid() && (x->Height != y->Height || x->RowBytes() != y->RowBytes() ||
                         std::memcmp(x->Samples, y->Samples, x->RowBytes() * size_t(x->Height)) != 0))
        __builtin_trap();
    if (loaded) TouchDecoded(fromFile);
}

// Both ways, then both ways again keeping alpha: our own decoders, cheap to run twice, whose alpha
// paths read the bytes in ways of their own whether or not the picture loads.
template <class Codec>
int LoadThroughFileAndTouch(const uint8_t* data, size_t size, uint64_t pixelLimit = kDefaultPixelLimit) {
    if (size == 0 || size > size_t(INT32_MAX)) return 0;
    LoadBothWaysAndTouch<Codec>(data, size, pixelLimit, false);
    LoadBothWaysAndTouch<Codec>(data, size, pixelLimit, true);
    return 0;
}

// Little-endian fields of a header, read only where the input holds them.
inline uint32_t PeekU16(const uint8_t* data, size_t size, size_t at) {
    return at + 2 <= size ? GetU16LE(data + at) : 0;
}
inline int32_t PeekI32(const uint8_t* data, size_t size, size_t at) {
    return at + 4 <= size ? int32_t(GetU32LE(data + at)) : 0;
}

}  // namespace fuzzsupport
