// The host driver: one picture through one module. The module is started by the user in the
// exchange folder; host and module meet only through "image.xml" and "go.flag". Everything that
// can be refused is refused before the exchange folder is touched.
#include "HostDriver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "AutoOrient.h"
#include "Exchange.h"
#include "ExchangeFiles.h"
#include "ExchangeWait.h"
#include "HostDocument.h"
#include "HostOptions.h"
#include "ImageHandle.h"
#include "MetadataOutput.h"
#include "PictureWarnings.h"
#include "PixelLimit.h"
#include "StopSignals.h"

namespace {

constexpr double kProgressSeconds = 1;
// How long a terminal shows the wait before it says how to start a module.
constexpr double kHintSeconds = 10;
// The marker a stopped host leaves when a module may still answer into this folder.
const char kStopMarker[] = "corvane.stopped";
bool gWroteExchangeFiles = false;
// From the raised flag until an answer flag is seen: a module may be working on our picture.
bool gAwaitingAnswer = false;

struct HostPaths {
    std::string Directory;
    std::string Document;
    std::string Flag;
    std::string Output;  // the file OUT led to before the exchange
};

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool Exists(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : " and ") + name;
    return text;
}

// The module answers into its parent folder and the host looks in its own: anything but a
// folder right below this one would leave the host waiting for an answer that lands elsewhere.
const char* ExchangeFolderProblem(const std::string& directory) {
    struct stat here;
    struct stat folder;
    struct stat parent;
    if (directory.empty()) return "is empty";
    if (stat(directory.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) return "is not a folder";
    if (stat(".", &here) != 0 || SameFile(folder, here)) return "is the working directory itself";
    if (stat((directory + "/..").c_str(), &parent) != 0 || !SameFile(parent, here)) {
        return "is not a folder right below the working directory";
    }
    return nullptr;
}

bool CheckExchangeFolder(const std::string& directory) {
    const char* problem = ExchangeFolderProblem(directory);
    if (problem == nullptr) return true;
    std::cout << "The exchange folder \"" << directory << "\" " << problem
              << "; start the module in a folder right below this one and name that folder.\n";
    return false;
}

// The file a save to output replaces, as an absolute name, so that two looks compare equal
// whether or not the file exists yet; empty with problem set when nothing may be saved there.
std::string OutputTarget(const std::string& output, std::string& problem) {
    std::string target;
    int error = 0;
    if (!ResolveOutputTarget(output, target, error)) {
        struct stat status;
        const bool link = lstat(output.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
        problem = error == EISDIR           ? "it is a folder"
                  : error == EINVAL         ? "it is not a regular file"
                  : link && error == ENOENT ? "it is a link to nothing"
                                            : std::strerror(error);
        return std::string();
    }
    if (!target.empty() && target[0] == '/') return target;
    const size_t slash = output.rfind('/');
    char folder[PATH_MAX];
    if (realpath(slash == std::string::npos ? "." : output.substr(0, slash + 1).c_str(), folder) == nullptr) {
        problem = "its folder does not exist";
        return std::string();
    }
    return std::string(folder) + "/" + output.substr(slash == std::string::npos ? 0 : slash + 1);
}

// Everything that would keep the result from being saved is found before the module works: the
// name is resolved once, and the folder proves it takes a new file.
bool CheckOutput(const std::string& output, std::string& target) {
    std::string problem;
    int error = 0;
    if (!CanSaveImageType(GetImageHandleFactory()->GetImageType(output.c_str()))) {
        problem = "no format is written for this file extension (written: " + WrittenFormatNames() + ")";
    } else {
        const size_t slash = output.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : output.substr(0, slash + 1);
        struct stat status;
        if (stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
            problem = "its folder does not exist";
        } else {
            target = OutputTarget(output, problem);
        }
        if (problem.empty() && !CanCreateBeside(target, error)) {
            problem = std::string("no file can be created in its folder: ") + std::strerror(error);
        }
    }
    if (problem.empty()) return true;
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

// Answers arrive here as "image.xml" and "go.flag": a folder, FIFO or device under either name
// would be taken for an answer, and an "image.xml" that is not a document is the user's file.
bool CheckAnswerNames() {
    for (const char* name : {kFlagFileName, kDocumentFileName}) {
        struct stat status;
        if (lstat(name, &status) != 0 || S_ISLNK(status.st_mode)) continue;
        const char* what = S_ISDIR(status.st_mode)    ? "is a folder"
                           : !S_ISREG(status.st_mode) ? "is not a regular file"
                           : name == kDocumentFileName && !StartsWithDocumentTag(name)
                               ? "is not an exchange document"
                               : nullptr;
        if (what == nullptr) continue;
        std::cout << "./" << name << " " << what
                  << ", and answers arrive under that name; move it away first.\n";
        return false;
    }
    return true;
}

// The folder a stopped host named in its marker, or empty when there is none.
std::string StoppedRunFolder() {
    uint64_t size = 0;
    const int descriptor = OpenRegularFile(kStopMarker, LinkPolicy::Refuse, size);
    if (descriptor < 0) return std::string();
    char text[4096];
    const int64_t got = ReadFully(descriptor, text, sizeof text);
    close(descriptor);
    std::string folder(text, size_t(std::max<int64_t>(got, 0)));
    while (!folder.empty() && (folder.back() == '\n' || folder.back() == '/')) folder.pop_back();
    return folder.empty() ? "." : folder;
}

// A host stopped while its module worked left a marker: that module may still answer here, so
// no run starts until it is done, and its late answer is never taken for this run's.
bool SettleStoppedRun() {
    const std::string folder = StoppedRunFolder();
    if (folder.empty()) return true;
    // The marker lies where modules write: it names nothing outside an exchange folder here.
    const bool exchangeFolder = ExchangeFolderProblem(folder) == nullptr;
    if (exchangeFolder && BusyLockHeld(folder)) {
        std::cout << "Not started: the module in " << folder
                  << " is still working on an earlier picture; wait for it to end.\n";
        return false;
    }
    std::vector<std::string> removed;
    std::vector<std::string> leftovers{kStopMarker, kFlagFileName, kDocumentFileName};
    if (exchangeFolder) leftovers.push_back(folder + "/" + kBusyFileName);
    for (const std::string& path : leftovers) {
        if (unlink(path.c_str()) == 0) removed.push_back(path);
    }
    std::cout << "Removed leftover " << Joined(removed) << " of a stopped run\n";
    return true;
}

// Flags and documents found before this run belong to an earlier one that was stopped: a
// module would take the stale document, and the host the stale answer.
void RemoveLeftovers(const std::string& prefix) {
    std::vector<std::string> removed;
    for (const char* name : {kFlagFileName, kDocumentFileName}) {
        const std::string path = prefix + name;
        if (Exists(path) && unlink(path.c_str()) == 0) removed.push_back(path);
    }
    if (!removed.empty()) std::cout << "Removed leftover " << Joined(removed) << " of an earlier run\n";
}

// Temporary files whose writer is gone: the host's own in the exchange folder, and those of
// modules that no longer run here.
void SweepTemporaries(const std::string& directory) {
    std::vector<std::string> removed = SweepTemporaryFiles(directory, TemporaryOwner::Host);
    for (const std::string& name : SweepTemporaryFiles(".", TemporaryOwner::Module)) removed.push_back(name);
    if (!removed.empty()) std::cout << "Removed leftover temporary files " << Joined(removed) << "\n";
}

// What the host put into the exchange folder and the module has not taken yet; nothing before
// the host has begun to write there (the files then belong to somebody else).
std::string RemoveOwnFiles(const HostPaths& paths) {
    std::vector<std::string> removed;
    if (!gWroteExchangeFiles) return std::string();
    for (const std::string& path : {paths.Document, paths.Flag}) {
        if (unlink(path.c_str()) == 0) removed.push_back(path);
    }
    return Joined(removed);
}

// After the module took the picture it may still answer into this folder: the marker keeps
// the next run from taking that answer for its own.
bool LeaveStopMarker(const HostPaths& paths) {
    if (!gAwaitingAnswer || Exists(paths.Flag)) return false;
    AtomicFileWriter marker;
    const std::string text = paths.Directory + "\n";
    if (marker.Open(kStopMarker, LinkPolicy::Refuse, TemporaryOwner::Host)) {
        SetWriteStop(nullptr);
        marker.Append(text.data(), text.size());
        marker.Commit();
    }
    return true;
}

// What the user can do about a file nothing reads: the cause, with the reader's reason, or the
// formats that are read when the extension names none.
void ReportCause(const std::string& input, const LoadResult& result) {
    const char* format = ImageTypeName(GetImageHandleFactory()->GetImageType(input.c_str()));
    const std::string reason = result.Detail.empty() ? std::string() : " (" + result.Detail + ")";
    switch (result.Status) {
        case LoadStatus::UnknownType:
            std::cout << "The extension of " << input
                      << " names no format that is read; formats read: " << ReadFormatNames() << ".\n";
            break;
        case LoadStatus::Damaged:
            std::cout << input << " is damaged or not a " << format << " file" << reason << ".\n";
            break;
        case LoadStatus::Unsupported:
            std::cout << input << " is a kind of " << format << " that is not read" << reason << ".\n";
            break;
        default:
            break;
    }
}

// Why the picture was not read, after the usual "Read IN failed" words.
void ReportRefusal(const std::string& input, const LoadResult& result, uint64_t pixelLimit) {
    std::cout << "Read " << input << " failed";
    switch (result.Status) {
        case LoadStatus::OverPixelLimit:
            std::cout << ": " << result.Width << " x " << result.Height
                      << " pixels is more than the limit of " << pixelLimit << "; raise it with --max-pixels";
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
        case LoadStatus::CannotOpen:
            if (!result.Detail.empty()) std::cout << ": " << result.Detail;
            break;
        default:
            break;
    }
    std::cout << ".\n";
    ReportCause(input, result);
}

// The input is opened once and read through that descriptor: a name checked and then opened
// again could meanwhile stand for a FIFO that hangs the read.
bool LoadPicture(const std::string& input, const LoadOptions& loadOptions, FCObjImage& image,
                 PictureMetadata& metadata) {
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
        result = LoadPictureFile(descriptor, size, input.c_str(), image, &metadata, loadOptions);
        close(descriptor);
    }
    if (!result.Ok()) {
        ReportRefusal(input, result, loadOptions.PixelLimit);
        return false;
    }
    if (result.IncompleteRows > 0)
        std::cout << "Warning: " << input << " "
                  << warning::EndsEarly(result.IncompleteRows, image.InfoHeader.biHeight) << "\n";
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

// What goes beside the pixels is settled before the exchange, so that its warnings follow the
// load's. The picture is turned first when --auto-orient asks, so the module sees it as a viewer
// shows it, and when the output cannot carry the orientation, so the output shows as the input did.
bool PrepareMetadata(const HostOptions& options, FCObjImage& image, PictureMetadata& metadata) {
    const ImageType output = GetImageHandleFactory()->GetImageType(options.Output.c_str());
    const bool mustTurn = !OrientationReachesOutput(metadata, output, options.Strip);
    const uint16_t orientation = metadata.Orientation;
    if (options.AutoOrient || mustTurn) {
        if (!TurnAsOrientationSays(image, orientation)) {
            std::cout << "Read " << options.Input << " failed: out of memory.\n";
            return false;
        }
        MarkMetadataTurned(metadata);
    }
    const bool hasResolution = image.InfoHeader.biXPelsPerMeter > 0 && image.InfoHeader.biYPelsPerMeter > 0;
    for (const std::string& warning : SettleMetadataForOutput(metadata, hasResolution, output, options.Strip))
        std::cout << "Warning: " << options.Input << " " << warning << "\n";
    // The note follows the warnings, which stay right after the Read line.
    if (mustTurn && !options.AutoOrient) {
        std::cout << "Turned " << options.Input << " as its orientation (" << orientation << ") says, since "
                  << (options.Strip ? std::string("--strip drops it")
                                    : std::string(ImageTypeName(output)) + " keeps none")
                  << ": the output shows as the input did.\n";
    }
    return true;
}

void SayModuleMayAnswer(const HostPaths& paths) {
    std::cout << "The module in " << paths.Directory << "/ had taken the picture and may still answer"
              << " here; the next run in this folder waits for it and removes its answer.\n";
}

// A stop ends the run as the shell would report the signal; a closed reader (SIGPIPE) gets no
// words, since nobody is left to read them.
int ExitForStop(const HostPaths& paths) {
    // Before our files go: the flag still in DIR is what says no module has the picture.
    const bool marked = LeaveStopMarker(paths);
    const std::string removed = RemoveOwnFiles(paths);
    if (gStopSignal != SIGPIPE) {
        std::cout << "\nStopped" << (removed.empty() ? "" : "; removed " + removed) << "\n";
        if (marked) SayModuleMayAnswer(paths);
    }
    std::cout << std::flush;
    return kExitSignalBase + gStopSignal;
}

// The one updating line of a wait on a terminal: who has the picture, and for how long.
class WaitingLine {
  public:
    explicit WaitingLine(const HostPaths& paths) : Paths(paths) {}
    void Show(double elapsed) {
        if (TakenAt < 0 && !Exists(Paths.Flag)) TakenAt = elapsed;
        if (TakenAt >= 0) {
            std::cout << "\rThe module in " << Paths.Directory << "/ is working ... "
                      << int(elapsed - TakenAt) << " s\033[K" << std::flush;
            return;
        }
        std::cout << "\rWaiting for a module to take the picture in " << Paths.Directory << "/ ... "
                  << int(elapsed) << " s\033[K";
        if (elapsed >= kHintSeconds && !Hinted) {
            std::cout << "\nNo module has taken the picture yet: start one in " << Paths.Directory << "/ (cd "
                      << Paths.Directory << " && MODULE)\n";
            Hinted = true;
        }
        std::cout << std::flush;
    }

  private:
    const HostPaths& Paths;
    double TakenAt = -1;
    bool Hinted = false;
};

bool AwaitFlag(const HostOptions& options, const HostPaths& paths, WaitOutcome& outcome) {
    std::cout << kWaitingLine << std::flush;
    WaitControl control;
    control.TimeoutSeconds = options.TimeoutSeconds;
    control.Stop = &gStopSignal;
    const bool terminal = isatty(STDOUT_FILENO) == 1;
    WaitingLine line(paths);
    if (terminal) {
        control.TickSeconds = kProgressSeconds;
        control.Tick = [&line](double elapsed) { line.Show(elapsed); };
    }
    outcome = WaitForFlagUntil(control);
    if (terminal && outcome != WaitOutcome::Stopped) std::cout << "\n";
    return outcome == WaitOutcome::FlagRaised;
}

// Only a module that took our flag can have answered: a flag here while ours is still in the
// exchange folder comes from somebody else, or from a run that was stopped.
bool CheckAnswerIsOurs(const HostPaths& paths) {
    if (!Exists(paths.Flag)) return true;
    const std::string removed = RemoveOwnFiles(paths);
    unlink(kFlagFileName);
    unlink(kDocumentFileName);
    std::cout << "An answer arrived while the picture still waited in " << paths.Directory
              << "/ for a module to take it, so no module can have written it; nothing saved"
              << (removed.empty() ? "" : "; removed " + removed) << ".\n";
    return false;
}

// Saves to the file OUT led to before the exchange, refusing if the name now leads elsewhere
// (anything that writes here while we wait could have planted a link).
int SaveResult(const HostOptions& options, const HostPaths& paths, const FCObjImage& image,
               const PictureMetadata& metadata) {
    std::string problem;
    const std::string now = OutputTarget(options.Output, problem);
    if (now != paths.Output) {
        std::cout << "Cannot write " << options.Output << ": it now leads to "
                  << (now.empty() ? problem : now) << ", not to " << paths.Output << "; nothing saved.\n";
        return kExitFailed;
    }
    const ImageType type = GetImageHandleFactory()->GetImageType(options.Output.c_str());
    const std::unique_ptr<FCImageHandleBase> codec = GetImageHandleFactory()->CreateImageHandle(type);
    // The quality is the lossy writers' own flag; every other writer takes its default.
    bool saved = codec != nullptr;
    if (saved) {
        codec->SaveList.push_back(&image);
        codec->SaveMetadata = &metadata;
        saved = codec->SaveFile(paths.Output.c_str(), TakesQuality(type) ? options.Quality : -1);
    }
    // A stop during the save has removed the temporary file; one after the rename finds it saved.
    if (!saved && gStopSignal != 0) return ExitForStop(paths);
    if (!saved) {
        std::cout << "Save " << options.Output << " failed.\n";
        return kExitFailed;
    }
    std::cout << "Save " << options.Output << std::flush;
    return kExitSaved;
}

int RunExchange(const HostOptions& options, const HostPaths& paths) {
    FCObjImage image;
    PictureMetadata metadata;
    LoadOptions loadOptions;
    if (options.MaxPixels != 0) loadOptions.PixelLimit = options.MaxPixels;
    if (!LoadPicture(options.Input, loadOptions, image, metadata) ||
        !CheckOutputSize(options.Output, image) || !PrepareMetadata(options, image, metadata))
        return kExitFailed;
    RemoveLeftovers("");
    RemoveLeftovers(paths.Directory + "/");
    SweepTemporaries(paths.Directory);
    // The wait's sleep ends at once and the run cleans up after itself; a closed terminal or
    // reader (SIGHUP, SIGPIPE) is a stop like any other.
    CatchStopSignals({SIGINT, SIGTERM, SIGHUP, SIGPIPE});
    gWroteExchangeFiles = true;
    const uint64_t sentLength =
        DocumentLength(uint32_t(image.InfoHeader.biWidth), uint32_t(image.InfoHeader.biHeight));
    if (!WriteOutgoingDocument(image, paths.Document)) {
        return gStopSignal != 0 ? ExitForStop(paths) : kExitFailed;
    }
    if (!RaiseFlag(paths.Flag, TemporaryOwner::Host)) {
        if (gStopSignal != 0) return ExitForStop(paths);
        unlink(paths.Document.c_str());
        std::cout << "Cannot raise " << paths.Flag << "\n";
        return kExitFailed;
    }
    gAwaitingAnswer = true;
    WaitOutcome outcome;
    if (!AwaitFlag(options, paths, outcome)) {
        if (outcome == WaitOutcome::Stopped) return ExitForStop(paths);
        const bool marked = LeaveStopMarker(paths);
        const std::string removed = RemoveOwnFiles(paths);
        std::cout << "No answer from the module in " << paths.Directory << "/ within "
                  << options.TimeoutSeconds << " s" << (removed.empty() ? "" : "; removed " + removed)
                  << "\n";
        if (marked) SayModuleMayAnswer(paths);
        return kExitFailed;
    }
    gAwaitingAnswer = false;
    if (!CheckAnswerIsOurs(paths)) return kExitFailed;
    unlink(kFlagFileName);
    // A flag without a document is how a module says it could not answer.
    const bool failureFlag = !Exists(kDocumentFileName);
    const bool answered = ReadAnswer(image, sentLength);
    if (gStopSignal != 0) return ExitForStop(paths);
    if (!answered) {
        if (failureFlag)
            std::cout << "\nThe module in " << paths.Directory << "/ could not answer; nothing saved.\n";
        std::cout << std::flush;
        return kExitFailed;
    }
    return SaveResult(options, paths, image, metadata);
}

int Run(const HostOptions& options) {
    // A write over the file size limit must fail with an error we report, not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
    HostPaths paths{options.Directory, options.Directory + "/" + kDocumentFileName,
                    options.Directory + "/" + kFlagFileName, std::string()};
    if (!CheckExchangeFolder(options.Directory) || !CheckOutput(options.Output, paths.Output))
        return kExitFailed;
    // Answers arrive in this folder: two hosts here would take each other's.
    if (!LockFolder(".")) {
        std::cout << "Another Corvane host is already running in this folder; wait for it to end.\n";
        return kExitFailed;
    }
    if (!SettleStoppedRun() || !CheckAnswerNames()) return kExitFailed;
    try {
        return RunExchange(options, paths);
    } catch (const std::bad_alloc&) {
        RemoveOwnFiles(paths);
        std::cout << "\n" << kOutOfMemoryLine;
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
            return kExitHelpShown;
        case CommandLineAction::Version:
            PrintVersion();
            return kExitHelpShown;
        case CommandLineAction::Usage:
            PrintUsageBanner();
            if (!problem.empty()) std::cout << "Error: " << problem << "\n";
            return kExitUsage;
        case CommandLineAction::Run:
            break;
    }
    return Run(options);
}
