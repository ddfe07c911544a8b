// Runs an operation over an image pixel by pixel (or whole), so the operation never walks
// rows or computes addresses itself.
#pragma once

#include <cstdint>
#include <memory>

#include "ObjImage.h"

enum ProcessType : int32_t {
    ProcessWholeImageType = 0,
    ProcessPixelType = 1,
};

class FCInterface_PixelProcess {
  public:
    virtual ~FCInterface_PixelProcess() = default;
    virtual bool ValidateImage(FCObjImage& image) = 0;
    virtual int32_t QueryProcessType() { return ProcessPixelType; }
    virtual void OnEnterProcess(FCObjImage&) {}
    virtual void ProcessPixel(FCObjImage&, int32_t /*x*/, int32_t /*y*/, uint8_t* /*pixel*/) {}
    virtual void ProcessWholeImage(FCObjImage&, void* /*param*/) {}
    virtual void OnLeaveProcess(FCObjImage&) {}
};

// A per-pixel processor for images of 24 bits per pixel or more.
class FCSinglePixelProcessBase : public FCInterface_PixelProcess {
  public:
    bool ValidateImage(FCObjImage& image) override;

  protected:
    // An object a processor may keep for its run, destroyed with it; processors that need none
    // (the host's among them) leave it null.
    std::unique_ptr<FCObject> OwnedObject;
};

void RunPixelProcess(FCObjImage& image, FCInterface_PixelProcess& processor);
