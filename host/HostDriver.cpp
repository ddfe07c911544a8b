// The host driver: one picture through one module. The module is started by the user in the
// exchange folder; host and module meet only through "image.xml" and "go.flag".
#include "HostDriver.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "Exchange.h"

namespace {

constexpr char kVersionLine[] = "Corvane version 1.1\n";

struct HostPaths {
    std::string Directory;
    std::string Input;
    std::string Output;
    std::string Document;
    std::string Flag;
};

bool SameDirectory(const char* a, const char* b) {
    struct stat sa;
    struct stat sb;
    if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool FileExists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

// An answer flag or document already in the working directory cannot belong to this run: a
// module answers only after it has seen our flag. Taking it would re-import an old picture.
void RemoveLeftovers() {
    std::string removed;
    for (const char* name : {kFlagFileName, kDocumentFileName}) {
        if (FileExists(name) && std::remove(name) == 0) {
            removed += removed.empty() ? name : std::string(" and ") + name;
        }
    }
    if (!removed.empty()) std::cout << "Removed leftover " << removed << " of an earlier run\n";
}

bool AwaitAnswer(ExchangeState& answer) {
    WaitForFlag();
    std::remove(kFlagFileName);
    return ReadDocument(answer) && ParseDocument(answer);
}

int RunExchange(const HostPaths& paths) {
    // The host would find its own flag and read its own document back as the answer.
    if (SameDirectory(paths.Directory.c_str(), ".")) {
        std::cout << "The exchange folder must be the module's own folder, not the working directory.\n";
        return kExitFailed;
    }
    if (!OpenDocumentStream(paths.Document)) {
        std::cout << "Cannot create " << paths.Document << "\n";
        return kExitFailed;
    }
    std::ifstream inputCheck(paths.Input, std::ios::in | std::ios::binary);
    if (!inputCheck.is_open()) {
        std::printf("can't load %s, please put %s in same folder to the executable binary.\n",
                    paths.Input.c_str(), paths.Input.c_str());
        return kExitFailed;
    }
    std::cout << "Read " << paths.Input << "\n";
    FCObjImage image;
    if (!image.LoadFromFile(paths.Input.c_str())) {
        std::cout << "Read " << paths.Input << " failed.\n";
        return kExitFailed;
    }
    image.ConvertTo24();
    // A picture too large to hold at 24 bits stays as it was: its document would carry no pixels,
    // the module would refuse it and never answer.
    if (image.InfoHeader.biBitCount != 24) {
        std::cout << "Read " << paths.Input << " failed: too large at 24 bits per pixel.\n";
        return kExitFailed;
    }
    if (!WriteOutgoingDocument(image, paths.Document)) return kExitFailed;
    RemoveLeftovers();
    if (!RaiseFlag(paths.Flag)) {
        std::remove(paths.Document.c_str());
        std::cout << "Cannot raise " << paths.Flag << "\n";
        return kExitFailed;
    }
    ExchangeState answer;
    if (!AwaitAnswer(answer) || !ReimportAnswer(image, answer)) return kExitFailed;
    if (!image.SaveToFile(paths.Output.c_str())) {
        std::cout << "Save " << paths.Output << " failed.\n";
        return kExitFailed;
    }
    std::cout << "Save " << paths.Output << std::flush;
    return kExitSaved;
}

}  // namespace

bool OpenDocumentStream(const std::string& path) {
    // A large buffer: the document is written one byte at a time through sputc.
    static char buffer[size_t(1) << 20];
    std::ofstream& out = DocumentStream();
    out.rdbuf()->pubsetbuf(buffer, sizeof buffer);
    out.open(path, std::ios::out | std::ios::ate | std::ios::binary);
    return out.is_open();
}

// Writes the whole outgoing document; on any failure the partial file is removed.
bool WriteOutgoingDocument(FCObjImage& image, const std::string& path) {
    std::ofstream& out = DocumentStream();
    WriteDocumentHead(out, uint32_t(image.InfoHeader.biWidth), uint32_t(image.InfoHeader.biHeight));
    std::cout << "Save as XML\n";
    FCPixelMyProcessor processor;
    RunPixelProcess(image, processor);
    WriteDocumentTail(out);
    out.close();
    if (out.fail()) {
        std::remove(path.c_str());
        std::cout << "Cannot write " << path << "\n";
        return false;
    }
    return true;
}

// The answer must cover the picture; a larger one (or another stated shape) is taken in
// payload order, a shorter one would leave the picture half answered.
bool ReimportAnswer(FCObjImage& image, const ExchangeState& answer) {
    const int32_t width = image.InfoHeader.biWidth;
    const int32_t height = image.InfoHeader.biHeight;
    const uint64_t needed = uint64_t(width) * uint64_t(height);
    if (uint64_t(answer.PixelCount) < needed) {
        std::cout << "The answer holds " << answer.PixelCount << " pixels but the picture has " << needed
                  << "; nothing saved.\n";
        return false;
    }
    const ExchangePixel* source = answer.InputPixels.get();
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* pixel = image.PixelAddress(0, y);
        for (int32_t x = 0; x < width; ++x, ++source, pixel += 3) {
            pixel[2] = source->Red;
            pixel[1] = source->Green;
            pixel[0] = source->Blue;
        }
    }
    return true;
}

std::ofstream& DocumentStream() {
    static std::ofstream stream;
    return stream;
}

void FCPixelMyProcessor::ProcessPixel(FCObjImage&, int32_t, int32_t, uint8_t* pixel) {
    std::ofstream& stream = DocumentStream();
    std::streambuf* out = stream.rdbuf();
    using Traits = std::streambuf::traits_type;
    bool failed = Traits::eq_int_type(out->sputc(char(pixel[2])), Traits::eof());
    failed |= Traits::eq_int_type(out->sputc(char(pixel[1])), Traits::eof());
    failed |= Traits::eq_int_type(out->sputc(char(pixel[0])), Traits::eof());
    // The buffer bypasses the stream's state: a failed flush (full disk) must still mark it.
    if (failed) stream.setstate(std::ios::badbit);
}

void PrintUsageBanner() {
    std::cout << "\n" << kVersionLine << "\n"
              << "Corvane allows the average developer to easily create their own\n"
              << "Image Manipulation software in the language of their choice\n\n"
              << "Syntax: corvane [dir] [input.bmp] [output.bmp]\n"
              << " [dir] - directory of module to manipulate image\n"
              << " [input.bmp] - input bitmap image to manipulate\n"
              << " [output.bmp] - output manipulated bitmap\n\n"
              << "Reads BMP, TGA, JPEG and GIF; writes BMP and TGA.\n"
              << "Start the module in [dir], a folder right below this one.\n"
              << "Credits: the Corvane host and the template and ambrel modules;\n"
              << "JPEG input by libjpeg-turbo, GIF input by giflib.\n\n";
}

int RunHost(int argc, const char* const* argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        PrintUsageBanner();
        return kExitSaved;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << kVersionLine;
        return kExitSaved;
    }
    if (argc != 4) {
        PrintUsageBanner();
        return kExitUsage;
    }
    const std::string directory = argv[1];
    HostPaths paths{directory, argv[2], argv[3], directory + "/" + kDocumentFileName, directory + "/" + kFlagFileName};
    return RunExchange(paths);
}
