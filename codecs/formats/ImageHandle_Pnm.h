// PNM codec: reads PBM, PGM, PPM (P1 to P6, plain and raw) and PAM (P7: black and white, grey and
// RGB, with or without alpha) at any maxval up to 65535; writes PPM (P6), PGM (P5, grey pictures)
// or PAM (P7), 8-bit RGB, or from samples at maxval 255 or 65535, PAM with alpha as RGB_ALPHA and
// grey as GRAYSCALE or GRAYSCALE_ALPHA.
#pragma once

#include "ImageHandle.h"

class ByteSource;

class FCImageHandle_Pnm : public FCImageHandle {
  public:
    // What SaveFile writes: .pbm is read only, since a picture would lose its colours there; .pgm
    // takes grey pictures alone and refuses colour.
    enum class Form { ReadOnly, Ppm, Pgm, Pam };
    explicit FCImageHandle_Pnm(Form form = Form::ReadOnly) : FCImageHandle(FileIntake{true}), form_(form) {}

    // The one decoder: LoadMemory runs it over the block, LoadOpenFile over a window on the file.
    bool LoadSource(ByteSource& in) override;

  protected:
    ImageType WrittenType() const override;
    // flag is not used: both forms are lossless.
    bool WritePicture(const char* path, int32_t flag) override;

  private:
    Form form_;
};
