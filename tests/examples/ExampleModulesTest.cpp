// The example modules, each written on its language's module kit (Python, JavaScript, C and the
// same C header built as C++), run as real processes: against the real host on BMP and TGA
// pictures, against hand-written documents that the tolerant reader must accept or refuse with
// the reader's own messages, and in exchange folders set up to trap them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
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
    bool Locks;  // Node has no flock: its kit cannot lock the folder
    // A module on the same kit whose filter answers one byte short (or, in C, reports failure);
    // KITS stands for the kits' folder.
    const char* Failing;
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
        // The header promises plain C99 and C++ alike: any warning fails the build.
        const std::string flags = tool == "cc" ? " -std=c99 -pedantic" : " -x c++ -std=c++11";
        std::string failing = GetParam().Failing;
        failing.replace(failing.find("KITS"), 4, kExamples + "/kits");
        if (tool != "cc" && tool != "c++") {
            Argv = {"/usr/bin/env", tool, source};
            FailingArgv = {"/usr/bin/env", tool, tool == "node" ? "-e" : "-c", failing};
            return;
        }
        ASSERT_TRUE(WriteFileBytes(Dir / "failing.c", failing));
        for (const auto& [from, to] : {std::pair{source, std::string("module")},
                                       std::pair{Dir / "failing.c", std::string("failing")}}) {
            ProcessResult build = RunProcess(
                {"/bin/sh", "-c", tool + flags + " -O2 -Wall -Wextra -Werror -o " + to + " '" + from + "'"},
                Dir.Path(), 60);
            ASSERT_EQ(0, build.ExitCode) << build.Output;
        }
        Argv = {Dir / "module"};
        FailingArgv = {Dir / "failing"};
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

    // Nothing of the module's may stay in the host's folder but what it names.
    void ExpectOnlyInHostFolder(const std::set<std::string>& expected) {
        std::set<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(Dir.Path())) {
            const std::string name = entry.path().filename().string();
            if (name != "mod" && name.rfind("in.", 0) != 0 && name.rfind("failing", 0) != 0 &&
                name != "module") {
                found.insert(name);
            }
        }
        EXPECT_EQ(expected, found);
    }

    ScratchDir Dir;
    std::vector<std::string> Argv;
    std::vector<std::string> FailingArgv;
};

// True once another process holds the folder's lock (the module takes it before it waits).
bool FolderLockedByAnother(const std::string& folder, double timeoutSeconds) {
    for (double waited = 0; waited < timeoutSeconds; waited += 0.01) {
        const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (fd >= 0) close(fd);
        if (!free) return true;
        usleep(10000);
    }
    return false;
}

const std::string kFailureLine =
    "Error: no answer; ../go.flag raised without image.xml so the host stops waiting\n";

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
    EXPECT_EQ(
        "Waiting ...\nRead XML\nParse XML\n"
        "Warning! This is a version 1.0 module and you passed a version 2.0 image.xml file!\n"
        "Converting Image\nSave XML\nStart Corvane\n",
        module.Output);
    EXPECT_EQ(Document(3, 2, Payload(Filtered(pixels))), ReadFileBytes(Dir / "image.xml"));
    EXPECT_TRUE(PathExists(Dir / "go.flag"));
    ExpectExchangeFilesGone();

    std::remove((Dir / "go.flag").c_str());
    module = Hand(Document(0, 4, ""));
    EXPECT_EQ(0, module.ExitCode) << module.Output;
    EXPECT_EQ(Document(0, 4, ""), ReadFileBytes(Dir / "image.xml"));
}

