// The host's side of one exchange: command line, document out, answer in, picture saved.
#pragma once

#include <fstream>
#include <string>

#include "PixelProcess.h"

// Exit codes of the host program.
constexpr int kExitSaved = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The outgoing exchange document, shared by the driver and the pixel processor.
std::ofstream& DocumentStream();

// Streams each pixel into the document as red, green, blue (the image keeps blue, green, red).
class FCPixelMyProcessor : public FCSinglePixelProcessBase {
public:
    void ProcessPixel(FCObjImage& image, int32_t x, int32_t y, uint8_t* pixel) override;
};

void PrintUsageBanner();

// Opens DocumentStream on path, emptying or creating the file.
bool OpenDocumentStream(const std::string& path);

// The document into DocumentStream, already opened on path; the partial file is removed on failure.
bool WriteOutgoingDocument(FCObjImage& image, const std::string& path);

struct ExchangeState;
// Copies the answered pixels back into the picture; false for an answer with too few pixels.
bool ReimportAnswer(FCObjImage& image, const ExchangeState& answer);

// The whole host program; argv as main receives it. Returns the process exit code.
int RunHost(int argc, const char* const* argv);
