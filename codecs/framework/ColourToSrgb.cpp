// The conversion to sRGB behind `--colour srgb`, the one place that calls lcms2. RGB pictures go
// through a transform in place, row by row, in the form the run holds them (the 24-bit image, or
// samples of 8 or 16 bits, with alpha carried over); grey through a table of every sample value.
#include "ColourToSrgb.h"

#include <lcms2.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "Exif.h"
#include "PictureWarnings.h"

namespace {

// A profile counts as sRGB when each colorant is within this of sRGB's (XYZ, D50) and each tone
// curve, taken back through sRGB's, gives every value within this of where it started: less
// than a step of an 8-bit sample. Profiles made by other tools round their numbers apart by far
// less; the nearest real spaces (Display P3, a gamma 2.2 curve) differ by far more.
constexpr double kColorantTolerance = 0.002;
constexpr double kCurveTolerance = 0.5 / 255;
constexpr int kCurvePoints = 64;

struct ProfileCloser {
    void operator()(void* profile) const { cmsCloseProfile(profile); }
};
using OwnedProfile = std::unique_ptr<void, ProfileCloser>;

struct TransformDeleter {
    void operator()(void* transform) const { cmsDeleteTransform(transform); }
};
using OwnedTransform = std::unique_ptr<void, TransformDeleter>;

struct CurveFreer {
    void operator()(cmsToneCurve* curve) const { cmsFreeToneCurve(curve); }
};
using OwnedCurve = std::unique_ptr<cmsToneCurve, CurveFreer>;

// lcms2 reports what it cannot read through a handler that would print; its failures come back as
// null handles, which say all we need.
void Silent(cmsContext, cmsUInt32Number, const char*) {}

// The colour space a profile's header names, whether or not lcms2 can read the rest.
bool Claims(const std::vector<uint8_t>& profile, const char* space) {
    constexpr size_t kColourSpaceAt = 16;
    return profile.size() >= kColourSpaceAt + 4 && std::memcmp(&profile[kColourSpaceAt], space, 4) == 0;
}

OwnedProfile OpenProfile(const std::vector<uint8_t>& profile) {
    static const bool silenced = (cmsSetLogErrorHandler(Silent), true);
    (void)silenced;
    if (profile.empty()) return nullptr;
    return OwnedProfile(cmsOpenProfileFromMem(profile.data(), cmsUInt32Number(profile.size())));
}

// The sRGB tone curve, as IEC 61966-2.1 gives it.
OwnedCurve SrgbCurve() {
    const cmsFloat64Number parameters[] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    return OwnedCurve(cmsBuildParametricToneCurve(nullptr, 4, parameters));
}

// A grey profile on the sRGB tone curve with sRGB's white: where a grey picture goes.
OwnedProfile GreySrgbProfile() {
    const OwnedCurve curve = SrgbCurve();
    if (!curve) return nullptr;
    cmsCIExyY white;
    cmsWhitePointFromTemp(&white, 6504);
    return OwnedProfile(cmsCreateGrayProfile(&white, curve.get()));
}

// The curve stays within kCurveTolerance of sRGB's, measured in sRGB's own encoding.
bool CurveIsSrgb(const cmsToneCurve* curve) {
    const OwnedCurve srgb = SrgbCurve();
    if (curve == nullptr || !srgb) return false;
    const OwnedCurve back(cmsReverseToneCurve(srgb.get()));
    if (!back) return false;
    for (int i = 0; i <= kCurvePoints; ++i) {
        const float x = float(i) / kCurvePoints;
        const float y = cmsEvalToneCurveFloat(back.get(), cmsEvalToneCurveFloat(curve, x));
        if (std::fabs(y - x) > kCurveTolerance) return false;
    }
    return true;
}

bool ColorantIsSrgb(cmsHPROFILE profile, cmsHPROFILE srgb, cmsTagSignature tag) {
    const auto* a = static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, tag));
    const auto* b = static_cast<const cmsCIEXYZ*>(cmsReadTag(srgb, tag));
    return a != nullptr && b != nullptr && std::fabs(a->X - b->X) <= kColorantTolerance &&
           std::fabs(a->Y - b->Y) <= kColorantTolerance && std::fabs(a->Z - b->Z) <= kColorantTolerance;
}

