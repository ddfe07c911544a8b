// Document out in blocks, answer in blocks: neither side of the host's exchange holds a second
// copy of the picture.
#include "HostDocument.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "Exchange.h"
#include "PixelRows.h"

namespace {

constexpr size_t kBlockPixels = size_t(1) << 16;  // 192 KiB of payload per write or read
constexpr size_t kBytesPerPixel = sizeof(ExchangePixel);
// The answer's head is parsed from its first bytes; no honest head comes near this.
constexpr uint64_t kHeadWindow = uint64_t(1) << 20;

// Places the answer's pixels into the picture in payload order: top row first, left to right.
class AnswerImporter {
  public:
    explicit AnswerImporter(FCObjImage& image)
        : Image(image),
          Width(uint32_t(image.InfoHeader.biWidth)),
          Height(uint32_t(image.InfoHeader.biHeight)) {}

    void Store(const uint8_t* source, size_t pixels) {
        while (pixels > 0 && Row < Height) {
            uint8_t* target = Image.PixelAddress(int32_t(Column), int32_t(Row));
            const size_t run = std::min<size_t>(pixels, Width - Column);
            CopySwappingRedAndBlue(source, target, run);
            source += run * 3;
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

// Streams payloadBytes from the file (after the ones already in hand) into the picture; a file
// that ends early fails as a document that ends early does. Returns the bytes read past the
// payload in `rest` so the tail can be checked.
bool ImportPayload(int descriptor, const uint8_t* inHand, size_t inHandBytes, uint64_t payloadBytes,
                   AnswerImporter& importer, ByteBlock& rest) {
    const size_t fromHand = size_t(std::min<uint64_t>(inHandBytes, payloadBytes));
    importer.Store(inHand, fromHand / kBytesPerPixel);
    uint64_t missing = payloadBytes - fromHand;
    if (missing == 0) {
        rest.assign(inHand + fromHand, inHand + inHandBytes);
        return true;
    }
    ByteBlock block(kBlockPixels * kBytesPerPixel);
    // A pixel cut by the end of what was in hand is finished in the next block.
    size_t carried = fromHand % kBytesPerPixel;
    std::memcpy(block.data(), inHand + fromHand - carried, carried);
    while (missing > 0) {
        const size_t want = size_t(std::min<uint64_t>(block.size() - carried, missing));
        const int64_t got = ReadFully(descriptor, block.data() + carried, want);
        if (got <= 0) {
            std::cout << kPixelsExpectedMessage;
            return false;
        }
        missing -= uint64_t(got);
        const size_t held = carried + size_t(got);
        importer.Store(block.data(), held / kBytesPerPixel);
        carried = held % kBytesPerPixel;
        std::memmove(block.data(), block.data() + held - carried, carried);
    }
    return true;
}

bool ReadTail(int descriptor, uint64_t remaining, ByteBlock& rest) {
    ByteBlock tail(rest.size() + size_t(remaining));
    std::copy(rest.data(), rest.data() + rest.size(), tail.data());
    const int64_t got = ReadFully(descriptor, tail.data() + rest.size(), size_t(remaining));
    if (got < 0) return false;
    tail.shrink(rest.size() + size_t(got));
    DocumentCursor cursor{tail.data(), tail.data() + tail.size()};
    return ParseDocumentTail(cursor);
}

bool ImportAnswer(int descriptor, uint64_t size, FCObjImage& image) {
    const uint32_t width = uint32_t(image.InfoHeader.biWidth);
    const uint32_t height = uint32_t(image.InfoHeader.biHeight);
    const uint64_t payloadBytes = PayloadBytes(width, height);
    ByteBlock window(size_t(std::min(size, std::max(kHeadWindow, size - std::min(size, payloadBytes)))));
    const int64_t got = ReadFully(descriptor, window.data(), window.size());
    if (got < 0) {
        ReportCannotOpen();
        return false;
    }
    window.shrink(size_t(got));
    std::cout << "Parse XML\n";
    ExchangeState answer;
    DocumentCursor cursor{window.data(), window.data() + window.size()};
    if (!ParseDocumentHead(answer, cursor)) return false;
    if (uint32_t(answer.Width) != width || uint32_t(answer.Height) != height) {
        std::cout << "The answer is " << answer.Width << " x " << answer.Height
                  << " pixels but the picture is " << width << " x " << height << "; nothing saved.\n";
        return false;
    }
    const uint64_t headBytes = uint64_t(cursor.Position - window.data());
    if (!CheckPayloadSize(answer, size - headBytes)) return false;
    AnswerImporter importer(image);
    ByteBlock rest;
    const size_t inHand = size_t(cursor.End - cursor.Position);
    if (!ImportPayload(descriptor, cursor.Position, inHand, payloadBytes, importer, rest)) return false;
    const uint64_t consumed = std::max<uint64_t>(window.size(), headBytes + payloadBytes);
    return ReadTail(descriptor, size > consumed ? size - consumed : 0, rest);
}

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

bool WriteOutgoingDocument(FCObjImage& image, const std::string& path) {
    AtomicFileWriter out;
    const std::string head =
        DocumentHead(uint32_t(image.InfoHeader.biWidth), uint32_t(image.InfoHeader.biHeight));
    bool written =
        out.Open(path, LinkPolicy::Refuse, TemporaryOwner::Host) && out.Append(head.data(), head.size());
    std::cout << "Save as XML\n";
    if (written) {
        FCPixelMyProcessor processor(out);
        RunPixelProcess(image, processor);
        written = out.Append(kDocumentTail, std::strlen(kDocumentTail)) && out.Commit();
    }
    if (written) return true;
    if (out.Error() != EINTR) {
        std::cout << "Cannot write " << path << ": " << std::strerror(out.Error() != 0 ? out.Error() : EIO)
                  << "\n";
    }
    return false;
}

bool ReadAnswer(FCObjImage& image, uint64_t sentLength) {
    uint64_t size = 0;
    const int descriptor = OpenDocumentFile(size);
    if (descriptor < 0) return false;
    // Read or refused, the answer is consumed: a later run must never take it for its own.
    unlink(kDocumentFileName);
    bool imported = false;
    if (size > sentLength + kDocumentAllowance) {
        std::cout << "The answer is " << size
                  << " bytes, more than an answer to this picture can be; nothing saved.\n";
    } else {
        imported = ImportAnswer(descriptor, size, image);
    }
    close(descriptor);
    return imported;
}
