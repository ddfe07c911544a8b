// The host program run for real: with the shipped modules, with a module in another language,
// and with this test playing the module to check the documents byte for byte.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "MagickDecode.h"
#include "ProcessRunner.h"
#include "RowNames.h"
#include "TestPictures.h"

namespace {

const std::string kHost = CORVANE_HOST;
const std::string kTemplate = CORVANE_TEMPLATE;
const std::string kAmbrel = CORVANE_AMBREL;
const std::string kInvertPy = CORVANE_EXAMPLES "/invert.py";
const std::string kData = CORVANE_TEST_DATA;

constexpr char kHead1x1[] =
    "<image><header><version>1</version><width>1</width><height>1</height></header><pixels>";
constexpr char kTail[] = "</pixels></image>";

// No symmetry, odd width (row padding) and the bytes 0x00, 0x0A, 0x0D among the values.
Picture MakePicture(int32_t width, int32_t height) {
    Picture picture{width, height, {}};
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            picture.Pixels.push_back(
                {uint8_t(x * 37 + y * 11), uint8_t(y * 53 + x * 3 + 10), uint8_t((x * y * 13) ^ 0x0D)});
        }
    }
    return picture;
}

Picture HalfTurn(const Picture& in) {
    Picture out = in;
    for (size_t k = 0; k < in.Pixels.size(); ++k) out.Pixels[k] = in.Pixels[in.Pixels.size() - 1 - k];
    return out;
}

Picture MirrorBlend(const Picture& in) {
    Picture out = in;
    for (int32_t y = 0; y < in.Height; ++y) {
        for (int32_t x = 0; x < in.Width; ++x) {
            const Rgb a = in.At(x, y);
            const Rgb b = in.At(in.Width - 1 - x, y);
            out.Pixels[size_t(y) * size_t(in.Width) + size_t(x)] = {uint8_t((a.Red + b.Red) / 2),
                                                                    uint8_t((a.Green + b.Green) / 2),
                                                                    uint8_t((a.Blue + b.Blue) / 2)};
        }
    }
    return out;
}

Picture Negative(const Picture& in) {
    Picture out = in;
    for (Rgb& p : out.Pixels) p = {uint8_t(255 - p.Red), uint8_t(255 - p.Green), uint8_t(255 - p.Blue)};
    return out;
}

std::string Document(uint32_t width, uint32_t height, const std::string& payload) {
    return "<image><header><version>1</version><width>" + std::to_string(width) + "</width><height>" +
           std::to_string(height) + "</height></header><pixels>" + payload + kTail;
}

// The width in the frame header, or 0: enough to know the host wrote this picture as a JPEG.
int JpegWidth(const std::string& file) {
    for (size_t at = 2; at + 9 <= file.size() && uint8_t(file[at]) == 0xFF;) {
        const uint8_t marker = uint8_t(file[at + 1]);
        if (marker >= 0xC0 && marker <= 0xC2) return uint8_t(file[at + 7]) << 8 | uint8_t(file[at + 8]);
        at += 2 + (size_t(uint8_t(file[at + 2])) << 8 | uint8_t(file[at + 3]));
    }
    return 0;
}

// TIFF with IFD0 holding one entry, the Orientation.
std::string OrientationExif(uint16_t orientation) {
    return std::string("II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0", 18) + char(orientation) +
           std::string(7, '\0');
}

// The chunk put right after the header chunk, which always takes the first 33 bytes.
std::string WithPngChunk(std::string png, const std::string& typeAndData) {
    std::string chunk;
    const uint32_t length = uint32_t(typeAndData.size() - 4);
    const uint32_t crc =
        uint32_t(crc32(0, reinterpret_cast<const Bytef*>(typeAndData.data()), uInt(typeAndData.size())));
    for (int i = 3; i >= 0; --i) chunk += char(length >> (8 * i));
    chunk += typeAndData;
    for (int i = 3; i >= 0; --i) chunk += char(crc >> (8 * i));
    return png.insert(33, chunk);
}

// The value of the first entry of IFD0 (the Orientation, where there is one) of the first eXIf chunk
// of a PNG file, in either byte order, or -1 without one.
int PngExifOrientation(const std::string& png) {
    const size_t at = png.find("eXIf") + 4;
    if (at == std::string::npos + 4 || at + 8 > png.size()) return -1;
    const bool big = png.compare(at, 2, "MM") == 0;
    size_t ifd0 = 0;
    for (size_t i = 0; i < 4; ++i) ifd0 |= size_t(uint8_t(png[at + 4 + (big ? i : 3 - i)])) << (24 - 8 * i);
    const size_t value = at + ifd0 + 10 + (big ? 1 : 0);
    return value < png.size() ? uint8_t(png[value]) : -1;
}

// Where a viewer shows each stored pixel, for the eight EXIF orientations.
Picture AsShown(const Picture& stored, uint16_t orientation) {
    const int32_t w = stored.Width, h = stored.Height;
    const bool quarter = orientation >= 5;
    Picture shown{quarter ? h : w, quarter ? w : h, stored.Pixels};
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            const std::pair<int32_t, int32_t> to[] = {
                {x, y}, {w - 1 - x, y}, {w - 1 - x, h - 1 - y}, {x, h - 1 - y},
                {y, x}, {h - 1 - y, x}, {h - 1 - y, w - 1 - x}, {y, w - 1 - x}};
            const auto [sx, sy] = to[orientation - 1];
            shown.Pixels[size_t(sy) * size_t(shown.Width) + size_t(sx)] = stored.At(x, y);
        }
    }
    return shown;
}

class HostRun : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(Dir.Path().empty());
        ASSERT_EQ(0, std::system(("mkdir " + ExchangeDir()).c_str()));
    }
    std::string ExchangeDir() const { return Dir / "mod"; }

    // Starts the host, lets `module` answer once the host's flag is up, and waits for both.
    ProcessResult Exchange(const std::string& input, const std::string& output,
                           const std::function<void()>& module) {
        ChildProcess host;
        std::vector<std::string> argv{kHost};
        argv.insert(argv.end(), Options.begin(), Options.end());
        argv.insert(argv.end(), {"mod", input, output});
        EXPECT_TRUE(host.Start(argv, Dir.Path()));
        if (WaitForPath(ExchangeDir() + "/go.flag", 10)) module();
        return host.Wait(20);
    }

    // The real module program, started in the exchange folder.
    ProcessResult ExchangeWith(const std::vector<std::string>& moduleArgv, const std::string& input,
                               const std::string& output) {
        return Exchange(input, output, [&] { ModuleResult = RunProcess(moduleArgv, ExchangeDir(), 20); });
    }

    // This test as the module: hands the host's document to `answer` and returns its reply.
    ProcessResult ExchangeAnswering(const std::string& input, const std::string& output,
                                    const std::function<std::string(const std::string&)>& answer) {
        return Exchange(input, output, [&] {
            std::remove((ExchangeDir() + "/go.flag").c_str());
            Sent = ReadFileBytes(ExchangeDir() + "/image.xml");
            std::remove((ExchangeDir() + "/image.xml").c_str());
            WriteFileBytes(Dir / "image.xml", answer(Sent));
            WriteFileBytes(Dir / "go.flag", "finished");
        });
    }

    void ExpectNothingLeftBehind() {
        for (const char* name : {"go.flag", "image.xml"}) {
            EXPECT_FALSE(PathExists(Dir / name)) << name;
            EXPECT_FALSE(PathExists(ExchangeDir() + "/" + name)) << "mod/" << name;
        }
    }

    ScratchDir Dir;
    std::vector<std::string> Options;  // given to the host before the three names
    ProcessResult ModuleResult;
    std::string Sent;
};

// What each wrong line says is the parser's (HostCommandLineTest); this run shows it wired up.
TEST_F(HostRun, WrongCommandLinesPrintTheBannerAndTouchNothing) {
    ProcessResult run = RunProcess({kHost, "--bogus", "1", "mod", "in.bmp", "out.bmp"}, Dir.Path());
    EXPECT_EQ(2, run.ExitCode) << run.Output;
    EXPECT_EQ(0u, run.Output.find("\nCorvane version 1.1\n\n"));
    EXPECT_NE(std::string::npos, run.Output.find("Syntax: corvane [dir] [input.bmp] [output.bmp]\n"));
    EXPECT_NE(std::string::npos, run.Output.find("Error: unknown option --bogus\n")) << run.Output;
    EXPECT_FALSE(PathExists(ExchangeDir() + "/image.xml"));

    for (const char* help : {"--help", "-h"}) {
        ProcessResult shown = RunProcess({kHost, help}, Dir.Path());
        EXPECT_EQ(0, shown.ExitCode);
        EXPECT_NE(std::string::npos, shown.Output.find("Syntax: corvane"));
    }
    ProcessResult version = RunProcess({kHost, "--version"}, Dir.Path());
    EXPECT_EQ(0, version.ExitCode);
    EXPECT_EQ("Corvane version 1.1\n", version.Output);
}

TEST_F(HostRun, OptionsInEitherFormAndDashDashStillRunTheExchange) {
    Picture picture = MakePicture(3, 2);
    ASSERT_TRUE(SavePicture(picture, Dir / "in.bmp"));
    ChildProcess host;
    ASSERT_TRUE(host.Start({kHost, "--timeout=20", "--max-pixels", "6", "--", "mod", "in.bmp", "out.bmp"},
                           Dir.Path()));
    ASSERT_TRUE(WaitForPath(ExchangeDir() + "/go.flag", 10));
    ModuleResult = RunProcess({kTemplate}, ExchangeDir());
    EXPECT_EQ(0, host.Wait(20).ExitCode);
    Picture back;
    ASSERT_TRUE(LoadPicture(Dir / "out.bmp", back));
    EXPECT_EQ(HalfTurn(picture).Pixels, back.Pixels);
}

// The quality reaches the JPEG writer: a lower quality gives a smaller file of the same picture.
TEST_F(HostRun, QualityChoosesTheJpegQuality) {
    ASSERT_TRUE(SavePicture(MakePicture(64, 48), Dir / "in.bmp"));
    long bytes[2] = {};
    for (int i = 0; i < 2; ++i) {
        const std::string quality = i == 0 ? "20" : "--quality=95";
        ChildProcess host;
        ASSERT_TRUE(host.Start(
            i == 0 ? std::vector<std::string>{kHost, "--quality", quality, "mod", "in.bmp", "out.jpg"}
                   : std::vector<std::string>{kHost, quality, "mod", "in.bmp", "out.jpg"},
            Dir.Path()));
        ASSERT_TRUE(WaitForPath(ExchangeDir() + "/go.flag", 10));
        ModuleResult = RunProcess({kTemplate}, ExchangeDir());
        EXPECT_EQ(0, host.Wait(20).ExitCode);
        const std::string jpeg = ReadFileBytes(Dir / "out.jpg");
        EXPECT_EQ(64, JpegWidth(jpeg));
        bytes[i] = long(jpeg.size());
    }
    EXPECT_LT(bytes[0], bytes[1]);
}

