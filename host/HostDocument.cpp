// Document out in blocks, answer in blocks through the exchange's reader: neither side of the
// host's exchange holds a second copy of the picture.
#include "HostDocument.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "Exchange.h"
#include "PixelRows.h"

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

// Places the answer's pixels into the picture in payload order: top row first, left to right.
class AnswerImporter : public PayloadSink {
  public:
    explicit AnswerImporter(FCObjImage& image)
        : Image(image),
          Width(uint32_t(image.InfoHeader.biWidth)),
          Height(uint32_t(image.InfoHeader.biHeight)) {}

    bool CheckForm(const DocumentHeader& header, std::string& message) override {
        if (NewerVersion(header, 1, message)) return false;
        // A version 2 answer of another form would be read as three bytes a pixel, garbled.
        if (header.PixelBytes() != kBytesPerPixel) {
            message = DifferentForm(header, int32_t(Width), int32_t(Height), 3, 8);
            return false;
        }
        if (uint32_t(header.Width) == Width && uint32_t(header.Height) == Height) return true;
        message = "The answer is " + std::to_string(header.Width) + " x " + std::to_string(header.Height) +
                  " pixels but the picture is " + std::to_string(Width) + " x " + std::to_string(Height) +
                  "; nothing saved.";
        return false;
    }

    void Take(const uint8_t* source, size_t bytes) override {
        size_t pixels = bytes / kBytesPerPixel;
        while (pixels > 0 && Row < Height) {
            uint8_t* target = Image.PixelAddress(int32_t(Column), int32_t(Row));
            const size_t run = std::min<size_t>(pixels, Width - Column);
            CopySwappingRedAndBlue(source, target, run);
            source += run * kBytesPerPixel;
            pixels -= run;
            Column += uint32_t(run);
            if (Column == Width) {
                Column = 0;
                ++Row;
            }
        }
    }

  private:
    FCObjImage& Image;
    uint32_t Width;
    uint32_t Height;
    uint32_t Row = 0;
    uint32_t Column = 0;
};

// A version 2 answer lands where the picture's samples are: its payload has their layout.
class AnswerSamples : public PayloadSink {
  public:
    explicit AnswerSamples(FCSampleImage& samples) : Samples(samples) {}

    bool CheckForm(const DocumentHeader& header, std::string& message) override {
        if (NewerVersion(header, 2, message)) return false;
        const int32_t depth = int32_t(8 * Samples.BytesPerSample());
        if (header.Version == 2 && header.Width == Samples.Width && header.Height == Samples.Height &&
            uint32_t(header.Channels) == Samples.Channels && header.Depth == depth)
            return true;
        message = DifferentForm(header, Samples.Width, Samples.Height, int32_t(Samples.Channels), depth);
        return false;
    }
    uint8_t* Whole() override { return Samples.Samples; }

  private:
    FCSampleImage& Samples;
};

}  // namespace

FCPixelMyProcessor::FCPixelMyProcessor(AtomicFileWriter& out)
    : Out(out), Block(new uint8_t[kBlockPixels * kBytesPerPixel]) {
    Next = Block.get();
    BlockEnd = Next + kBlockPixels * kBytesPerPixel;
}

void FCPixelMyProcessor::ProcessWholeImage(FCObjImage& image, void*) {
    const size_t width = uint32_t(image.InfoHeader.biWidth);
    for (int32_t y = 0; y < image.InfoHeader.biHeight; ++y) {
        const uint8_t* pixel = image.PixelAddress(0, y);
        for (size_t left = width; left > 0;) {
            const size_t run = std::min(left, size_t(BlockEnd - Next) / kBytesPerPixel);
            CopySwappingRedAndBlue(pixel, Next, run);
            pixel += run * 3;
            Next += run * 3;
            left -= run;
            if (Next == BlockEnd) Flush();
        }
    }
}

void FCPixelMyProcessor::Flush() {
    // After the first failure (or a stop) the writer takes nothing more; the pixels still to
    // come only cycle through the block.
    Out.Append(Block.get(), size_t(Next - Block.get()));
    Next = Block.get();
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

bool WriteOutgoingDocument(FCObjImage& image, const std::string& path, std::ostream* progress) {
    AtomicFileWriter out;
    const std::string head =
        DocumentHead(uint32_t(image.InfoHeader.biWidth), uint32_t(image.InfoHeader.biHeight));
    bool written =
        out.Open(path, LinkPolicy::Refuse, TemporaryOwner::Host) && out.Append(head.data(), head.size());
    if (progress != nullptr) *progress << "Save as XML\n";
    if (written) {
        FCPixelMyProcessor processor(out);
        RunPixelProcess(image, processor);
        written = out.Append(kDocumentTail, std::strlen(kDocumentTail)) && out.Commit();
    }
    return written || WriteFailed(out, path);
}

bool ReadAnswer(FCObjImage& image, std::ostream* progress) {
    AnswerImporter importer(image);
    DocumentHeader header;
    return ReadDocumentFile(kDocumentFileName, importer, header, progress);
}

bool WriteOutgoingSamples(const FCSampleImage& samples, const std::string& path, std::ostream* progress) {
    AtomicFileWriter out;
    const std::string head = DocumentHead(uint32_t(samples.Width), uint32_t(samples.Height), 2,
                                          int32_t(samples.Channels), int32_t(8 * samples.BytesPerSample()));
    if (progress != nullptr) *progress << "Save as XML\n";
    const bool written = out.Open(path, LinkPolicy::Refuse, TemporaryOwner::Host) &&
                         out.Append(head.data(), head.size()) &&
                         out.Append(samples.Samples, samples.RowBytes() * size_t(samples.Height)) &&
                         out.Append(kDocumentTail, std::strlen(kDocumentTail)) && out.Commit();
    return written || WriteFailed(out, path);
}

bool ReadAnswerSamples(FCSampleImage& samples, std::ostream* progress) {
    AnswerSamples sink(samples);
    DocumentHeader header;
    return ReadDocumentFile(kDocumentFileName, sink, header, progress);
}
