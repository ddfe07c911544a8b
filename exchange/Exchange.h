// Exchange protocol shared by the host and every module: the "image.xml" document
// (reader, writer pieces) and the "go.flag" handshake.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#pragma pack(push, 1)
struct ExchangePixel {
    uint8_t Red;
    uint8_t Green;
    uint8_t Blue;
};
#pragma pack(pop)
static_assert(sizeof(ExchangePixel) == 3, "ExchangePixel must have the payload's 3-byte layout");

// One per process, filled by ParseDocument and shared with the transform or the re-import.
struct ExchangeState {
    int32_t Version = 0;
    int32_t Width = 0;
    int32_t Height = 0;
    uint32_t PixelCount = 0;
    std::vector<uint8_t> DocumentBuffer;
    std::unique_ptr<ExchangePixel[]> InputPixels;
    std::unique_ptr<ExchangePixel[]> OutputPixels;
};

extern const char kDocumentFileName[];
extern const char kFlagFileName[];

// A read position inside DocumentBuffer; scanning never passes End.
struct DocumentCursor {
    const uint8_t* Position;
    const uint8_t* End;
};

bool ReadDocument(ExchangeState& state);
bool MatchTag(const char* expected, DocumentCursor& cursor);
bool ReadNumber(DocumentCursor& cursor, int32_t& value);
bool ParseDocument(ExchangeState& state);

// The literal pieces around the payload; the host's own writer uses them too.
void WriteDocumentHead(std::ostream& out, uint32_t width, uint32_t height);
void WriteDocumentTail(std::ostream& out);
bool WriteDocument(const ExchangeState& state);

void WaitForFlag();
bool RaiseFlag(const std::string& path);
