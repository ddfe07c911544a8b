// The host driver: one picture through one module. The module is started by the user in the
// exchange folder; host and module meet only through "image.xml" and "go.flag". Everything that
// can be refused is refused before the exchange folder is touched.
#include "HostDriver.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "ColourToSrgb.h"
#include "Exchange.h"
#include "ExchangeFiles.h"
#include "ExchangeWait.h"
#include "HostDocument.h"
#include "HostMessages.h"
#include "HostOptions.h"
#include "HostStatus.h"
#include "ImageHandle.h"
#include "MetadataOutput.h"
#include "Orientation.h"
#include "OutputTarget.h"
#include "PictureWarnings.h"
#include "RegularFile.h"
#include "StaleRuns.h"
#include "StopSignals.h"

namespace {

constexpr double kProgressSeconds = 1;
// How long a wait goes on before the host says how to start a module.
constexpr double kHintSeconds = 10;

// The picture a run holds from load to save: the 24-bit image of a version 1 run, or, for a run
// with --alpha or --depth 16 and for a grey picture under --grey, its samples in the document's
// own form.
struct HeldPicture {
    Picture Pixels;
    PictureMetadata Metadata;
    bool Transparent = false;  // the input had transparency
    uint32_t SourceBits = 8;   // of the input's samples
};

bool HeldGrey(const Picture& picture) {
    return !picture.View().Layout.Colour();
}

// The input is opened once and read through that descriptor: a name checked and then opened
// again could meanwhile stand for a FIFO that hangs the read. Counts the warnings said.
bool LoadPicture(const HostRun& run, HeldPicture& picture, size_t& warnings) {
    const std::string& input = run.Options.Input;
    uint64_t size = 0;
    bool notRegular = false;
    const int descriptor = OpenRegularFile(input.c_str(), LinkPolicy::Follow, size, &notRegular);
    if (descriptor < 0 && !notRegular) {
        ReportMissingInput(input, errno);
        return false;
    }
    SayProgress(run, "Read " + input);
    LoadOptions options;
    if (run.Options.MaxPixels != 0) options.PixelLimit = run.Options.MaxPixels;
    // A version 2 run hears of the picture's transparency whatever its form: what the form leaves
    // out is said of the output, after the answer.
    options.KeepAlpha = run.VersionTwo();
    if (run.VersionTwo()) options.HeldPixelBytes = run.Channels() * (run.MaxValue() > 255 ? 2 : 1);
    options.AllFrames = run.Options.AllFrames;
    options.KeepGrey = run.Options.Grey;
    options.ColourToSrgb = run.Options.ColourToSrgb;
    LoadResult result;
    result.Status = LoadStatus::NotRegularFile;
    if (descriptor >= 0) {
        result = LoadPictureFrames(descriptor, size, input.c_str(), picture.Pixels, &picture.Metadata,
                                   options, run.VersionTwo() ? run.Channels() : 0, run.MaxValue());
    }
    if (descriptor >= 0) close(descriptor);
    if (!result.Ok()) {
        ReportRefusal(input, result, options);
        return false;
    }
    picture.Transparent = result.Transparent;
    picture.SourceBits = result.SourceBits;
    if (result.IncompleteRows > 0)
        result.Warnings.insert(result.Warnings.begin(),
                               warning::EndsEarly(result.IncompleteRows, picture.Pixels.Height()));
    warnings += SayWarnings(input, result.Warnings);
    // Every frame goes to the module; an output that holds one says so before the exchange, so
    // that --strict refuses the run before any work is done.
    const ImageType output = GetImageHandleFactory()->GetImageType(run.Options.Output.c_str());
    if (picture.Pixels.FrameCount() > 1 && (ItemsKept(output) & ItemFrames) == 0)
        warnings += SayWarnings(run.Options.Output, {warning::kFramesNotWritten});
    // A grey picture is held in the document's form from the start, whatever the version, and so
    // are the pages of one whose grey first page is followed by colour.
    if (run.VersionTwo() || picture.Pixels.First().Samples.IsValid()) return true;
    FCObjImage& image = picture.Pixels.First().Image;
    // Frames come from readers that hold them at 24 bits already.
    image.ConvertTo24();
    // A picture too large to hold at 24 bits stays as it was: its document would carry no pixels.
    if (image.InfoHeader.biBitCount != 24) {
        std::cout << "Read " << input << " failed: too large at 24 bits per pixel.\n";
        return false;
    }
    return true;
}

// --colour srgb: every frame in sRGB before the module sees it, in the form the run holds it.
void ConvertColours(const HostRun& run, HeldPicture& picture, size_t& warnings) {
    if (run.Options.ColourToSrgb)
        warnings += SayWarnings(run.Options.Input, ConvertPictureToSrgb(picture.Pixels, picture.Metadata));
}

// What goes beside the pixels is settled before the exchange, so that its warnings follow the
// load's. The picture is turned first when --auto-orient asks, so the module sees it as a viewer
// shows it, and when the output cannot carry the orientation, so the output shows as the input did.
bool PrepareMetadata(const HostRun& run, HeldPicture& picture, size_t& warnings) {
    const HostOptions& options = run.Options;
    PictureMetadata& metadata = picture.Metadata;
    const ImageType output = GetImageHandleFactory()->GetImageType(options.Output.c_str());
    const bool mustTurn = !OrientationReachesOutput(metadata, output, options.Strip);
    const uint16_t orientation = metadata.Orientation;
    if (options.AutoOrient || mustTurn) {
        if (!picture.Pixels.Turn(orientation)) {
            std::cout << "Read " << options.Input << " failed: out of memory.\n";
            return false;
        }
        MarkMetadataTurned(metadata);
    }
    const bool greyOutput = HeldGrey(picture.Pixels) && (ItemsKept(output) & ItemGrey) != 0;
    warnings += SayWarnings(options.Input, SettleMetadataForOutput(metadata, picture.Pixels.HasResolution(),
                                                                   output, options.Strip, greyOutput));
    // A note, not a warning: nothing is lost. It follows the warnings, which stay right after the
    // Read line.
    if (mustTurn && !options.AutoOrient) {
        SayProgress(run, "Turned " + options.Input + " as its orientation (" + std::to_string(orientation) +
                             ") says, since " +
                             (options.Strip ? std::string("--strip drops it")
                                            : std::string(ImageTypeName(output)) + " keeps none") +
                             ": the output shows as the input did.");
    }
    return true;
}

bool RefusedByStrict(const HostRun& run, const std::string& name, size_t warnings) {
    if (!run.Options.Strict || warnings == 0) return false;
    std::cout << "Not saved: --strict, and " << name
              << (warnings == 1 ? " has the warning above" : " has the warnings above") << ".\n";
    return true;
}

// A stop ends the run as the shell would report the signal; a closed reader (SIGPIPE) gets no
// words, since nobody is left to read them.
int ExitForStop(const HostRun& run) {
    // Before our files go: the flag still in DIR is what says no module has the picture.
    const bool marked = LeaveStopMarker(run);
    const std::string removed = RemoveOwnFiles(run);
    if (gStopSignal != SIGPIPE) {
        std::cout << "\nStopped" << (removed.empty() ? "" : "; removed " + removed) << "\n";
        if (marked) SayModuleMayAnswer(run);
    }
    std::cout << std::flush;
    return kExitSignalBase + gStopSignal;
}

// The folder as a POSIX shell takes it from a pasted line: a plain name as it stands, any other
// in single quotes, and one that starts with a dash after "./" so that cd takes it for no option.
std::string ShellWord(const std::string& name) {
    const std::string word = name[0] == '-' ? "./" + name : name;
    const bool plain = word.find_first_not_of(
                           "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                           "0123456789_-./+,:@%") == std::string::npos;
    if (plain) return word;
    std::string quoted = "'";
    for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// While no module has taken the picture, a hint how to start one: on a terminal it joins the
// updating line; otherwise it goes once to standard error, since standard output may be a log
// nobody reads while the host waits.
class WaitingLine {
  public:
    WaitingLine(const HostRun& run, bool terminal) : Run(run), Terminal(terminal) {}
    void Show(double elapsed) {
        if (TakenAt < 0 && !NameTaken(Run.Flag)) TakenAt = elapsed;
        const std::string folder = Run.Directory() + "/";
        const bool showLine = Terminal && !Run.Options.Quiet;
        if (TakenAt >= 0) {
            if (showLine)
                std::cout << "\rThe module in " << folder << " is working ... " << int(elapsed - TakenAt)
                          << " s\033[K" << std::flush;
            return;
        }
        if (showLine)
            std::cout << "\rWaiting for a module to take the picture in " << folder << " ... " << int(elapsed)
                      << " s\033[K";
        if (elapsed >= kHintSeconds && !Hinted) {
            const std::string hint = "No module has taken the picture yet: start one in " + folder + " (cd " +
                                     ShellWord(Run.Directory()) + " && MODULE)";
            WriteStatus(status::kHint, hint);
            if (Terminal) {
                std::cout << "\n" << hint << "\n";
            } else {
                std::cerr << hint << "\n" << std::flush;
            }
            Hinted = true;
        }
        std::cout << std::flush;
    }

  private:
    const HostRun& Run;
    bool Terminal;
    double TakenAt = -1;
    bool Hinted = false;
};

bool AwaitFlag(const HostRun& run, WaitOutcome& outcome) {
    if (std::ostream* progress = run.Progress()) *progress << kWaitingLine << std::flush;
    WaitControl control;
    control.TimeoutSeconds = run.Options.TimeoutSeconds;
    control.Stop = &gStopSignal;
    const bool terminal = isatty(STDOUT_FILENO) == 1;
    WaitingLine line(run, terminal);
    control.TickSeconds = kProgressSeconds;
    control.Tick = [&line](double elapsed) { line.Show(elapsed); };
    outcome = WaitForFlagUntil(control);
    if (terminal && !run.Options.Quiet && outcome != WaitOutcome::Stopped) std::cout << "\n";
    return outcome == WaitOutcome::FlagRaised;
}

// Only a module that took our flag can have answered: a flag here while ours is still in the
// exchange folder comes from somebody else, or from a run that was stopped.
bool CheckAnswerIsOurs(const HostRun& run) {
    if (!NameTaken(run.Flag)) return true;
    const std::string removed = RemoveOwnFiles(run);
    unlink(kFlagFileName);
    unlink(kDocumentFileName);
    std::cout << "An answer arrived while the picture still waited in " << run.Directory()
              << "/ for a module to take it, so no module can have written it; nothing saved"
              << (removed.empty() ? "" : "; removed " + removed) << ".\n";
    return false;
}

// What of the answer's transparency and depth the output keeps: alpha goes out where the format
// holds it and the input had it or the answer made a pixel transparent. What the format cannot hold,
// and what the run's form did not send to the module, is said in one line each, after the answer:
// a version 2 run says nothing of it at load time.
size_t SettleSamplesForOutput(const HostRun& run, HeldPicture& picture) {
    const FCSampleImage& samples = picture.Pixels.First().Samples;
    const uint32_t keeps = ItemsKept(GetImageHandleFactory()->GetImageType(run.Options.Output.c_str()));
    // The output's own limit names the loss first: --alpha or --depth 16 would not have kept it.
    std::vector<std::string> phrases;
    const bool keepsAlpha = (keeps & ItemTransparency) != 0;
    const bool alpha = ViewOf(samples).Layout.HasAlpha();
    if (!alpha && picture.Transparent)
        phrases.push_back(keepsAlpha ? warning::kTransparencyNotSent : warning::kTransparencyNotWritten);
    if (alpha) {
        bool transparent = false;
        for (const std::unique_ptr<PictureFrame>& frame : picture.Pixels.Frames)
            transparent = transparent || HasTransparentSample(frame->Samples);
        if (transparent && !keepsAlpha) phrases.push_back(warning::kTransparencyNotWritten);
        // Opaque all over and opaque from the start: the output stays colour alone. Leaving alpha
        // out takes no memory of its own.
        if (!keepsAlpha || (!transparent && !picture.Transparent)) {
            for (const std::unique_ptr<PictureFrame>& frame : picture.Pixels.Frames)
                ConvertSamples(frame->Samples, frame->Samples.Channels - 1, frame->Samples.MaxValue);
        }
    }
    if ((samples.MaxValue > 255 || picture.SourceBits > 8) && (keeps & ItemDeepSamples) == 0)
        phrases.push_back(warning::kDeepSamplesNotWritten);
    else if (samples.MaxValue <= 255 && picture.SourceBits > 8)
        phrases.push_back(warning::DeepSamplesNotSent(picture.SourceBits));
    return SayWarnings(run.Options.Output, phrases);
}

// Saves to the file OUT led to before the exchange, refusing if the name now leads elsewhere.
int SaveResult(const HostRun& run, HeldPicture& picture) {
    const HostOptions& options = run.Options;
    // A grey picture of a version 1 run had its losses said at load, as the 24-bit image has.
    if (run.VersionTwo() && RefusedByStrict(run, options.Output, SettleSamplesForOutput(run, picture)))
        return kExitFailed;
    if (!OutputStillLeadsTo(options.Output, run.Output)) return kExitFailed;
    const ImageType type = GetImageHandleFactory()->GetImageType(options.Output.c_str());
    // The quality is the lossy writers' own flag; every other writer takes its default.
    const int32_t flag = TakesQuality(type) ? options.Quality : -1;
    int error = 0;
    const bool saved =
        SavePictureFrames(picture.Pixels, type, run.Output.c_str(), flag, &picture.Metadata, &error);
    // A stop during the save has removed the temporary file; one after the rename finds it saved.
    if (!saved && gStopSignal != 0) return ExitForStop(run);
    if (!saved) {
        std::cout << "Save " << options.Output << " failed: " << SaveFailure(error) << ".\n";
        return kExitFailed;
    }
    if (std::ostream* progress = run.Progress()) *progress << "Save " << options.Output << std::flush;
    return kExitSaved;
}

// The answer, once our flag was taken and a flag came back.
int TakeAnswer(const HostRun& run, HeldPicture& picture) {
    if (!CheckAnswerIsOurs(run)) return kExitFailed;
    unlink(kFlagFileName);
    // A flag without a document is how a module says it could not answer: there is nothing to read.
    if (!NameTaken(kDocumentFileName)) {
        WriteStatus(status::kModule, status::kNoAnswer);
        std::cout << "The module in " << run.Directory() << "/ could not answer; nothing saved.\n"
                  << std::flush;
        return kExitFailed;
    }
    const ImageType output = GetImageHandleFactory()->GetImageType(run.Options.Output.c_str());
    AnswerBounds bounds;
    bounds.MaxPixels = run.Options.MaxPixels != 0 ? run.Options.MaxPixels : kDefaultPixelLimit;
    bounds.MaxSide = MaxSavedSide(output);
    bounds.OutputName = ImageTypeName(output);
    const int32_t sentWidth = picture.Pixels.Width(), sentHeight = picture.Pixels.Height();
    const bool answered = ReadAnswer(picture.Pixels, bounds, run.Progress());
    if (gStopSignal != 0) return ExitForStop(run);
    if (!answered) {
        // The reader's refusal ends without a line end; the host's output ends with one.
        std::cout << "\n" << std::flush;
        return kExitFailed;
    }
    // The EXIF says the size that is saved; an answer at the size it was sent leaves it alone.
    if (picture.Pixels.Width() != sentWidth || picture.Pixels.Height() != sentHeight)
        MarkMetadataResized(picture.Metadata, uint32_t(picture.Pixels.Width()),
                            uint32_t(picture.Pixels.Height()));
    return SaveResult(run, picture);
}

// An output of grey alone (PGM) takes a grey picture, which only --grey keeps grey.
bool CheckOutputTakesColour(const HostRun& run, const Picture& picture) {
    const ImageType output = GetImageHandleFactory()->GetImageType(run.Options.Output.c_str());
    const LayoutList takes = WrittenLayouts(output);
    for (size_t i = 0; i < takes.Count; ++i) {
        if (takes.Items[i].Colour()) return true;
    }
    if (HeldGrey(picture)) return true;
    std::cout << "Cannot write " << run.Options.Output << ": a ."
              << GetFileExtension(run.Options.Output.c_str()) << " file holds grey pictures only"
              << (run.Options.Grey ? ", and " + run.Options.Input + " is colour"
                                   : "; a grey picture stays grey with --grey")
              << "\n";
    return false;
}

int RunExchange(HostRun& run) {
    HeldPicture picture;
    size_t warnings = 0;
    if (!LoadPicture(run, picture, warnings) || !CheckOutputTakesColour(run, picture.Pixels) ||
        !CheckOutputSize(run.Options.Output, picture.Pixels.Width(), picture.Pixels.Height()))
        return kExitFailed;
    ConvertColours(run, picture, warnings);
    if (!PrepareMetadata(run, picture, warnings) || RefusedByStrict(run, run.Options.Input, warnings))
        return kExitFailed;
    RemoveLeftovers(run);
    // The wait's sleep ends at once and the run cleans up after itself; a closed terminal or
    // reader (SIGHUP, SIGPIPE) is a stop like any other.
    CatchStopSignals({SIGINT, SIGTERM, SIGHUP, SIGPIPE});
    run.WroteExchangeFiles = true;
    const bool written = WriteOutgoingDocument(picture.Pixels, run.Document, run.Progress());
    if (!written) return gStopSignal != 0 ? ExitForStop(run) : kExitFailed;
    if (!RaiseFlag(run.Flag, TemporaryOwner::Host, run.Progress())) {
        if (gStopSignal != 0) return ExitForStop(run);
        unlink(run.Document.c_str());
        std::cout << "Cannot raise " << run.Flag << "\n";
        return kExitFailed;
    }
    run.AwaitingAnswer = true;
    WaitOutcome outcome;
    if (!AwaitFlag(run, outcome)) {
        if (outcome == WaitOutcome::Stopped) return ExitForStop(run);
        const bool marked = LeaveStopMarker(run);
        const std::string removed = RemoveOwnFiles(run);
        std::cout << "No answer from the module in " << run.Directory() << "/ within "
                  << run.Options.TimeoutSeconds << " s" << (removed.empty() ? "" : "; removed " + removed)
                  << "\n";
        if (marked) SayModuleMayAnswer(run);
        return kExitFailed;
    }
    run.AwaitingAnswer = false;
    return TakeAnswer(run, picture);
}

int Run(const HostOptions& options) {
    // A write over the file size limit must fail with an error we report, not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
    HostRun run;
    run.Options = options;
    run.Document = options.Directory + "/" + kDocumentFileName;
    run.Flag = options.Directory + "/" + kFlagFileName;
    if (!CheckExchangeFolder(options.Directory) || !CheckOutput(options.Output, run.Output))
        return kExitFailed;
    // Answers arrive in this folder: two hosts here would take each other's.
    if (!LockFolder(".")) {
        std::cout << "Another Corvane host is already running in this folder; wait for it to end.\n";
        return kExitFailed;
    }
    if (!SettleStoppedRun(run) || !CheckAnswerNames()) return kExitFailed;
    try {
        return RunExchange(run);
    } catch (const std::bad_alloc&) {
        RemoveOwnFiles(run);
        std::cout << "\n" << kOutOfMemoryLine;
        return kExitFailed;
    }
}

}  // namespace

int RunHost(int argc, const char* const* argv) {
    HostOptions options;
    std::string problem;
    const CommandLineAction action = ParseCommandLine(argc, argv, options, problem);
    OpenStatus(options.StatusFd);
    switch (action) {
        case CommandLineAction::Help:
            PrintUsageBanner();
            return CloseStatus(kExitHelpShown, false);
        case CommandLineAction::Version:
            PrintVersion();
            return CloseStatus(kExitHelpShown, false);
        case CommandLineAction::Usage:
            PrintUsageBanner();
            if (!problem.empty()) std::cout << "Error: " << problem << "\n";
            return CloseStatus(kExitUsage, false);
        case CommandLineAction::Run:
            break;
    }
    WriteStatus(status::kOutput, options.Output);
    return CloseStatus(Run(options), true);
}
