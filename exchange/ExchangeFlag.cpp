// The "go.flag" handshake: its presence alone says a document is complete and closed.
#include <chrono>
#include <fstream>
#include <iostream>
#include <thread>

#include "Exchange.h"

const char kFlagFileName[] = "go.flag";

namespace {

constexpr std::chrono::milliseconds kPollInterval{1000};
const char kFlagContent[] = "finished";

bool FlagPresent() {
    return std::ifstream(kFlagFileName, std::ios::in).is_open();
}

}  // namespace

void WaitForFlag() {
    // Flushed so a log redirected to a file shows the wait while it lasts.
    std::cout << "Waiting ...\n" << std::flush;
    while (!FlagPresent()) std::this_thread::sleep_for(kPollInterval);
}

bool RaiseFlag(const std::string& path) {
    std::cout << "Start Corvane\n";
    std::ofstream out(path, std::ios::out | std::ios::ate | std::ios::binary);
    if (!out.is_open()) return false;
    out.write(kFlagContent, std::streamsize(sizeof(kFlagContent) - 1));
    out.close();
    return !out.fail();
}