// The quality reaches the WebP writer: at the top quality the file is lossless (VP8L).
TEST_F(HostRun, QualityHundredWritesLosslessWebp) {
    const Picture picture = MakePicture(9, 7);
    ASSERT_TRUE(SavePicture(picture, Dir / "in.bmp"));
    ChildProcess host;
    ASSERT_TRUE(host.Start({kHost, "--quality", "100", "mod", "in.bmp", "out.webp"}, Dir.Path()));
    ASSERT_TRUE(WaitForPath(ExchangeDir() + "/go.flag", 10));
    ModuleResult = RunProcess({kTemplate}, ExchangeDir());
    EXPECT_EQ(0, host.Wait(20).ExitCode);
    EXPECT_EQ("VP8L", ReadFileBytes(Dir / "out.webp").substr(12, 4));
}

TEST_F(HostRun, WebpOutputBeyondItsLargestSideIsRefusedBeforeTheExchange) {
    ASSERT_TRUE(SavePicture(MakePicture(16384, 1), Dir / "wide.bmp"));
    ProcessResult run = RunProcess({kHost, "mod", "wide.bmp", "out.webp"}, Dir.Path());
    EXPECT_EQ(1, run.ExitCode);
    EXPECT_EQ("Read wide.bmp\nCannot write out.webp: WebP holds at most 16383 x 16383 pixels\n", run.Output);
    EXPECT_FALSE(PathExists(ExchangeDir() + "/go.flag"));
}

TEST_F(HostRun, MissingInputTouchesNothingInTheExchangeFolder) {
    WriteFileBytes(ExchangeDir() + "/image.xml", "old content");
    ProcessResult run = RunProcess({kHost, "mod", "nothere.bmp", "out.bmp"}, Dir.Path());
    EXPECT_EQ(1, run.ExitCode);
    EXPECT_EQ(
        "can't load nothere.bmp, please put nothere.bmp in same folder to the executable binary.\n"
        "Cannot open nothere.bmp: it does not exist.\n",
        run.Output);
    EXPECT_EQ("old content", ReadFileBytes(ExchangeDir() + "/image.xml"));
    EXPECT_FALSE(PathExists(ExchangeDir() + "/go.flag"));
}

TEST_F(HostRun, UnreadableInputsAreReportedWithoutAFlag) {
    ASSERT_TRUE(SavePicture(MakePicture(2, 2), Dir / "in.tga"));
    WriteFileBytes(Dir / "in.png", ReadFileBytes(Dir / "in.tga"));
    WriteFileBytes(Dir / "broken.bmp", "BM not really");
    WriteFileBytes(Dir / "in.xyz", ReadFileBytes(Dir / "in.tga"));
    WriteFileBytes(Dir / "in", ReadFileBytes(Dir / "in.tga"));
    WriteFileBytes(Dir / "garbage", "not a picture at all");
    WriteFileBytes(Dir / "cut", ReadFileBytes(kData + "/png/pngsuite/basn2c08.png").substr(0, 100));
    WriteFileBytes(Dir / "deep.bmp", "BM" + std::string(12, '\0') + "\x28" + std::string(13, '\0') + "\x40" +
                                         std::string(40, '\0'));
    // Every refusal says why, in the words of the reader that refused. A name without an extension
    // is read by the content's signature, which a TGA has none of.
    const std::string namesNone =
        " names no format that is read; formats read: BMP (.bmp), TGA (.tga), "
        "PNG (.png), JPEG (.jpg, .jpeg), GIF (.gif), TIFF (.tif, .tiff), WebP (.webp), AVIF (.avif), "
        "HEIF (.heic, .heif), JPEG XL (.jxl), PNM (.pbm, .pgm, .ppm, .pnm, .pam).\n";
    const std::pair<std::string, std::string> rows[] = {
        {"in.png", "in.png is damaged or not a PNG file (invalid signature).\n"},
        {"broken.bmp", "broken.bmp is damaged or not a BMP file (the file ends inside its headers).\n"},
        {"deep.bmp", "deep.bmp is a kind of BMP that is not read (64 bits per pixel).\n"},
        {"in.xyz", "The extension of in.xyz" + namesNone},
        {"in", "The extension of in" + namesNone},
        {"garbage", "The extension of garbage" + namesNone},
        {"cut", "cut is damaged or not a PNG file (end of stream).\n"},
    };
    for (const auto& [input, cause] : rows) {
        ProcessResult run = RunProcess({kHost, "mod", input, "out.bmp"}, Dir.Path());
        EXPECT_EQ(1, run.ExitCode);
        EXPECT_EQ("Read " + input + "\nRead " + input + " failed.\n" + cause, run.Output);
        EXPECT_FALSE(PathExists(ExchangeDir() + "/go.flag"));
    }
}

// A module answers into its folder's parent: any other folder would leave the host waiting.
TEST_F(HostRun, RefusesExchangeFoldersItCouldNeverHearFrom) {
    ASSERT_TRUE(SavePicture(MakePicture(2, 2), Dir / "in.bmp"));
    ASSERT_EQ(0, std::system(("mkdir -p " + Dir / "a/b").c_str()));
    for (const std::string directory : {"", ".", "nofolder", "a/b", "..", "/tmp"}) {
        ProcessResult run = RunProcess({kHost, directory, "in.bmp", "out.bmp"}, Dir.Path(), 5);
        EXPECT_EQ(1, run.ExitCode) << directory;
        EXPECT_EQ(0u, run.Output.find("The exchange folder \"" + directory + "\" ")) << run.Output;
        for (const std::string name : {"image.xml", "go.flag", "a/b/image.xml", "a/b/go.flag"}) {
            EXPECT_FALSE(PathExists(Dir / name)) << directory << ": " << name;
        }
    }
}

TEST_F(HostRun, DocumentOfOnePixelIsExactAndEchoingGivesThePictureBack) {
    Picture one{1, 1, {{0x0A, 0x00, 0x0D}}};
    ASSERT_TRUE(SavePicture(one, Dir / "in.tga"));
    ProcessResult run = ExchangeAnswering("in.tga", "out.bmp", [](const std::string& doc) { return doc; });
    EXPECT_EQ(std::string(kHead1x1) + std::string("\x0A\x00\x0D", 3) + kTail, Sent);
    EXPECT_EQ(0, run.ExitCode);
    EXPECT_EQ("Read in.tga\nSave as XML\nStart Corvane\nWaiting ...\nRead XML\nParse XML\nSave out.bmp",
              run.Output);
    Picture back;
    ASSERT_TRUE(LoadPicture(Dir / "out.bmp", back));
    EXPECT_EQ(one.Pixels, back.Pixels);
    ExpectNothingLeftBehind();
}

TEST_F(HostRun, PayloadStartsAtTheTopLeftPixel) {
    Picture picture = MakePicture(5, 3);
    ASSERT_TRUE(SavePicture(picture, Dir / "in.bmp"));
    ExchangeAnswering("in.bmp", "out.bmp", [](const std::string& doc) { return doc; });
    const std::string head =
        Document(5, 3, "").substr(0, Document(5, 3, "").size() - std::string(kTail).size());
    ASSERT_EQ(head.size() + 45 + std::string(kTail).size(), Sent.size());
    for (size_t k = 0; k < picture.Pixels.size(); ++k) {
        const Rgb sent{uint8_t(Sent[head.size() + 3 * k]), uint8_t(Sent[head.size() + 3 * k + 1]),
                       uint8_t(Sent[head.size() + 3 * k + 2])};
        EXPECT_EQ(picture.Pixels[k], sent) << "pixel " << k;
    }
}

// An answer of another size is saved at its size by each writer, in either version: its payload in
// order, the resolution kept, and the EXIF pixel dimensions saying the new size.
struct Reshaped {
    const char* Output;
    std::vector<std::string> Options;
    friend void PrintTo(const Reshaped& row, std::ostream* out) { *out << row.Output; }
};

class AnswerOfAnotherSize : public HostRun, public ::testing::WithParamInterface<Reshaped> {};

TEST_P(AnswerOfAnotherSize, IsSavedAtItsSize) {
    const Picture picture = MakePicture(2, 3);
    ASSERT_TRUE(SavePicture(picture, Dir / "in.png"));
    // IFD0 points to the EXIF IFD at 26: PixelXDimension 2 (LONG), PixelYDimension 3 (SHORT).
    const std::string exif(
        "II*\0\x08\0\0\0\x01\0\x69\x87\x04\0\x01\0\0\0\x1A\0\0\0\0\0\0\0"
        "\x02\0\x02\xA0\x04\0\x01\0\0\0\x02\0\0\0\x03\xA0\x03\0\x01\0\0\0\x03\0\0\0\0\0\0\0",
        56);
    const std::string resolution("\0\0\x0B\x13\0\0\x0B\x13\x01", 9);  // 72 dpi
    WriteFileBytes(Dir / "in.png", WithPngChunk(WithPngChunk(ReadFileBytes(Dir / "in.png"), "eXIf" + exif),
                                                "pHYs" + resolution));
    Options = GetParam().Options;
    const std::string output = GetParam().Output;
    const ProcessResult run = ExchangeAnswering("in.png", output, [](std::string sent) {
        const std::string size = "<width>2</width><height>3</height>";
        return sent.replace(sent.find(size), size.size(), "<width>3</width><height>2</height>");
    });
    ASSERT_EQ(0, run.ExitCode) << run.Output;
    EXPECT_EQ(run.Output.substr(run.Output.size() - output.size() - 6), "\nSave " + output);
    EXPECT_EQ(RunProcess({"/usr/bin/identify", "-format", "%wx%h", Dir / output}, Dir.Path()).Output, "3x2");
    const Rgba16 back = MagickDecode(Dir / output);
    ASSERT_EQ(back.size(), 24u);
    for (size_t k = 0; k < 6 && output != "out.jpg"; ++k) {
        const Rgb& sent = picture.Pixels[k];
        EXPECT_EQ((Rgba16{back[4 * k], back[4 * k + 1], back[4 * k + 2]}),
                  (Rgba16{uint16_t(sent.Red * 257), uint16_t(sent.Green * 257), uint16_t(sent.Blue * 257)}))
            << k;
    }
    if (output != "out.png") return;
    const std::string saved = ReadFileBytes(Dir / output);
    EXPECT_NE(saved.find("pHYs" + resolution), std::string::npos);
    const size_t at = saved.find("eXIf") + 4;
    ASSERT_NE(at, std::string::npos + 4);
    EXPECT_EQ(saved.substr(at + 36, 4), std::string("\x03\0\0\0", 4));  // PixelXDimension
    EXPECT_EQ(saved.substr(at + 42, 2), std::string("\x04\0", 2));      // PixelYDimension, now LONG
    EXPECT_EQ(saved.substr(at + 48, 4), std::string("\x02\0\0\0", 4));
}

