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

// Version 1 is 8-bit red, green and blue; every other form is version 2's.
int32_t VersionOf(const PixelLayout& sent) {
    return sent == PixelLayout{3, 255, false} ? 1 : 2;
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
    if (bounds.MaxSide != 0 && (width > uint64_t(bounds.MaxSide) || height > uint64_t(bounds.MaxSide))) {
        message = "The answer is " + Size(width, height) + ", but " + bounds.OutputName + " holds at most " +
                  std::to_string(bounds.MaxSide) + " pixels a side; nothing saved.";
        return false;
    }
    return true;
}

// The answer's pixels into the picture in payload order (top row first, left to right), taken
// into the held layout as they come, or read straight into the held pixels where they are the
// payload's own layout. An answer of another size gets a frame of its size first.
class AnswerInto : public PayloadSink {
  public:
    AnswerInto(PictureFrame& frame, const AnswerBounds& bounds)
        : Frame(frame),
          Bounds(bounds),
          View(frame.View()),
          Sent(SentLayout(View.Layout)),
          Version(VersionOf(Sent)),
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
        // The picture went out as one frame: an answer of more has no place to go.
        if (header.Frames != 1) {
            message = "The answer holds " + std::to_string(header.Frames) +
                      " frames but the picture 1; nothing saved.";
            return false;
        }
        return CheckAnswerSize(header, Bounds, message);
    }

    bool Begin(const DocumentHeader& header, std::string& message) override {
        if (!Frame.Reshape(header.Width, header.Height)) {
            message = "Out of memory for the answer's " +
                      Size(uint32_t(header.Width), uint32_t(header.Height)) + "; nothing saved.";
            return false;
        }
        View = Frame.View();
        return true;
    }

    uint8_t* Whole() override {
        const bool contiguous = View.Stride == ptrdiff_t(View.RowBytes());
        return Conversion.Same() && contiguous ? View.Top : nullptr;
    }

    void Take(const uint8_t* source, size_t bytes) override {
        const size_t sentBytes = Sent.PixelBytes();
        const size_t heldBytes = View.Layout.PixelBytes();
        size_t pixels = bytes / sentBytes;
        while (pixels > 0 && Row < uint32_t(View.Height)) {
            const size_t run = std::min<size_t>(pixels, uint32_t(View.Width) - Column);
            Conversion.Convert(source, View.Row(int32_t(Row)) + Column * heldBytes, 0, 1, uint32_t(run));
            source += run * sentBytes;
            pixels -= run;
            Column += uint32_t(run);
            if (Column == uint32_t(View.Width)) {
                Column = 0;
                ++Row;
            }
        }
    }

  private:
    PictureFrame& Frame;
    const AnswerBounds& Bounds;
    PictureView View;
    PixelLayout Sent;
    int32_t Version;
    LayoutConversion Conversion;
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

bool WriteOutgoingDocument(PictureFrame& frame, const std::string& path, std::ostream* progress) {
    const PictureView view = frame.View();
    const PixelLayout sent = SentLayout(view.Layout);
    AtomicFileWriter out;
    const std::string head = DocumentHead(uint32_t(view.Width), uint32_t(view.Height), VersionOf(sent),
                                          int32_t(sent.Channels), sent.Wide() ? 16 : 8);
    bool written =
        out.Open(path, LinkPolicy::Refuse, TemporaryOwner::Host) && out.Append(head.data(), head.size());
    if (progress != nullptr) *progress << "Save as XML\n";
    if (written) {
        // The 24-bit image goes through its pixel processor; samples are appended as they lie.
        if (frame.Image.IsValid()) {
            FCPixelMyProcessor processor(out);
            RunPixelProcess(frame.Image, processor);
        } else {
            AppendPayload(out, view);
        }
        written = out.Append(kDocumentTail, std::strlen(kDocumentTail)) && out.Commit();
    }
    return written || WriteFailed(out, path);
}

bool ReadAnswer(PictureFrame& frame, const AnswerBounds& bounds, std::ostream* progress) {
    AnswerInto sink(frame, bounds);
    DocumentHeader header;
    return ReadDocumentFile(kDocumentFileName, sink, header, progress);
}
