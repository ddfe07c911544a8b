// Writes the colour profiles of the --colour tests into the current folder, through lcms2, from
// the published numbers of each space (primaries, white, tone curve). Run once by hand:
//   g++ make-profiles.cpp -llcms2 -o /tmp/make-profiles && /tmp/make-profiles
#include <lcms2.h>

#include <cmath>
#include <fstream>
#include <string>

namespace {

std::string Saved(cmsHPROFILE profile, const char* name) {
    cmsMLU* description = cmsMLUalloc(nullptr, 1);
    cmsMLUsetASCII(description, "en", "US", name);
    cmsWriteTag(profile, cmsSigProfileDescriptionTag, description);
    cmsMLUfree(description);
    cmsUInt32Number size = 0;
    std::string bytes;
    if (cmsSaveProfileToMem(profile, nullptr, &size)) {
        bytes.resize(size);
        cmsSaveProfileToMem(profile, bytes.data(), &size);
    }
    cmsCloseProfile(profile);
    return bytes;
}

std::string Rgb(const cmsCIExyY& white, const cmsCIExyYTRIPLE& primaries, cmsToneCurve* curve,
                const char* name) {
    cmsToneCurve* curves[3] = {curve, curve, curve};
    const std::string bytes = Saved(cmsCreateRGBProfile(&white, &primaries, curves), name);
    cmsFreeToneCurve(curve);
    return bytes;
}

cmsCIExyY D65() {
    cmsCIExyY white;
    cmsWhitePointFromTemp(&white, 6504);
    return white;
}

// Ink upward, 0 to 65535, to the Lab that the profile says it prints as.
int SampleCmyk(const cmsUInt16Number in[], cmsUInt16Number out[], void* toLab) {
    double rgb[3];
    const double k = in[3] / 65535.0;
    for (int c = 0; c < 3; ++c) rgb[c] = (1 - in[c] / 65535.0) * std::pow(1 - k, 1.5);
    cmsDoTransform(toLab, rgb, out, 1);
    return 1;
}

// Adobe RGB (1998): its primaries, D65, gamma 563/256.
std::string AdobeRgbProfile() {
    const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1}, {0.21, 0.71, 1}, {0.15, 0.06, 1}};
    return Rgb(D65(), primaries, cmsBuildGamma(nullptr, 563.0 / 256), "Adobe RGB (1998)");
}

// ProPhoto RGB (ROMM): its primaries, D50, gamma 1.8.
std::string ProPhotoProfile() {
    const cmsCIExyYTRIPLE primaries = {{0.7347, 0.2653, 1}, {0.1596, 0.8404, 1}, {0.0366, 0.0001, 1}};
    return Rgb(*cmsD50_xyY(), primaries, cmsBuildGamma(nullptr, 1.8), "ProPhoto RGB");
}

// sRGB's primaries and white, its tone curve as a table of 1024 points, named "Camera RGB".
std::string SrgbUnderAnotherName() {
    const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1}, {0.30, 0.60, 1}, {0.15, 0.06, 1}};
    float table[1024];
    for (int i = 0; i < 1024; ++i) {
        const double v = i / 1023.0;
        table[i] = float(v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4));
    }
    return Rgb(D65(), primaries, cmsBuildTabulatedToneCurveFloat(nullptr, 1024, table), "Camera RGB");
}

// Grey on a straight tone curve (gamma 1), D65.
std::string LinearGreyProfile() {
    const cmsCIExyY white = D65();
    cmsToneCurve* curve = cmsBuildGamma(nullptr, 1.0);
    const std::string bytes = Saved(cmsCreateGrayProfile(&white, curve), "Linear grey");
    cmsFreeToneCurve(curve);
    return bytes;
}

// CMYK to Lab through a table of 5 points a channel: each ink takes its share of white, the
// black ink darker than a naive model makes it.
std::string CmykProfile() {
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM toLab =
        cmsCreateTransform(srgb, TYPE_RGB_DBL, lab, TYPE_Lab_16, INTENT_RELATIVE_COLORIMETRIC, 0);
    cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(profile, 4.3);
    cmsSetDeviceClass(profile, cmsSigOutputClass);
    cmsSetColorSpace(profile, cmsSigCmykData);
    cmsSetPCS(profile, cmsSigLabData);
    cmsWriteTag(profile, cmsSigMediaWhitePointTag, const_cast<cmsCIEXYZ*>(cmsD50_XYZ()));
    cmsPipeline* lut = cmsPipelineAlloc(nullptr, 4, 3);
    cmsStage* clut = cmsStageAllocCLut16bit(nullptr, 5, 4, 3, nullptr);
    cmsStageSampleCLut16bit(clut, SampleCmyk, toLab, 0);
    // The form a version 4 table takes: curves around the table, here straight ones.
    cmsPipelineInsertStage(lut, cmsAT_BEGIN, cmsStageAllocToneCurves(nullptr, 4, nullptr));
    cmsPipelineInsertStage(lut, cmsAT_END, clut);
    cmsPipelineInsertStage(lut, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsWriteTag(profile, cmsSigAToB0Tag, lut);
    cmsPipelineFree(lut);
    cmsDeleteTransform(toLab);
    cmsCloseProfile(lab);
    cmsCloseProfile(srgb);
    return Saved(profile, "Test CMYK");
}

void Write(const char* name, const std::string& bytes) {
    std::ofstream(name, std::ios::binary) << bytes;
}

}  // namespace

int main() {
    Write("adobe-rgb.icc", AdobeRgbProfile());
    Write("prophoto.icc", ProPhotoProfile());
    Write("srgb-named-camera-rgb.icc", SrgbUnderAnotherName());
    Write("linear-grey.icc", LinearGreyProfile());
    Write("cmyk.icc", CmykProfile());
    // Adobe RGB cut off inside its tag table: a profile lcms2 cannot use.
    Write("cut-short.icc", AdobeRgbProfile().substr(0, 300));
}
