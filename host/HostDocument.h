// The host's two documents: the picture written out for the module, and the answer read back
// straight into the picture's own pixels through the exchange's one reader.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include "AtomicFileWriter.h"
#include "PixelProcess.h"
#include "SampleImage.h"

// Streams each pixel into the document as red, green, blue (the image keeps blue, green, red),
// through a block of its own that goes out with one checked write whenever it is full. It asks
// RunPixelProcess for the whole picture and walks it row by row itself, since a call per pixel
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

// Writes the whole outgoing document to path through a temporary file; says "Save as XML" to
// progress (null: nothing). False, with nothing left at path, on any failure (with a message
// naming it) or a stop request (see SetWriteStop; without a message).
bool WriteOutgoingDocument(FCObjImage& image, const std::string& path, std::ostream* progress);

// Reads "image.xml" from the working directory (and removes it) and copies its pixels into the
// picture, which it must answer with the same size and in a version the host writes. Prints the
// reader's lines to progress and its messages, a refusal's without a line end; false when
// nothing may be saved.
bool ReadAnswer(FCObjImage& image, std::ostream* progress);

// The same for a version 2 run: the samples are the payload's own bytes, written out in one piece
// and read back in place, and the answer must have their size and form.
bool WriteOutgoingSamples(const FCSampleImage& samples, const std::string& path, std::ostream* progress);
bool ReadAnswerSamples(FCSampleImage& samples, std::ostream* progress);