INSTANTIATE_TEST_SUITE_P(Writers, AnswerOfAnotherSize,
                         ::testing::Values(Reshaped{"out.png", {}},
                                           Reshaped{"out.png", {"--alpha", "--depth", "16"}},
                                           Reshaped{"out.bmp", {}}, Reshaped{"out.tga", {"--alpha"}},
                                           Reshaped{"out.jpg", {}}, Reshaped{"out.tif", {"--depth", "16"}},
                                           Reshaped{"out.webp", {"--quality", "100"}},
                                           Reshaped{"out.ppm", {}}),
                         [](const ::testing::TestParamInfo<Reshaped>& info) {
                             std::string name = std::string(info.param.Output).substr(4) +
                                                (info.param.Options.empty() ? "" : "_v2");
                             if (name == "webp_v2") name = "webp";
                             return name;
                         });

struct FramesRow {
    const char* Name;
    const char* Input;
    const char* Reference;  // what ImageMagick's decode of the output must match, coalesced
    const char* Output;
    int Frames;
    const char* Delays;  // of the output, in centiseconds as ImageMagick says them; null: not checked
};

// Every frame (page) of the input reaches the module in one document and comes back into an output
// that keeps frames, as ImageMagick coalesces the reference. ImageMagick 6 coalesces a WebP
// animation without its disposal: a WebP input is checked against the GIF it was made from, and a
// WebP output read back through the host, whose reader is libwebp's own, into TIFF pages.
class EveryFrame : public HostRun, public ::testing::WithParamInterface<FramesRow> {};

TEST_P(EveryFrame, ReachesTheModuleAndTheOutput) {
    const FramesRow& row = GetParam();
    const auto same = [](const std::string& sent) { return sent; };
    Options = {"--frames", "all", "--alpha", "--quality", "100"};
    const ProcessResult run = ExchangeAnswering(kData + "/" + row.Input, row.Output, same);
    ASSERT_EQ(0, run.ExitCode) << run.Output;
    EXPECT_NE(Sent.find("<depth>8</depth><frames>" + std::to_string(row.Frames) + "</frames></header>"),
              std::string::npos);
    const std::string output = Dir / row.Output;
    if (row.Delays != nullptr) {
        EXPECT_EQ(RunProcess({"/usr/bin/identify", "-format", "%T,", output}, Dir.Path()).Output, row.Delays);
    }
    std::string decoded = output;
    if (std::string(row.Output) == "out.webp") {
        ASSERT_EQ(0, ExchangeAnswering(output, "back.tif", same).ExitCode);
        decoded = Dir / "back.tif";
    }
    const bool coalesce = std::string(row.Output) == "out.gif";
    const std::string reference = kData + "/" + row.Reference;
    const Rgba16 want =
        MagickDecode(reference, reference.find(".tif") == std::string::npos ? "-coalesce" : "");
    const Rgba16 got = MagickDecode(decoded, coalesce ? "-coalesce" : "");
    ASSERT_EQ(want.size(), got.size());
    ASSERT_FALSE(want.empty());
    size_t differing = 0;
    for (size_t i = 0; i < want.size(); i += 4) {
        const bool seen = want[i + 3] >= 32768 || got[i + 3] >= 32768;
        differing += seen && !std::equal(&want[i], &want[i] + 4, &got[i]) ? 1 : 0;
    }
    EXPECT_EQ(0u, differing);
}

constexpr char kRestorePrevious[] = "gif/peterdn/animated_transparent_frame_restoreprev_loop.gif";
INSTANTIATE_TEST_SUITE_P(
    Animations, EveryFrame,
    ::testing::Values(
        FramesRow{"GifToGif", kRestorePrevious, kRestorePrevious, "out.gif", 4, "100,100,100,100,"},
        FramesRow{"GifToWebp", kRestorePrevious, kRestorePrevious, "out.webp", 4, "100,100,100,100,"},
        FramesRow{"GifToTiff", kRestorePrevious, kRestorePrevious, "out.tif", 4, nullptr},
        FramesRow{"WebpToTiff", "webp/restore-background.webp",
                  "gif/peterdn/animated_transparent_frame_restorebackground_loop.gif", "out.tif", 4, nullptr},
        FramesRow{"WebpBlendsToTiff", "webp/blend-over-cleared.webp", "reference/webp/blend-over-cleared.png",
                  "out.tif", 3, nullptr},
        FramesRow{"TiffToWebp", "tiff/pages-and-thumbnail.tif", "tiff/pages-and-thumbnail.tif[0,2]",
                  "out.webp", 2, "10,10,"},
        FramesRow{"TiffToTiff", "tiff/two-pages.tif", "tiff/two-pages.tif", "out.tif", 2, nullptr}),
    NamedBy<&FramesRow::Name>());

// What a run of every frame says when it cannot keep or take them.
TEST_F(HostRun, FramesThatCannotBeKeptOrTakenAreSaid) {
    const struct {
        std::vector<std::string> Options;
        const char* Input;
        const char* Output;
        int ExitCode;
        std::string Said;
    } rows[] = {
        {{},
         kRestorePrevious,
         "out.png",
         0,
         "Warning: out.png cannot keep the other frames or pages; only the first is saved.\n"},
        {{"--strict"}, kRestorePrevious, "out.png", 1, "Not saved: --strict, and "},
        {{},
         "regress/gif-animation-cut-after-some-frames.gif",
         "out.gif",
         0,
         "gif-animation-cut-after-some-frames.gif is damaged after frame 15 (Failed to read from given "
         "file); "
         "the 15 frames before it are kept.\n"},
        {{},
         "tiff/pages-of-two-sizes.tif",
         "out.tif",
         1,
         "pages-of-two-sizes.tif is a kind of TIFF that is not read (page 2 is 18 x 14 pixels, the first 35 "
         "x "
         "27).\n"},
    };
    for (const auto& row : rows) {
        Options = {"--frames", "all"};
        Options.insert(Options.end(), row.Options.begin(), row.Options.end());
        std::vector<std::string> refused{kHost};
        refused.insert(refused.end(), Options.begin(), Options.end());
        refused.insert(refused.end(), {"mod", kData + "/" + row.Input, row.Output});
        const ProcessResult run = row.ExitCode == 0
                                      ? ExchangeWith({kTemplate}, kData + "/" + row.Input, row.Output)
                                      : RunProcess(refused, Dir.Path());
        EXPECT_EQ(row.ExitCode, run.ExitCode) << run.Output;
        EXPECT_NE(run.Output.find(row.Said), std::string::npos) << run.Output;
    }
}

// Each refused answer is said in one message, which ends the host's output on a line of its own;
// a failure flag is said without a read of the document that is not there.
TEST_F(HostRun, ShortOrBrokenAnswersSaveNothing) {
    ASSERT_TRUE(SavePicture(MakePicture(2, 3), Dir / "in.bmp"));
    const auto replaced = [](const std::string& from, const std::string& to) {
        return [=](std::string sent) { return sent.replace(sent.find(from), from.size(), to); };
    };
    const struct {
        std::vector<std::string> Options;
        std::function<std::string(const std::string&)> Answer;  // none: the failure flag alone
        off_t Size;  // the answer's file made this long; 0: as it is
        std::string Ending;
        const char* Output = "out.bmp";
    } rows[] = {
        {{},
         [](const std::string&) { return Document(0, 3, ""); },
         0,
         "Parse XML\nThe answer is 0 x 3 pixels, an empty picture; nothing saved.\n"},
        {{"--max-pixels", "6"},
         [](const std::string&) { return Document(7, 1, std::string(21, 'x')); },
         0,
         "Parse XML\nThe answer is 7 x 1 pixels, more than --max-pixels allows (6); nothing saved.\n"},
        {{},
         [](const std::string&) { return Document(3, 3, "abc").substr(0, 89); },
         0,
         "Parse XML\nPixels expected.  The document ends early\n"},
        {{},
         [](const std::string&) { return Document(65536, 1, ""); },
         0,
         "Parse XML\nThe answer is 65536 x 1 pixels, but TGA holds at most 65535 pixels a side; nothing "
         "saved.\n",
         "out.tga"},
        {{},
         [](const std::string&) { return std::string("<image><oops>"); },
         0,
         "Parse XML\nWrong Tag: <oops> found but <header> expected\n"},
        {{},
         [](const std::string& doc) { return doc.substr(0, 100); },
         0,
         "Parse XML\nPixels expected.  The document ends early\n"},
        // A right answer followed by gigabytes of nothing is refused before a byte of it is read.
        {{},
         [](const std::string& doc) { return doc; },
         off_t(4) << 30,
         "Read XML\nDocument too large.  More than 4217 bytes for a 2 x 3 image\n"},
        {{}, nullptr, 0, "Waiting ...\nThe module in mod/ could not answer; nothing saved.\n"},
        {{},
         replaced("<version>1<", "<version>3<"),
         0,
         "Parse XML\nThe module answered a newer version: version 3, for version 1; nothing saved.\n"},
        // The form is wrong, and the payload too short for it: the form is what is said.
        {{"--alpha"},
         replaced("<depth>8</depth>", "<depth>8</depth><frames>2</frames>"),
         0,
         "Parse XML\nThe answer holds 2 frames but the picture 1; nothing saved.\n"},
        {{"--alpha"},
         replaced("<depth>8<", "<depth>16<"),
         0,
         "Parse XML\nThe module answered a different form: version 2, 2 x 3 pixels of 4 samples of 16 bits, "
         "for 2 x 3 pixels of 4 samples of 8 bits; nothing saved.\n"},
        {{},
         replaced("<header>", "<header>" + std::string(70000, ' ')),
         0,
         "Parse XML\nHeader too long.  <pixels> not found in the first 64 KiB\n"},
    };
    for (const auto& row : rows) {
        Options = row.Options;
        const ProcessResult run = Exchange("in.bmp", row.Output, [&] {
            std::remove((ExchangeDir() + "/go.flag").c_str());
            const std::string sent = ReadFileBytes(ExchangeDir() + "/image.xml");
            std::remove((ExchangeDir() + "/image.xml").c_str());
            if (row.Answer) WriteFileBytes(Dir / "image.xml", row.Answer(sent));
            ASSERT_EQ(0, row.Size == 0 ? 0 : truncate((Dir / "image.xml").c_str(), row.Size));
            WriteFileBytes(Dir / "go.flag", "finished");
        });
        EXPECT_EQ(1, run.ExitCode) << run.Output;
        const size_t tail = std::min(run.Output.size(), row.Ending.size());
        EXPECT_EQ(row.Ending, run.Output.substr(run.Output.size() - tail)) << run.Output;
        EXPECT_FALSE(PathExists(Dir / row.Output));
        ExpectNothingLeftBehind();
    }
}

