// The host's words to its user. Progress and notes go to standard output unless --quiet; warnings
// and failures always do.
#include "HostMessages.h"

#include <cerrno>
#include <cstring>
#include <iostream>

#include "HostStatus.h"
#include "ImageHandle.h"
#include "ImageSize.h"
#include "PixelLimit.h"

void SayProgress(const HostRun& run, const std::string& line) {
    if (std::ostream* out = run.Progress()) *out << line << "\n";
}

size_t SayWarnings(const std::string& input, const std::vector<std::string>& phrases) {
    for (const std::string& phrase : phrases) {
        const std::string line = kWarningStart + input + " " + phrase;
        WriteStatus(status::kWarning, line);
        std::cout << line << "\n";
    }
    return phrases.size();
}

void ReportMissingInput(const std::string& input, int error) {
    std::cout << "can't load " << input << ", please put " << input
              << " in same folder to the executable binary.\n";
    std::cout << "Cannot open " << input << ": "
              << (error == ENOENT   ? "it does not exist"
                  : error == EACCES ? "permission denied"
                                    : std::strerror(error))
              << ".\n"
              << std::flush;
}

std::string SaveFailure(int error) {
    if (error == 0) return "the writer could not encode the picture";
    if (error == ENOSPC) return "no space left on the device";
    if (error == EFBIG) return "the file would be larger than this process may write";
    if (error == EACCES || error == EPERM) return "permission denied";
    std::string reason = std::strerror(error);
    // As the other reasons read, in the middle of a line.
    if (!reason.empty() && reason[0] >= 'A' && reason[0] <= 'Z') reason[0] = char(reason[0] - 'A' + 'a');
    return reason;
}

// The options that made a pixel take more than its 3 bytes.
std::string FormOptions(const LoadOptions& options) {
    const bool alpha = options.HeldPixelBytes % 4 == 0;
    const bool deep = options.HeldPixelBytes > 4;
    return alpha && deep ? "--alpha --depth 16" : alpha ? "--alpha" : "--depth 16";
}

void ReportRefusal(const std::string& input, const LoadResult& result, const LoadOptions& options) {
    std::cout << "Read " << input << " failed";
    switch (result.Status) {
        case LoadStatus::OverPixelLimit:
            std::cout << ": " << result.Width << " x " << result.Height
                      << " pixels is more than the limit of " << options.PixelLimit
                      << "; raise it with --max-pixels";
            break;
        case LoadStatus::OverImageLimit:
            std::cout << ": a picture of " << result.Width << " x " << result.Height
                      << " pixels cannot be held, whatever --max-pixels says: ";
            if (!WithinHeldLimit(int64_t(result.Width), int64_t(result.Height), options.HeldPixelBytes)) {
                std::cout << "at " << options.HeldPixelBytes << " bytes a pixel (" << FormOptions(options)
                          << ") its samples must fit in " << kMaxHeldSampleBytes
                          << " bytes, and this shape needs more";
            } else {
                std::cout << "its pixels and a pointer per row must fit in " << kMaxImageBytes
                          << " bytes, and this shape needs more";
            }
            break;
        case LoadStatus::OverFrameLimit: {
            std::cout << ": " << result.Frames << " frames of " << result.Width << " x " << result.Height
                      << " pixels";
            const uint64_t most = options.FramesPixelLimit();
            if (result.Frames > kMaxFrames) {
                std::cout << " are more than the " << kMaxFrames << " frames a picture may have";
            } else if (result.Frames * result.Width * result.Height > most) {
                std::cout << " are more than all frames together may hold (" << most << " pixels, "
                          << kFramesPerPixelLimit << " x --max-pixels); raise it with --max-pixels";
            } else {
                std::cout << " cannot be held, whatever --max-pixels says: at " << options.HeldPixelBytes
                          << " bytes a pixel their samples must fit in " << kMaxHeldSampleBytes << " bytes";
            }
            break;
        }
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
    const char* format = result.Format != nullptr
                             ? result.Format
                             : ImageTypeName(GetImageHandleFactory()->GetImageType(input.c_str()));
    const std::string reason = result.Detail.empty() ? std::string() : " (" + result.Detail + ")";
    if (result.Status == LoadStatus::UnknownType) {
        std::cout << "The extension of " << input
                  << " names no format that is read; formats read: " << ReadFormatNames() << ".\n";
    } else if (result.Status == LoadStatus::Damaged) {
        std::cout << input << " is damaged or not a " << format << " file" << reason << ".\n";
    } else if (result.Status == LoadStatus::Unsupported) {
        std::cout << input << " is a kind of " << format << " that is not read" << reason << ".\n";
    }
}

std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : " and ") + name;
    return text;
}
