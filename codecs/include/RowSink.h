// Where a reader puts the rows it decodes, in its own layout: each row is taken into the form the
// run holds the picture in as it arrives, so a picture is never held whole in the file's layout
// beside the form it is sent in, and rows a file never reaches cost no memory. A reader whose
// pixel is the held one's size writes into the held picture itself. The one test of transparency
// is made here, on the samples the file gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "LoadResult.h"
#include "ObjImage.h"
#include "Picture.h"
#include "PictureView.h"
#include "SampleImage.h"

class RowSink {
  public:
    // The form the picture is held in once decoded. AsDecoded keeps the reader's own samples, grey
    // as colour and red first, and 8-bit colour without alpha in the 24-bit image (a codec used on
    // its own); Image24 is a version 1 run's 24-bit image; Samples a version 2 run's form.
    enum class Form { AsDecoded, Image24, Samples };
    void HoldAs(Form form, uint32_t channels = 0, uint32_t maxValue = 0);
    // A --grey run's: a file whose rows come grey is held as samples of channels (1, or 2 with
    // alpha) and maxValue, whatever the held form; colour still goes to the held form. A reader
    // asks KeepsGrey before it hands over grey rows it would otherwise spread over the colour.
    void KeepGreyAs(uint32_t channels, uint32_t maxValue) {
        greyChannels_ = channels;
        greyMaxValue_ = maxValue;
    }
    bool KeepsGrey() const { return greyChannels_ != 0; }
    // The picture is held grey (after Begin).
    bool HeldGrey() const { return began_ && form_ == Form::Samples && heldChannels_ <= 2; }
    // The picture is held as samples (after Begin): grey, or colour pages after a grey one.
    bool HeldAsSamples() const { return began_ && form_ == Form::Samples; }

    // Alpha 0 in every pixel is what writers leave who use no alpha (BMP alpha masks, TGA
    // attribute bits): set before the rows arrive, such a picture counts as opaque.
    bool ZeroAlphaIsNone = false;

    // The picture's size and the reader's layout: 1 channel (grey), 2 (and alpha), 3 (colour) or 4 (and
    // alpha), samples from 0 to maxValue (1 to 65535), a byte each up to 255, else two, the most significant
    // first; colour blue first only in bytes. False when the layout is none of these or the held
    // form's memory is not to be had.
    bool Begin(int32_t width, int32_t height, PixelLayout layout);
    // Red first.
    bool Begin(int32_t width, int32_t height, uint32_t channels, uint32_t maxValue) {
        return Begin(width, height, PixelLayout{channels, maxValue, false});
    }
    bool Began() const { return began_; }
    size_t RowBytes() const { return rowBytes_; }
    // Where the reader puts row y in its layout: valid until Put; its old content is undefined.
    uint8_t* Row(int32_t y);
    // Takes pixels first, first + step, ... below end of row y, where Row(y) handed it out (or
    // InPlace showed it): the whole row by default, the pixels of one pass of an interlaced picture
    // or of a frame's rectangle otherwise.
    void Put(int32_t y, uint32_t first = 0, uint32_t step = 1, uint32_t end = UINT32_MAX);
    // Part of the picture no row will bring, such as the canvas an animation's first frame leaves
    // uncovered: transparent black, which the held picture already is.
    void NoteUncovered() { alphaBelowMax_ = true; }
    // Row y from a buffer of the reader's own, in its layout.
    void PutRow(int32_t y, const uint8_t* row);
    // The held picture's own rows, in the reader's layout, where its pixel takes as many bytes as the
    // held one's: a decoder may write the whole picture into them, then Put each row, which
    // converts it where it lies. A view that is not Valid otherwise, or before Begin: the rows then
    // go one at a time through Row.
    PictureView InPlace() const;
    // The picture's resolution, whichever form holds it; after Begin.
    void SetResolution(int32_t xPixelsPerMetre, int32_t yPixelsPerMetre) {
        Image.InfoHeader.biXPelsPerMeter = Samples.XPixelsPerMetre = xPixelsPerMetre;
        Image.InfoHeader.biYPelsPerMeter = Samples.YPixelsPerMetre = yPixelsPerMetre;
    }

    // An animation's next frame, once the rows of this one are in: this frame joins Earlier as the
    // held form has it, and the next begins at the same size, layout and resolution, its rows zero.
    // False when memory runs out. Transparency is that of all the frames together.
    bool NextFrame();
    // The same, the next frame's rows coming in another layout of the reader's (a TIFF's pages may
    // each store theirs otherwise). Colour after grey pages held grey makes the picture colour:
    // the frames before are spread over the colour.
    bool NextFrame(PixelLayout layout);
    // The frames before the one the rows go to now, the first first; the picture's Timing beside.
    std::vector<std::unique_ptr<PictureFrame>> Earlier;
    FrameTiming Timing;

    // Once every row is in: a picture whose alpha ZeroAlphaIsNone calls no alpha is made opaque,
    // and the result learns whether the picture had transparency and how deep its samples were,
    // with the warnings a load into a form without alpha or depth owes the user (options.KeepAlpha
    // asks to hear of transparency instead of being warned).
    void Finish(const LoadOptions& options, LoadResult& result);
    // Some alpha sample below the largest value, once Finish has run.
    bool Transparent() const { return transparent_; }
    uint32_t SourceMaxValue() const { return layout_.MaxValue; }

    // The decoded picture: Image for the 24-bit form, Samples otherwise.
    FCObjImage Image;
    FCSampleImage Samples;

  private:
    static bool Acceptable(const PixelLayout& layout);
    void UseLayout(PixelLayout layout);
    uint8_t* HeldRow(int32_t y);
    // Row y's pixels first, first + step, ... below end, from in in the reader's layout.
    void Take(int32_t y, const uint8_t* in, uint32_t first, uint32_t step, uint32_t end);

    Form form_ = Form::AsDecoded;
    uint32_t heldChannels_ = 0;
    uint32_t heldMaxValue_ = 0;
    uint32_t greyChannels_ = 0;
    uint32_t greyMaxValue_ = 0;
    bool began_ = false;
    bool finished_ = false;
    bool direct_ = false;  // the reader's layout is the held one: rows are put in place
    int32_t width_ = 0;
    int32_t height_ = 0;
    PixelLayout layout_;  // the reader's
    size_t rowBytes_ = 0;
    LayoutConversion conversion_{PixelLayout(), PixelLayout()};
    std::vector<uint8_t> row_;  // the reader's row, when it cannot be converted in place
    std::vector<bool> put_;     // the rows the reader gave
    bool alphaBelowMax_ = false;
    bool alphaAboveZero_ = false;
    bool transparent_ = false;
};
