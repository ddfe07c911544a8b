// The host's command line: options before the three names, and the usage banner.
#pragma once

#include <cstdint>
#include <string>

struct HostOptions {
    uint64_t MaxPixels = 0;       // 0: the image model's default limit
    int32_t Quality = -1;         // JPEG quality 1..100; -1: the format's default
    uint32_t TimeoutSeconds = 0;  // 0: wait for the module for ever
    bool Strip = false;           // keep no colour profile, EXIF or XMP
    bool AutoOrient = false;      // turn the picture as its EXIF orientation says, before the exchange
    std::string Directory;
    std::string Input;
    std::string Output;
};

enum class CommandLineAction { Run, Help, Version, Usage };

// Fills options from argv; for Usage, problem names what is wrong (empty when the three names
// are simply missing or too many).
CommandLineAction ParseCommandLine(int argc, const char* const* argv, HostOptions& options,
                                   std::string& problem);

void PrintUsageBanner();
void PrintVersion();
