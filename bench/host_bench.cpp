// Times the host's own phases on a generated picture: load, document out, answer in,
// re-import and save. Usage: host_bench MEGAPIXELS [FOLDER]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <iostream>
#include <string>

#include "Exchange.h"
#include "HostDocument.h"
#include "ObjImage.h"

namespace {

struct Timing {
    double Cpu;
    double Wall;
};

Timing Measure(const std::function<bool()>& phase) {
    const std::clock_t cpu = std::clock();
    const auto wall = std::chrono::steady_clock::now();
    if (!phase()) {
        std::cerr << "phase failed\n";
        std::exit(1);
    }
    return {double(std::clock() - cpu) / CLOCKS_PER_SEC,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count()};
}

void Report(const char* name, const Timing& t, double megabytes) {
    std::printf("  %-22s cpu %7.3f s  wall %7.3f s  %8.0f MB/s\n", name, t.Cpu, t.Wall, megabytes / t.Wall);
}

bool MakeInput(int32_t width, int32_t height, const std::string& path) {
    FCObjImage image;
    if (!image.Create(width, height, 24)) return false;
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = image.RowTable[y];
        for (int32_t x = 0; x < 3 * width; ++x) row[x] = uint8_t(x * 7 + y * 3);
    }
    return image.SaveToFile(path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const int megapixels = argc > 1 ? std::atoi(argv[1]) : 12;
    const std::string folder = argc > 2 ? argv[2] : "/tmp";
    const int32_t width = megapixels == 64 ? 8000 : 4000;
    const int32_t height = int32_t(int64_t(megapixels) * 1000000 / width);
    const double megabytes = 3.0 * width * height / 1e6;
    const std::string input = folder + "/bench-in.bmp";
    const std::string output = folder + "/bench-out.bmp";
    if (!MakeInput(width, height, input) || chdir(folder.c_str()) != 0) return 1;
    std::printf("host phases, %dx%d 24-bit BMP (%.0f MB of pixels):\n", width, height, megabytes);

    Picture picture;
    FCObjImage& image = picture.First().Image;
    std::streambuf* console = std::cout.rdbuf(nullptr);  // the phases' own progress lines
    Timing load = Measure([&] {
        if (!image.LoadFromFile(input.c_str())) return false;
        image.ConvertTo24();
        return true;
    });
    Timing document = Measure([&] { return WriteOutgoingDocument(picture, kDocumentFileName, nullptr); });
    Timing read = Measure([&] { return ReadAnswer(picture, AnswerBounds(), nullptr); });
    Timing save = Measure([&] { return image.SaveToFile(output.c_str()); });
    std::cout.rdbuf(console);

    Report("load + convert", load, megabytes);
    Report("write document", document, megabytes);
    Report("read answer + import", read, megabytes);
    Report("save", save, megabytes);
    std::printf("  %-22s cpu %7.3f s\n", "host total", load.Cpu + document.Cpu + read.Cpu + save.Cpu);
    std::remove(input.c_str());
    std::remove(output.c_str());
    return 0;
}
