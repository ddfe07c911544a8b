// The example modules in Python, JavaScript and C run as real processes: against the real host on
// BMP and TGA pictures, and against hand-written documents that a tolerant reader must accept or refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ProcessRunner.h"
#include "TestPictures.h"

namespace {

const std::string kHost = CORVANE_HOST;
const std::string kExamples = CORVANE_EXAMPLES;

// No symmetry, an odd width (row padding), white (sepia clamps it) and the bytes 0x0A and 0x0D.
Picture MakePicture() {
    Picture picture{7, 5, {}};
    for (int32_t y = 0; y < picture.Height; ++y) {
        for (int32_t x = 0; x < picture.Width; ++x) {
            picture.Pixels.push_back(
                {uint8_t(x * 41 + y * 7), uint8_t(0x0A + y * 59 - x), uint8_t(0x0D ^ (x * y * 29))});
        }
    }
    picture.Pixels.back() = {255, 255, 255};
    return picture;
}

Rgb Negative(Rgb p) {
    return {uint8_t(255 - p.Red), uint8_t(255 - p.Green), uint8_t(255 - p.Blue)};
}

// Rec. 601 luma, rounded half up.
Rgb Grey(Rgb p) {
    const uint8_t grey = uint8_t((299 * p.Red + 587 * p.Green + 114 * p.Blue + 500) / 1000);
    return {grey, grey, grey};
}

Rgb Sepia(Rgb p) {
    auto tone = [&](int r, int g, int b) {
        return uint8_t(std::min(255, (r * p.Red + g * p.Green + b * p.Blue) / 1000));
    };
    return {tone(393, 769, 189), tone(349, 686, 168), tone(272, 534, 131)};
}

struct Example {
    const char* Name;
    const char* Tool;  // the interpreter or compiler it needs
    const char* Source;
    Rgb (*Filter)(Rgb);
};

void PrintTo(const Example& example, std::ostream* out) {
    *out << example.Name;
}

std::string Payload(const std::vector<Rgb>& pixels) {
    std::string bytes;
    for (const Rgb& p : pixels) bytes += {char(p.Red), char(p.Green), char(p.Blue)};
    return bytes;
}

std::string Document(int32_t width, int32_t height, const std::string& payload) {
    return "<image><header><version>1</version><width>" + std::to_string(width) + "</width><height>" +
           std::to_string(height) + "</height></header><pixels>" + payload + "</pixels></image>";
}

class ExampleModule : public ::testing::TestWithParam<Example> {
  protected:
    void SetUp() override {
        const std::string tool = GetParam().Tool;
        if (std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) != 0) {
            GTEST_SKIP() << tool << " is not installed";
        }
        ASSERT_EQ(0, std::system(("mkdir " + ExchangeDir()).c_str()));
        const std::string source = kExamples + "/" + GetParam().Source;
        if (tool != "cc") {
            Argv = {"/usr/bin/env", tool, source};
            return;
        }
        ProcessResult build =
            RunProcess({"/bin/sh", "-c", "cc -O2 -o module '" + source + "'"}, Dir.Path(), 60);
        ASSERT_EQ(0, build.ExitCode) << build.Output;
        Argv = {Dir / "module"};
    }

    std::string ExchangeDir() const { return Dir / "mod"; }

    std::vector<Rgb> Filtered(const std::vector<Rgb>& pixels) const {
        std::vector<Rgb> out;
        for (const Rgb& p : pixels) out.push_back(GetParam().Filter(p));
        return out;
    }

    // This test as the host: hands `document` over and lets the module answer.
    ProcessResult Hand(const std::string& document) {
        WriteFileBytes(ExchangeDir() + "/image.xml", document);
        WriteFileBytes(ExchangeDir() + "/go.flag", "");
        return RunProcess(Argv, ExchangeDir(), 20);
    }

    void ExpectExchangeFilesGone() {
        for (const char* name : {"go.flag", "image.xml"}) {
            EXPECT_FALSE(PathExists(ExchangeDir() + "/" + name)) << "mod/" << name;
        }
    }

    ScratchDir Dir;
    std::vector<std::string> Argv;
};

