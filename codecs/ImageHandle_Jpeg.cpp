// JPEG writer: TurboJPEG compresses straight from the image's bottom-up blue-green-red rows, with
// the standard quantisation tables scaled by quality and chroma subsampled as ImageMagick does.
// The DCT is the accurate one, as cjpeg's and every peer's: the fast one loses up to 0.8 dB, and
// far more when a picture is decoded and saved again.
// The density and the metadata segments go in as its output is written out.
#include "ImageHandle_Jpeg.h"

#include <turbojpeg.h>

#include <memory>

#include "FileWriter.h"
#include "ImageAt24Bits.h"
#include "JpegSegments.h"
#include "TjHandle.h"

namespace {

// From this quality on, colour keeps full resolution (4:4:4); below it 4:2:0.
constexpr int32_t kFullChromaQuality = 90;

}  // namespace

bool FCImageHandle_Jpeg::SaveFile(const char* path, int32_t flag) {
    const int32_t quality = QualityFromFlag(flag);
    if (quality == 0) return false;
    std::unique_ptr<FCObjImage> widened;
    const FCObjImage* image = ImageAt24Bits(ImageToSave(), widened);
    if (image == nullptr) return false;
    const TjHandle tj(tjInitCompress());
    if (!tj) return false;
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    const int subsampling = quality >= kFullChromaQuality ? TJSAMP_444 : TJSAMP_420;
    const int result = tjCompress2(tj.get(), image->PixelStore, image->InfoHeader.biWidth, image->Stride(),
                                   image->InfoHeader.biHeight, TJPF_BGR, &jpeg, &jpegSize, subsampling,
                                   quality, TJFLAG_BOTTOMUP | TJFLAG_ACCURATEDCT);
    const Owned<unsigned char, tjFree> owned(jpeg);
    if (result != 0 || jpeg == nullptr) return false;
    FileWriter out;
    const FCObjImage& original = *SaveList.front();
    return out.Open(path) && WriteJpegWithMetadata(out, jpeg, jpegSize, SaveMetadata, original) &&
           out.Commit();
}