// sRGB under any name: a matrix and curves of sRGB's. A profile of tables alone is taken at its word.
bool IsSrgb(cmsHPROFILE profile) {
    if (!cmsIsMatrixShaper(profile)) return false;
    if (cmsGetColorSpace(profile) == cmsSigGrayData)
        return CurveIsSrgb(static_cast<const cmsToneCurve*>(cmsReadTag(profile, cmsSigGrayTRCTag)));
    const OwnedProfile srgb(cmsCreate_sRGBProfile());
    if (!srgb) return false;
    for (const cmsTagSignature tag : {cmsSigRedColorantTag, cmsSigGreenColorantTag, cmsSigBlueColorantTag}) {
        if (!ColorantIsSrgb(profile, srgb.get(), tag)) return false;
    }
    for (const cmsTagSignature tag : {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag}) {
        if (!CurveIsSrgb(static_cast<const cmsToneCurve*>(cmsReadTag(profile, tag)))) return false;
    }
    return true;
}

// The lcms2 form of a view's pixels: blue first in the 24-bit image, two bytes the most
// significant first above 8 bits; 0 for a layout without colour or of another depth.
cmsUInt32Number RgbFormat(const PixelLayout& layout) {
    if (!layout.Colour() || (layout.MaxValue != 255 && layout.MaxValue != 65535)) return 0;
    if (layout.BlueFirst) return layout.HasAlpha() ? TYPE_BGRA_8 : TYPE_BGR_8;
    if (layout.Wide()) return layout.HasAlpha() ? TYPE_RGBA_16_SE : TYPE_RGB_16_SE;
    return layout.HasAlpha() ? TYPE_RGBA_8 : TYPE_RGB_8;
}

// Every frame through one transform a layout (the frames share theirs); false, nothing changed,
// when lcms2 makes none.
bool ConvertRgbFrames(Picture& picture, cmsHPROFILE from) {
    const OwnedProfile srgb(cmsCreate_sRGBProfile());
    const cmsUInt32Number format = RgbFormat(picture.View().Layout);
    if (!srgb || format == 0) return false;
    const OwnedTransform transform(
        cmsCreateTransform(from, format, srgb.get(), format, INTENT_PERCEPTUAL, cmsFLAGS_COPY_ALPHA));
    if (!transform) return false;
    for (const std::unique_ptr<PictureFrame>& frame : picture.Frames) {
        const PictureView view = frame->View();
        for (int32_t y = 0; y < view.Height; ++y)
            cmsDoTransform(transform.get(), view.Row(y), view.Row(y), cmsUInt32Number(view.Width));
    }
    return true;
}

bool ConvertGreyFrames(Picture& picture, const std::vector<uint8_t>& profile) {
    const GreyToSrgb grey(profile, picture.View().Layout.MaxValue);
    if (!grey.Valid()) return false;
    for (const std::unique_ptr<PictureFrame>& frame : picture.Frames) grey.Convert(frame->View());
    return true;
}

}  // namespace

std::vector<std::string> ConvertPictureToSrgb(Picture& picture, PictureMetadata& metadata) {
    // Profiles of other spaces are none of this conversion's, whether lcms2 reads them or not; a
    // CMYK JPEG's is applied as it is read.
    if (!Claims(metadata.IccProfile, "RGB ") && !Claims(metadata.IccProfile, "GRAY")) return {};
    const OwnedProfile profile = OpenProfile(metadata.IccProfile);
    if (!profile) return {warning::kUnusableProfile};
    const cmsColorSpaceSignature space = cmsGetColorSpace(profile.get());
    if ((space != cmsSigRgbData && space != cmsSigGrayData) || IsSrgb(profile.get())) return {};
    const bool converted = space == cmsSigRgbData ? ConvertRgbFrames(picture, profile.get())
                                                  : ConvertGreyFrames(picture, metadata.IccProfile);
    if (!converted) return {warning::kUnusableProfile};
    MarkConvertedToSrgb(metadata);
    return {};
}

