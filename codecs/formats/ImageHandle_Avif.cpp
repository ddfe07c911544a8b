// AVIF writer. libavif turns the RGB rows into YUV (full range, BT.601 matrix, as its own tool
// does) and hands them to aom; alpha goes as its own plane. Every picture reaches the encoder as
// 8-bit RGB, never as grey or deep samples: aom 3.6 asserts (abort, not an error) on some
// monochrome and high-depth configurations, and a narrowed RGB picture keeps away from them.
#include "ImageHandle_Avif.h"

#include <avif/avif.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "Exif.h"
#include "FileWriter.h"
#include "LossyQuality.h"
#include "OwnedHandle.h"
#include "SampleRows.h"

namespace {

using AvifImage = Owned<avifImage, avifImageDestroy>;
using Encoder = Owned<avifEncoder, avifEncoderDestroy>;

// The quality from which colour keeps its full resolution, as the JPEG writer does.
constexpr int32_t kFullChromaQuality = 90;
// aom's quantizer runs from 0 (lossless) to 63; the quality maps onto it as libavif 1.x maps its
// own quality setting, so that a quality means the same here as there.
constexpr int kWorstQuantizer = 63;
// libavif's speed 6: its tool's own default, a tenth of the time of the slowest for a few per cent.
constexpr int kSpeed = 6;

int QuantizerOf(int32_t quality) {
    return ((kMaxQuality - quality) * kWorstQuantizer + kMaxQuality / 2) / kMaxQuality;
}

// libavif frees the data it made with avifRWDataFree, which this holds it for.
struct EncodedBytes {
    avifRWData Data = AVIF_DATA_EMPTY;
    ~EncodedBytes() { avifRWDataFree(&Data); }
};

}  // namespace

bool FCImageHandle_Avif::WritePicture(const char* path, int32_t flag) {
    const int32_t quality = QualityFromFlag(flag);
    if (quality == 0 || SaveView.Width > kMaxSide || SaveView.Height > kMaxSide) return false;
    const bool alpha = SaveLayout.HasAlpha();
    const AvifImage image(
        avifImageCreate(uint32_t(SaveView.Width), uint32_t(SaveView.Height), 8,
                        quality >= kFullChromaQuality ? AVIF_PIXEL_FORMAT_YUV444 : AVIF_PIXEL_FORMAT_YUV420));
    if (!image) return false;
    image->yuvRange = AVIF_RANGE_FULL;
    image->matrixCoefficients = AVIF_MATRIX_COEFFICIENTS_BT601;
    const PictureMetadata* metadata = SaveMetadata;
    if (metadata != nullptr && !metadata->IccProfile.empty()) {
        avifImageSetProfileICC(image.get(), metadata->IccProfile.data(), metadata->IccProfile.size());
    } else {
        image->colorPrimaries = AVIF_COLOR_PRIMARIES_BT709;
        image->transferCharacteristics = AVIF_TRANSFER_CHARACTERISTICS_SRGB;
    }
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, image.get());
    rgb.format = alpha ? AVIF_RGB_FORMAT_RGBA : AVIF_RGB_FORMAT_RGB;
    rgb.depth = 8;
    RowSource rows(SaveView, SaveLayout);
    // The conversion reads the rows through one pointer and stride: they are copied into one block.
    std::vector<uint8_t> pixels;
    try {
        pixels.resize(rows.RowBytes() * size_t(SaveView.Height));
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (int32_t y = 0; y < SaveView.Height; ++y)
        std::memcpy(pixels.data() + rows.RowBytes() * size_t(y), rows.Row(y), rows.RowBytes());
    rgb.pixels = pixels.data();
    rgb.rowBytes = uint32_t(rows.RowBytes());
    if (avifImageRGBToYUV(image.get(), &rgb) != AVIF_RESULT_OK) return false;
    std::vector<uint8_t>().swap(pixels);
    if (metadata != nullptr) {
        // EXIF goes out as every writer sends it: without the thumbnail of what came in.
        std::vector<uint8_t> exif = metadata->Exif;
        PrepareExifForOutput(exif, metadata->Orientation);
        if (!exif.empty()) avifImageSetMetadataExif(image.get(), exif.data(), exif.size());
        if (!metadata->Xmp.empty())
            avifImageSetMetadataXMP(image.get(), metadata->Xmp.data(), metadata->Xmp.size());
    }
    // libavif reads EXIF's orientation into rotation and mirroring boxes; the pixels written are
    // already upright, so a box would turn them a second time.
    image->transformFlags = AVIF_TRANSFORM_NONE;
    const Encoder encoder(avifEncoderCreate());
    if (!encoder) return false;
    const int quantizer = QuantizerOf(quality);
    encoder->codecChoice = AVIF_CODEC_CHOICE_AOM;
    encoder->maxThreads = int(std::max(1u, std::thread::hardware_concurrency()));
    encoder->speed = kSpeed;
    encoder->minQuantizer = encoder->maxQuantizer = quantizer;
    encoder->minQuantizerAlpha = encoder->maxQuantizerAlpha = quantizer;
    EncodedBytes encoded;
    if (avifEncoderWrite(encoder.get(), image.get(), &encoded.Data) != AVIF_RESULT_OK) return false;
    FileWriter out;
    return out.Open(path) && out.Write(encoded.Data.data, encoded.Data.size) && out.Commit();
}
