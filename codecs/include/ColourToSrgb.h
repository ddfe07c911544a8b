// Pictures in another colour space brought to sRGB through lcms2, for `--colour srgb`: a filter
// that computes in sRGB, as nearly all do, then gets the colours the picture shows. A picture
// without a profile is taken as sRGB; so is one whose profile is sRGB under another name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Picture.h"
#include "PictureMetadata.h"
#include "PictureView.h"

// Every frame of picture from the RGB or grey profile in metadata to sRGB (perceptual intent), at
// the depth each frame is held in; a grey picture stays grey, on the sRGB tone curve. A converted
// picture keeps no profile, and its EXIF says sRGB (see MarkConvertedToSrgb). A profile of another
// space (CMYK, Lab) is left as it is, as without the option. Returns the warnings (phrases after
// "Warning: NAME "): one for an RGB or grey profile lcms2 cannot use, whose picture and profile stay
// as they are.
std::vector<std::string> ConvertPictureToSrgb(Picture& picture, PictureMetadata& metadata);

// What a picture whose colours are now sRGB carries: no profile (see the source for why none
// rather than sRGB's), and EXIF that no longer marks another space.
void MarkConvertedToSrgb(PictureMetadata& metadata);

// A grey profile's samples on the sRGB tone curve, as a table of every value a sample of 0 to
// maxValue takes. Works on any layout: grey (1 or 2 channels) has one sample a pixel converted, colour
// whose channels are equal (grey read as RGB) all three, each the same way; alpha is left alone.
class GreyToSrgb {
  public:
    GreyToSrgb(const std::vector<uint8_t>& profile, uint32_t maxValue);
    // False when lcms2 cannot use the profile, or it is no grey profile.
    bool Valid() const { return !table_.empty(); }
    // Samples first, first + step, ... (count of them) of a row of samples of maxValue.
    void Convert(uint8_t* row, size_t first, size_t step, size_t count) const;
    // Every colour sample of view, whose MaxValue must be the table's.
    void Convert(const PictureView& view) const;

  private:
    std::vector<uint16_t> table_;
    bool wide_ = false;
};

// A CMYK profile's colours as sRGB, for a CMYK JPEG read with `--colour srgb`: rows of four bytes a
// pixel (inverted, 0 full ink, as Photoshop stores them, when the file says so) into blue, green, red.
class CmykToSrgb {
  public:
    CmykToSrgb(const std::vector<uint8_t>& profile, bool inverted);
    ~CmykToSrgb();
    CmykToSrgb(const CmykToSrgb&) = delete;
    CmykToSrgb& operator=(const CmykToSrgb&) = delete;
    // False when lcms2 cannot use the profile, or it is no CMYK profile.
    bool Valid() const { return transform_ != nullptr; }
    // The profile's header says CMYK: one that is not Valid then cannot be used.
    static bool Claimed(const std::vector<uint8_t>& profile);
    void Row(const uint8_t* cmyk, uint8_t* bgr, int32_t width) const;

  private:
    void* transform_ = nullptr;
};
