// The "image.xml" document: whole-file read, a bounds-checked scanner over the buffer,
// and the writer's fixed pieces around the raw pixel payload.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <limits>

#include "Exchange.h"

const char kDocumentFileName[] = "image.xml";
const char kAnswerDocumentPath[] = "../image.xml";
const char kDocumentTail[] = "</pixels></image>";
const char kOutOfMemoryLine[] = "Error: out of memory\n";
const char kPixelsExpectedMessage[] = "Pixels expected.  The document ends early";

namespace {

const char kDocumentHeadStart[] = "<image><header><version>1</version>";
constexpr int64_t kMaxNumber = std::numeric_limits<int32_t>::max();
constexpr int32_t kNewestVersion = 1;
// The head of any document the writers make fits many times in this; the reader looks at no
// more before it knows how long the document may be.
constexpr size_t kHeadWindowBytes = 65536;
// No expected tag is longer than 18 bytes; a longer one is echoed cut.
constexpr size_t kLongestTagShown = 64;

// While the head is looked at silently, the reader's messages go nowhere.
bool gQuiet = false;
std::ostream gNowhere(nullptr);

std::ostream& Say() {
    return gQuiet ? gNowhere : std::cout;
}

bool IsBlank(uint8_t byte) {
    return byte == '\t' || byte == '\n' || byte == '\r' || byte == ' ';
}
bool IsDigit(uint8_t byte) {
    return byte >= '0' && byte <= '9';
}

void SkipBlanks(DocumentCursor& cursor) {
    while (cursor.Position != cursor.End && IsBlank(*cursor.Position)) ++cursor.Position;
}

bool ReadDimension(const char* openTag, const char* closeTag, DocumentCursor& cursor, int32_t& field) {
    int32_t value = 0;
    if (!MatchTag(openTag, cursor) || !ReadNumber(cursor, value)) return false;
    field = value;
    return MatchTag(closeTag, cursor);
}

bool ReadInto(int descriptor, ByteBlock& block, size_t from) {
    const int64_t got = ReadFully(descriptor, block.data() + from, block.size() - from);
    if (got < 0) return false;
    block.shrink(from + size_t(got));
    return true;
}

// How much of the file is worth reading, decided from its head alone: nothing when it is longer
// than its head's size allows (limit is then that length); the window alone when the head does
// not parse or names more pixels than a document can carry (the parse then says so itself).
uint64_t BytesWorthReading(const ByteBlock& window, uint64_t size, uint64_t& limit, ExchangeState& head) {
    DocumentCursor cursor{window.data(), window.data() + window.size()};
    gQuiet = true;
    const bool parsed = ParseDocumentHead(head, cursor);
    gQuiet = false;
    const uint64_t count = uint64_t(uint32_t(head.Width)) * uint32_t(head.Height);
    if (!parsed || count > kMaxExchangePixels) return window.size();
    limit = DocumentLength(uint32_t(head.Width), uint32_t(head.Height)) + kDocumentAllowance;
    return size > limit ? 0 : size;
}

// The document's file is gone once it is read, whatever the parse makes of it: a module that
// cannot remove it would read the same stale picture when started again.
bool ReadAndRemove(int descriptor, uint64_t size, ExchangeState& state) {
    ByteBlock window{size_t(std::min<uint64_t>(size, kHeadWindowBytes))};
    bool read = ReadInto(descriptor, window, 0);
    uint64_t limit = 0;
    ExchangeState head;
    const uint64_t wanted = read ? BytesWorthReading(window, size, limit, head) : 0;
    ByteBlock block;
    if (read && wanted > window.size()) {
        block = ByteBlock(size_t(wanted));
        std::copy(window.data(), window.data() + window.size(), block.data());
        read = ReadInto(descriptor, block, window.size());
    } else {
        window.shrink(size_t(wanted));
        block = std::move(window);
    }
    close(descriptor);
    if (!read) {
        ReportCannotOpen();
        return false;
    }
    if (unlink(kDocumentFileName) != 0) {
        std::cout << "Error: " << kDocumentFileName << " was read but cannot be removed\n";
        return false;
    }
    if (limit != 0 && size > limit) {
        std::cout << "Document too large.  More than " << limit << " bytes for a " << head.Width << " x "
                  << head.Height << " image";
        return false;
    }
    state.DocumentBuffer = std::move(block);
    return true;
}

}  // namespace

void ReportCannotOpen() {
    std::cout << kDocumentFileName << " cannot be opened";
}

int OpenDocumentFile(uint64_t& size) {
    std::cout << "Read XML\n";
    const int descriptor = OpenRegularFile(kDocumentFileName, LinkPolicy::Refuse, size);
    if (descriptor < 0) ReportCannotOpen();
    return descriptor;
}

bool ReadDocument(ExchangeState& state) {
    uint64_t size = 0;
    const int descriptor = OpenDocumentFile(size);
    if (descriptor < 0) return false;
    return ReadAndRemove(descriptor, size, state);
}

