// A stored picture turned the way its orientation (EXIF's, or a TIFF's own tag) tells a viewer to
// show it, for --auto-orient and for outputs that cannot keep the orientation.
#pragma once

#include <cstdint>

#include "ObjImage.h"
#include "SampleImage.h"

// Turns the 24-bit image for EXIF orientation 2 to 8 (mirrors, half and quarter turns, transpose,
// transverse); width, height and resolution swap for 5 to 8. 0 and 1 leave it as it is. False,
// with the image untouched, when the turned copy cannot be made or the image has another depth.
bool TurnAsOrientationSays(FCObjImage& image, uint16_t orientation);
// The same for a picture of samples: every channel turns with its pixel.
bool TurnAsOrientationSays(FCSampleImage& samples, uint16_t orientation);
