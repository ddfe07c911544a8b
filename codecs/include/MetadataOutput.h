// A picture's metadata from reader to writer: the one intake that checks what every reader found,
// whatever the container, and the one place that settles what the output will carry, right after
// loading, when the output's format is known: every item dropped is said there.
#pragma once

#include <string>
#include <vector>

#include "ImageFormats.h"
#include "PictureMetadata.h"

// Checks the items a reader found: EXIF through the bounded walk of its whole kept tree (damaged
// EXIF is dropped, or cut down to its orientation when that alone is sound), and the orientation
// taken from it where the format has no tag of its own; items over the kept sizes are dropped, and
// descriptions past kKeptDescriptionsMax in all, the last first.
// Adds a warning phrase for each item dropped.
void CheckPictureMetadata(PictureMetadata& metadata, std::vector<std::string>& warnings);

// True when the output will show the picture as the input did without turning its pixels: it has
// no orientation to follow, or the output keeps it (and strip does not drop it).
bool OrientationReachesOutput(const PictureMetadata& metadata, ImageType output, bool strip);

// After the picture was turned as metadata.Orientation said: the orientation becomes 1 (the
// EXIF tag follows on the way out) and, for a quarter turn (5 to 8), EXIF's pixel dimensions swap.
void MarkMetadataTurned(PictureMetadata& metadata);

// After the picture came back at width x height: EXIF's pixel dimensions, where it has them, say so.
void MarkMetadataResized(PictureMetadata& metadata, uint32_t width, uint32_t height);

// Leaves in metadata what a file of type output carries (none of profile, EXIF, XMP and
// descriptions when strip is set; of the descriptions, those its format has a place for), the orientation
// written as that output keeps it, and returns a warning phrase, completing "Warning: NAME ", for the items
// it drops unasked; hasResolution says whether the picture has one to lose.
// A grey output (greyOutput: a grey picture into a format that keeps grey) keeps a grey profile
// and drops any other; every other output keeps an RGB profile alone.
std::vector<std::string> SettleMetadataForOutput(PictureMetadata& metadata, bool hasResolution,
                                                 ImageType output, bool strip, bool greyOutput = false);