// A refused document ends with the reader's own message (no line end of its own) and the failure
// flag: "../go.flag" without "../image.xml", so a host stops waiting.
TEST_P(ExampleModule, RefusesBrokenDocumentsWithTheReadersMessageAndTheFailureFlag) {
    const std::string full = Document(2, 2, std::string(12, 'x'));
    const std::vector<std::pair<std::string, std::string>> broken = {
        {"", "Tag <image> not found.  The document ends early"},
        {"<image><header", "Tag <header> not found.  The document ends early"},
        {"<image><header><version>", "Number expected.  The document ends early"},
        {"<image><header><version>1</version><width>1", "Tag </width> not found.  The document ends early"},
        {full.substr(0, full.find("<pixels>") + 8 + 11), "Pixels expected.  The document ends early"},
        // Too few pixels: "</pixels>" starts inside the payload.
        {Document(2, 2, std::string(11, 'x')), "Tag </pixels> not found.  Expected character '<' not found"},
        {" <image><header><version>1</version><Width>1</Width>",
         "Wrong Tag: <Width> found but <width> expected"},
        {"<image><h\xe9\tr>", "Wrong Tag: <h\xe9\tr> found but <header> expected"},
        {"<image><header><version>1</version><width >1</width>",
         "Wrong Tag: <width > found but <width> expected"},
        {"<image><header><version>1</version><width>-1</width>",
         "Number expected.  Invalid character not within 0-9"},
        {"<image><header><version>1</version><width>0000000004000000000</width>",
         "Number too large.  Exceeds 2147483647"},
        // Refused before anything that size is allocated.
        {Document(2147483647, 2147483647, "xyz"), "Image too large.  More than 1431655765 pixels"},
    };
    for (const auto& [document, message] : broken) {
        SCOPED_TRACE(document);
        ProcessResult module = Hand(document);
        EXPECT_EQ(1, module.ExitCode) << module.Output;
        EXPECT_EQ("Waiting ...\nRead XML\nParse XML\n" + message + "\n" + kFailureLine, module.Output);
        EXPECT_EQ("finished", ReadFileBytes(Dir / "go.flag"));
        EXPECT_FALSE(PathExists(Dir / "image.xml"));
        ExpectExchangeFilesGone();
        std::remove((Dir / "go.flag").c_str());
    }
}

// The real host against a module in a trapped folder: every failure reaches the host through the
// failure flag (exit 1 at its next look, not a wait for ever), and no link is written through.
TEST_P(ExampleModule, KeepsTheHostAndOtherFilesSafeInATrappedFolder) {
    namespace fs = std::filesystem;
    struct Trap {
        const char* Name;
        std::function<void(const ScratchDir&)> Set;  // runs once the host's flag is up
        int ModuleExit;
        int HostExit;
    };
    const std::vector<Trap> traps = {
        {"malformed document",
         [](const ScratchDir& dir) { WriteFileBytes(dir / "mod/image.xml", "<image><oops>"); }, 1, 1},
        {"document replaced by a link",
         [](const ScratchDir& dir) {
             fs::remove(dir / "mod/image.xml");
             fs::create_symlink(dir / "victim", dir / "mod/image.xml");
         },
         1, 1},
        {"answer name taken by a link",
         [](const ScratchDir& dir) { fs::create_symlink(dir / "victim", dir / "image.xml"); }, 0, 0},
    };
    const std::string victim = "the user's own file, which no exchange may touch";
    const Picture picture = MakePicture();
    ASSERT_TRUE(SavePicture(picture, Dir / "in.bmp"));
    for (const Trap& trap : traps) {
        SCOPED_TRACE(trap.Name);
        ASSERT_TRUE(WriteFileBytes(Dir / "victim", victim));
        std::remove((Dir / "out.bmp").c_str());
        ChildProcess host;
        ASSERT_TRUE(host.Start({kHost, "mod", "in.bmp", "out.bmp"}, Dir.Path()));
        ASSERT_TRUE(WaitForPath(ExchangeDir() + "/go.flag", 10));
        trap.Set(Dir);
        ProcessResult module = RunProcess(Argv, ExchangeDir(), 20);
        ProcessResult run = host.Wait(20);
        EXPECT_EQ(trap.ModuleExit, module.ExitCode) << module.Output;
        EXPECT_FALSE(run.TimedOut) << run.Output;
        EXPECT_EQ(trap.HostExit, run.ExitCode) << run.Output;
        EXPECT_EQ(trap.HostExit == 0, PathExists(Dir / "out.bmp"));
        EXPECT_EQ(victim, ReadFileBytes(Dir / "victim"));
        fs::remove(Dir / "mod/image.xml");
        ExpectExchangeFilesGone();
        EXPECT_FALSE(PathExists(Dir / "go.flag"));
        EXPECT_FALSE(fs::exists(fs::symlink_status(Dir / "image.xml")));
        ExpectOnlyInHostFolder({"victim", trap.HostExit == 0 ? "out.bmp" : "victim"});
    }
}

