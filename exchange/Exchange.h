// Exchange protocol shared by the host and every module: the "image.xml" document
// (reader, writer pieces) and the "go.flag" handshake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#pragma pack(push, 1)
struct ExchangePixel {
    uint8_t Red;
    uint8_t Green;
    uint8_t Blue;
};
#pragma pack(pop)
static_assert(sizeof(ExchangePixel) == 3, "ExchangePixel must have the payload's 3-byte layout");

// A byte block that is not cleared when it is made: a document is read over it at once, so
// clearing it first would only touch every page twice. Large blocks are mapped with their pages
// already in place, which costs the kernel one pass instead of a fault per page; their size
// always comes from a file's real length, never from a header.
class ByteBlock {
  public:
    ByteBlock() = default;
    // Throws std::bad_alloc like any allocation of the program.
    explicit ByteBlock(size_t size);
    ByteBlock(ByteBlock&& other) noexcept : Bytes(other.Bytes), Size(other.Size), Mapped(other.Mapped) {
        other.Forget();
    }
    ByteBlock& operator=(ByteBlock&& other) noexcept;
    ByteBlock(const ByteBlock&) = delete;
    ByteBlock& operator=(const ByteBlock&) = delete;
    ~ByteBlock() { Release(); }

    template <class Iterator>
    void assign(Iterator first, Iterator last) {
        ByteBlock copy(size_t(last - first));
        for (size_t i = 0; first != last; ++first, ++i) copy.Bytes[i] = uint8_t(*first);
        *this = std::move(copy);
    }
    uint8_t* data() const { return Bytes; }
    size_t size() const { return Size; }
    bool empty() const { return Size == 0; }
    void clear() { *this = ByteBlock(); }
    // Keeps the first size bytes and forgets the rest (a file that shrank while it was read).
    void shrink(size_t size) {
        if (size < Size) Size = size;
    }

  private:
    void Release();
    void Forget() {
        Bytes = nullptr;
        Size = 0;
        Mapped = 0;
    }

    uint8_t* Bytes = nullptr;
    size_t Size = 0;
    size_t Mapped = 0;  // the mapping's length, 0 for a block from new[]
};

// One per process, filled by ParseDocument and shared with the transform or the re-import.
// The payload is not copied out of the document: a successful parse hands the document's
// block to PixelBlock, and both pixel pointers point into it, so a transform works in place.
struct ExchangeState {
    int32_t Version = 0;
    int32_t Width = 0;
    int32_t Height = 0;
    uint32_t PixelCount = 0;
    ByteBlock DocumentBuffer;
    ByteBlock PixelBlock;
    ExchangePixel* InputPixels = nullptr;
    ExchangePixel* OutputPixels = nullptr;
};

extern const char kDocumentFileName[];
extern const char kFlagFileName[];

// Largest pixel count whose payload size still fits in 32 bits unsigned.
constexpr uint64_t kMaxExchangePixels = 0xFFFFFFFFull / sizeof(ExchangePixel);

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
bool RaiseFlag(const std::string& path);
