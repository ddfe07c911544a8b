// The calls `corvane` and the `template` module make for one exchange, one function per stage, behind
// an interface that names none of the project's types: StageCalls.cpp is the stage benchmark's only
// file that knows the project's API, so a change there is followed in that one file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "StageClock.h"

// The host's side in program order, run in the folder above the exchange folder; each returns
// false where the program would stop.
class HostStages {
  public:
    HostStages();
    ~HostStages();
    // Opens and decodes the input, and settles what of its metadata the output's format keeps.
    bool Load(const std::string& input, const std::string& output);
    bool ConvertTo24();
    // The length of the document the loaded picture makes; the answer has the same.
    uint64_t DocumentBytes() const;
    bool WriteDocument(const std::string& exchangeFolder);
    bool RaiseFlag(const std::string& exchangeFolder);
    // Waits (a minute at most) for the module's flag in the working directory.
    bool AwaitAnswer();
    // Takes the module's flag, then reads the answer and imports its pixels in one pass.
    bool ReadAnswer();
    // Writes the picture as output's extension names; quality goes to the lossy writers only.
    bool Save(const std::string& output, int quality) const;

  private:
    struct Picture;
    std::unique_ptr<Picture> Held;
};

// The time spent inside the programs' file reads since the last call. The host reads the answer
// and imports it in one pass; this is what tells the reading from the importing.
Span TakeReadTime();

// The module's side in program order, run in the exchange folder.
class ModuleStages {
  public:
    ModuleStages();
    ~ModuleStages();
    void AwaitFlag();
    // Takes the host's flag under the busy lock, then reads and parses the document.
    bool ReadDocument();
    void Transform();
    bool WriteAnswer();
    // Raises the answer's flag, then lets the busy lock go.
    bool RaiseFlag();

  private:
    struct Exchange;
    std::unique_ptr<Exchange> Held;
};