// Wider than the host's blocks, odd, and over the answer's first read: pixels cross every
// block boundary on the way out and back in.
TEST_F(HostRun, WidePictureCrossesEveryBlockBoundary) {
    Picture picture = MakePicture(70001, 6);
    ASSERT_TRUE(SavePicture(picture, Dir / "in.bmp"));
    ProcessResult run = ExchangeWith({kTemplate}, "in.bmp", "out.bmp");
    EXPECT_EQ(0, run.ExitCode) << run.Output;
    Picture back;
    ASSERT_TRUE(LoadPicture(Dir / "out.bmp", back));
    EXPECT_TRUE(HalfTurn(picture).Pixels == back.Pixels);
}

TEST_F(HostRun, UnwritableOutputIsRefusedBeforeTheExchange) {
    ASSERT_TRUE(SavePicture(MakePicture(2, 2), Dir / "in.bmp"));
    ASSERT_EQ(0, std::system(("cd " + Dir.Path() + " && mkdir folder.bmp && mkfifo fifo.bmp && " +
                              "ln -s /dev/null device.bmp && ln -s nothere dangling.bmp")
                                 .c_str()));
    const std::pair<std::string, std::string> outputs[] = {
        {"out.pbm", ""},
        {"nofolder/out.bmp", ""},
        {"out", ""},
        {"folder.bmp", "it is a folder\n"},
        {"fifo.bmp", "it is not a regular file\n"},
        {"device.bmp", "it is not a regular file\n"},
        {"dangling.bmp", "it is a link to nothing\n"},
        {"/proc/x.png", "no file can be created in its folder"},
    };
    for (const auto& [output, reason] : outputs) {
        ProcessResult run = RunProcess({kHost, "mod", "in.bmp", output}, Dir.Path(), 5);
        EXPECT_EQ(1, run.ExitCode);
        EXPECT_EQ(0u, run.Output.find("Cannot write " + output + ": " + reason)) << run.Output;
        EXPECT_FALSE(PathExists(ExchangeDir() + "/image.xml"));
    }
}

TEST_F(HostRun, LeftoversOfAnEarlierRunAreRemovedFirst) {
    Picture picture = MakePicture(4, 3);
    ASSERT_TRUE(SavePicture(picture, Dir / "in.bmp"));
    WriteFileBytes(Dir / "go.flag", "finished");
    WriteFileBytes(Dir / "image.xml", Document(1, 1, "xyz"));
    ProcessResult run = ExchangeWith({kTemplate}, "in.bmp", "out.bmp");
    EXPECT_EQ(0, run.ExitCode) << run.Output;
    EXPECT_NE(std::string::npos, run.Output.find("Removed leftover go.flag and image.xml"));
    Picture back;
    ASSERT_TRUE(LoadPicture(Dir / "out.bmp", back));
    EXPECT_EQ(HalfTurn(picture).Pixels, back.Pixels);
}

// A host that stops waiting (by signal or by its time limit) takes back what it put into the
// exchange folder, so the next run starts clean.
TEST_F(HostRun, StoppedWaitsCleanUpAfterThemselves) {
    const struct {
        int Signal;
        std::vector<std::string> Options;
        int ExitCode;
        std::string Message;
        bool Taken = false;  // a module has taken the picture when the stop comes
    } stops[] = {
        {SIGINT, {}, 130, "\nStopped; removed mod/image.xml and mod/go.flag\n"},
        {SIGTERM, {}, 143, "\nStopped; removed mod/image.xml and mod/go.flag\n"},
        {SIGHUP, {}, 129, "\nStopped; removed mod/image.xml and mod/go.flag\n"},
        {SIGPIPE, {}, 141, ""},
        {SIGTERM,
         {},
         143,
         "\nStopped\nThe module in mod/ had taken the picture and may still answer here",
         true},
        {0,
         {"--timeout", "1"},
         1,
         "No answer from the module in mod/ within 1 s; removed mod/image.xml and mod/go.flag\n"},
    };
    Picture picture = MakePicture(3, 2);
    ASSERT_TRUE(SavePicture(picture, Dir / "in.bmp"));
    for (const auto& stop : stops) {
        std::vector<std::string> argv{kHost};
        argv.insert(argv.end(), stop.Options.begin(), stop.Options.end());
        for (const char* name : {"mod", "in.bmp", "out.bmp"}) argv.push_back(name);
        ChildProcess host;
        ASSERT_TRUE(host.Start(argv, Dir.Path()));
        ASSERT_TRUE(host.WaitForOutput("Waiting ...\n", 10));
        if (stop.Taken) std::remove((ExchangeDir() + "/go.flag").c_str());
        if (stop.Taken) std::remove((ExchangeDir() + "/image.xml").c_str());
        if (stop.Signal != 0) host.SendSignal(stop.Signal);
        const ProcessResult run = host.Wait(10);
        EXPECT_EQ(stop.ExitCode, run.ExitCode) << run.Output;
        EXPECT_NE(std::string::npos, run.Output.find(stop.Message)) << run.Output;
        // Nobody is left to read after a SIGPIPE.
        if (stop.Signal == SIGPIPE) {
            EXPECT_EQ(std::string::npos, run.Output.find("Stopped")) << run.Output;
        }
        ExpectNothingLeftBehind();
        EXPECT_EQ(stop.Taken, PathExists(Dir / "corvane.stopped"));
    }
    EXPECT_EQ(0, ExchangeWith({kTemplate}, "in.bmp", "out.bmp").ExitCode);
}

// On a terminal the wait shows its age on one line, which says who has the picture, gives a hint
// once no module has come for 10 s, and ends when the wait does.
TEST_F(HostRun, WaitingOnATerminalShowsOneUpdatingLine) {
    ASSERT_TRUE(SavePicture(MakePicture(3, 2), Dir / "in.bmp"));
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chdir(Dir.Path().c_str()) != 0) _exit(126);
        execl(kHost.c_str(), kHost.c_str(), "--timeout", "12", "mod", "in.bmp", "out.bmp",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    const std::string hint = "No module has taken the picture yet: start one in mod/ (cd mod && MODULE)\r\n";
    std::string screen;
    char buffer[256];
    for (ssize_t got; (got = read(terminal, buffer, sizeof buffer)) > 0;) {
        const bool hinted = screen.find(hint) != std::string::npos;
        screen.append(buffer, size_t(got));
        // Played module: it takes the picture once the hint is up.
        if (!hinted && screen.find(hint) != std::string::npos)
            std::remove((ExchangeDir() + "/go.flag").c_str());
    }
    close(terminal);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(1, WEXITSTATUS(status));
    for (const std::string& line : std::vector<std::string>{
             "Waiting ...\r\n\rWaiting for a module to take the picture in mod/ ... 1 s\033[K",
             "... 10 s\033[K\r\n" + hint, "\rThe module in mod/ is working ... 1 s\033[K\r\nNo answer"}) {
        EXPECT_NE(std::string::npos, screen.find(line)) << screen;
    }
}

// A file whose pixels end early still loads, with the missing rows black, but never silently.
struct EarlyEnd {
    const char* Input;
    size_t Header, Row;  // bytes of the header and of each row
    friend void PrintTo(const EarlyEnd& c, std::ostream* out) { *out << c.Input; }
};

class PictureThatEndsEarly : public HostRun, public ::testing::WithParamInterface<EarlyEnd> {};

TEST_P(PictureThatEndsEarly, LoadsWithAWarning) {
    const std::string input = GetParam().Input;
    ASSERT_TRUE(SavePicture(MakePicture(7, 5), Dir / input));
    // Two whole rows and a few bytes of the third: three rows incomplete.
    WriteFileBytes(Dir / input,
                   ReadFileBytes(Dir / input).substr(0, GetParam().Header + 2 * GetParam().Row + 5));
    ProcessResult run = ExchangeWith({kTemplate}, input, "out.bmp");
    EXPECT_EQ(0, run.ExitCode) << run.Output;
    EXPECT_NE(std::string::npos, run.Output.find("Warning: " + input +
                                                 " ends early; 3 of 5 rows are incomplete and stay black.\n"))
        << run.Output;
}

INSTANTIATE_TEST_SUITE_P(CutPictures, PictureThatEndsEarly,
                         ::testing::Values(EarlyEnd{"cut.bmp", 54, 24}, EarlyEnd{"cut.tga", 30, 21}),
                         NamedBy<&EarlyEnd::Input>());

// What a script sees: --quiet leaves warnings and failures alone, --strict fails on any warning
// before anything is sent, and a JPEG cut short or with damaged data is said, once, in its words.
TEST_F(HostRun, QuietStrictAndDamagedJpegs) {
    const std::string jpeg =
        ReadFileBytes(std::string(CORVANE_TEST_DATA) + "/jpeg/libjpeg-turbo/testorig.jpg");
    const size_t scan = jpeg.find("\xFF\xDA");
    WriteFileBytes(Dir / "cut.jpg", jpeg.substr(0, jpeg.size() / 2));
    WriteFileBytes(Dir / "junk.jpg", jpeg.substr(0, scan) + std::string(3, '\1') + jpeg.substr(scan));
    ASSERT_TRUE(SavePicture(MakePicture(3, 2), Dir / "in.bmp"));
    const struct {
        std::vector<std::string> options;
        const char* input;
        int exit;
        std::string output;
    } rows[] = {
        {{"-q"}, "in.bmp", 0, ""},
        {{"--quiet"}, "cut.jpg", 0, "Warning: cut.jpg ends early; the part it does not reach is grey.\n"},
        {{"-q"},
         "junk.jpg",
         0,
         "Warning: junk.jpg has damaged data (Corrupt JPEG data: 3 extraneous bytes before marker 0xda)\n"},
        {{"-q", "--strict"},
         "cut.jpg",
         1,
         "Warning: cut.jpg ends early; the part it does not reach is grey.\n"
         "Not saved: --strict, and cut.jpg has the warning above.\n"},
    };
    for (const auto& row : rows) {
        Options = row.options;
        std::remove((Dir / "out.bmp").c_str());
        std::vector<std::string> refused{kHost};
        refused.insert(refused.end(), Options.begin(), Options.end());
        refused.insert(refused.end(), {"mod", row.input, "out.bmp"});
        const ProcessResult run =
            row.exit == 0 ? ExchangeWith({kTemplate}, row.input, "out.bmp") : RunProcess(refused, Dir.Path());
        EXPECT_EQ(row.exit, run.ExitCode) << row.input;
        EXPECT_EQ(row.output, run.Output) << row.input;
        EXPECT_EQ(row.exit == 0, PathExists(Dir / "out.bmp")) << row.input;
        ExpectNothingLeftBehind();
    }
}

