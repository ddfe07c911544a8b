// The "image.xml" document: the one reader (its head from the first bytes, its payload into a sink,
// every size checked first), a bounds-checked scanner, and the writer's fixed pieces around the raw
// pixel payload.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <iostream>
#include <limits>
#include <new>

#include "Exchange.h"

const char kDocumentFileName[] = "image.xml";
const char kAnswerDocumentPath[] = "../image.xml";
const char kDocumentTail[] = "</pixels></image>";
const char kOutOfMemoryLine[] = "Error: out of memory\n";
const char kPixelsExpectedMessage[] = "Pixels expected.  The document ends early";

namespace {

constexpr int64_t kMaxNumber = std::numeric_limits<int32_t>::max();
// The newest version this reader knows; a newer one is read as version 1, after a warning.
constexpr int32_t kNewestVersion = 2;
constexpr int32_t kFormVersion = 2;
// The head of any document the writers make fits many times in this; the reader looks at no
// more before it knows how long the document may be.
constexpr size_t kHeadWindowBytes = 65536;
// The payload goes to a sink without room for it in blocks of this many bytes, whole pixels each.
constexpr size_t kBlockBytes = size_t(3) << 16;
// No expected tag is longer than 18 bytes; a longer one is echoed cut.
constexpr size_t kLongestTagShown = 64;
// How every message of bytes running out ends.
constexpr char kEndsEarly[] = "The document ends early";

bool IsBlank(uint8_t byte) {
    return byte == '\t' || byte == '\n' || byte == '\r' || byte == ' ';
}
bool IsDigit(uint8_t byte) {
    return byte >= '0' && byte <= '9';
}

void SkipBlanks(DocumentCursor& cursor) {
    while (cursor.Position != cursor.End && IsBlank(*cursor.Position)) ++cursor.Position;
}

bool ReadDimension(const char* openTag, const char* closeTag, DocumentCursor& cursor, int32_t& field,
                   std::string& message) {
    int32_t value = 0;
    if (!MatchTag(openTag, cursor, message) || !ReadNumber(cursor, value, message)) return false;
    field = value;
    return MatchTag(closeTag, cursor, message);
}

// A version 2 form's number, one of those it may be; a refusal names them all ("8 or 16").
bool ReadFormNumber(const char* name, std::initializer_list<int32_t> allowed, DocumentCursor& cursor,
                    int32_t& field, std::string& message) {
    const std::string open = std::string("<") + name + ">", close = std::string("</") + name + ">";
    int32_t value = 0;
    if (!ReadDimension(open.c_str(), close.c_str(), cursor, value, message)) return false;
    if (std::find(allowed.begin(), allowed.end(), value) == allowed.end()) {
        std::string values;
        for (const int32_t* one = allowed.begin(); one != allowed.end(); ++one) {
            values += (one == allowed.begin()     ? ""
                       : one + 1 == allowed.end() ? " or "
                                                  : ", ") +
                      std::to_string(*one);
        }
        message = "Wrong value: " + open + std::to_string(value) + close + " must be " + values;
        return false;
    }
    field = value;
    return true;
}

// Whether the next tag, after blanks, is tag; nothing is consumed but the blanks.
bool NextTagIs(DocumentCursor& cursor, const char* tag) {
    SkipBlanks(cursor);
    const size_t length = std::strlen(tag);
    return size_t(cursor.End - cursor.Position) >= length && std::memcmp(cursor.Position, tag, length) == 0;
}

// An animation's frames: the tag only stands for 2 or more.
bool ReadFrames(DocumentCursor& cursor, int32_t& frames, std::string& message) {
    int32_t value = 0;
    if (!ReadDimension("<frames>", "</frames>", cursor, value, message)) return false;
    if (value < 2) {
        message = "Wrong value: <frames>" + std::to_string(value) + "</frames> must be 2 or more";
        return false;
    }
    frames = value;
    return true;
}

// A document's block, not cleared: it is read over at once. Memory running out has one answer in
// the exchange, wherever it happens: std::bad_alloc, which each program's run turns into its
// out-of-memory line.
ByteBlock DocumentBlock(size_t bytes) {
    ByteBlock block(bytes, BlockFill::Unset);
    if (block.data() == nullptr) throw std::bad_alloc();
    return block;
}

bool EndsEarly(const std::string& message) {
    const size_t length = sizeof(kEndsEarly) - 1;
    return message.size() >= length && message.compare(message.size() - length, length, kEndsEarly) == 0;
}

// The head up to "<pixels>". said gets what the reader prints of it: the version warning, and
// the message of a refusal after it. Where the document goes on past the window, bytes that run
// out are the window's end, not the document's.
bool ParseHead(DocumentCursor& cursor, DocumentHeader& header, std::string& said, bool pastWindow) {
    std::string message;
    int32_t version = 0;
    const bool parsed = [&] {
        if (!MatchTag("<image>", cursor, message) || !MatchTag("<header>", cursor, message) ||
            !MatchTag("<version>", cursor, message) || !ReadNumber(cursor, version, message))
            return false;
        header.Version = version;
        if (static_cast<uint32_t>(version) > kNewestVersion) {
            said += "Warning! This is a version 1.0 module and you passed a version " +
                    std::to_string(version) + ".0 image.xml file!\n";
        }
        return MatchTag("</version>", cursor, message) &&
               ReadDimension("<width>", "</width>", cursor, header.Width, message) &&
               ReadDimension("<height>", "</height>", cursor, header.Height, message) &&
               (version != kFormVersion ||
                (ReadFormNumber("channels", {1, 2, 3, 4}, cursor, header.Channels, message) &&
                 ReadFormNumber("depth", {8, 16}, cursor, header.Depth, message) &&
                 (!NextTagIs(cursor, "<frames>") || ReadFrames(cursor, header.Frames, message)))) &&
               MatchTag("</header>", cursor, message) && MatchTag("<pixels>", cursor, message);
    }();
    if (!parsed && pastWindow && EndsEarly(message))
        message = "Header too long.  <pixels> not found in the first " +
                  std::to_string(kHeadWindowBytes / 1024) + " KiB";
    said += message;
    return parsed;
}

uint64_t PixelCountOf(const DocumentHeader& header) {
    return uint64_t(uint32_t(header.Width)) * uint64_t(uint32_t(header.Height));
}

// The most pixels a frame of a document of this form carries.
uint64_t MaxPixelsOf(const DocumentHeader& header) {
    return kMaxPayloadBytes / header.PixelBytes() / uint64_t(header.Frames);
}

// Where a document's bytes come from: the rest of an open file, or a block in memory.
class DocumentBytes {
  public:
    DocumentBytes(int descriptor, uint64_t size) : Descriptor(descriptor), Left_(size) {}
    DocumentBytes(const uint8_t* data, size_t size) : Memory(data), Left_(size) {}

