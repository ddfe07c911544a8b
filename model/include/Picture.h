// A picture as a run holds it from load to save: frames of one size, each held as the 24-bit image
// (the form a version 1 run sends, which readers fill without a copy) or as samples of the run's
// form, and seen by everything after the load through one view. A still picture is one frame; an
// animation, or a TIFF's pages, more, with how they play.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "ObjImage.h"
#include "PictureView.h"
#include "SampleImage.h"

class PictureFrame {
  public:
    // One of the two holds the pixels; the other stays empty.
    FCObjImage Image;
    FCSampleImage Samples;

    PictureView View() const { return Samples.IsValid() ? ViewOf(Samples) : ViewOf(Image); }
    // Turned as EXIF orientation says (see TurnAsOrientationSays); false, untouched, when the
    // turned copy cannot be made.
    bool Turn(uint16_t orientation);
    // The frame at another size, in the same form and resolution, its pixels zero: for an answer
    // that reshapes the picture. The old pixels go first, so both sizes are never held; false, the
    // frame empty, when memory runs out.
    bool Reshape(int32_t width, int32_t height);
};

// How an animation plays. Delays are milliseconds, as WebP keeps them (a GIF's centiseconds x 10).
struct FrameTiming {
    // What a frame shows for where the file says nothing, such as a TIFF's pages.
    static constexpr uint32_t kDefaultDelayMs = 100;
    std::vector<uint32_t> DelayMs;  // one a frame, the first first; empty for a still picture or pages
    uint32_t DelayOf(size_t frame) const { return frame < DelayMs.size() ? DelayMs[frame] : kDefaultDelayMs; }
    // As a GIF's NETSCAPE count and a WebP's loop count say it: 0 for ever, 1 once (a GIF without
    // the count), N that many times.
    uint32_t Loops = 0;
};

class Picture {
  public:
    Picture() { Frames.push_back(std::make_unique<PictureFrame>()); }

    // The first first; every frame has the first's size and layout.
    std::vector<std::unique_ptr<PictureFrame>> Frames;

    FrameTiming Timing;

    size_t FrameCount() const { return Frames.size(); }
    PictureFrame& First() { return *Frames.front(); }
    const PictureFrame& First() const { return *Frames.front(); }
    PictureView View() const { return First().View(); }
    int32_t Width() const { return View().Width; }
    int32_t Height() const { return View().Height; }
    bool HasResolution() const {
        const PictureView view = View();
        return view.XPixelsPerMetre > 0 && view.YPixelsPerMetre > 0;
    }
    // Every frame turned; false when memory runs out (the frames turned before stay turned).
    bool Turn(uint16_t orientation);
};
