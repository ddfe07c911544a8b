// The stage benchmark's one tie to the project's API: the calls HostDriver.cpp and ModuleRuntime.cpp
// make for one exchange, in their order, with none of their checks or messages around them.
#include "StageCalls.h"

#include <unistd.h>

#include <iostream>

#include "Exchange.h"
#include "ExchangeFiles.h"
#include "ExchangeWait.h"
#include "HostDocument.h"
#include "ImageHandle.h"
#include "MetadataOutput.h"
#include "RegularFile.h"
#include "TemplateTransform.h"

namespace {

constexpr double kAnswerTimeoutSeconds = 60;

Span gReadTime;

}  // namespace

// The bench links with --wrap for ReadFully (bench/CMakeLists.txt), so every read the programs'
// libraries make comes through here; the mangled name follows ReadFully's declaration.
extern "C" int64_t __real__Z9ReadFullyiPvm(int descriptor, void* buffer, size_t size);
extern "C" int64_t __wrap__Z9ReadFullyiPvm(int descriptor, void* buffer, size_t size) {
    const Instant start = Now();
    const int64_t got = __real__Z9ReadFullyiPvm(descriptor, buffer, size);
    gReadTime = gReadTime + Between(start, Now());
    return got;
}

Span TakeReadTime() {
    const Span taken = gReadTime;
    gReadTime = Span();
    return taken;
}

struct HostStages::Picture {
    ::Picture Pixels;
    FCObjImage& Image = Pixels.First().Image;
    PictureMetadata Metadata;
};

HostStages::HostStages() : Held(new Picture) {}
HostStages::~HostStages() = default;

bool HostStages::Load(const std::string& input, const std::string& output) {
    uint64_t size = 0;
    const int descriptor = OpenRegularFile(input.c_str(), LinkPolicy::Follow, size);
    if (descriptor < 0) return false;
    const bool loaded = LoadPictureFile(descriptor, size, input.c_str(), Held->Image, &Held->Metadata).Ok();
    close(descriptor);
    const bool hasResolution = Held->Image.InfoHeader.biXPelsPerMeter > 0;
    SettleMetadataForOutput(Held->Metadata, hasResolution,
                            GetImageHandleFactory()->GetImageType(output.c_str()), false);
    return loaded;
}

bool HostStages::ConvertTo24() {
    Held->Image.ConvertTo24();
    return Held->Image.InfoHeader.biBitCount == 24;
}

uint64_t HostStages::DocumentBytes() const {
    DocumentHeader header;
    header.Width = Held->Image.InfoHeader.biWidth;
    header.Height = Held->Image.InfoHeader.biHeight;
    return DocumentLength(header);
}

bool HostStages::WriteDocument(const std::string& exchangeFolder) {
    return WriteOutgoingDocument(Held->Pixels, exchangeFolder + "/" + kDocumentFileName, &std::cout);
}

bool HostStages::RaiseFlag(const std::string& exchangeFolder) {
    return ::RaiseFlag(exchangeFolder + "/" + kFlagFileName, TemporaryOwner::Host);
}

bool HostStages::AwaitAnswer() {
    WaitControl control;
    control.TimeoutSeconds = kAnswerTimeoutSeconds;
    return WaitForFlagUntil(control) == WaitOutcome::FlagRaised;
}

bool HostStages::ReadAnswer() {
    unlink(kFlagFileName);
    return ::ReadAnswer(Held->Pixels, AnswerBounds(), &std::cout);
}

bool HostStages::Save(const std::string& output, int quality) const {
    const ImageType type = GetImageHandleFactory()->GetImageType(output.c_str());
    const std::unique_ptr<FCImageHandleBase> codec = GetImageHandleFactory()->CreateImageHandle(type);
    if (codec == nullptr) return false;
    codec->SaveList.push_back(&Held->Image);
    codec->SaveMetadata = &Held->Metadata;
    return codec->SaveFile(output.c_str(), TakesQuality(type) ? quality : -1);
}

struct ModuleStages::Exchange {
    ExchangeState State;
    int BusyLock = -1;
};

ModuleStages::ModuleStages() : Held(new Exchange) {}
ModuleStages::~ModuleStages() {
    ReleaseBusyLock(Held->BusyLock);
}

void ModuleStages::AwaitFlag() {
    WaitForFlag();
}

bool ModuleStages::ReadDocument() {
    Held->BusyLock = TakeBusyLock();
    return Held->BusyLock >= 0 && unlink(kFlagFileName) == 0 && ::ReadDocument(Held->State);
}

void ModuleStages::Transform() {
    TemplateModule::ConvertPixels(Held->State);
}

bool ModuleStages::WriteAnswer() {
    return WriteDocument(Held->State);
}

bool ModuleStages::RaiseFlag() {
    const bool raised = ::RaiseFlag(kAnswerFlagPath);
    ReleaseBusyLock(Held->BusyLock);
    Held->BusyLock = -1;
    return raised;
}