    uint64_t Left() const { return Left_; }
    // Up to count bytes, fewer only where the bytes end; -1 when a read fails.
    int64_t Read(uint8_t* to, size_t count) {
        const size_t wanted = size_t(std::min<uint64_t>(count, Left_));
        int64_t got = int64_t(wanted);
        if (Memory != nullptr) {
            std::memcpy(to, Memory, wanted);
            Memory += wanted;
        } else {
            got = ReadFully(Descriptor, to, wanted);
        }
        if (got > 0) Left_ -= uint64_t(got);
        return got;
    }

  private:
    int Descriptor = -1;
    const uint8_t* Memory = nullptr;
    uint64_t Left_ = 0;
};

// The payload after the head: the bytes in hand first, then the rest from bytes, into the sink's
// room or through it in blocks of whole pixels. False when the bytes end before it does.
bool ReadPayload(const DocumentHeader& header, DocumentCursor& inHand, DocumentBytes& bytes,
                 PayloadSink& sink) {
    const size_t kPixel = size_t(header.PixelBytes());
    uint64_t missing = header.PayloadBytes();
    const size_t fromHand = size_t(std::min<uint64_t>(missing, uint64_t(inHand.End - inHand.Position)));
    const uint8_t* hand = inHand.Position;
    inHand.Position += fromHand;
    missing -= fromHand;
    if (uint8_t* whole = sink.Whole()) {
        std::memcpy(whole, hand, fromHand);
        return missing == 0 || bytes.Read(whole + fromHand, size_t(missing)) == int64_t(missing);
    }
    const size_t handPixels = fromHand - fromHand % kPixel;
    if (handPixels != 0) sink.Take(hand, handPixels);
    if (missing == 0) return true;
    const ByteBlock block = DocumentBlock(size_t(std::min<uint64_t>(missing + kPixel, kBlockBytes)));
    // A pixel cut by the end of what was in hand, or of a block, is finished in the next block.
    size_t held = fromHand - handPixels;
    std::memcpy(block.data(), hand + handPixels, held);
    while (missing != 0) {
        const int64_t got =
            bytes.Read(block.data() + held, size_t(std::min<uint64_t>(block.size() - held, missing)));
        if (got <= 0) return false;
        held += size_t(got);
        missing -= uint64_t(got);
        const size_t whole = held - held % kPixel;
        if (whole != 0) sink.Take(block.data(), whole);
        std::memmove(block.data(), block.data() + whole, held - whole);
        held -= whole;
    }
    return true;
}

// Everything after the head: checks, payload, tail. window holds the first bytes; what follows
// them comes from bytes. A limited document may be no longer than its head's size allows.
bool ReadAfterHead(const ByteBlock& window, DocumentBytes& bytes, bool limited, PayloadSink& sink,
                   DocumentHeader& header, std::ostream* progress) {
    DocumentCursor cursor{window.data(), window.data() + window.size()};
    std::string said;
    const bool parsed = ParseHead(cursor, header, said, header.FileBytes > window.size());
    const uint64_t count = PixelCountOf(header);
    if (parsed && count <= MaxPixelsOf(header) && limited) {
        const uint64_t most = DocumentLength(header) + kDocumentAllowance;
        if (header.FileBytes > most) {
            std::cout << "Document too large.  More than " << most << " bytes for a " << header.Width << " x "
                      << header.Height << " image";
            return false;
        }
    }
    if (progress != nullptr) *progress << "Parse XML\n";
    std::string message;
    // A form the sink refuses is its one message: the version warning would be beside the point.
    if (parsed && !sink.CheckForm(header, message)) {
        std::cout << message;
        return false;
    }
    std::cout << said;
    if (!parsed) return false;
    if (count > MaxPixelsOf(header)) {
        std::cout << "Image too large.  More than " << MaxPixelsOf(header) << " pixels";
        return false;
    }
    const uint64_t headBytes = uint64_t(cursor.Position - window.data());
    if (header.FileBytes - headBytes < header.PayloadBytes()) {
        std::cout << kPixelsExpectedMessage;
        return false;
    }
    if (!sink.Begin(header, message)) {
        std::cout << message;
        return false;
    }
    if (!ReadPayload(header, cursor, bytes, sink)) {
        std::cout << kPixelsExpectedMessage;
        return false;
    }
    // The tail: what is left in hand, then the rest of the bytes (the length check bounds them).
    const size_t inHand = size_t(cursor.End - cursor.Position);
    ByteBlock tail = DocumentBlock(inHand + size_t(bytes.Left()));
    std::memcpy(tail.data(), cursor.Position, inHand);
    const int64_t got = bytes.Read(tail.data() + inHand, tail.size() - inHand);
    tail.shrink(inHand + size_t(std::max<int64_t>(got, 0)));
    DocumentCursor end{tail.data(), tail.data() + tail.size()};
    if (!MatchTag("</pixels>", end, message) || !MatchTag("</image>", end, message)) {
        std::cout << message;
        return false;
    }
    return true;
}

// The module's sink: the payload in a block of the state's own, where the transform works on it.
class StatePayload : public PayloadSink {
  public:
    explicit StatePayload(ExchangeState& state) : State(state) {}
    bool Begin(const DocumentHeader& header, std::string&) override {
        State.ParsedDocument = DocumentBlock(size_t(header.PayloadBytes()));
        State.Version = header.Version;
        State.Width = header.Width;
        State.Height = header.Height;
        State.Channels = header.Channels;
        State.Depth = header.Depth;
        State.PixelCount = uint32_t(PixelCountOf(header));
        State.Frames = header.Frames;
        State.InputPixels = State.OutputPixels =
            reinterpret_cast<ExchangePixel*>(State.ParsedDocument.data());
        return true;
    }
    uint8_t* Whole() override { return State.ParsedDocument.data(); }