// Decision: no profile, rather than sRGB's. An untagged picture is sRGB to every browser, viewer and
// library, so none applies anything a second time; sRGB's own profile would add 3 KB to each file
// for nothing, and would be wrong beside a grey picture written as grey (a grey output takes only a
// grey profile).
void MarkConvertedToSrgb(PictureMetadata& metadata) {
    metadata.IccProfile.clear();
    MarkExifSrgb(metadata.Exif);
}

GreyToSrgb::GreyToSrgb(const std::vector<uint8_t>& profile, uint32_t maxValue) : wide_(maxValue > 255) {
    const OwnedProfile from = OpenProfile(profile);
    const OwnedProfile to = GreySrgbProfile();
    if (!from || !to || maxValue == 0 || maxValue > 65535 || cmsGetColorSpace(from.get()) != cmsSigGrayData)
        return;
    // Unoptimised: the table is made once, and lcms2's joined curve loses the dark end (a linear
    // grey of 1 in 255 came out 6, not 13).
    const OwnedTransform transform(cmsCreateTransform(from.get(), TYPE_GRAY_16, to.get(), TYPE_GRAY_16,
                                                      INTENT_PERCEPTUAL, cmsFLAGS_NOOPTIMIZE));
    if (!transform) return;
    // Each sample value as 16 bits and back, so that any depth takes the one 16-bit transform.
    std::vector<uint16_t> in(size_t(maxValue) + 1);
    for (uint32_t v = 0; v <= maxValue; ++v) in[v] = uint16_t((v * 65535u + maxValue / 2) / maxValue);
    std::vector<uint16_t> out(in.size());
    cmsDoTransform(transform.get(), in.data(), out.data(), cmsUInt32Number(in.size()));
    for (uint16_t& v : out) v = uint16_t((uint32_t(v) * maxValue + 32767) / 65535);
    table_ = std::move(out);
}

void GreyToSrgb::Convert(uint8_t* row, size_t first, size_t step, size_t count) const {
    WithSampleWidth(wide_, [&](auto wide) {
        constexpr bool kWide = decltype(wide)::value;
        for (size_t i = first, n = 0; n < count; ++n, i += step) {
            const uint32_t v = GetSample<kWide>(row, i);
            PutSample<kWide>(row, i, v < table_.size() ? table_[v] : table_.back());
        }
    });
}

void GreyToSrgb::Convert(const PictureView& view) const {
    const PixelLayout& layout = view.Layout;
    const size_t colours = layout.Colour() ? 3 : 1;
    for (int32_t y = 0; y < view.Height; ++y) {
        for (size_t c = 0; c < colours; ++c) Convert(view.Row(y), c, layout.Channels, size_t(view.Width));
    }
}

bool CmykToSrgb::Claimed(const std::vector<uint8_t>& profile) {
    return Claims(profile, "CMYK");
}

CmykToSrgb::CmykToSrgb(const std::vector<uint8_t>& profile, bool inverted) {
    const OwnedProfile from = OpenProfile(profile);
    const OwnedProfile srgb(cmsCreate_sRGBProfile());
    if (!from || !srgb || cmsGetColorSpace(from.get()) != cmsSigCmykData) return;
    transform_ = cmsCreateTransform(from.get(), inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8, srgb.get(),
                                    TYPE_BGR_8, INTENT_PERCEPTUAL, 0);
}

CmykToSrgb::~CmykToSrgb() {
    if (transform_ != nullptr) cmsDeleteTransform(transform_);
}

void CmykToSrgb::Row(const uint8_t* cmyk, uint8_t* bgr, int32_t width) const {
    cmsDoTransform(transform_, cmyk, bgr, cmsUInt32Number(width));
}
