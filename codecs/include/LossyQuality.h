// The quality range and default of the lossy writers (JPEG, WebP), for whoever lets a user choose
// the quality, and the one reading of a writer's flag as a quality.
#pragma once

#include <cstdint>

constexpr int32_t kMinQuality = 1;
constexpr int32_t kMaxQuality = 100;
// The quality used when none is asked for, ImageMagick's own default.
constexpr int32_t kDefaultQuality = 92;

// flag -1 asks for the default; 1 to 100 is the quality itself; anything else gives 0 (refused).
inline int32_t QualityFromFlag(int32_t flag) {
    if (flag == -1) return kDefaultQuality;
    return flag >= kMinQuality && flag <= kMaxQuality ? flag : 0;
}