  private:
    ExchangeState& State;
};

}  // namespace

uint64_t DocumentHeader::PayloadBytes() const {
    return PixelCountOf(*this) * PixelBytes() * uint64_t(Frames);
}

bool ReadDocumentFile(const char* path, PayloadSink& sink, DocumentHeader& header, std::ostream* progress) {
    if (progress != nullptr) *progress << "Read XML\n";
    uint64_t size = 0;
    const int descriptor = OpenRegularFile(path, LinkPolicy::Refuse, size);
    if (descriptor < 0) {
        std::cout << kDocumentFileName << " cannot be opened";
        return false;
    }
    ByteBlock window = DocumentBlock(size_t(std::min<uint64_t>(size, kHeadWindowBytes)));
    const int64_t got = ReadFully(descriptor, window.data(), window.size());
    // The document's file is gone once it is read, whatever the parse makes of it: a module that
    // cannot remove it would read the same stale picture when started again, and a host would
    // take a late answer for the next run's.
    const bool removed = unlink(path) == 0;
    bool read = false;
    if (got < 0) {
        std::cout << kDocumentFileName << " cannot be opened";
    } else if (!removed) {
        std::cout << "Error: " << kDocumentFileName << " was read but cannot be removed";
    } else {
        window.shrink(size_t(got));
        header = DocumentHeader();
        header.FileBytes = uint64_t(got) == window.size() ? size : uint64_t(got);
        DocumentBytes rest(descriptor, header.FileBytes - window.size());
        read = ReadAfterHead(window, rest, true, sink, header, progress);
    }
    close(descriptor);
    return read;
}

bool ReadDocument(ExchangeState& state) {
    StatePayload sink(state);
    DocumentHeader header;
    return ReadDocumentFile(kDocumentFileName, sink, header);
}

