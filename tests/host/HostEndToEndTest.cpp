// The host program run for real: with the shipped modules, with a module in another language,
// and with this test playing the module to check the documents byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "ProcessRunner.h"
#include "TestPictures.h"

namespace {

const std::string kHost = CORVANE_HOST;
const std::string kTemplate = CORVANE_TEMPLATE;
const std::string kAmbrel = CORVANE_AMBREL;
const std::string kInvertPy = CORVANE_EXAMPLES "/invert.py";

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
            out.Pixels[size_t(y) * size_t(in.Width) + size_t(x)] = {
                uint8_t((a.Red + b.Red) / 2), uint8_t((a.Green + b.Green) / 2), uint8_t((a.Blue + b.Blue) / 2)};
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
        EXPECT_TRUE(host.Start({kHost, "mod", input, output}, Dir.Path()));
        if (WaitForPath(ExchangeDir() + "/go.flag", 10)) module();
        return host.Wait(20);
    }

    // The real module program, started in the exchange folder.
    ProcessResult ExchangeWith(const std::vector<std::string>& moduleArgv, const std::string& input,
                               const std::string& output) {
        return Exchange(input, output, [&] {
            ModuleResult = RunProcess(moduleArgv, ExchangeDir(), 20);
        });
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
    ProcessResult ModuleResult;
    std::string Sent;
};

TEST_F(HostRun, WrongArgumentCountPrintsBannerAndTouchesNothing) {
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{kHost}, {kHost, "mod", "in.bmp"}, {kHost, "mod", "in.bmp", "out.bmp", "x"}}) {
        ProcessResult run = RunProcess(argv, Dir.Path());
        EXPECT_EQ(2, run.ExitCode);
        EXPECT_EQ(0u, run.Output.find("\nCorvane version 1.1\n\n"));
        EXPECT_NE(std::string::npos, run.Output.find("Syntax: corvane [dir] [input.bmp] [output.bmp]\n"));
    }
    EXPECT_FALSE(PathExists(ExchangeDir() + "/image.xml"));

    ProcessResult help = RunProcess({kHost, "--help"}, Dir.Path());
    EXPECT_EQ(0, help.ExitCode);
    EXPECT_NE(std::string::npos, help.Output.find("Syntax: corvane"));
    ProcessResult version = RunProcess({kHost, "--version"}, Dir.Path());
    EXPECT_EQ(0, version.ExitCode);
    EXPECT_EQ("Corvane version 1.1\n", version.Output);
}

TEST_F(HostRun, MissingInputLeavesAnEmptyDocumentAndNoFlag) {
    WriteFileBytes(ExchangeDir() + "/image.xml", "old content");
    ProcessResult run = RunProcess({kHost, "mod", "nothere.bmp", "out.bmp"}, Dir.Path());
    EXPECT_EQ(1, run.ExitCode);
    EXPECT_EQ("can't load nothere.bmp, please put nothere.bmp in same folder to the executable binary.\n",
              run.Output);
    EXPECT_EQ("", ReadFileBytes(ExchangeDir() + "/image.xml"));
    EXPECT_FALSE(PathExists(ExchangeDir() + "/go.flag"));
}

TEST_F(HostRun, UnreadableInputsAreReportedWithoutAFlag) {
    ASSERT_TRUE(SavePicture(MakePicture(2, 2), Dir / "in.bmp"));
    WriteFileBytes(Dir / "in.png", ReadFileBytes(Dir / "in.bmp"));
    WriteFileBytes(Dir / "broken.bmp", "BM not really");
    for (const std::string input : {"in.png", "broken.bmp"}) {
        ProcessResult run = RunProcess({kHost, "mod", input, "out.bmp"}, Dir.Path());
        EXPECT_EQ(1, run.ExitCode);
        EXPECT_EQ("Read " + input + "\nRead " + input + " failed.\n", run.Output);
        EXPECT_FALSE(PathExists(ExchangeDir() + "/go.flag"));
    }
}

TEST_F(HostRun, RefusesUnusableExchangeFolders) {
    ASSERT_TRUE(SavePicture(MakePicture(2, 2), Dir / "in.bmp"));
    ProcessResult self = RunProcess({kHost, ".", "in.bmp", "out.bmp"}, Dir.Path());
    EXPECT_EQ(1, self.ExitCode);
    EXPECT_FALSE(PathExists(Dir / "image.xml"));
    EXPECT_FALSE(PathExists(Dir / "go.flag"));

    ProcessResult missing = RunProcess({kHost, "nofolder", "in.bmp", "out.bmp"}, Dir.Path(), 5);
    EXPECT_EQ(1, missing.ExitCode);
    EXPECT_FALSE(missing.TimedOut);
    EXPECT_NE(std::string::npos, missing.Output.find("nofolder/image.xml"));
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
    const std::string head = Document(5, 3, "").substr(0, Document(5, 3, "").size() - std::string(kTail).size());
    ASSERT_EQ(head.size() + 45 + std::string(kTail).size(), Sent.size());
    for (size_t k = 0; k < picture.Pixels.size(); ++k) {
        const Rgb sent{uint8_t(Sent[head.size() + 3 * k]), uint8_t(Sent[head.size() + 3 * k + 1]),
                       uint8_t(Sent[head.size() + 3 * k + 2])};
        EXPECT_EQ(picture.Pixels[k], sent) << "pixel " << k;
    }
}

