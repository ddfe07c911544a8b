// RunPixelProcess and the per-pixel processor base: drive a processor over an image.
#include "PixelProcess.h"

namespace {

// Width, height and rows are read from the image again for every pixel: a processor may change
// the image it is walking, and the walk follows it.
void ProcessEveryPixel(FCObjImage& image, FCInterface_PixelProcess& processor) {
    for (int32_t y = 0; y < image.InfoHeader.biHeight; ++y) {
        for (int32_t x = 0; x < image.InfoHeader.biWidth; ++x) {
            processor.ProcessPixel(image, x, y, image.PixelAddress(x, y));
        }
    }
}

}  // namespace

bool FCSinglePixelProcessBase::ValidateImage(FCObjImage& image) {
    return image.IsValid() && image.InfoHeader.biBitCount >= 24;
}

void RunPixelProcess(FCObjImage& image, FCInterface_PixelProcess& processor) {
    if (!processor.ValidateImage(image)) return;
    processor.OnEnterProcess(image);
    switch (processor.QueryProcessType()) {
        case ProcessWholeImageType:
            processor.ProcessWholeImage(image, nullptr);
            break;
        case ProcessPixelType:
            ProcessEveryPixel(image, processor);
            break;
        default:
            break;
    }
    processor.OnLeaveProcess(image);
}
