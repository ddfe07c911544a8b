// A run's picture: its frames turned and reshaped as one.
#include "Picture.h"

#include "Orientation.h"

bool PictureFrame::Turn(uint16_t orientation) {
    return Samples.IsValid() ? TurnAsOrientationSays(Samples, orientation)
                             : TurnAsOrientationSays(Image, orientation);
}

bool PictureFrame::Reshape(int32_t width, int32_t height) {
    const PictureView was = View();
    if (was.Width == width && was.Height == height) return true;
    if (Samples.IsValid()) {
        const uint32_t channels = Samples.Channels, maxValue = Samples.MaxValue;
        Samples.Release();
        if (!Samples.Create(width, height, channels, maxValue)) return false;
        Samples.XPixelsPerMetre = was.XPixelsPerMetre;
        Samples.YPixelsPerMetre = was.YPixelsPerMetre;
        return true;
    }
    Image.ReleaseStorage();
    if (!Image.Create(width, height, 24)) return false;
    Image.InfoHeader.biXPelsPerMeter = was.XPixelsPerMetre;
    Image.InfoHeader.biYPelsPerMeter = was.YPixelsPerMetre;
    return true;
}

bool Picture::Turn(uint16_t orientation) {
    for (const std::unique_ptr<PictureFrame>& frame : Frames) {
        if (!frame->Turn(orientation)) return false;
    }
    return true;
}
