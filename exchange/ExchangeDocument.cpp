// The "image.xml" document: whole-file read, a bounds-checked scanner over the buffer,
// and the writer's fixed pieces around the raw pixel payload.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>

#include "Exchange.h"

const char kDocumentFileName[] = "image.xml";

namespace {

const char kAnswerDocumentPath[] = "../image.xml";
const char kDocumentHead[] = "<image><header><version>1</version>";
const char kDocumentTail[] = "</pixels></image>";
constexpr uint64_t kBytesPerPixel = sizeof(ExchangePixel);
// Largest count whose payload size still fits in 32 bits unsigned.
constexpr uint64_t kMaxPixelCount = std::numeric_limits<uint32_t>::max() / kBytesPerPixel;
constexpr int64_t kMaxNumber = std::numeric_limits<int32_t>::max();
constexpr int32_t kNewestVersion = 1;

bool IsBlank(uint8_t byte) {
    return byte == '\t' || byte == '\n' || byte == '\r' || byte == ' ';
}
bool IsDigit(uint8_t byte) {
    return byte >= '0' && byte <= '9';
}

// Buffers of a large picture are touched for the first time by one copy; with huge pages that
// first touch is several times faster where the system offers them only on request.
void AdviseHugePages(const void* buffer, size_t bytes) {
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (uintptr_t(buffer) + page - 1) & ~(page - 1);
    const uintptr_t end = (uintptr_t(buffer) + bytes) & ~(page - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void SkipBlanks(DocumentCursor& cursor) {
    while (cursor.Position != cursor.End && IsBlank(*cursor.Position)) ++cursor.Position;
}

void ReportCannotOpen() {
    std::cout << kDocumentFileName << " cannot be opened";
}

bool ReadDimension(const char* openTag, const char* closeTag, DocumentCursor& cursor, int32_t& field) {
    int32_t value = 0;
    if (!MatchTag(openTag, cursor) || !ReadNumber(cursor, value)) return false;
    field = value;
    return MatchTag(closeTag, cursor);
}

bool ReadHeader(ExchangeState& state, DocumentCursor& cursor) {
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

// Size checks come before any allocation: the header alone must never decide how much memory we take.
bool ReadPayload(ExchangeState& state, DocumentCursor& cursor) {
    const uint64_t count = uint64_t(uint32_t(state.Width)) * uint64_t(uint32_t(state.Height));
    if (count > kMaxPixelCount) {
        std::cout << "Image too large.  More than " << kMaxPixelCount << " pixels";
        return false;
    }
    const uint64_t payloadBytes = count * kBytesPerPixel;
    if (uint64_t(cursor.End - cursor.Position) < payloadBytes) {
        std::cout << "Pixels expected.  The document ends early";
        return false;
    }
    state.PixelCount = static_cast<uint32_t>(count);
    state.InputPixels.reset(new ExchangePixel[count]);
    state.OutputPixels.reset(new ExchangePixel[count]);
    AdviseHugePages(state.InputPixels.get(), payloadBytes);
    AdviseHugePages(state.OutputPixels.get(), payloadBytes);
    std::memcpy(state.InputPixels.get(), cursor.Position, payloadBytes);
    cursor.Position += payloadBytes;
    return true;
}

}  // namespace

bool ReadDocument(ExchangeState& state) {
    std::cout << "Read XML\n";
    // A directory or device named "image.xml" has no length worth trusting.
    std::error_code error;
    if (!std::filesystem::is_regular_file(kDocumentFileName, error)) {
        ReportCannotOpen();
        return false;
    }
    std::ifstream in(kDocumentFileName, std::ios::in | std::ios::ate | std::ios::binary);
    const std::streamoff length = in.is_open() ? std::streamoff(in.tellg()) : -1;
    if (length < 0) {
        ReportCannotOpen();
        return false;
    }
    state.DocumentBuffer.reserve(size_t(length));
    AdviseHugePages(state.DocumentBuffer.data(), size_t(length));
    state.DocumentBuffer.resize(size_t(length));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(state.DocumentBuffer.data()), length);
    if (in.gcount() != length) {
        state.DocumentBuffer.clear();
        ReportCannotOpen();
        return false;
    }
    in.close();
    std::remove(kDocumentFileName);
    return true;
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

bool ParseDocument(ExchangeState& state) {
    std::cout << "Parse XML\n";
    const uint8_t* start = state.DocumentBuffer.data();
    DocumentCursor cursor{start, start + state.DocumentBuffer.size()};
    if (!ReadHeader(state, cursor) || !ReadPayload(state, cursor) || !MatchTag("</pixels>", cursor) ||
        !MatchTag("</image>", cursor)) {
        return false;
    }
    std::vector<uint8_t>().swap(state.DocumentBuffer);
    return true;
}

// Numbers go through to_string so a caller's stream flags (hex, showpos) cannot change the format.
void WriteDocumentHead(std::ostream& out, uint32_t width, uint32_t height) {
    out << kDocumentHead << "<width>" << std::to_string(width) << "</width>"
        << "<height>" << std::to_string(height) << "</height>"
        << "</header><pixels>";
}

void WriteDocumentTail(std::ostream& out) {
    out << kDocumentTail;
}

bool WriteDocument(const ExchangeState& state) {
    std::cout << "Save XML\n";
    std::ofstream out(kAnswerDocumentPath, std::ios::out | std::ios::ate | std::ios::binary);
    if (!out.is_open()) return false;
    WriteDocumentHead(out, uint32_t(state.Width), uint32_t(state.Height));
    if (state.PixelCount > 0) {
        out.write(reinterpret_cast<const char*>(state.OutputPixels.get()),
                  std::streamsize(uint64_t(state.PixelCount) * kBytesPerPixel));
    }
    WriteDocumentTail(out);
    out.close();
    return !out.fail();
}
