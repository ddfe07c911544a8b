// The host driver: one picture through one module. The module is started by the user in the
// exchange folder; host and module meet only through "image.xml" and "go.flag". Everything that
// can be refused is refused before the exchange folder is touched.
#include "HostDriver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <new>
#include <string>

#include "Exchange.h"
#include "ExchangeWait.h"
#include "HostDocument.h"
#include "HostOptions.h"
#include "ImageHandle.h"
#include "PixelLimit.h"

namespace {

constexpr double kProgressSeconds = 3;
volatile std::sig_atomic_t gStopSignal = 0;
bool gWroteExchangeFiles = false;

struct HostPaths {
    std::string Directory;
    std::string Document;
    std::string Flag;
};

void OnStopSignal(int signal) {
    gStopSignal = signal;
}

// Without SA_RESTART, so the wait's sleep ends at once and the run can clean up after itself.
void CatchStopSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The module answers into its parent folder and the host looks in its own: anything but a
// folder right below this one would leave the host waiting for an answer that lands elsewhere.
bool CheckExchangeFolder(const std::string& directory) {
    struct stat here;
    struct stat folder;
    struct stat parent;
    const char* problem = nullptr;
    if (directory.empty()) {
        problem = "is empty";
    } else if (stat(directory.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) {
        problem = "is not a folder";
    } else if (stat(".", &here) != 0 || SameFile(folder, here)) {
        problem = "is the working directory itself";
    } else if (stat((directory + "/..").c_str(), &parent) != 0 || !SameFile(parent, here)) {
        problem = "is not a folder right below the working directory";
    }
    if (problem == nullptr) return true;
    std::cout << "The exchange folder \"" << directory << "\" " << problem
              << "; start the module in a folder right below this one and name that folder.\n";
    return false;
}

// Refused before the module does its work, not after.
bool CheckOutput(const std::string& output) {
    const char* problem = nullptr;
    if (!CanSaveImageType(GetImageHandleFactory()->GetImageType(output.c_str()))) {
        problem =
            "no format is written for this file extension (written: BMP, TGA, PNG, JPEG, TIFF and WebP)";
    } else {
        const size_t slash = output.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : output.substr(0, slash + 1);
        struct stat status;
        if (stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
            problem = "its folder does not exist";
    }
    if (problem == nullptr) return true;
    std::cout << "Cannot write " << output << ": " << problem << "\n";
    return false;
}

// Known once the picture is loaded, and still before the exchange: some formats have a largest side.
bool CheckOutputSize(const std::string& output, const FCObjImage& image) {
    const ImageType type = GetImageHandleFactory()->GetImageType(output.c_str());
    const int32_t side = MaxSavedSide(type);
    if (side == 0 || (image.InfoHeader.biWidth <= side && image.InfoHeader.biHeight <= side)) return true;
    std::cout << "Cannot write " << output << ": " << ImageTypeName(type) << " holds at most " << side
              << " x " << side << " pixels\n";
    return false;
}

bool StartsWithDocumentTag(const char* path) {
    uint64_t size = 0;
    const int descriptor = OpenRegularFile(path, LinkPolicy::Refuse, size);
    if (descriptor < 0) return false;
    char start[7] = {};
    const bool document = ReadFully(descriptor, start, sizeof start) == int64_t(sizeof start) &&
                          std::memcmp(start, "<image>", sizeof start) == 0;
    close(descriptor);
    return document;
}

bool Exists(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

// Answers arrive here as "image.xml": one that is not an exchange document is the user's file.
bool CheckOwnDocumentName() {
    if (!Exists(kDocumentFileName) || StartsWithDocumentTag(kDocumentFileName)) return true;
    std::cout << "./" << kDocumentFileName
              << " is not an exchange document, and answers arrive under that name; move it away first.\n";
    return false;
}

// Flags and documents found before this run belong to an earlier one that was stopped: a
// module would take the stale document, and the host the stale answer.
void RemoveLeftovers(const std::string& prefix) {
    std::string removed;
    for (const char* name : {kFlagFileName, kDocumentFileName}) {
        const std::string path = prefix + name;
        if (Exists(path) && unlink(path.c_str()) == 0) removed += removed.empty() ? path : " and " + path;
    }
    if (!removed.empty()) std::cout << "Removed leftover " << removed << " of an earlier run\n";
}

// What the host put into the exchange folder and the module has not taken yet; nothing before
// the host has begun to write there (the files then belong to somebody else).
std::string RemoveOwnFiles(const HostPaths& paths) {
    std::string removed;
    if (!gWroteExchangeFiles) return removed;
    for (const std::string& path : {paths.Document, paths.Flag}) {
        if (unlink(path.c_str()) == 0) removed += removed.empty() ? path : " and " + path;
    }
    return removed;
}

// What the user can do about a file nothing reads: the cause, and the formats that are read.
void ReportCause(const std::string& input, const LoadResult& result) {
    const ImageType named = GetImageHandleFactory()->GetImageType(input.c_str());
    if (result.Status == LoadStatus::UnknownType) {
        std::cout << "The extension of " << input << " names no format that is read";
    } else if (result.Status == LoadStatus::Damaged || result.Status == LoadStatus::Unsupported) {
        std::cout << input
                  << (result.Status == LoadStatus::Damaged ? " is damaged or not a " : " is a kind of ")
                  << ImageTypeName(named)
                  << (result.Status == LoadStatus::Damaged ? " file" : " that is not read");
        if (!result.Detail.empty()) std::cout << " (" << result.Detail << ")";
    } else {
        return;
    }
    std::cout << "; formats read: " << ReadFormatNames() << ".\n";
}

// Why the picture was not read, after the Part's own "Read IN failed" words.
void ReportRefusal(const std::string& input, const LoadResult& result) {
    std::cout << "Read " << input << " failed";
    switch (result.Status) {
        case LoadStatus::OverPixelLimit:
            std::cout << ": " << result.Width << " x " << result.Height
                      << " pixels is more than the limit of " << GetPixelLimit()
                      << "; raise it with --max-pixels";
            break;
        case LoadStatus::OverImageLimit:
            std::cout << ": a picture of " << result.Width << " x " << result.Height
                      << " pixels cannot be held, whatever --max-pixels says: its pixels and a pointer per"
                         " row must fit in "
                      << kMaxImageBytes << " bytes, and this shape needs more";
            break;
        case LoadStatus::NotRegularFile:
            std::cout << ": not a regular file";
            break;
        case LoadStatus::OutOfMemory:
            std::cout << ": out of memory";
            break;
        default:
            break;
    }
    std::cout << ".\n";
    ReportCause(input, result);
}

// The input is opened once and read through that descriptor: a name checked and then opened
// again could meanwhile stand for a FIFO that hangs the read.
bool LoadPicture(const std::string& input, FCObjImage& image) {
    uint64_t size = 0;
    bool notRegular = false;
    const int descriptor = OpenRegularFile(input.c_str(), LinkPolicy::Follow, size, &notRegular);
    if (descriptor < 0 && !notRegular) {
        std::printf("can't load %s, please put %s in same folder to the executable binary.\n", input.c_str(),
                    input.c_str());
        std::fflush(stdout);
        return false;
    }
    std::cout << "Read " << input << "\n";
    LoadResult result;
    result.Status = LoadStatus::NotRegularFile;
    if (descriptor >= 0) {
        result = LoadPictureFile(descriptor, size, input.c_str(), image);
        close(descriptor);
    }
    if (!result.Ok()) {
        ReportRefusal(input, result);
        return false;
    }
    if (result.IncompleteRows > 0) {
        std::cout << "Warning: " << input << " ends early; " << result.IncompleteRows << " of "
                  << image.InfoHeader.biHeight << " rows are incomplete and stay black.\n";
    }
    for (const std::string& warning : result.Warnings)
        std::cout << "Warning: " << input << " " << warning << "\n";
    image.ConvertTo24();
    // A picture too large to hold at 24 bits stays as it was: its document would carry no pixels.
    if (image.InfoHeader.biBitCount != 24) {
        std::cout << "Read " << input << " failed: too large at 24 bits per pixel.\n";
        return false;
    }
    return true;
}

int ExitForStop(const HostPaths& paths) {
    const std::string removed = RemoveOwnFiles(paths);
    std::cout << "\nStopped" << (removed.empty() ? "" : "; removed " + removed) << "\n" << std::flush;
    return kExitSignalBase + gStopSignal;
}

bool AwaitFlag(const HostOptions& options, const HostPaths& paths, WaitOutcome& outcome) {
    std::cout << "Waiting ...\n" << std::flush;
    WaitControl control;
    control.TimeoutSeconds = options.TimeoutSeconds;
    control.Stop = &gStopSignal;
    const bool terminal = isatty(STDOUT_FILENO) == 1;
    if (terminal) {
        control.TickSeconds = kProgressSeconds;
        control.Tick = [&paths](double elapsed) {
            std::cout << "\rWaiting for the module in " << paths.Directory << "/ ... " << int(elapsed) << " s"
                      << std::flush;
        };
    }
    outcome = WaitForFlagUntil(control);
    if (terminal && outcome != WaitOutcome::Stopped) std::cout << "\n";
    return outcome == WaitOutcome::FlagRaised;
}

int RunExchange(const HostOptions& options, const HostPaths& paths) {
    FCObjImage image;
    if (!LoadPicture(options.Input, image) || !CheckOutputSize(options.Output, image)) return kExitFailed;
    RemoveLeftovers("");
    RemoveLeftovers(paths.Directory + "/");
    CatchStopSignals();
    gWroteExchangeFiles = true;
    const uint64_t sentLength =
        DocumentLength(uint32_t(image.InfoHeader.biWidth), uint32_t(image.InfoHeader.biHeight));
    if (!WriteOutgoingDocument(image, paths.Document, &gStopSignal)) {
        return gStopSignal != 0 ? ExitForStop(paths) : kExitFailed;
    }
    if (!RaiseFlag(paths.Flag)) {
        unlink(paths.Document.c_str());
        std::cout << "Cannot raise " << paths.Flag << "\n";
        return kExitFailed;
    }
    WaitOutcome outcome;
    if (!AwaitFlag(options, paths, outcome)) {
        if (outcome == WaitOutcome::Stopped) return ExitForStop(paths);
        const std::string removed = RemoveOwnFiles(paths);
        std::cout << "No answer from the module in " << paths.Directory << "/ within "
                  << options.TimeoutSeconds << " s" << (removed.empty() ? "" : "; removed " + removed)
                  << "\n";
        return kExitFailed;
    }
    unlink(kFlagFileName);
    if (!ReadAnswer(image, sentLength)) {
        std::cout << std::flush;
        return kExitFailed;
    }
    // The quality is the lossy writers' own flag; every other writer takes its default.
    const ImageType written = GetImageHandleFactory()->GetImageType(options.Output.c_str());
    const bool lossy = written == ImageTypeJpeg || written == ImageTypeWebp;
    if (!image.SaveToFile(options.Output.c_str(), lossy ? options.Quality : -1)) {
        std::cout << "Save " << options.Output << " failed.\n";
        return kExitFailed;
    }
    std::cout << "Save " << options.Output << std::flush;
    return kExitSaved;
}

int Run(const HostOptions& options) {
    // A write over the file size limit must fail with an error we report, not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
    if (options.MaxPixels != 0) SetPixelLimit(options.MaxPixels);
    if (!CheckExchangeFolder(options.Directory) || !CheckOutput(options.Output)) return kExitFailed;
    // Answers arrive in this folder: two hosts here would take each other's.
    if (!LockFolder(".")) {
        std::cout << "Another Corvane host is already running in this folder; wait for it to end.\n";
        return kExitFailed;
    }
    if (!CheckOwnDocumentName()) return kExitFailed;
    const HostPaths paths{options.Directory, options.Directory + "/" + kDocumentFileName,
                          options.Directory + "/" + kFlagFileName};
    try {
        return RunExchange(options, paths);
    } catch (const std::bad_alloc&) {
        RemoveOwnFiles(paths);
        std::cout << "\nError: out of memory\n";
        return kExitFailed;
    }
}

}  // namespace

int RunHost(int argc, const char* const* argv) {
    HostOptions options;
    std::string problem;
    switch (ParseCommandLine(argc, argv, options, problem)) {
        case CommandLineAction::Help:
            PrintUsageBanner();
            return kExitSaved;
        case CommandLineAction::Version:
            PrintVersion();
            return kExitSaved;
        case CommandLineAction::Usage:
            PrintUsageBanner();
            if (!problem.empty()) std::cout << "Error: " << problem << "\n";
            return kExitUsage;
        case CommandLineAction::Run:
            break;
    }
    return Run(options);
}
