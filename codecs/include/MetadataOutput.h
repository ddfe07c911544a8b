// What of a picture's metadata the output will carry, settled once right after loading, when the
// output's format is already known: every item dropped is said there, with the load's warnings.
#pragma once

#include <string>
#include <vector>

#include "ImageHandle.h"
#include "PictureMetadata.h"

// After the picture was turned as metadata.Orientation said: the orientation becomes 1 (the
// EXIF tag follows on the way out) and, for a quarter turn (5 to 8), EXIF's pixel dimensions swap.
void MarkMetadataTurned(PictureMetadata& metadata);

// Leaves in metadata what a file of type output carries (none of profile, EXIF and XMP when strip
// is set) and returns a warning phrase, completing "Warning: NAME ", for each item it drops
// unasked.
std::vector<std::string> SettleMetadataForOutput(PictureMetadata& metadata, ImageType output, bool strip);
