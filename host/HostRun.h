// One run of the host: its options, the exchange files it works with, and what it has done so
// far, which a stop or a failure needs to know to take back its own files.
#pragma once

#include <iostream>
#include <string>

#include "HostOptions.h"

struct HostRun {
    HostOptions Options;
    std::string Document;  // DIR/image.xml
    std::string Flag;      // DIR/go.flag
    std::string Output;    // the file OUT led to before the exchange
    // The host has begun to write into DIR: only then are files there its own to take back.
    bool WroteExchangeFiles = false;
    // From the raised flag until an answer flag is seen: a module may be working on our picture.
    bool AwaitingAnswer = false;

    const std::string& Directory() const { return Options.Directory; }
    // A run with --alpha or --depth 16 hands over a version 2 document of this form (a grey picture
    // under --grey goes as version 2 whatever the run).
    bool VersionTwo() const { return Options.Alpha || Options.Depth == 16; }
    uint32_t Channels() const { return Options.Alpha ? 4 : 3; }
    uint32_t MaxValue() const { return Options.Depth == 16 ? 65535 : 255; }
    // Where progress lines and notes go: standard output, or nowhere under --quiet.
    std::ostream* Progress() const { return Options.Quiet ? nullptr : &std::cout; }
};
