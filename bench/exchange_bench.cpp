// Times one 4000 x 3000 exchange phase by phase (the module's read and parse, both transforms, write) and
// prints MB/s.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "AmbrelTransform.h"
#include "Exchange.h"
#include "TemplateTransform.h"

namespace {

constexpr uint32_t kWidth = 4000;
constexpr uint32_t kHeight = 3000;
constexpr int kRounds = 5;
constexpr double kBytesPerMegabyte = 1024.0 * 1024.0;

std::string BuildDocument() {
    std::string payload(size_t(kWidth) * kHeight * sizeof(ExchangePixel), '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = char((i * 131) >> 3);
    return DocumentHead(kWidth, kHeight) + payload + kDocumentTail;
}

// Best of kRounds; prepare runs untimed before each round.
template <typename Prepare, typename Phase>
double BestSeconds(Prepare prepare, Phase phase) {
    double best = 1e9;
    for (int round = 0; round < kRounds; ++round) {
        prepare();
        const auto start = std::chrono::steady_clock::now();
        phase();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    return best;
}

void Report(const char* phase, double seconds, double bytes) {
    std::printf("%-10s %8.2f ms %10.1f MB/s\n", phase, seconds * 1e3, bytes / kBytesPerMegabyte / seconds);
}

}  // namespace

int main() {
    char pattern[] = "/tmp/exchange-bench-XXXXXX";
    const std::filesystem::path host = mkdtemp(pattern);
    std::filesystem::create_directory(host / "exchange");
    std::filesystem::current_path(host / "exchange");

    const std::string document = BuildDocument();
    const double payloadBytes = double(kWidth) * kHeight * sizeof(ExchangePixel);
    ExchangeState state;
    std::ostringstream quiet;  // the exchange operations' progress lines would drown the figures
    std::streambuf* console = std::cout.rdbuf(quiet.rdbuf());

    const double read = BestSeconds([&] { std::ofstream(kDocumentFileName, std::ios::binary) << document; },
                                    [&] { ReadDocument(state); });
    const double turn = BestSeconds([] {}, [&] { TemplateModule::ConvertPixels(state); });
    const double blend = BestSeconds([] {}, [&] { AmbrelModule::ConvertPixels(state); });
    const double write = BestSeconds([] {}, [&] { WriteDocument(state); });
    std::cout.rdbuf(console);

    std::printf("%u x %u pixels, %.1f MB payload, best of %d\n", kWidth, kHeight,
                payloadBytes / kBytesPerMegabyte, kRounds);
    Report("read and parse", read, double(document.size()));
    Report("template", turn, payloadBytes);
    Report("ambrel", blend, payloadBytes);
    Report("write", write, double(document.size()));
    std::filesystem::current_path(host.parent_path());
    std::filesystem::remove_all(host);
    return 0;
}