// What a program that starts the host reads on --status-fd: a line a fact, the outcome last, names
// escaped; what the host says is the same with it and without.
TEST_F(HostRun, TheStatusSaysHowTheRunWent) {
    ASSERT_TRUE(SavePicture(MakePicture(3, 2), Dir / "in.bmp"));
    ASSERT_TRUE(WriteFileBytes(Dir / "alpha.png", ReadFileBytes(kData + "/png/pngsuite/basn6a08.png")));
    const std::string warning =
        "warning Warning: alpha.png has transparency, which is not kept: the picture comes out opaque "
        "(--alpha keeps it, for a module that takes it).\n";
    using Module = std::function<void(ChildProcess&)>;
    const Module answer = [&](ChildProcess&) { ModuleResult = RunProcess({kTemplate}, ExchangeDir()); };
    const Module cannot = [&](ChildProcess&) {
        std::remove((ExchangeDir() + "/go.flag").c_str());
        std::remove((ExchangeDir() + "/image.xml").c_str());
        WriteFileBytes(Dir / "go.flag", "");
    };
    const struct {
        std::vector<std::string> options;
        const char* input;
        const char* output;
        Module module;  // none: the host ends before its flag is up
        std::string status;
    } rows[] = {
        {{},
         "alpha.png",
         "out.bmp",
         answer,
         "output out.bmp\n" + warning + "message Save out.bmp\noutcome saved\n"},
        {{"-q", "--strict"},
         "alpha.png",
         "out.bmp",
         nullptr,
         "output out.bmp\n" + warning +
             "message Not saved: --strict, and alpha.png has the warning above.\noutcome failed\n"},
        {{"-q"},
         "in.bmp",
         "a\\b\nc.bmp",
         cannot,
         "output a\\\\b\\nc.bmp\nmodule no-answer\nmessage The module in mod/ could not answer; nothing "
         "saved.\noutcome failed\n"},
        {{"-q"},
         "in.bmp",
         "out.bmp",
         [](ChildProcess& host) { host.SendSignal(SIGTERM); },
         "output out.bmp\nmessage Stopped; removed mod/image.xml and mod/go.flag\noutcome stopped 15\n"},
        {{"--quality", "0"},
         "in.bmp",
         "out.bmp",
         nullptr,
         "message Error: --quality takes a whole number from 1 to 100, not \"0\"\noutcome usage\n"},
    };
    for (const auto& row : rows) {
        std::string said[2];
        for (const bool withStatus : {false, true}) {
            std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$@\" 3>status.txt", "sh", kHost};
            if (withStatus) argv.insert(argv.end(), {"--status-fd", "3"});
            argv.insert(argv.end(), row.options.begin(), row.options.end());
            argv.insert(argv.end(), {"mod", row.input, row.output});
            ChildProcess host;
            ASSERT_TRUE(host.Start(argv, Dir.Path()));
            if (row.module && WaitForPath(ExchangeDir() + "/go.flag", 10)) row.module(host);
            said[withStatus] = host.Wait(20).Output;
        }
        EXPECT_EQ(row.status, ReadFileBytes(Dir / "status.txt")) << row.input;
        EXPECT_EQ(said[0], said[1]) << row.input;
        ExpectNothingLeftBehind();
    }
}

// With its output sent to a log, a host whose module never comes says so on standard error, once,
// whatever --quiet says, naming the folder as a shell takes it. The hosts wait at once, each in a
// folder of its own.
TEST_F(HostRun, AWaitWithoutAModuleHintsOnStandardError) {
    const std::pair<std::string, std::string> rows[] = {{"mod", "mod"}, {"-it's mine", "'./-it'\\''s mine'"}};
    ChildProcess hosts[2];
    for (size_t i = 0; i < 2; ++i) {
        const std::string folder = Dir / std::to_string(i);
        ASSERT_TRUE(std::filesystem::create_directories(folder + "/" + rows[i].first));
        ASSERT_TRUE(SavePicture(MakePicture(3, 2), folder + "/in.bmp"));
        ASSERT_TRUE(hosts[i].Start(
            {"/bin/sh", "-c", "exec \"$0\" -q --timeout 11 -- \"$1\" in.bmp out.bmp 2>hint.txt", kHost,
             rows[i].first},
            folder));
    }
    for (size_t i = 0; i < 2; ++i) {
        const std::string& name = rows[i].first;
        const ProcessResult run = hosts[i].Wait(20);
        EXPECT_EQ(1, run.ExitCode);
        EXPECT_EQ("No answer from the module in " + name + "/ within 11 s; removed " + name +
                      "/image.xml and " + name + "/go.flag\n",
                  run.Output);
        EXPECT_EQ("No module has taken the picture yet: start one in " + name + "/ (cd " + rows[i].second +
                      " && MODULE)\n",
                  ReadFileBytes(Dir / std::to_string(i) + "/hint.txt"));
    }
}

// The module sees the picture as a viewer shows it, in its turned size, and the answer keeps the
// tag saying 1; version 2 turns the held samples, version 1 the image.
struct Orientation {
    std::string Name;
    const char* Form;
    uint16_t Tag;
    friend void PrintTo(const Orientation& o, std::ostream* out) { *out << o.Name; }
};

std::vector<Orientation> EveryOrientationInBothForms() {
    std::vector<Orientation> rows;
    for (const char* form : {"--depth=8", "--alpha"})
        for (uint16_t tag = 1; tag <= 8; ++tag)
            rows.push_back({(form[2] == 'a' ? "Alpha_" : "Depth8_") + std::to_string(tag), form, tag});
    return rows;
}

class AutoOrient : public HostRun, public ::testing::WithParamInterface<Orientation> {};

TEST_P(AutoOrient, TurnsThePictureAsAViewerShowsIt) {
    const auto& [name, form, orientation] = GetParam();
    const Picture stored = MakePicture(5, 3);
    ASSERT_TRUE(SavePicture(stored, Dir / "in.png"));
    WriteFileBytes(Dir / "in.png",
                   WithPngChunk(ReadFileBytes(Dir / "in.png"), "eXIf" + OrientationExif(orientation)));
    Options = {"--auto-orient", form};
    ProcessResult run =
        ExchangeAnswering("in.png", "out.png", [](const std::string& document) { return document; });
    ASSERT_EQ(0, run.ExitCode) << run.Output;
    Picture back;
    ASSERT_TRUE(LoadPicture(Dir / "out.png", back)) << orientation;
    const Picture shown = AsShown(stored, orientation);
    EXPECT_EQ(back.Width, shown.Width) << orientation << form;
    EXPECT_EQ(back.Pixels, shown.Pixels) << orientation << form;
    EXPECT_EQ(PngExifOrientation(ReadFileBytes(Dir / "out.png")), 1) << orientation;
}

INSTANTIATE_TEST_SUITE_P(Orientations, AutoOrient, ::testing::ValuesIn(EveryOrientationInBothForms()),
                         NamedBy<&Orientation::Name>());

// A WebP's EXIF orientation is turned the same way; without the option the pixels stay as stored
// and the tag stays.
TEST_F(HostRun, AutoOrientTurnsAWebpAndWithoutItNothingIsTurned) {
    const Picture stored = MakePicture(5, 3);
    ASSERT_TRUE(SavePicture(stored, Dir / "in.png"));
    WriteFileBytes(Dir / "in.png", WithPngChunk(ReadFileBytes(Dir / "in.png"), "eXIf" + OrientationExif(8)));
    const auto echo = [](const std::string& document) { return document; };
    Picture webp;
    ASSERT_TRUE(LoadRawRgb(kData + "/reference/webp/lossless.webp.rgb", 35, 27, webp));
    WriteFileBytes(Dir / "in.webp", ReadFileBytes(kData + "/webp/orientation6.webp"));
    Options = {"--auto-orient", "--alpha"};
    ProcessResult run = ExchangeAnswering("in.webp", "out.png", echo);
    ASSERT_EQ(0, run.ExitCode) << run.Output;
    Picture back;
    ASSERT_TRUE(LoadPicture(Dir / "out.png", back));
    EXPECT_EQ(back.Pixels, AsShown(webp, 6).Pixels);
    EXPECT_EQ(PngExifOrientation(ReadFileBytes(Dir / "out.png")), 1);
    Options = {};
    run = ExchangeAnswering("in.png", "out.png", echo);
    ASSERT_EQ(0, run.ExitCode) << run.Output;
    ASSERT_TRUE(LoadPicture(Dir / "out.png", back));
    EXPECT_EQ(back.Pixels, stored.Pixels);
    EXPECT_EQ(PngExifOrientation(ReadFileBytes(Dir / "out.png")), 8);
}

// An output that keeps no orientation gets the picture turned first, said in one line after the
// warnings of what it does not keep, and shows as the input did.
struct Unkept {
    const char *input, *reference, *output, *lines;
    friend void PrintTo(const Unkept& row, std::ostream* out) { *out << row.output; }
};

const Unkept kUnkeptOrientations[] = {
    {"tiff/orientation6.tif", "tiff/rgb8-none.tif", "out.bmp",
     "Turned in.tif as its orientation (6) says, since BMP keeps none"},
    {"tiff/orientation6.tif", "tiff/rgb8-none.tif", "out.ppm",
     "Turned in.tif as its orientation (6) says, since PNM keeps none"},
    {"webp/orientation6.webp", "webp/lossless.webp", "out.tga",
     "Warning: in.webp has EXIF, which TGA does not keep.\n"
     "Turned in.webp as its orientation (6) says, since TGA keeps none"},
};

class UnkeptOrientation : public HostRun, public ::testing::WithParamInterface<Unkept> {};

TEST_P(UnkeptOrientation, IsTurnedFirst) {
    const auto echo = [](const std::string& document) { return document; };
    const Unkept& row = GetParam();
    const std::string input = "in" + std::string(row.input).substr(std::string(row.input).rfind('.'));
    WriteFileBytes(Dir / input, ReadFileBytes(kData + "/" + row.input));
    ProcessResult run = ExchangeAnswering(input, row.output, echo);
    ASSERT_EQ(0, run.ExitCode) << run.Output;
    EXPECT_EQ(0u,
              run.Output.find("Read " + input + "\n" + row.lines + ": the output shows as the input did.\n"))
        << run.Output;
    Picture stored, back;
    ASSERT_TRUE(LoadRawRgb(kData + "/reference/" + row.reference + ".rgb", 35, 27, stored));
    if (std::string(row.output) == "out.ppm") return;  // the test's own reader has no PNM
    ASSERT_TRUE(LoadPicture(Dir / row.output, back)) << row.output;
    EXPECT_EQ(back.Pixels, AsShown(stored, 6).Pixels) << row.output;
}

