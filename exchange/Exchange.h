// Exchange protocol shared by the host and every module: the "image.xml" document
// (reader, writer pieces) and the "go.flag" handshake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "AtomicFileWriter.h"
#include "ByteBlock.h"

#pragma pack(push, 1)
struct ExchangePixel {
    uint8_t Red;
    uint8_t Green;
    uint8_t Blue;
};
#pragma pack(pop)
static_assert(sizeof(ExchangePixel) == 3, "ExchangePixel must have the payload's 3-byte layout");

// One per process, filled by ParseDocument and shared with the transform or the re-import.
// The payload is not copied out of the document: a successful parse hands the document's
// block to ParsedDocument, and both pixel pointers point into it, so a transform works in place.
struct ExchangeState {
    int32_t Version = 0;
    int32_t Width = 0;
    int32_t Height = 0;
    uint32_t PixelCount = 0;
    ByteBlock DocumentBuffer;
    ByteBlock ParsedDocument;
    ExchangePixel* InputPixels = nullptr;
    ExchangePixel* OutputPixels = nullptr;
};

extern const char kDocumentFileName[];
extern const char kFlagFileName[];
// Where a module answers: the exchange folder's parent, the host's working directory.
extern const char kAnswerDocumentPath[];
extern const char kAnswerFlagPath[];
// The busy lock a module holds from taking the host's flag until its own flag is up.
extern const char kBusyFileName[];
// Lines more than one program prints.
extern const char kWaitingLine[];
extern const char kOutOfMemoryLine[];
extern const char kPixelsExpectedMessage[];

// Largest pixel count whose payload size still fits in 32 bits unsigned.
constexpr uint64_t kMaxExchangePixels = 0xFFFFFFFFull / sizeof(ExchangePixel);
// What a reader allows beyond the document the writers make: the blanks between tags.
constexpr uint64_t kDocumentAllowance = 4096;

// The payload's length for a picture of this size.
constexpr uint64_t PayloadBytes(uint32_t width, uint32_t height) {
    return uint64_t(width) * height * sizeof(ExchangePixel);
}

// A read position inside a document; scanning never passes End.
struct DocumentCursor {
    const uint8_t* Position;
    const uint8_t* End;
};

bool ReadDocument(ExchangeState& state);
// The first step of every document read: prints "Read XML", opens "image.xml" in the working
// directory (a regular file, not through a link) and returns its descriptor and length, or -1
// after the reader's message.
int OpenDocumentFile(uint64_t& size);
// The reader's message for a document that cannot be opened or read.
void ReportCannotOpen();
bool MatchTag(const char* expected, DocumentCursor& cursor);
bool ReadNumber(DocumentCursor& cursor, int32_t& value);
bool ParseDocument(ExchangeState& state);
// The parse in its three steps, for a reader that streams the payload instead of holding the
// whole document: the head up to "<pixels>" (version warning included), the size check of the
// payload, and the tail after it. Each prints the reader's own messages.
bool ParseDocumentHead(ExchangeState& state, DocumentCursor& cursor);
bool CheckPayloadSize(const ExchangeState& state, uint64_t availableBytes);
bool ParseDocumentTail(DocumentCursor& cursor);

// The head up to and including "<pixels>", and the tail, exactly as every writer puts them.
std::string DocumentHead(uint32_t width, uint32_t height);
extern const char kDocumentTail[];
// The whole length of a document of this size as the writers produce it.
uint64_t DocumentLength(uint32_t width, uint32_t height);
bool WriteDocument(const ExchangeState& state);

void WaitForFlag();
// Raises the flag through a temporary file of owner's pattern. Where the word cannot be written
// (a full disk, a file size limit) the flag is raised empty, which counts all the same.
bool RaiseFlag(const std::string& path, TemporaryOwner owner = TemporaryOwner::Module);
