// Document out in blocks, answer in blocks through the exchange's reader: neither side of the
// host's exchange holds a second copy of the picture.
#include "HostDocument.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "Exchange.h"

namespace {

constexpr size_t kBlockPixels = size_t(1) << 16;  // 192 KiB of payload per write
constexpr size_t kBytesPerPixel = sizeof(ExchangePixel);
// The host writes versions 1 and 2 only: a module answers in the version it read, so a newer one
// is no answer to our document, whatever the reader would make of it.
constexpr int32_t kNewestWritten = 2;

std::string Form(int32_t width, int32_t height, int32_t channels, int32_t depth) {
    return std::to_string(width) + " x " + std::to_string(height) + " pixels of " + std::to_string(channels) +
           " samples of " + std::to_string(depth) + " bits";
}

std::string DifferentForm(const DocumentHeader& header, int32_t width, int32_t height, int32_t channels,
                          int32_t depth) {
    return "The module answered a different form: version " + std::to_string(header.Version) + ", " +
           Form(header.Width, header.Height, header.Channels, header.Depth) + ", for " +
           Form(width, height, channels, depth) + "; nothing saved.";
}

// A version the host never writes, refused before its form is looked at: read by version 1's
// grammar, a newer document has no form of its own to compare.
bool NewerVersion(const DocumentHeader& header, int32_t sent, std::string& message) {
    if (header.Version <= kNewestWritten) return false;
    message = "The module answered a newer version: version " + std::to_string(header.Version) +
              ", for version " + std::to_string(sent) + "; nothing saved.";
    return true;
}

// The form a held layout goes out in: the same samples, red first.
PixelLayout SentLayout(const PixelLayout& held) {
    return PixelLayout{held.Channels, held.MaxValue, false};
}

// Version 1 is one frame of 8-bit red, green and blue; every other form, and frames, version 2's.
int32_t VersionOf(const PixelLayout& sent, size_t frames) {
    return sent == PixelLayout{3, 255, false} && frames == 1 ? 1 : 2;
}

std::string Size(uint64_t width, uint64_t height) {
    return std::to_string(width) + " x " + std::to_string(height) + " pixels";
}

// An answer may come back at another size, in the form it was sent; what cannot be held or written
// is refused before its payload is read.
bool CheckAnswerSize(const DocumentHeader& header, const AnswerBounds& bounds, std::string& message) {
    const uint64_t width = uint32_t(header.Width), height = uint32_t(header.Height);
    if (width == 0 || height == 0) {
        message = "The answer is " + Size(width, height) + ", an empty picture; nothing saved.";
        return false;
    }
    if (width * height > bounds.MaxPixels) {
        message = "The answer is " + Size(width, height) + ", more than --max-pixels allows (" +
                  std::to_string(bounds.MaxPixels) + "); nothing saved.";
        return false;
    }
    const uint64_t allFrames = kFramesPerPixelLimit * bounds.MaxPixels;
    if (width * height * uint64_t(header.Frames) > allFrames) {
        message = "The answer is " + std::to_string(header.Frames) + " frames of " + Size(width, height) +
                  ", more than " + std::to_string(kFramesPerPixelLimit) +
                  " x --max-pixels allows for all frames together (" + std::to_string(allFrames) +
                  "); nothing saved.";
        return false;
    }
    if (bounds.MaxSide != 0 && (width > uint64_t(bounds.MaxSide) || height > uint64_t(bounds.MaxSide))) {
        message = "The answer is " + Size(width, height) + ", but " + bounds.OutputName + " holds at most " +
                  std::to_string(bounds.MaxSide) + " pixels a side; nothing saved.";
        return false;
    }
    return true;
}

// The answer's pixels into the picture in payload order (each frame's top row first, left to
// right), taken into the held layout as they come, or read straight into the held pixels where
// they are the payload's own layout. An answer of another size gets frames of its size first.
class AnswerInto : public PayloadSink {
  public:
    AnswerInto(Picture& picture, const AnswerBounds& bounds)
        : Pixels(picture),
          Bounds(bounds),
          View(picture.View()),
          Sent(SentLayout(View.Layout)),
          Version(VersionOf(Sent, picture.FrameCount())),
          Conversion(Sent, View.Layout) {}

    bool CheckForm(const DocumentHeader& header, std::string& message) override {
        if (NewerVersion(header, Version, message)) return false;
        const int32_t depth = Sent.Wide() ? 16 : 8;
        const bool sameForm =
            Version == 1
                ? header.PixelBytes() == kBytesPerPixel
                : header.Version == 2 && uint32_t(header.Channels) == Sent.Channels && header.Depth == depth;
        // A version 2 answer of another form read as version 1 would be three bytes a pixel, garbled.
        if (!sameForm) {
            message = DifferentForm(header, View.Width, View.Height,
                                    Version == 1 ? 3 : int32_t(Sent.Channels), depth);
            return false;
        }
        // Each frame answers one that went out: more or fewer have no place to go.
        if (uint64_t(header.Frames) != Pixels.FrameCount()) {
            message = "The answer holds " + std::to_string(header.Frames) + " frames but the picture " +
                      std::to_string(Pixels.FrameCount()) + "; nothing saved.";
            return false;
        }
        return CheckAnswerSize(header, Bounds, message);
    }

    bool Begin(const DocumentHeader& header, std::string& message) override {
        for (const std::unique_ptr<PictureFrame>& frame : Pixels.Frames) {
            if (frame->Reshape(header.Width, header.Height)) continue;
            message = "Out of memory for the answer's " +
                      Size(uint32_t(header.Width), uint32_t(header.Height)) + "; nothing saved.";
            return false;
        }
        View = Pixels.View();
        return true;
    }