INSTANTIATE_TEST_SUITE_P(Outputs, UnkeptOrientation, ::testing::ValuesIn(kUnkeptOrientations),
                         NamedBy<&Unkept::output>());

// A damaged item is said on one line right after the Read line and the picture goes through;
// --strip writes none of the items.
TEST_F(HostRun, DamagedMetadataIsSaidAndStripKeepsNone) {
    ASSERT_TRUE(SavePicture(MakePicture(4, 3), Dir / "in.png"));
    const std::string picture = ReadFileBytes(Dir / "in.png");
    std::string broken = OrientationExif(6);
    broken[4] = '\x7F';  // IFD0 past the end
    WriteFileBytes(Dir / "in.png", WithPngChunk(picture, "eXIf" + broken));
    ProcessResult run = ExchangeWith({kTemplate}, "in.png", "out.png");
    EXPECT_EQ(0, run.ExitCode) << run.Output;
    EXPECT_EQ(0u, run.Output.find("Read in.png\nWarning: in.png has a damaged EXIF block")) << run.Output;
    EXPECT_EQ(-1, PngExifOrientation(ReadFileBytes(Dir / "out.png")));

    WriteFileBytes(Dir / "in.png", WithPngChunk(picture, "eXIf" + OrientationExif(6)));
    Options = {"--strip"};
    run = ExchangeWith({kTemplate}, "in.png", "out.png");
    EXPECT_EQ(0, run.ExitCode) << run.Output;
    EXPECT_EQ(std::string::npos, run.Output.find("Warning")) << run.Output;
    EXPECT_EQ(std::string::npos, ReadFileBytes(Dir / "out.png").find("eXIf"));

    // A microscope's ImageDescription reaches a PNG as its Description (the metadata table covers
    // --strip and the outputs that hold none).
    WriteFileBytes(Dir / "in.tif", ReadFileBytes(kData + "/tiff/rgb8-none.tif"));
    const std::string tag =
        "exiftool -q -overwrite_original -ImageDescription=Objective '" + (Dir / "in.tif") + "'";
    if (std::system(tag.c_str()) != 0) GTEST_SKIP() << "exiftool is not installed";
    Options = {};
    run = ExchangeWith({kTemplate}, "in.tif", "out.png");
    EXPECT_EQ(0u, run.Output.find("Read in.tif\nSave as XML")) << run.Output;
    EXPECT_NE(std::string::npos,
              ReadFileBytes(Dir / "out.png").find(std::string("tEXtDescription\0Objective", 25)));
}

struct ModuleCase {
    const char* Name;
    std::vector<std::string> Argv;
    const char* Input;
    const char* Output;
    Picture (*Expected)(const Picture&);
    friend void PrintTo(const ModuleCase& c, std::ostream* out) { *out << c.Name; }
};

class ModuleRun : public HostRun, public ::testing::WithParamInterface<ModuleCase> {};

TEST_P(ModuleRun, AnswerIsTheTransformOfThePicture) {
    const ModuleCase& c = GetParam();
    if (c.Argv.size() > 1 && c.Argv[1] == "python3" && std::system("python3 -c '' 2>/dev/null") != 0) {
        GTEST_SKIP() << "python3 is not installed";
    }
    Picture picture = MakePicture(7, 5);
    ASSERT_TRUE(SavePicture(picture, Dir / c.Input));
    ProcessResult run = ExchangeWith(c.Argv, c.Input, c.Output);
    EXPECT_EQ(0, run.ExitCode) << run.Output;
    EXPECT_EQ(0, ModuleResult.ExitCode) << ModuleResult.Output;
    Picture back;
    ASSERT_TRUE(LoadPicture(Dir / c.Output, back));
    EXPECT_EQ(c.Expected(picture).Pixels, back.Pixels);
    ExpectNothingLeftBehind();
}

INSTANTIATE_TEST_SUITE_P(
    Modules, ModuleRun,
    ::testing::Values(
        ModuleCase{"TemplateBmp", {kTemplate}, "in.bmp", "out.bmp", HalfTurn},
        ModuleCase{"TemplateTga", {kTemplate}, "in.tga", "out.tga", HalfTurn},
        ModuleCase{"TemplatePng", {kTemplate}, "in.png", "out.png", HalfTurn},
        ModuleCase{"AmbrelBmpToTga", {kAmbrel}, "in.bmp", "out.tga", MirrorBlend},
        ModuleCase{"AmbrelTgaToBmp", {kAmbrel}, "in.tga", "out.bmp", MirrorBlend},
        ModuleCase{"PythonInvert", {"/usr/bin/env", "python3", kInvertPy}, "in.bmp", "out.tga", Negative}),
    NamedBy<&ModuleCase::Name>());

// JPEG and GIF arrive through the picture decoder, PNG through its own codec; all leave as TGA,
// turned. What the host read is known from ImageMagick's committed decode; a JPEG decoder may round
// its inverse transform differently, by at most 2.
struct PictureInputCase {
    const char* File;
    int32_t Width, Height;
    int Tolerance;
    friend void PrintTo(const PictureInputCase& c, std::ostream* out) { *out << c.File; }
};

class PictureInput : public HostRun, public ::testing::WithParamInterface<PictureInputCase> {};

TEST_P(PictureInput, IsTurnedAndSaved) {
    const PictureInputCase& c = GetParam();
    const std::string source = std::string(CORVANE_TEST_DATA) + "/" + c.File;
    const std::string input = std::string("in") + source.substr(source.rfind('.'));
    ASSERT_TRUE(WriteFileBytes(Dir / input, ReadFileBytes(source)));
    Picture picture;
    ASSERT_TRUE(LoadRawRgb(std::string(CORVANE_TEST_DATA) + "/reference/" + c.File + ".rgb", c.Width,
                           c.Height, picture));
    ProcessResult run = ExchangeWith({kTemplate}, input, "out.tga");
    EXPECT_EQ(0, run.ExitCode) << run.Output;
    Picture back;
    ASSERT_TRUE(LoadPicture(Dir / "out.tga", back));
    const Picture expected = HalfTurn(picture);
    ASSERT_EQ(expected.Pixels.size(), back.Pixels.size());
    int worst = 0;
    for (size_t k = 0; k < back.Pixels.size(); ++k) {
        const Rgb a = expected.Pixels[k], b = back.Pixels[k];
        worst = std::max(
            {worst, std::abs(a.Red - b.Red), std::abs(a.Green - b.Green), std::abs(a.Blue - b.Blue)});
    }
    EXPECT_LE(worst, c.Tolerance);
}

INSTANTIATE_TEST_SUITE_P(JpegGifAndPng, PictureInput,
                         ::testing::Values(PictureInputCase{"jpeg/wuffs/hippopotamus.jpeg", 36, 28, 2},
                                           PictureInputCase{"gif/wuffs/hippopotamus.interlaced.gif", 36, 28,
                                                            0},
                                           PictureInputCase{"png/pngsuite/basi3p08.png", 32, 32, 0}),
                         NamedBy<&PictureInputCase::File>());

// Version 2: each format that holds alpha or deep samples, through both modules and back out,
// against an independent decode of the input (ImageMagick; libheif's heif-convert for HEIF, whose
// alpha and depth ImageMagick 6 loses) put through the document's form and each module's rule.
struct FormCase {
    const char* File;
    const char* Output;
    std::vector<std::string> Options;
    uint32_t Channels, Depth;
    const char* Decode = "";  // ImageMagick's options, or a heif-convert decode
    int Tolerance = 0;
    friend void PrintTo(const FormCase& c, std::ostream* out) { *out << c.File; }
};

constexpr char kHeifConvert[] = "heif-convert";
constexpr char kGifScreen[] = "-delete 1--1 -background none -flatten";

// The input as the document carries it: 8-bit samples by the rounding rule, alpha opaque without it.
Rgba16 InDocumentForm(Rgba16 samples, const FormCase& c) {
    for (size_t i = 0; i < samples.size(); ++i) {
        if (c.Channels == 3 && i % 4 == 3) samples[i] = 65535;
        if (c.Depth == 8) samples[i] = uint16_t((samples[i] * 255u + 32767) / 65535 * 257);
    }
    return samples;
}

// The mirror blend at the document's precision: weighted by alpha with four channels.
Rgba16 AmbrelOf(const Rgba16& in, size_t width, const FormCase& c) {
    Rgba16 out(in.size());
    const uint64_t scale = c.Depth == 8 ? 257 : 1;
    for (size_t p = 0; p < in.size() / 4; ++p) {
        const size_t x = p % width, m = p - x + (width - 1 - x);
        const uint64_t a1 = c.Channels == 4 ? in[4 * p + 3] / scale : 1,
                       a2 = c.Channels == 4 ? in[4 * m + 3] / scale : 1;
        for (size_t i = 0; i < 3; ++i) {
            const uint64_t sum = in[4 * p + i] / scale * a1 + in[4 * m + i] / scale * a2;
            out[4 * p + i] = uint16_t(a1 + a2 == 0 ? 0 : sum / (a1 + a2) * scale);
        }
        out[4 * p + 3] = c.Channels == 4 ? uint16_t((a1 + a2) / 2 * scale) : 65535;
    }
    return out;
}

class FormRun : public HostRun, public ::testing::WithParamInterface<FormCase> {};

TEST_P(FormRun, EachModuleAnswersInTheFormItGot) {
    const FormCase& c = GetParam();
    const std::string source = kData + "/" + c.File;
    const std::string input = std::string("in") + source.substr(source.rfind('.'));
    ASSERT_TRUE(WriteFileBytes(Dir / input, ReadFileBytes(source)));
    std::string decoded = source;
    if (std::string(c.Decode) == kHeifConvert) {
        decoded = Dir / "heif.png";
        ASSERT_EQ(0, std::system(("heif-convert '" + source + "' '" + decoded + "' >/dev/null").c_str()));
    }
    const std::string magick = std::string(c.Decode) == kHeifConvert ? "" : c.Decode;
    const Rgba16 in = InDocumentForm(MagickDecode(decoded, magick), c);
    ASSERT_FALSE(in.empty()) << c.File;
    const std::string size = "/usr/bin/convert '" + decoded + "' " + magick + " -format %w info:";
    const size_t width = std::stoul(RunProcess({"/bin/sh", "-c", size}, Dir.Path(), 20).Output);
    Options = c.Options;
    for (const std::string& module : {kTemplate, kAmbrel}) {
        const ProcessResult run = ExchangeWith({module}, input, c.Output);
        ASSERT_EQ(0, run.ExitCode) << c.File << " " << module << run.Output;
        // What the form carries is not said; the output here holds it all.
        EXPECT_EQ(std::string::npos, run.Output.find("Warning")) << run.Output;
        Rgba16 expected = in;
        if (module == kTemplate) {
            for (size_t p = 0; p < in.size() / 4; ++p)
                std::copy_n(&in[in.size() - 4 * (p + 1)], 4, &expected[4 * p]);
        } else {
            expected = AmbrelOf(in, width, c);
        }
        const Rgba16 out = MagickDecode(Dir / c.Output);
        ASSERT_EQ(out.size(), expected.size()) << c.File;
        int worst = 0;
        // Colour under alpha 0 is whatever a decoder leaves there.
        for (size_t i = 0; i < out.size(); ++i)
            if (i % 4 == 3 || expected[i - i % 4 + 3] != 0)
                worst = std::max(worst, std::abs(int(out[i]) - int(expected[i])));
        EXPECT_LE(worst, c.Tolerance) << c.File << " " << module;
    }
}