bool ParseDocument(ExchangeState& state) {
    const ByteBlock& document = state.DocumentBuffer;
    const ByteBlock window = DocumentBlock(std::min(document.size(), kHeadWindowBytes));
    std::memcpy(window.data(), document.data(), window.size());
    DocumentBytes rest(document.data() + window.size(), document.size() - window.size());
    DocumentHeader header;
    header.FileBytes = document.size();
    StatePayload sink(state);
    if (!ReadAfterHead(window, rest, false, sink, header, &std::cout)) return false;
    state.DocumentBuffer = ByteBlock();
    return true;
}

bool MatchTag(const char* expected, DocumentCursor& cursor, std::string& message) {
    SkipBlanks(cursor);
    if (cursor.Position == cursor.End) {
        message = std::string("Tag ") + expected + " not found.  " + kEndsEarly;
        return false;
    }
    if (*cursor.Position != '<') {
        message = std::string("Tag ") + expected + " not found.  Expected character '<' not found";
        return false;
    }
    const size_t remaining = size_t(cursor.End - cursor.Position);
    const size_t scanned = std::min(remaining, kLongestTagShown);
    const void* close = std::memchr(cursor.Position, '>', scanned);
    const char* found = reinterpret_cast<const char*>(cursor.Position);
    if (close == nullptr && remaining <= kLongestTagShown) {
        message = std::string("Tag ") + expected + " not found.  " + kEndsEarly;
        return false;
    }
    if (close == nullptr) {
        message =
            "Wrong Tag: " + std::string(found, kLongestTagShown) + "... found but " + expected + " expected";
        return false;
    }
    const size_t foundLength = size_t(static_cast<const uint8_t*>(close) - cursor.Position) + 1;
    cursor.Position += foundLength;
    if (foundLength == std::strlen(expected) && std::memcmp(found, expected, foundLength) == 0) return true;
    message = "Wrong Tag: " + std::string(found, foundLength) + " found but " + expected + " expected";
    return false;
}

bool ReadNumber(DocumentCursor& cursor, int32_t& value, std::string& message) {
    SkipBlanks(cursor);
    if (cursor.Position == cursor.End) {
        message = std::string("Number expected.  ") + kEndsEarly;
        return false;
    }
    if (!IsDigit(*cursor.Position)) {
        message = "Number expected.  Invalid character not within 0-9";
        return false;
    }
    int64_t number = 0;
    for (; cursor.Position != cursor.End && IsDigit(*cursor.Position); ++cursor.Position) {
        number = number * 10 + (*cursor.Position - '0');
        if (number > kMaxNumber) {
            message = "Number too large.  Exceeds " + std::to_string(kMaxNumber);
            return false;
        }
    }
    value = static_cast<int32_t>(number);
    return true;
}

// Numbers go through to_string so that no stream state can change the format.
std::string DocumentHead(uint32_t width, uint32_t height, int32_t version, int32_t channels, int32_t depth,
                         int32_t frames) {
    const std::string form = version == kFormVersion
                                 ? "<channels>" + std::to_string(channels) + "</channels><depth>" +
                                       std::to_string(depth) + "</depth>" +
                                       (frames >= 2 ? "<frames>" + std::to_string(frames) + "</frames>" : "")
                                 : std::string();
    return "<image><header><version>" + std::to_string(version == kFormVersion ? kFormVersion : 1) +
           "</version><width>" + std::to_string(width) + "</width><height>" + std::to_string(height) +
           "</height>" + form + "</header><pixels>";
}

uint64_t DocumentLength(const DocumentHeader& header) {
    return DocumentHead(uint32_t(header.Width), uint32_t(header.Height), header.Version, header.Channels,
                        header.Depth, header.Frames)
               .size() +
           header.PayloadBytes() + (sizeof(kDocumentTail) - 1);
}

bool WriteDocument(const ExchangeState& state) {
    std::cout << "Save XML\n";
    // The answer has the form of the document read; a newer version than known was read as 1.
    const int32_t version = state.Version == kFormVersion ? kFormVersion : 1;
    const std::string head = DocumentHead(uint32_t(state.Width), uint32_t(state.Height), version,
                                          state.Channels, state.Depth, state.Frames);
    const uint64_t payload = uint64_t(state.PixelCount) * uint64_t(state.Channels) * uint64_t(state.Depth) /
                             8 * uint64_t(state.Frames);
    AtomicFileWriter out;
    return out.Open(kAnswerDocumentPath, LinkPolicy::Refuse, TemporaryOwner::Module) &&
           out.Append(head.data(), head.size()) && out.Append(state.OutputPixels, payload) &&
           out.Append(kDocumentTail, sizeof(kDocumentTail) - 1) && out.Commit();
}