    uint8_t* Whole() override {
        const bool contiguous = View.Stride == ptrdiff_t(View.RowBytes());
        return Conversion.Same() && contiguous && Pixels.FrameCount() == 1 ? View.Top : nullptr;
    }

    void Take(const uint8_t* source, size_t bytes) override {
        const size_t sentBytes = Sent.PixelBytes();
        const size_t heldBytes = View.Layout.PixelBytes();
        size_t pixels = bytes / sentBytes;
        while (pixels > 0 && Frame < Pixels.FrameCount()) {
            const size_t run = std::min<size_t>(pixels, uint32_t(View.Width) - Column);
            Conversion.Convert(source, View.Row(int32_t(Row)) + Column * heldBytes, 0, 1, uint32_t(run));
            source += run * sentBytes;
            pixels -= run;
            Column += uint32_t(run);
            if (Column < uint32_t(View.Width)) continue;
            Column = 0;
            if (++Row < uint32_t(View.Height)) continue;
            Row = 0;
            if (++Frame < Pixels.FrameCount()) View = Pixels.Frames[Frame]->View();
        }
    }

  private:
    Picture& Pixels;
    const AnswerBounds& Bounds;
    PictureView View;  // of the frame the payload fills now
    PixelLayout Sent;
    int32_t Version;
    LayoutConversion Conversion;
    size_t Frame = 0;
    uint32_t Row = 0;
    uint32_t Column = 0;
};

}  // namespace

FCPixelMyProcessor::FCPixelMyProcessor(AtomicFileWriter& out)
    : Out(out), Block(new uint8_t[kBlockPixels * kBytesPerPixel]) {
    Next = Block.get();
    BlockEnd = Next + kBlockPixels * kBytesPerPixel;
}

void FCPixelMyProcessor::ProcessWholeImage(FCObjImage& image, void*) {
    AppendPayload(Out, ViewOf(image));
}

void FCPixelMyProcessor::Flush() {
    // After the first failure (or a stop) the writer takes nothing more; the pixels still to
    // come only cycle through the block.
    Out.Append(Block.get(), size_t(Next - Block.get()));
    Next = Block.get();
}

void AppendPayload(AtomicFileWriter& out, const PictureView& view) {
    const PixelLayout sent = SentLayout(view.Layout);
    const LayoutConversion conversion(view.Layout, sent);
    const size_t rowBytes = sent.RowBytes(view.Width);
    // Rows already in the payload's layout, one after the other, go out in one piece.
    if (conversion.Same() && view.Stride == ptrdiff_t(rowBytes)) {
        out.Append(view.Top, rowBytes * size_t(view.Height));
        return;
    }
    // Else through a block of whole pixels, each row converted into it as it goes.
    const size_t pixelBytes = sent.PixelBytes();
    const size_t blockBytes = kBlockPixels * pixelBytes;
    std::unique_ptr<uint8_t[]> block(new uint8_t[blockBytes]);
    size_t used = 0;
    for (int32_t y = 0; y < view.Height; ++y) {
        const uint8_t* row = view.Row(y);
        for (uint32_t x = 0; x < uint32_t(view.Width);) {
            const uint32_t run =
                uint32_t(std::min<size_t>(uint32_t(view.Width) - x, (blockBytes - used) / pixelBytes));
            conversion.Convert(row + x * view.Layout.PixelBytes(), block.get() + used, 0, 1, run);
            used += run * pixelBytes;
            x += run;
            if (used == blockBytes) {
                out.Append(block.get(), used);
                used = 0;
            }
        }
    }
    if (used != 0) out.Append(block.get(), used);
}

namespace {

// Says why the document could not be written, unless a stop cut the write; returns false.
bool WriteFailed(const AtomicFileWriter& out, const std::string& path) {
    if (out.Error() != EINTR)
        std::cout << "Cannot write " << path << ": " << std::strerror(out.Error() != 0 ? out.Error() : EIO)
                  << "\n";
    return false;
}

}  // namespace

bool WriteOutgoingDocument(Picture& picture, const std::string& path, std::ostream* progress) {
    const PictureView view = picture.View();
    const PixelLayout sent = SentLayout(view.Layout);
    const size_t frames = picture.FrameCount();
    AtomicFileWriter out;
    const std::string head =
        DocumentHead(uint32_t(view.Width), uint32_t(view.Height), VersionOf(sent, frames),
                     int32_t(sent.Channels), sent.Wide() ? 16 : 8, int32_t(frames));
    bool written =
        out.Open(path, LinkPolicy::Refuse, TemporaryOwner::Host) && out.Append(head.data(), head.size());
    if (progress != nullptr) *progress << "Save as XML\n";
    if (written) {
        // The 24-bit image of a still picture goes through its pixel processor; samples, and
        // frames, are appended as they lie.
        if (frames == 1 && picture.First().Image.IsValid()) {
            FCPixelMyProcessor processor(out);
            RunPixelProcess(picture.First().Image, processor);
        } else {
            for (const std::unique_ptr<PictureFrame>& frame : picture.Frames)
                AppendPayload(out, frame->View());
        }
        written = out.Append(kDocumentTail, std::strlen(kDocumentTail)) && out.Commit();
    }
    return written || WriteFailed(out, path);
}

bool ReadAnswer(Picture& picture, const AnswerBounds& bounds, std::ostream* progress) {
    AnswerInto sink(picture, bounds);
    DocumentHeader header;
    return ReadDocumentFile(kDocumentFileName, sink, header, progress);
}