INSTANTIATE_TEST_SUITE_P(
    VersionTwo, FormRun,
    ::testing::Values(
        FormCase{"png/pngsuite/basn6a08.png", "out.png", {"--alpha"}, 4, 8},
        FormCase{"png/pngsuite/basn6a16.png", "out.png", {"--alpha", "--depth", "16"}, 4, 16},
        FormCase{"png/pngsuite/tbrn2c08.png", "out.tga", {"--alpha"}, 4, 8},
        FormCase{"gif/pillow/first_frame_transparency.gif", "out.png", {"--alpha"}, 4, 8, kGifScreen},
        FormCase{"webp/alpha-lossless.webp", "out.webp", {"--alpha", "--quality", "100"}, 4, 8},
        FormCase{"tiff/rgba8-unassociated.tif", "out.tif", {"--alpha", "--depth=16"}, 4, 16},
        FormCase{"tiff/rgb16-be.tif", "out.tif", {"--depth", "16"}, 3, 16},
        FormCase{"pnm/own/grey-alpha16.pam", "out.pam", {"--alpha", "--depth", "16"}, 4, 16},
        FormCase{"pnm/libtiff/rgb-3c-16b.ppm", "out.ppm", {"--depth", "16"}, 3, 16},
        FormCase{"bmp/bmpsuite/q/rgba32-1.bmp", "out.png", {"--alpha"}, 4, 8},
        FormCase{"tga/pillow/common/200x32_rgba_tl_raw.tga", "out.tga", {"--alpha"}, 4, 8},
        FormCase{"heif/alpha.heic", "out.png", {"--alpha"}, 4, 8, kHeifConvert},
        // heif-convert widens 10 bits by repeating them; ours rounds.
        FormCase{"heif/photo10.heic", "out.png", {"--depth", "16"}, 3, 16, kHeifConvert, 64}),
    NamedBy<&FormCase::File>());

// --grey: a grey file, made by ImageMagick from a grey PNG, reaches the module as one sample a pixel
// (two with --alpha) at the run's depth, and the echoed answer comes back into the same format
// written grey with the input's samples (a JPEG is encoded once more).
struct GreyCase {
    const char* Input;  // made from kGreyPngs[Png] in its extension's format
    int Png;
    std::vector<std::string> Options;
    std::string Form, OutputChannels;  // the document's channels and depth; identify's %[channels]
    int Tolerance = 0;
};

const char* const kGreyPngs[] = {"png/pngsuite/basn0g08.png", "png/pngsuite/basn0g16.png",
                                 "png/pngsuite/basn4a08.png", "png/pngsuite/basn4a16.png"};
const auto kEcho = [](const std::string& doc) { return doc; };

class GreyRun : public HostRun, public ::testing::WithParamInterface<GreyCase> {};

TEST_P(GreyRun, GoesToTheModuleAsGreyAndComesBackGrey) {
    const GreyCase& c = GetParam();
    // ImageMagick 6 has no JPEG XL: libjxl's own tools make and read those, losslessly.
    const bool jxl = std::string(std::strrchr(c.Input, '.')) == ".jxl";
    const std::string source = "'" + kData + "/" + kGreyPngs[c.Png] + "' " + (Dir / c.Input);
    ASSERT_EQ(
        0, std::system(((jxl ? "cjxl -d 0 " : "/usr/bin/convert ") + source + " >/dev/null 2>&1").c_str()));
    const std::string output = std::string("out") + std::strrchr(c.Input, '.');
    Options = c.Options;
    ASSERT_EQ(0, ExchangeAnswering(c.Input, output, kEcho).ExitCode);
    const std::string head = c.Form + "</depth></header><pixels>";
    const Rgba16 in = MagickDecode(Dir / c.Input), out = MagickDecode(Dir / output);
    const size_t pixelBytes = (c.Form[10] - '0') * (c.Form.back() == '6' ? 2 : 1);
    EXPECT_EQ(Sent.size(), Sent.find(head) + head.size() + in.size() / 4 * pixelBytes + strlen(kTail));
    const std::string channels =
        (jxl ? "djxl out.jxl out.png >/dev/null 2>&1 && /usr/bin/identify -format %[channels] out.png"
             : "/usr/bin/identify -format %[channels] " + (Dir / output));
    EXPECT_EQ(c.OutputChannels, RunProcess({"/bin/sh", "-c", channels}, Dir.Path(), 20).Output);
    ASSERT_EQ(in.size(), out.size());
    for (size_t i = 0; i < in.size(); ++i) ASSERT_LE(std::abs(int(out[i]) - int(in[i])), c.Tolerance) << i;
}

const std::vector<std::string> kGrey{"--grey"}, kGreyAlpha{"--grey", "--alpha"},
    kGreyDeep{"--grey", "--depth", "16"}, kGreyAlphaDeep{"--grey", "--alpha", "--depth", "16"},
    kGreyDeepLossless{"--grey", "--depth", "16", "--quality", "100"},
    kGreyAlphaLossless{"--grey", "--alpha", "--quality", "100"};
const std::string kC1D8 = "<channels>1</channels><depth>8", kC1D16 = "<channels>1</channels><depth>16",
                  kC2D8 = "<channels>2</channels><depth>8", kC2D16 = "<channels>2</channels><depth>16";

INSTANTIATE_TEST_SUITE_P(EachGreyFormat, GreyRun,
                         ::testing::Values(GreyCase{"g8.png", 0, kGrey, kC1D8, "gray"},
                                           GreyCase{"g16.png", 1, kGreyDeep, kC1D16, "gray"},
                                           GreyCase{"ga8.png", 2, kGreyAlpha, kC2D8, "graya"},
                                           GreyCase{"ga16.png", 3, kGreyAlphaDeep, kC2D16, "graya"},
                                           GreyCase{"g8.tif", 0, kGrey, kC1D8, "gray"},
                                           GreyCase{"g16.tif", 1, kGreyDeep, kC1D16, "gray"},
                                           GreyCase{"ga8.tif", 2, kGreyAlpha, kC2D8, "graya"},
                                           GreyCase{"ga16.tif", 3, kGreyAlphaDeep, kC2D16, "graya"},
                                           GreyCase{"g16.pgm", 1, kGreyDeep, kC1D16, "gray"},
                                           GreyCase{"ga8.pam", 2, kGreyAlpha, kC2D8, "graya"},
                                           GreyCase{"ga16.pam", 3, kGreyAlphaDeep, kC2D16, "graya"},
                                           // An opaque picture sent with alpha comes back without it.
                                           GreyCase{"g8_opaque.tga", 0, kGreyAlpha, kC2D8, "gray"},
                                           GreyCase{"g8.jpg", 0, kGrey, kC1D8, "gray", 2 * 257},
                                           GreyCase{"g16.jxl", 1, kGreyDeepLossless, kC1D16, "gray"},
                                           GreyCase{"ga8.jxl", 2, kGreyAlphaLossless, kC2D8, "graya"}),
                         NamedBy<&GreyCase::Input>());

// Colour pictures, a GIF whose colours are all grey, and pages of grey then colour go as without
// --grey; grey into BMP comes out as colour without a word; an answer of another form saves nothing,
// and a .pgm output takes grey alone, refused before the exchange.
TEST_F(HostRun, GreyOnlyForGreyFilesAndOnlyAsItWasSent) {
    const std::string grey = kData + "/" + kGreyPngs[0];
    const std::string make = "/usr/bin/convert " + grey + " in.gif && cp " + grey +
                             " in.png && /usr/bin/convert " + grey +
                             " -type TrueColor -fill red -colorize 50 p1.tif && /usr/bin/convert " + grey +
                             " p0.tif && tiffcp p0.tif p1.tif pages.tif";
    ASSERT_EQ(0, RunProcess({"/bin/sh", "-c", make}, Dir.Path(), 20).ExitCode);
    ASSERT_TRUE(WriteFileBytes(Dir / "in.tif", ReadFileBytes(kData + "/tiff/rgb8-none.tif")));
    Options = {"--grey", "--frames", "all"};
    for (const char* input : {"in.tif", "in.gif"}) {
        ExchangeAnswering(input, "out.png", kEcho);
        EXPECT_EQ(0u, Sent.find("<image><header><version>1</version>")) << input;
    }
    ExchangeAnswering("pages.tif", "out.tif", kEcho);
    EXPECT_NE(std::string::npos, Sent.find("<channels>3</channels><depth>8</depth><frames>2</frames>"));
    EXPECT_EQ(MagickDecode(Dir / "pages.tif"), MagickDecode(Dir / "out.tif"));
    ProcessResult run = ExchangeAnswering("in.png", "out.bmp", kEcho);
    EXPECT_EQ(0, run.ExitCode);
    EXPECT_EQ(std::string::npos, run.Output.find("Warning")) << run.Output;
    EXPECT_EQ(MagickDecode(Dir / "in.png"), MagickDecode(Dir / "out.bmp"));
    run = ExchangeAnswering("in.png", "other.png", [](const std::string&) {
        return "<image><header><version>2</version><width>32</width><height>32</height><channels>3"
               "</channels><depth>8</depth></header><pixels>" +
               std::string(32 * 32 * 3, 'x') + kTail;
    });
    EXPECT_NE(std::string::npos, run.Output.find("different form: version 2, 32 x 32 pixels of 3 samples of "
                                                 "8 bits, for 32 x 32 pixels of 1 samples of 8 bits"))
        << run.Output;
    EXPECT_FALSE(PathExists(Dir / "other.png"));
    EXPECT_EQ(RunProcess({kHost, "mod", "in.png", "out.pgm"}, Dir.Path(), 20).Output,
              "Read in.png\nCannot write out.pgm: a .pgm file holds grey pictures only; a grey picture stays "
              "grey with --grey\n");
    ExpectNothingLeftBehind();
}