TEST_P(ExampleModule, AnswersTheHostWithItsFilter) {
    const Picture picture = MakePicture();
    for (const auto& [input, output] : {std::pair{"in.bmp", "out.tga"}, std::pair{"in.tga", "out.bmp"}}) {
        SCOPED_TRACE(input);
        ASSERT_TRUE(SavePicture(picture, Dir / input));
        ChildProcess host;
        ASSERT_TRUE(host.Start({kHost, "mod", input, output}, Dir.Path()));
        ASSERT_TRUE(WaitForPath(ExchangeDir() + "/go.flag", 10));
        ProcessResult module = RunProcess(Argv, ExchangeDir(), 20);
        ProcessResult run = host.Wait(20);
        EXPECT_EQ(0, module.ExitCode) << module.Output;
        ASSERT_EQ(0, run.ExitCode) << run.Output;
        Picture back;
        ASSERT_TRUE(LoadPicture(Dir / output, back));
        EXPECT_EQ(picture.Width, back.Width);
        EXPECT_EQ(picture.Height, back.Height);
        EXPECT_EQ(Filtered(picture.Pixels), back.Pixels);
        ExpectExchangeFilesGone();
        EXPECT_FALSE(PathExists(Dir / "go.flag"));
        EXPECT_FALSE(PathExists(Dir / "image.xml"));
    }
}

// Whitespace between tags and around numbers, leading zeros, a newer version and markup bytes in
// the payload are all accepted; whatever follows "</image>" is not looked at.
TEST_P(ExampleModule, ReadsAnyValidDocumentAndAnswersInTheWrittenForm) {
    const std::vector<Rgb> pixels = {{'<', '>', ' '}, {'\n', '\r', '\t'}, {0, 255, 128},
                                     {'/', 'p', '>'}, {200, 10, 0},       {' ', ' ', ' '}};
    const std::string document =
        " \r\n<image>\n\t<header><version> 2 </version>\n<width>\n 003\t</width>"
        "<height>2</height>\r\n</header>  <pixels>" +
        Payload(pixels) + " \n</pixels>\t</image>\n<image>";
    ProcessResult module = Hand(document);
    EXPECT_EQ(0, module.ExitCode) << module.Output;
    EXPECT_EQ(Document(3, 2, Payload(Filtered(pixels))), ReadFileBytes(Dir / "image.xml"));
    EXPECT_TRUE(PathExists(Dir / "go.flag"));
    ExpectExchangeFilesGone();

    std::remove((Dir / "go.flag").c_str());
    module = Hand(Document(0, 4, ""));
    EXPECT_EQ(0, module.ExitCode) << module.Output;
    EXPECT_EQ(Document(0, 4, ""), ReadFileBytes(Dir / "image.xml"));
}

TEST_P(ExampleModule, RefusesBrokenDocumentsWithoutAnswering) {
    const std::string full = Document(2, 2, std::string(12, 'x'));
    const std::vector<std::string> broken = {
        "",
        full.substr(0, full.find("<pixels>") + 8 + 11),  // the payload ends a byte early
        Document(2, 2, std::string(11, 'x')),            // too few pixels: "</pixels>" lands inside
        " <image><header><version>1</version><Width>1</Width>",
        "<image><header><version>1</version><width >1</width>",
        "<image><header><version>1</version><width>-1</width>",
        "<image><header><version>1</version><width>4000000000</width><height>1</height>",
        Document(2147483647, 2147483647, "xyz"),  // must be refused before anything that size is allocated
    };
    for (const std::string& document : broken) {
        SCOPED_TRACE(document);
        ProcessResult module = Hand(document);
        EXPECT_EQ(1, module.ExitCode) << module.Output;
        EXPECT_FALSE(PathExists(Dir / "go.flag"));
        EXPECT_FALSE(PathExists(Dir / "image.xml"));
        ExpectExchangeFilesGone();
    }
}

INSTANTIATE_TEST_SUITE_P(Examples, ExampleModule,
                         ::testing::Values(Example{"PythonInvert", "python3", "invert.py", Negative},
                                           Example{"NodeGreyscale", "node", "greyscale.js", Grey},
                                           Example{"CSepia", "cc", "sepia.c", Sepia}),
                         [](const ::testing::TestParamInfo<Example>& info) {
                             return std::string(info.param.Name);
                         });

}  // namespace
