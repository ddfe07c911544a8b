// JPEG writer: TurboJPEG compresses straight from the picture's rows (the 24-bit image's bottom-up
// blue-green-red ones among them), with the standard quantisation tables scaled by quality and
// chroma subsampled as ImageMagick does; grey is written as one component.
// The DCT is the accurate one, as cjpeg's and every peer's: the fast one loses up to 0.8 dB, and
// far more when a picture is decoded and saved again.
// The density and the metadata segments go in as its output is written out.
#include "ImageHandle_Jpeg.h"

#include <turbojpeg.h>

#include <cstring>
#include <memory>
#include <vector>

#include "FileWriter.h"
#include "JpegSegments.h"
#include "TjHandle.h"

namespace {

// From this quality on, colour keeps full resolution (4:4:4); below it 4:2:0.
constexpr int32_t kFullChromaQuality = 90;

}  // namespace

bool FCImageHandle_Jpeg::WritePicture(const char* path, int32_t flag) {
    const int32_t quality = QualityFromFlag(flag);
    if (quality == 0) return false;
    // The rows as they lie when the picture is in the layout chosen, else a copy in it.
    std::vector<uint8_t> copy;
    PictureView rows = SaveView;
    if (rows.Layout != SaveLayout) {
        RowSource source(SaveView, SaveLayout);
        copy.resize(source.RowBytes() * size_t(SaveView.Height));
        for (int32_t y = 0; y < SaveView.Height; ++y)
            std::memcpy(copy.data() + size_t(y) * source.RowBytes(), source.Row(y), source.RowBytes());
        rows.Top = copy.data();
        rows.Stride = ptrdiff_t(source.RowBytes());
        rows.Layout = SaveLayout;
    }
    // TurboJPEG takes rows evenly spaced from the top, or, bottom up, from the last.
    const bool bottomUp = rows.Stride < 0;
    const uint8_t* first = bottomUp ? rows.Row(rows.Height - 1) : rows.Top;
    const int pitch = int(bottomUp ? -rows.Stride : rows.Stride);
    const TjHandle tj(tjInitCompress());
    if (!tj) return false;
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    const bool grey = !SaveLayout.Colour();
    const int subsampling = grey ? TJSAMP_GRAY : quality >= kFullChromaQuality ? TJSAMP_444 : TJSAMP_420;
    const int format = grey ? TJPF_GRAY : SaveLayout.BlueFirst ? TJPF_BGR : TJPF_RGB;
    const int result =
        tjCompress2(tj.get(), first, rows.Width, pitch, rows.Height, format, &jpeg, &jpegSize, subsampling,
                    quality, (bottomUp ? TJFLAG_BOTTOMUP : 0) | TJFLAG_ACCURATEDCT);
    const Owned<unsigned char, tjFree> owned(jpeg);
    if (result != 0 || jpeg == nullptr) return false;
    FileWriter out;
    return out.Open(path) && WriteJpegWithMetadata(out, jpeg, jpegSize, SaveMetadata, SaveView) &&
           out.Commit();
}