// What the output cannot hold is said after the answer, once each; an answer in another form, and a
// module that reads version 1 only, save nothing.
TEST_F(HostRun, VersionTwoSaysWhatTheOutputCannotHoldAndTakesOnlyItsOwnForm) {
    ASSERT_TRUE(WriteFileBytes(Dir / "in.png", ReadFileBytes(kData + "/png/pngsuite/basn6a16.png")));
    Options = {"--alpha", "--depth", "16"};
    ProcessResult run = ExchangeWith({kTemplate}, "in.png", "out.jpg");
    EXPECT_EQ(0, run.ExitCode) << run.Output;
    const size_t answer = run.Output.find("Parse XML");
    EXPECT_EQ(run.Output.find("Warning"), run.Output.find("Warning: out.jpg cannot keep transparency"));
    EXPECT_LT(answer, run.Output.find("Warning: out.jpg cannot keep transparency")) << run.Output;
    EXPECT_NE(std::string::npos, run.Output.find("Warning: out.jpg cannot keep 16-bit samples"))
        << run.Output;
    // What the chosen form left out is said of an output that could have kept it, not at load.
    const std::pair<std::vector<std::string>, std::string> formRows[] = {
        {{"--alpha"}, "Warning: out.png comes out at 8 bits: the picture's 16 bits per sample"},
        {{"--depth", "16"}, "Warning: out.png comes out opaque: the picture's transparency was not sent"}};
    for (const auto& [options, line] : formRows) {
        Options = options;
        run = ExchangeWith({kTemplate}, "in.png", "out.png");
        EXPECT_EQ(run.Output.find("Warning"), run.Output.find(line)) << run.Output;
        EXPECT_LT(run.Output.find("Parse XML"), run.Output.find(line)) << run.Output;
        EXPECT_EQ(run.Output.rfind("Warning"), run.Output.find(line)) << run.Output;
    }
    Options = {"--alpha", "--depth", "16"};

    run = ExchangeAnswering("in.png", "other.png", [](const std::string& sent) {
        return Document(32, 32, sent.substr(sent.find("<pixels>") + 8, 32 * 32 * 3));
    });
    EXPECT_EQ(1, run.ExitCode);
    EXPECT_NE(std::string::npos, run.Output.find("The module answered a different form")) << run.Output;
    EXPECT_FALSE(PathExists(Dir / "other.png"));
    // Nor does a version 1 run take four samples a pixel as three.
    Options = {};
    run = ExchangeAnswering("in.png", "other.png", [](const std::string&) {
        return "<image><header><version>2</version><width>32</width><height>32</height><channels>4"
               "</channels><depth>8</depth></header><pixels>" +
               std::string(32 * 32 * 4, '\x7f') + "</pixels></image>";
    });
    EXPECT_EQ(1, run.ExitCode);
    EXPECT_NE(std::string::npos, run.Output.find("The module answered a different form")) << run.Output;
    EXPECT_FALSE(PathExists(Dir / "other.png"));

    Options = {"--alpha", "--depth", "16"};
    if (std::system("python3 -c '' 2>/dev/null") != 0) GTEST_SKIP() << "python3 is not installed";
    run = ExchangeWith({"/usr/bin/env", "python3", kInvertPy}, "in.png", "old.png");
    EXPECT_EQ(1, run.ExitCode);
    EXPECT_NE(std::string::npos, ModuleResult.Output.find("reads version 1 documents only"))
        << ModuleResult.Output;
    EXPECT_NE(std::string::npos, run.Output.find("could not answer")) << run.Output;
    EXPECT_FALSE(PathExists(Dir / "old.png"));
    ExpectNothingLeftBehind();
}

// --colour: each input made by ImageMagick from a plasma, with a profile of tests/data/colour assigned
// to it (%p), not applied, and echoed by this test as the module. A converted picture matches lcms2's
// own tificc (on ImageMagick's TIFF of the input) within Tolerance of 16-bit samples, and keeps no
// profile; the others come back as they went in, with their profile where they had one.
struct ColourRow {
    const char* Name;
    const char* Options;  // words split at spaces
    const char* Make;     // ImageMagick's options after the plasma, the input's name last
    const char* Profile;  // in tests/data/colour
    const char* Tificc;   // tificc's depth option for the reference; null: the pixels go through untouched
    int Tolerance;
    bool ProfileKept;
    size_t Warnings;
};

class Colour : public HostRun, public ::testing::WithParamInterface<ColourRow> {};

TEST_P(Colour, ConvertsToSrgbThroughTheProfileOnlyWhenAsked) {
    const ColourRow& row = GetParam();
    const std::string profile = kData + "/colour/" + row.Profile, in = Dir / "in.png";
    std::string make = row.Make;
    const std::string input = make.substr(make.rfind(' ') + 1), cd = "cd '" + Dir.Path() + "' && ";
    const size_t at = make.find("%p");
    ASSERT_EQ(
        0,
        std::system(
            (cd + "/usr/bin/convert -size 33x17 -seed 7 plasma:fractal -define png:exclude-chunk=date,time " +
             (at == std::string::npos ? make : make.replace(at, 2, "'" + profile + "'")))
                .c_str()));
    if (row.Warnings == 1) {  // a profile ImageMagick refuses to assign
        const std::string icc = ReadFileBytes(profile);
        std::string packed(compressBound(uLong(icc.size())), '\0');
        uLongf size = uLongf(packed.size());
        compress(reinterpret_cast<Bytef*>(&packed[0]), &size, reinterpret_cast<const Bytef*>(icc.data()),
                 uLong(icc.size()));
        WriteFileBytes(
            in, WithPngChunk(ReadFileBytes(in), std::string("iCCPcut\0\0", 9) + packed.substr(0, size)));
    }
    std::istringstream words(row.Options);
    Options.assign(std::istream_iterator<std::string>(words), {});
    const ProcessResult run =
        ExchangeAnswering(input, "out.tif", [](const std::string& sent) { return sent; });
    ASSERT_EQ(0, run.ExitCode) << run.Output;
    size_t warnings = 0;
    for (size_t w = run.Output.find("Warning: "); w != std::string::npos;
         w = run.Output.find("Warning: ", w + 1))
        ++warnings;
    EXPECT_EQ(row.Warnings, warnings) << run.Output;
    const std::string saved = ReadFileBytes(Dir / "out.tif");
    EXPECT_EQ(row.ProfileKept, saved.find(ReadFileBytes(profile)) != std::string::npos);
    EXPECT_EQ(row.ProfileKept, saved.find("acsp") != std::string::npos);  // no other profile either
    std::string reference = Dir / input;
    if (row.Tificc != nullptr) {
        ASSERT_EQ(0, std::system((cd + "/usr/bin/convert " + input + " src.tif && tificc " + row.Tificc +
                                  " -i '" + profile + "' -o '*sRGB' -t0 src.tif ref.tif >/dev/null 2>&1")
                                     .c_str()));
        reference = Dir / "ref.tif";
        EXPECT_NE(MagickDecode(Dir / input), MagickDecode(reference));  // the conversion changes something
    }
    const Rgba16 want = MagickDecode(reference), got = MagickDecode(Dir / "out.tif");
    ASSERT_EQ(want.size(), got.size());
    ASSERT_FALSE(want.empty());
    int most = 0;
    for (size_t i = 0; i < want.size(); ++i) most = std::max(most, std::abs(int(want[i]) - int(got[i])));
    EXPECT_LE(most, row.Tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, Colour,
    ::testing::Values(ColourRow{"AdobeRgbTiff8", "--colour srgb", "-depth 8 -profile %p in.tif",
                                "adobe-rgb.icc", "", 257, false, 0},
                      ColourRow{"AdobeRgbTiff16", "--colour=srgb --depth 16", "-depth 16 -profile %p in.tif",
                                "adobe-rgb.icc", "-w16", 48, false, 0},
                      ColourRow{"ProPhotoJpeg", "--colour srgb", "-profile %p -quality 95 in.jpg",
                                "prophoto.icc", "", 257, false, 0},
                      ColourRow{"CmykJpeg", "--colour srgb",
                                "-colorspace CMYK -profile %p -quality 95 in.jpg", "cmyk.icc", "", 257, false,
                                0},
                      ColourRow{"EveryPage", "--colour srgb --frames all",
                                "-seed 8 plasma:fractal -depth 8 -profile %p in.tif", "adobe-rgb.icc", "",
                                257, false, 0},
                      ColourRow{"DefaultKeepsColours", "", "-depth 8 -profile %p in.tif", "adobe-rgb.icc",
                                nullptr, 0, true, 0},
                      ColourRow{"NoProfileIsSrgb", "--colour srgb", "-depth 8 in.png", "adobe-rgb.icc",
                                nullptr, 0, false, 0},
                      ColourRow{"SrgbUnderAnotherName", "--colour srgb", "-depth 8 -profile %p in.png",
                                "srgb-named-camera-rgb.icc", nullptr, 0, true, 0},
                      ColourRow{"UnusableProfileIsSaidOnce", "--colour srgb", "-depth 8 in.png",
                                "cut-short.icc", nullptr, 0, true, 1}),
    NamedBy<&ColourRow::Name>());

// A grey picture with a grey profile stays grey, on the sRGB tone curve: a linear ramp, v / 255
// encoded as IEC 61966-2.1 does, within 1 of 8 bits.
TEST_F(HostRun, ColourSrgbPutsAGreyProfileOnTheSrgbCurve) {
    ASSERT_EQ(0,
              std::system(("cd '" + Dir.Path() + "' && /usr/bin/convert -size 256x1 gradient:black-white " +
                           "-colorspace gray -profile '" + kData + "/colour/linear-grey.icc' in.png")
                              .c_str()));
    // Grey as colour, and kept grey: one sample a pixel to the module.
    for (const bool keepGrey : {false, true}) {
        Options = {"--colour", "srgb"};
        if (keepGrey) Options.push_back("--grey");
        ASSERT_EQ(
            0, ExchangeAnswering("in.png", "out.png", [](const std::string& sent) { return sent; }).ExitCode);
        EXPECT_EQ(keepGrey, Sent.find("<channels>1</channels>") != std::string::npos);
        const Rgba16 in = MagickDecode(Dir / "in.png"), out = MagickDecode(Dir / "out.png");
        ASSERT_EQ(in.size(), out.size());
        for (size_t i = 0; i < in.size(); i += 4) {
            const double v = in[i] / 65535.0;
            EXPECT_NEAR(out[i] / 257,
                        255 * (v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055), 1)
                << i;
            EXPECT_TRUE(out[i] == out[i + 1] && out[i] == out[i + 2]) << i / 4;
        }
    }
}

}  // namespace
