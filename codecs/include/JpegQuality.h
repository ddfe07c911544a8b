// The JPEG writer's quality range and default, for whoever lets a user choose the quality.
#pragma once

#include <cstdint>

constexpr int32_t kMinQuality = 1;
constexpr int32_t kMaxQuality = 100;
// The quality used when none is asked for, ImageMagick's own default.
constexpr int32_t kDefaultQuality = 92;