TEST_F(HostRun, AnswerOfAnotherShapeIsTakenInPayloadOrder) {
    Picture picture = MakePicture(2, 3);
    ASSERT_TRUE(SavePicture(picture, Dir / "in.bmp"));
    std::string payload;
    for (int k = 0; k < 6; ++k) payload += std::string{char(k), char(10 * k), char(20 * k)};
    ProcessResult run =
        ExchangeAnswering("in.bmp", "out.bmp", [&](const std::string&) { return Document(3, 2, payload); });
    EXPECT_EQ(0, run.ExitCode);
    Picture back;
    ASSERT_TRUE(LoadPicture(Dir / "out.bmp", back));
    ASSERT_EQ(2, back.Width);
    for (int k = 0; k < 6; ++k) EXPECT_EQ((Rgb{uint8_t(k), uint8_t(10 * k), uint8_t(20 * k)}), back.Pixels[k]);
}

TEST_F(HostRun, ShortOrBrokenAnswersSaveNothing) {
    ASSERT_TRUE(SavePicture(MakePicture(2, 3), Dir / "in.bmp"));
    ProcessResult shortAnswer =
        ExchangeAnswering("in.bmp", "out.bmp", [](const std::string&) { return Document(1, 3, "abcdefghi"); });
    EXPECT_EQ(1, shortAnswer.ExitCode);
    EXPECT_NE(std::string::npos, shortAnswer.Output.find("nothing saved"));
    EXPECT_FALSE(PathExists(Dir / "out.bmp"));

    ProcessResult broken =
        ExchangeAnswering("in.bmp", "out.bmp", [](const std::string&) { return std::string("<image><oops>"); });
    EXPECT_EQ(1, broken.ExitCode);
    EXPECT_FALSE(PathExists(Dir / "out.bmp"));
}

TEST_F(HostRun, OutputFormatWithoutWriterFails) {
    ASSERT_TRUE(SavePicture(MakePicture(2, 2), Dir / "in.bmp"));
    ProcessResult run = ExchangeAnswering("in.bmp", "out.gif", [](const std::string& doc) { return doc; });
    EXPECT_EQ(1, run.ExitCode);
    EXPECT_NE(std::string::npos, run.Output.find("Save out.gif failed.\n"));
    EXPECT_FALSE(PathExists(Dir / "out.gif"));
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

struct ModuleCase {
    const char* Name;
    std::vector<std::string> Argv;
    const char* Input;
    const char* Output;
    Picture (*Expected)(const Picture&);
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
    ::testing::Values(ModuleCase{"TemplateBmp", {kTemplate}, "in.bmp", "out.bmp", HalfTurn},
                      ModuleCase{"TemplateTga", {kTemplate}, "in.tga", "out.tga", HalfTurn},
                      ModuleCase{"TemplatePng", {kTemplate}, "in.png", "out.png", HalfTurn},
                      ModuleCase{"AmbrelBmpToTga", {kAmbrel}, "in.bmp", "out.tga", MirrorBlend},
                      ModuleCase{"AmbrelTgaToBmp", {kAmbrel}, "in.tga", "out.bmp", MirrorBlend},
                      ModuleCase{"PythonInvert", {"/usr/bin/env", "python3", kInvertPy}, "in.bmp", "out.tga",
                                 Negative}),
    [](const ::testing::TestParamInfo<ModuleCase>& info) { return std::string(info.param.Name); });

// JPEG and GIF arrive through the picture decoder, PNG through its own codec; all leave as TGA, turned.
class PictureInput : public HostRun, public ::testing::WithParamInterface<const char*> {};

TEST_P(PictureInput, IsTurnedAndSaved) {
    const std::string source = std::string(CORVANE_TEST_DATA) + "/" + GetParam();
    const std::string input = std::string("in") + source.substr(source.rfind('.'));
    ASSERT_TRUE(WriteFileBytes(Dir / input, ReadFileBytes(source)));
    Picture picture;
    ASSERT_TRUE(LoadPicture(Dir / input, picture));
    ProcessResult run = ExchangeWith({kTemplate}, input, "out.tga");
    EXPECT_EQ(0, run.ExitCode) << run.Output;
    Picture back;
    ASSERT_TRUE(LoadPicture(Dir / "out.tga", back));
    EXPECT_EQ(HalfTurn(picture).Pixels, back.Pixels);
}

INSTANTIATE_TEST_SUITE_P(JpegGifAndPng, PictureInput,
                         ::testing::Values("jpeg/wuffs/hippopotamus.jpeg",
                                           "gif/wuffs/hippopotamus.interlaced.gif",
                                           "png/pngsuite/basi3p08.png"));

}  // namespace
