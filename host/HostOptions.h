// The host's command line: one table of options, read the same way by corvane and by
// corvane-batch, which passes them on; the three names; the usage banner.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

struct HostOptions {
    uint64_t MaxPixels = 0;       // 0: the image model's default limit
    int32_t Quality = -1;         // JPEG quality 1..100; -1: the format's default
    uint32_t TimeoutSeconds = 0;  // 0: wait for the module for ever
    bool Strip = false;           // keep no colour profile, EXIF, XMP or descriptions
    bool AutoOrient = false;      // turn the picture as its orientation says, before the exchange
    bool Quiet = false;           // say only warnings and failures
    bool Strict = false;          // a warning fails the run, and nothing is saved
    bool Alpha = false;           // the document carries alpha: four samples a pixel
    uint32_t Depth = 8;           // bits a sample in the document: 8 or 16
    bool Grey = false;            // a grey picture goes as grey: one sample a pixel (two with alpha)
    bool AllFrames = false;       // every frame (page) goes to the module, not the first alone
    bool ColourToSrgb = false;    // pixels in another colour profile are converted to sRGB first
    int StatusFd = -1;            // where the run's status goes (corvane alone); -1: nowhere
    std::string Directory;
    std::string Input;
    std::string Output;
};

// Reads options of the table one at a time, each at most once, as `--name VALUE`, `--name=VALUE`
// or a switch alone; remembers each in the form the host reads, for a program that passes them on.
class HostOptionReader {
  public:
    enum class Outcome { Taken, NotAnOption, Refused };
    // Takes argv[index] (and its value from argv[index + 1], moving index on) when it names an
    // option of the table; Refused, with problem set, when it does but is wrong.
    Outcome Take(int& index, int argc, const char* const* argv, HostOptions& options, std::string& problem);
    // Every option taken, as `--name=VALUE` or `--name`.
    const std::vector<std::string>& Taken() const { return Given; }

  private:
    std::set<std::string> Seen;
    std::vector<std::string> Given;
};

// The grammar every option of both programs is read by: argv[index], known by its caller as seenAs
// (its long name), given at most once, as a switch alone or with its value after "=" or in the next
// argument (moving index on). False, with problem set, when it breaks that.
bool TakeOptionValue(const std::string& seenAs, bool takesValue, int& index, int argc,
                     const char* const* argv, std::set<std::string>& seen, std::string& value,
                     std::string& problem);

// One line per option of the table, for a usage text.
std::string HostOptionLines();

enum class CommandLineAction { Run, Help, Version, Usage };

// Fills options from argv; for Usage, problem names what is wrong (empty when the three names
// are simply missing or too many).
CommandLineAction ParseCommandLine(int argc, const char* const* argv, HostOptions& options,
                                   std::string& problem);

void PrintUsageBanner();
void PrintVersion();