bool MatchTag(const char* expected, DocumentCursor& cursor) {
    SkipBlanks(cursor);
    if (cursor.Position == cursor.End) {
        Say() << "Tag " << expected << " not found.  The document ends early";
        return false;
    }
    if (*cursor.Position != '<') {
        Say() << "Tag " << expected << " not found.  Expected character '<' not found";
        return false;
    }
    const size_t remaining = size_t(cursor.End - cursor.Position);
    const size_t scanned = std::min(remaining, kLongestTagShown);
    const void* close = std::memchr(cursor.Position, '>', scanned);
    const uint8_t* found = cursor.Position;
    if (close == nullptr && remaining <= kLongestTagShown) {
        Say() << "Tag " << expected << " not found.  The document ends early";
        return false;
    }
    if (close == nullptr) {
        Say() << "Wrong Tag: ";
        Say().write(reinterpret_cast<const char*>(found), std::streamsize(kLongestTagShown));
        Say() << "... found but " << expected << " expected";
        return false;
    }
    const size_t foundLength = size_t(static_cast<const uint8_t*>(close) - found) + 1;
    cursor.Position = found + foundLength;
    if (foundLength == std::strlen(expected) && std::memcmp(found, expected, foundLength) == 0) return true;
    Say() << "Wrong Tag: ";
    Say().write(reinterpret_cast<const char*>(found), std::streamsize(foundLength));
    Say() << " found but " << expected << " expected";
    return false;
}

bool ReadNumber(DocumentCursor& cursor, int32_t& value) {
    SkipBlanks(cursor);
    if (cursor.Position == cursor.End) {
        Say() << "Number expected.  The document ends early";
        return false;
    }
    if (!IsDigit(*cursor.Position)) {
        Say() << "Number expected.  Invalid character not within 0-9";
        return false;
    }
    int64_t number = 0;
    for (; cursor.Position != cursor.End && IsDigit(*cursor.Position); ++cursor.Position) {
        number = number * 10 + (*cursor.Position - '0');
        if (number > kMaxNumber) {
            Say() << "Number too large.  Exceeds " << kMaxNumber;
            return false;
        }
    }
    value = static_cast<int32_t>(number);
    return true;
}

bool ParseDocumentHead(ExchangeState& state, DocumentCursor& cursor) {
    int32_t version = 0;
    if (!MatchTag("<image>", cursor) || !MatchTag("<header>", cursor) || !MatchTag("<version>", cursor) ||
        !ReadNumber(cursor, version)) {
        return false;
    }
    state.Version = version;
    if (static_cast<uint32_t>(version) > kNewestVersion) {
        Say() << "Warning! This is a version 1.0 module and you passed a version " << version
              << ".0 image.xml file!\n";
    }
    return MatchTag("</version>", cursor) && ReadDimension("<width>", "</width>", cursor, state.Width) &&
           ReadDimension("<height>", "</height>", cursor, state.Height) && MatchTag("</header>", cursor) &&
           MatchTag("<pixels>", cursor);
}

// Size checks come before any use of the payload: the header alone must never decide how much
// memory is taken or how far a reader goes.
bool CheckPayloadSize(const ExchangeState& state, uint64_t availableBytes) {
    const uint64_t count = uint64_t(uint32_t(state.Width)) * uint64_t(uint32_t(state.Height));
    if (count > kMaxExchangePixels) {
        std::cout << "Image too large.  More than " << kMaxExchangePixels << " pixels";
        return false;
    }
    if (availableBytes < PayloadBytes(uint32_t(state.Width), uint32_t(state.Height))) {
        std::cout << kPixelsExpectedMessage;
        return false;
    }
    return true;
}

bool ParseDocumentTail(DocumentCursor& cursor) {
    return MatchTag("</pixels>", cursor) && MatchTag("</image>", cursor);
}

bool ParseDocument(ExchangeState& state) {
    std::cout << "Parse XML\n";
    const uint8_t* start = state.DocumentBuffer.data();
    DocumentCursor cursor{start, start + state.DocumentBuffer.size()};
    if (!ParseDocumentHead(state, cursor) ||
        !CheckPayloadSize(state, uint64_t(cursor.End - cursor.Position))) {
        return false;
    }
    const uint64_t payloadBytes = PayloadBytes(uint32_t(state.Width), uint32_t(state.Height));
    ExchangePixel* payload = reinterpret_cast<ExchangePixel*>(const_cast<uint8_t*>(cursor.Position));
    cursor.Position += payloadBytes;
    if (!ParseDocumentTail(cursor)) return false;
    state.PixelCount = static_cast<uint32_t>(payloadBytes / sizeof(ExchangePixel));
    state.ParsedDocument = std::move(state.DocumentBuffer);
    state.InputPixels = payload;
    state.OutputPixels = payload;
    return true;
}

// Numbers go through to_string so that no stream state can change the format.
std::string DocumentHead(uint32_t width, uint32_t height) {
    return std::string(kDocumentHeadStart) + "<width>" + std::to_string(width) + "</width><height>" +
           std::to_string(height) + "</height></header><pixels>";
}

uint64_t DocumentLength(uint32_t width, uint32_t height) {
    return DocumentHead(width, height).size() + PayloadBytes(width, height) + (sizeof(kDocumentTail) - 1);
}

bool WriteDocument(const ExchangeState& state) {
    std::cout << "Save XML\n";
    const std::string head = DocumentHead(uint32_t(state.Width), uint32_t(state.Height));
    AtomicFileWriter out;
    return out.Open(kAnswerDocumentPath, LinkPolicy::Refuse, TemporaryOwner::Module) &&
           out.Append(head.data(), head.size()) &&
           out.Append(state.OutputPixels, PayloadBytes(uint32_t(state.Width), uint32_t(state.Height))) &&
           out.Append(kDocumentTail, sizeof(kDocumentTail) - 1) && out.Commit();
}
