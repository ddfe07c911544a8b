// Exchange protocol shared by the host and every module: the "image.xml" document
// (reader, writer pieces) and the "go.flag" handshake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iostream>
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

// One per process, filled by ReadDocument (or ParseDocument) and shared with the transform. The
// payload lands in a block of its own, ParsedDocument, and both pixel pointers point into it, so a
// transform works in place.
struct ExchangeState {
    int32_t Version = 0;
    int32_t Width = 0;
    int32_t Height = 0;
    // The form of a version 2 document: 1 to 4 samples a pixel (grey, grey and alpha, colour,
    // colour and alpha: alpha last), of 8 or 16 bits (two bytes, the most significant first). A
    // version 1 document is 3 samples of 8 bits, the pixels ExchangePixel's; the pixel pointers
    // then point at the payload's bytes whatever the form.
    int32_t Channels = 3;
    int32_t Depth = 8;
    uint32_t PixelCount = 0;  // of each frame
    // Frames of one size, back to back in the payload, the first first; 1 without a <frames> tag.
    int32_t Frames = 1;
    ByteBlock DocumentBuffer;  // a document held in memory, for ParseDocument
    ByteBlock ParsedDocument;
    ExchangePixel* InputPixels = nullptr;
    ExchangePixel* OutputPixels = nullptr;
};

// What a document's head says, and how long its file is.
struct DocumentHeader {
    int32_t Version = 0;
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t Channels = 3;
    int32_t Depth = 8;
    int32_t Frames = 1;
    uint64_t FileBytes = 0;
    uint64_t PixelBytes() const { return uint64_t(Channels) * uint64_t(Depth) / 8; }
    uint64_t PayloadBytes() const;
};

// Where a document's payload goes, in document order. The one reader hands it over once the
// head is read and every size is checked.
class PayloadSink {
  public:
    virtual ~PayloadSink() = default;
    // Right after the head parses, before the payload's size is checked: a document of a form the
    // sink does not take is called that, not cut short. False, with the message to print, refuses it.
    virtual bool CheckForm(const DocumentHeader&, std::string&) { return true; }
    // Once every size is checked, before the payload comes. False, with the message to print,
    // refuses the document.
    virtual bool Begin(const DocumentHeader&, std::string&) { return true; }
    // Room for the whole payload, read into at once; null: the payload comes through Take.
    virtual uint8_t* Whole() { return nullptr; }
    // The next whole pixels of the payload (only when Whole gave no room).
    virtual void Take(const uint8_t*, size_t) {}
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
// How a module kit (examples/kits) starts the line that closes its account of a picture it could
// not answer, after the line with its reason.
extern const char kKitNoAnswer[];

// Largest payload a document carries: its size fits in 32 bits unsigned.
constexpr uint64_t kMaxPayloadBytes = 0xFFFFFFFFull;
// The version a document of channels and depth is written in: 1 for 3 samples of 8 bits.
constexpr int32_t DocumentVersion(int32_t channels, int32_t depth) {
    return channels == 3 && depth == 8 ? 1 : 2;
}
// What a reader allows beyond the document the writers make: the blanks between tags.
constexpr uint64_t kDocumentAllowance = 4096;

// A read position inside a document; scanning never passes End.
struct DocumentCursor {
    const uint8_t* Position;
    const uint8_t* End;
};

// Reads the document at path (a regular file, not through a link) once, removes it, and hands
// its payload to sink: the head from its first bytes, every size checked before the payload is
// touched, the tail after it. Says the reader's progress lines ("Read XML", "Parse XML") to
// progress (null: nothing), and prints the version warning and the one message of a refusal
// (without a line end: the caller ends the line). A form the sink refuses gets its message alone.
bool ReadDocumentFile(const char* path, PayloadSink& sink, DocumentHeader& header,
                      std::ostream* progress = &std::cout);
// "image.xml" of the working directory into the state's own block.
bool ReadDocument(ExchangeState& state);
// A document already in state.DocumentBuffer (prints "Parse XML" and any message).
bool ParseDocument(ExchangeState& state);
// The pieces of the grammar; each sets message when it refuses.
bool MatchTag(const char* expected, DocumentCursor& cursor, std::string& message);
bool ReadNumber(DocumentCursor& cursor, int32_t& value, std::string& message);

// The head up to and including "<pixels>", and the tail, exactly as every writer puts them; a
// version 2 head names channels and depth, and the frames when there are 2 or more.
std::string DocumentHead(uint32_t width, uint32_t height, int32_t version = 1, int32_t channels = 3,
                         int32_t depth = 8, int32_t frames = 1);
extern const char kDocumentTail[];
// The whole length of a document of this head as the writers produce it.
uint64_t DocumentLength(const DocumentHeader& header);
bool WriteDocument(const ExchangeState& state);

// Prints the waiting line and waits for "go.flag": for ever, or false once timeoutSeconds (when
// above 0) have passed without it.
bool WaitForFlag(double timeoutSeconds = 0);
// Raises the flag through a temporary file of owner's pattern, saying "Start Corvane" to progress
// (null: nothing). Where the word cannot be written (a full disk, a file size limit) the flag is
// raised empty, which counts all the same.
bool RaiseFlag(const std::string& path, TemporaryOwner owner = TemporaryOwner::Module,
               std::ostream* progress = &std::cout);
