// The "image.xml" document: whole-file read, a bounds-checked scanner over the buffer,
// and the writer's fixed pieces around the raw pixel payload.
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <limits>

#include "Exchange.h"
#include "ExchangeFiles.h"

const char kDocumentFileName[] = "image.xml";
const char kDocumentTail[] = "</pixels></image>";

namespace {

const char kAnswerDocumentPath[] = "../image.xml";
const char kDocumentHeadStart[] = "<image><header><version>1</version>";
constexpr uint64_t kBytesPerPixel = sizeof(ExchangePixel);
constexpr int64_t kMaxNumber = std::numeric_limits<int32_t>::max();
constexpr int32_t kNewestVersion = 1;
// A document never needs more than the largest payload plus generous room for its tags and the
// whitespace the reader tolerates; a larger file is not read into memory at all.
constexpr uint64_t kMaxDocumentBytes = kMaxExchangePixels * kBytesPerPixel + (uint64_t(1) << 20);

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

// The document's file is gone once it is read, whatever the parse makes of it: a module that
// cannot remove it would read the same stale picture when started again.
bool ReadAndRemove(int descriptor, uint64_t size, ExchangeState& state) {
    ByteBlock block{size_t(size)};
    const int64_t got = ReadFully(descriptor, block.data(), block.size());
    close(descriptor);
    if (got < 0) {
        ReportCannotOpen();
        return false;
    }
    block.shrink(size_t(got));
    if (unlink(kDocumentFileName) != 0) {
        std::cout << "Error: " << kDocumentFileName << " was read but cannot be removed\n";
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
    if (size > kMaxDocumentBytes) {
        close(descriptor);
        unlink(kDocumentFileName);
        std::cout << "Document too large.  More than " << kMaxDocumentBytes << " bytes";
        return false;
    }
    return ReadAndRemove(descriptor, size, state);
}

bool MatchTag(const char* expected, DocumentCursor& cursor) {
    SkipBlanks(cursor);
    if (cursor.Position == cursor.End) {
        std::cout << "Tag " << expected << " not found.  The document ends early";
        return false;
    }
    if (*cursor.Position != '<') {
        std::cout << "Tag " << expected << " not found.  Expected character '<' not found";
        return false;
    }
    const size_t remaining = size_t(cursor.End - cursor.Position);
    const void* close = std::memchr(cursor.Position, '>', remaining);
    if (close == nullptr) {
        std::cout << "Tag " << expected << " not found.  The document ends early";
        return false;
    }
    const uint8_t* found = cursor.Position;
    const size_t foundLength = size_t(static_cast<const uint8_t*>(close) - found) + 1;
    cursor.Position = found + foundLength;
    if (foundLength == std::strlen(expected) && std::memcmp(found, expected, foundLength) == 0) return true;
    std::cout << "Wrong Tag: ";
    std::cout.write(reinterpret_cast<const char*>(found), std::streamsize(foundLength));
    std::cout << " found but " << expected << " expected";
    return false;
}

bool ReadNumber(DocumentCursor& cursor, int32_t& value) {
    SkipBlanks(cursor);
    if (cursor.Position == cursor.End) {
        std::cout << "Number expected.  The document ends early";
        return false;
    }
    if (!IsDigit(*cursor.Position)) {
        std::cout << "Number expected.  Invalid character not within 0-9";
        return false;
    }
    int64_t number = 0;
    for (; cursor.Position != cursor.End && IsDigit(*cursor.Position); ++cursor.Position) {
        number = number * 10 + (*cursor.Position - '0');
        if (number > kMaxNumber) {
            std::cout << "Number too large.  Exceeds " << kMaxNumber;
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
        std::cout << "Warning! This is a version 1.0 module and you passed a version " << version
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
    if (availableBytes < count * kBytesPerPixel) {
        std::cout << "Pixels expected.  The document ends early";
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
    const uint64_t count = uint64_t(uint32_t(state.Width)) * uint64_t(uint32_t(state.Height));
    ExchangePixel* payload = reinterpret_cast<ExchangePixel*>(const_cast<uint8_t*>(cursor.Position));
    cursor.Position += count * kBytesPerPixel;
    if (!ParseDocumentTail(cursor)) return false;
    state.PixelCount = static_cast<uint32_t>(count);
    state.PixelBlock = std::move(state.DocumentBuffer);
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
    return DocumentHead(width, height).size() + uint64_t(width) * height * kBytesPerPixel +
           (sizeof(kDocumentTail) - 1);
}

bool WriteDocument(const ExchangeState& state) {
    std::cout << "Save XML\n";
    const std::string head = DocumentHead(uint32_t(state.Width), uint32_t(state.Height));
    AtomicFileWriter out;
    return out.Open(kAnswerDocumentPath) && out.Append(head.data(), head.size()) &&
           out.Append(state.OutputPixels, uint64_t(state.PixelCount) * kBytesPerPixel) &&
           out.Append(kDocumentTail, sizeof(kDocumentTail) - 1) && out.Commit();
}
