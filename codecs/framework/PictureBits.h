// The pixels the decoded formats (PNG, JPEG, GIF, PNM colour) are delivered in, and what the
// 24-bit writers encode: blue, green, red bytes.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint16_t kPictureBits = 24;
constexpr size_t kBgrPixelBytes = 3;
