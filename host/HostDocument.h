// The host's two documents: the picture written out for the module, and the answer read back
// into the picture's own pixels through the exchange's one reader, both through the picture's view.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include "AtomicFileWriter.h"
#include "ImageSize.h"
#include "Picture.h"
#include "PixelProcess.h"
#include "SampleImage.h"

// Streams each pixel into the document as red, green, blue (the image keeps blue, green, red),
// through a block that goes out with one checked write whenever it is full. It asks
// RunPixelProcess for the whole picture and hands it to AppendPayload, since a call per pixel
// would cost more than the conversion: ProcessPixel is only the per-pixel fallback that the
// framework's interface asks every processor for.
class FCPixelMyProcessor : public FCSinglePixelProcessBase {
  public:
    explicit FCPixelMyProcessor(AtomicFileWriter& out);
    int32_t QueryProcessType() override { return ProcessWholeImageType; }
    void ProcessWholeImage(FCObjImage& image, void*) override;
    void ProcessPixel(FCObjImage&, int32_t, int32_t, uint8_t* pixel) override {
        uint8_t* next = Next;
        next[0] = pixel[2];
        next[1] = pixel[1];
        next[2] = pixel[0];
        Next = next + 3;
        if (Next == BlockEnd) Flush();
    }
    void OnLeaveProcess(FCObjImage&) override { Flush(); }

  private:
    void Flush();

    AtomicFileWriter& Out;
    std::unique_ptr<uint8_t[]> Block;
    uint8_t* Next;
    uint8_t* BlockEnd;
};

// The picture's rows as the payload carries them (red first, each sample as the form has it), through
// a block of whole pixels unless the rows already lie as the payload does.
void AppendPayload(AtomicFileWriter& out, const PictureView& view);

// Writes the whole outgoing document of the picture to path through a temporary file: version 1
// for one frame of the 24-bit image, version 2 of the samples' form otherwise, with the frames
// back to back where there are several. Says "Save as XML" to progress (null:
// nothing). False, with nothing left at path, on any failure (with a message naming it) or a stop
// request (see SetWriteStop; without a message).
bool WriteOutgoingDocument(Picture& picture, const std::string& path, std::ostream* progress);

// What an answer of another size may be: no more pixels a frame than the run's limit (and all frames
// together no more than kFramesPerPixelLimit times it), no side longer than the output holds (0: no
// limit of its own).
struct AnswerBounds {
    uint64_t MaxPixels = kDefaultPixelLimit;
    int32_t MaxSide = 0;
    std::string OutputName;  // the output's format, as messages name it
};

// Reads "image.xml" from the working directory (and removes it) and takes its pixels into the
// picture, which it must answer in the version and form it was sent, with as many frames, at its
// size or any other that bounds allow (every frame then takes the answer's size). Prints the reader's lines
// to progress and its messages, a refusal's without a line end; false when nothing may be saved.
bool ReadAnswer(Picture& picture, const AnswerBounds& bounds, std::ostream* progress);