// A second copy in the same folder stops at once and touches nothing; the first still answers.
TEST_P(ExampleModule, SecondCopyInTheSameFolderStopsAtOnce) {
    if (!GetParam().Locks) GTEST_SKIP() << "Node.js has no flock; the kit documents that it does not lock";
    ChildProcess first;
    ASSERT_TRUE(first.Start(Argv, ExchangeDir()));
    ASSERT_TRUE(FolderLockedByAnother(ExchangeDir(), 10));
    ProcessResult second = RunProcess(Argv, ExchangeDir(), 20);
    EXPECT_EQ(1, second.ExitCode);
    EXPECT_EQ("Another module is already waiting in this folder; this one stops\n", second.Output);
    const std::vector<Rgb> pixels = {{1, 2, 3}};
    WriteFileBytes(ExchangeDir() + "/image.xml", Document(1, 1, Payload(pixels)));
    WriteFileBytes(ExchangeDir() + "/go.flag", "");
    ProcessResult answered = first.Wait(20);
    EXPECT_EQ(0, answered.ExitCode) << answered.Output;
    EXPECT_EQ(Document(1, 1, Payload(Filtered(pixels))), ReadFileBytes(Dir / "image.xml"));
}

// A filter that fails, and an answer over the file-size limit (the kit must see the write fail,
// not die of SIGXFSZ): the failure flag goes up, no partial answer or temporary file stays.
TEST_P(ExampleModule, RaisesTheFailureFlagWhenItCannotAnswer) {
    std::vector<Rgb> pixels(400, Rgb{1, 2, 3});  // a 1200-byte payload, above a 512-byte limit
    const std::string document = Document(20, 20, Payload(pixels));
    for (bool sizeLimit : {false, true}) {
        SCOPED_TRACE(sizeLimit ? "file-size limit" : "failing filter");
        WriteFileBytes(ExchangeDir() + "/image.xml", document);
        WriteFileBytes(ExchangeDir() + "/go.flag", "");
        std::vector<std::string> argv = FailingArgv;
        if (sizeLimit) {
            argv = {"/bin/sh", "-c", "ulimit -f 1 && exec \"$@\"", "sh"};
            argv.insert(argv.end(), Argv.begin(), Argv.end());
        }
        ProcessResult module = RunProcess(argv, ExchangeDir(), 20);
        EXPECT_TRUE(module.Exited) << module.Output;
        EXPECT_EQ(1, module.ExitCode) << module.Output;
        EXPECT_NE(std::string::npos, module.Output.find(kFailureLine)) << module.Output;
        EXPECT_EQ("finished", ReadFileBytes(Dir / "go.flag"));
        ExpectOnlyInHostFolder({"go.flag"});
        ExpectExchangeFilesGone();
        std::remove((Dir / "go.flag").c_str());
    }
}

const char kPythonFailing[] =
    "import sys; sys.path.insert(0, 'KITS'); from corvane_module import run; run(lambda w, h, p: p[:-1])";
const char kNodeFailing[] = "require('KITS/corvane-module.js').run((w, h, p) => p.subarray(1))";
const char kCFailing[] =
    "#include \"KITS/corvane_module.h\"\n"
    "static int Fail(int32_t w, int32_t h, unsigned char *p, size_t n) { return w + h + !p + (int)n >= 0; }\n"
    "int main(void) { return corvane_run(Fail); }\n";

INSTANTIATE_TEST_SUITE_P(
    Examples, ExampleModule,
    ::testing::Values(Example{"PythonInvert", "python3", "invert.py", Negative, true, kPythonFailing},
                      Example{"NodeGreyscale", "node", "greyscale.js", Grey, false, kNodeFailing},
                      Example{"CSepia", "cc", "sepia.c", Sepia, true, kCFailing},
                      Example{"CppSepia", "c++", "sepia.c", Sepia, true, kCFailing}),
    [](const ::testing::TestParamInfo<Example>& info) { return std::string(info.param.Name); });

}  // namespace
