// The example modules, each written on its language's module kit (Python, JavaScript, C and the
// same C header built as C++), run as real processes: against the real host on BMP and TGA
// pictures, against hand-written documents that the tolerant reader must accept or refuse with
// the reader's own messages (the shared list of malformed documents), in exchange folders set up
// to trap them, and stopped, starved of disk or given arguments; version 2 documents of each form
// through filters that take them and filters that do not; and every kit giving up with --timeout.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "ProcessRunner.h"
#include "RowNames.h"
#include "TestPictures.h"

namespace {

const std::string kHost = CORVANE_HOST;
const std::string kExamples = CORVANE_EXAMPLES;
const std::string kLimiter = CORVANE_LIMITER;

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
    bool Locks;  // Node has no flock: its kit locks neither the folder nor ".corvane-busy"
    // A module on the same kit that its arguments steer: none, it answers one byte short (in C,
    // reports failure); "sleep", it waits a minute in the filter; "fill N", every byte is N.
    // KITS stands for the kits' folder.
    const char* Probe;
    // A filter on the same kit that takes version 2 ("any" or "alpha", its first argument): the
    // last byte of each pixel plus one (with Python's "array", the last sample plus one).
    const char* FormProbe;
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

struct Form {
    int Version, Channels, Depth;  // version 1: version 1's tags, 3 channels of 8 bits
    int Frames = 1;                // 2 or more: an animation's, in a version 2 document
};

std::string FormDocument(const Form& form, int32_t width, int32_t height, const std::string& payload) {
    std::string document = Document(width, height, payload);
    if (form.Version == 1) return document;
    document.replace(24, 1, "2");  // the version's digit
    const std::string frames = form.Frames > 1 ? "<frames>" + std::to_string(form.Frames) + "</frames>" : "";
    return document.insert(document.find("</header>"), "<channels>" + std::to_string(form.Channels) +
                                                           "</channels><depth>" + std::to_string(form.Depth) +
                                                           "</depth>" + frames);
}

// Bytes that differ and are never 0xFF, so that plus one never carries.
std::string FormPayload(const Form& form, int32_t pixels) {
    std::string bytes;
    for (size_t i = 0; i < size_t(pixels * form.Channels * form.Depth / 8); ++i) bytes += char(i * 29 % 255);
    return bytes;
}

const std::string kOnlyVersion1 =
    "This module reads version 1 documents only: run corvane without --alpha and --depth 16";
const std::string kNeedsAlpha = "This module needs alpha (4 channels): run corvane with --alpha";
const std::string kGreyOnlyVersion1 =
    "This module reads version 1 documents only: run corvane without --grey, --alpha and --depth 16";
const std::string kNeedsColour = "This module needs colour (3 or 4 channels): run corvane without --grey";
const std::string kNeedsGreyAlpha = "This module needs alpha (2 or 4 channels): run corvane with --alpha";

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
        std::string probe = GetParam().Probe;
        probe.replace(probe.find("KITS"), 4, kExamples + "/kits");
        std::string formProbe = GetParam().FormProbe;
        formProbe.replace(formProbe.find("KITS"), 4, kExamples + "/kits");
        const std::string extension = tool == "node" ? ".js" : tool == "python3" ? ".py" : ".c";
        const std::string probeSource = Dir / ("probe" + extension);
        FormProbeSource = Dir / ("probe-form" + extension);
        ASSERT_TRUE(WriteFileBytes(probeSource, probe));
        ASSERT_TRUE(WriteFileBytes(FormProbeSource, formProbe));
        if (tool != "cc" && tool != "c++") {
            Argv = {"/usr/bin/env", tool, source};
            ProbeArgv = {"/usr/bin/env", tool, probeSource};
            FormProbeArgv = {"/usr/bin/env", tool, FormProbeSource};
            return;
        }
        // The sanitizers stop the C kit at any read past the document it was handed.
        for (const auto& [from, to] :
             {std::pair{source, std::string("module")}, std::pair{probeSource, std::string("probe")},
              std::pair{FormProbeSource, std::string("probe-form")}}) {
            ProcessResult build =
                RunProcess({"/bin/sh", "-c",
                            tool + flags + " -O2 -Wall -Wextra -Werror -fsanitize=address,undefined " +
                                "-fno-sanitize-recover=all -o " + to + " '" + from + "'"},
                           Dir.Path(), 60);
            ASSERT_EQ(0, build.ExitCode) << build.Output;
        }
        Argv = {Dir / "module"};
        ProbeArgv = {Dir / "probe"};
        FormProbeArgv = {Dir / "probe-form"};
    }

    std::string ExchangeDir() const { return Dir / "mod"; }

    std::vector<Rgb> Filtered(const std::vector<Rgb>& pixels) const {
        std::vector<Rgb> out;
        for (const Rgb& p : pixels) out.push_back(GetParam().Filter(p));
        return out;
    }

    // This test as the host: hands `document` over and lets the module answer.
    ProcessResult Hand(const std::string& document, const std::vector<std::string>& extra = {},
                       std::vector<std::string> argv = {}) {
        WriteFileBytes(ExchangeDir() + "/image.xml", document);
        WriteFileBytes(ExchangeDir() + "/go.flag", "");
        if (argv.empty()) argv = extra.empty() ? Argv : ProbeArgv;
        argv.insert(argv.end(), extra.begin(), extra.end());
        return RunProcess(argv, ExchangeDir(), 20);
    }

    void ExpectExchangeFilesGone() {
        for (const char* name : {"go.flag", "image.xml", ".corvane-busy"}) {
            EXPECT_FALSE(PathExists(ExchangeDir() + "/" + name)) << "mod/" << name;
        }
    }

    // Nothing of the module's may stay in the host's folder but what it names.
    void ExpectOnlyInHostFolder(const std::set<std::string>& expected) {
        std::set<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(Dir.Path())) {
            const std::string name = entry.path().filename().string();
            if (name != "mod" && name.rfind("in.", 0) != 0 && name.rfind("probe", 0) != 0 &&
                name != "module") {
                found.insert(name);
            }
        }
        EXPECT_EQ(expected, found);
    }

    ScratchDir Dir;
    std::vector<std::string> Argv;
    std::vector<std::string> ProbeArgv;
    std::vector<std::string> FormProbeArgv;
    std::string FormProbeSource;
};

// True once another process holds the flock of `path`: the folder (a module takes it before it
// waits) or ".corvane-busy" (held while it works on a picture).
bool LockedByAnother(const std::string& path, double timeoutSeconds) {
    for (double waited = 0; waited < timeoutSeconds; waited += 0.01) {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
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

// Whitespace between tags and around numbers, leading zeros, a version newer than 2 (read as
// version 1) and markup bytes in the payload are all accepted; whatever follows "</image>" is not
// looked at.
TEST_P(ExampleModule, ReadsAnyValidDocumentAndAnswersInTheWrittenForm) {
    const std::vector<Rgb> pixels = {{'<', '>', ' '}, {'\n', '\r', '\t'}, {0, 255, 128},
                                     {'/', 'p', '>'}, {200, 10, 0},       {' ', ' ', ' '}};
    const std::string document =
        " \r\n<image>\n\t<header><version> 3 </version>\n<width>\n 003\t</width>"
        "<height>2</height>\r\n</header>  <pixels>" +
        Payload(pixels) + " \n</pixels>\t</image>\n<image>";
    ProcessResult module = Hand(document);
    EXPECT_EQ(0, module.ExitCode) << module.Output;
    EXPECT_EQ(
        "Waiting ...\nRead XML\nParse XML\n"
        "Warning! This is a version 1.0 module and you passed a version 3.0 image.xml file!\n"
        "Converting Image\nSave XML\nStart Corvane\n",
        module.Output);
    EXPECT_EQ(Document(3, 2, Payload(Filtered(pixels))), ReadFileBytes(Dir / "image.xml"));
    EXPECT_TRUE(PathExists(Dir / "go.flag"));
    ExpectExchangeFilesGone();

    std::remove((Dir / "go.flag").c_str());
    module = Hand(Document(0, 4, ""));
    EXPECT_EQ(0, module.ExitCode) << module.Output;
    EXPECT_EQ(Document(0, 4, ""), ReadFileBytes(Dir / "image.xml"));

    // The command line reaches the filter, each argument in its place; the kit takes a --timeout
    // in front off it first.
    for (const std::vector<std::string>& extra : {std::vector<std::string>{"fill", "55"},
                                                  {"--timeout", "20", "fill", "55"},
                                                  {"--timeout=20", "fill", "55"}}) {
        SCOPED_TRACE(extra.front());
        std::remove((Dir / "go.flag").c_str());
        module = Hand(Document(2, 1, "abcdef"), extra);
        EXPECT_EQ(0, module.ExitCode) << module.Output;
        EXPECT_EQ(Document(2, 1, "777777"), ReadFileBytes(Dir / "image.xml"));
    }
}

struct MalformedDocument {
    bool BeforeParse;  // refused from the file's size and head, before "Parse XML"
    std::string Message;
    std::string Bytes;
};

// \t \n \r \\ and \xNN in the list stand for those bytes.
std::string Unescape(const std::string& text) {
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            bytes += text[i];
        } else if (text[++i] == 'x' && i + 2 < text.size()) {
            bytes += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            bytes += text[i] == 't' ? '\t' : text[i] == 'n' ? '\n' : text[i] == 'r' ? '\r' : text[i];
        }
    }
    return bytes;
}

std::vector<MalformedDocument> LoadMalformedDocuments() {
    std::ifstream list(std::string(CORVANE_TEST_DATA) + "/malformed-documents.tsv", std::ios::binary);
    std::vector<MalformedDocument> documents;
    for (std::string line; std::getline(list, line);) {
        const size_t first = line.find('\t');
        const size_t second = line.find('\t', first + 1);
        if (line.empty() || line[0] == '#' || second == std::string::npos) continue;
        documents.push_back({line.substr(0, first) == "read",
                             Unescape(line.substr(first + 1, second - first - 1)),
                             Unescape(line.substr(second + 1))});
    }
    return documents;
}

// A refused document ends with the reader's own message (no line end of its own) and the failure
// flag: "../go.flag" without "../image.xml", so a host stops waiting. The shared list, then what no
// list can hold: a folder in the document's place, and a 6 GiB sparse file behind a 1 x 1 head,
// refused from its head alone (fast, and without reading it into memory).
TEST_P(ExampleModule, RefusesBrokenDocumentsWithTheReadersMessageAndTheFailureFlag) {
    const std::vector<MalformedDocument> documents = LoadMalformedDocuments();
    ASSERT_GE(documents.size(), 20u);
    struct Planted {
        const char* Name;
        std::function<void(const std::string&)> Plant;
        std::string Message;
    };
    const std::vector<Planted> planted = {
        {"a folder", [](const std::string& path) { std::filesystem::create_directory(path); },
         "image.xml cannot be opened"},
        {"6 GiB sparse",
         [](const std::string& path) {
             WriteFileBytes(path, Document(1, 1, "abc"));
             ASSERT_EQ(0, truncate(path.c_str(), 6LL << 30));
         },
         "Document too large.  More than 4202 bytes for a 1 x 1 image"},
    };
    auto expectRefused = [&](const ProcessResult& module, bool beforeParse, const std::string& message) {
        EXPECT_EQ(1, module.ExitCode) << module.Output;
        EXPECT_EQ("Waiting ...\nRead XML\n" + std::string(beforeParse ? "" : "Parse XML\n") + message + "\n" +
                      kFailureLine,
                  module.Output);
        EXPECT_EQ("finished", ReadFileBytes(Dir / "go.flag"));
        EXPECT_FALSE(PathExists(Dir / "image.xml"));
        std::remove((Dir / "go.flag").c_str());
    };
    for (const MalformedDocument& document : documents) {
        SCOPED_TRACE(document.Bytes.substr(0, 120));
        expectRefused(Hand(document.Bytes), document.BeforeParse, document.Message);
        ExpectExchangeFilesGone();
    }
    for (const Planted& plant : planted) {
        SCOPED_TRACE(plant.Name);
        plant.Plant(ExchangeDir() + "/image.xml");
        WriteFileBytes(ExchangeDir() + "/go.flag", "");
        const ProcessResult module = RunProcess(Argv, ExchangeDir(), 20);
        EXPECT_FALSE(module.TimedOut);
        EXPECT_LT(module.MaxRssKb, 256 * 1024);
        expectRefused(module, true, plant.Message);
        std::filesystem::remove(ExchangeDir() + "/image.xml");  // a folder is not the module's to remove
        ExpectExchangeFilesGone();
    }
}

// Version 2 reaches a filter only when it says it takes it: the form probe answers each form in
// the version and form it was read in, and refuses pictures without alpha when it asks for alpha;
// the example, which says nothing, refuses version 2 with its one line. Python's numpy rows (the
// system's Python, where Debian's numpy is) see native samples.
TEST_P(ExampleModule, AnswersVersion2OnlyWhenTheFilterTakesIt) {
    struct Row {
        Form Shape;
        std::vector<std::string> Extra;  // the form probe's arguments; none runs the example
        std::string Refusal;             // empty when answered
    };
    std::vector<Row> rows = {{{2, 3, 8}, {"any"}, ""},
                             {{2, 4, 8}, {"any"}, ""},
                             {{2, 3, 16}, {"any"}, ""},
                             {{2, 4, 16}, {"any"}, ""},
                             {{1, 3, 8}, {"any"}, ""},
                             {{2, 4, 16}, {"alpha"}, ""},
                             {{2, 3, 16}, {"alpha"}, kNeedsAlpha},
                             {{1, 3, 8}, {"alpha"}, kNeedsAlpha},
                             {{2, 3, 8}, {}, kOnlyVersion1},
                             // Grey only where the filter says it takes it besides its forms.
                             {{2, 1, 8}, {"any", "grey"}, ""},
                             {{2, 2, 16}, {"any", "grey"}, ""},
                             {{2, 2, 8}, {"alpha", "grey"}, ""},
                             {{2, 4, 8}, {"alpha", "grey"}, ""},
                             {{2, 1, 16}, {"alpha", "grey"}, kNeedsGreyAlpha},
                             {{2, 1, 8}, {"any"}, kNeedsColour},
                             {{2, 2, 16}, {"alpha"}, kNeedsColour},
                             {{2, 1, 8}, {}, kGreyOnlyVersion1},
                             // An animation's frames, one at a time, or all at once where asked.
                             {{2, 4, 8, 2}, {"any"}, ""},
                             {{2, 3, 16, 3}, {"any", "frames"}, ""}};
    const bool numpy = std::string(GetParam().Tool) == "python3" &&
                       std::system("/usr/bin/python3 -c 'import numpy' 2>/dev/null") == 0;
    for (const Form& shape : {Form{2, 3, 8}, Form{2, 4, 16}, Form{2, 3, 16}, Form{1, 3, 8}}) {
        if (numpy) rows.push_back({shape, {"any", "array"}, ""});
    }
    if (numpy) rows.push_back({{2, 4, 16, 2}, {"any", "frames", "array"}, ""});
    for (const Form& shape : {Form{2, 1, 8}, Form{2, 2, 16}, Form{2, 1, 16, 2}}) {
        if (numpy) rows.push_back({shape, {"any", "grey", "array"}, ""});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.Shape.Version << ", " << row.Shape.Channels << " x "
                                        << row.Shape.Depth << ", " << row.Extra.size() << " arguments");
        std::string payload = FormPayload(row.Shape, 6 * row.Shape.Frames);
        std::vector<std::string> argv = row.Extra.empty() ? Argv : FormProbeArgv;
        if (!row.Extra.empty() && row.Extra.back() == "array") argv = {"/usr/bin/python3", FormProbeSource};
        const ProcessResult module = Hand(FormDocument(row.Shape, 3, 2, payload), row.Extra, argv);
        const size_t step = size_t(row.Shape.Channels * row.Shape.Depth / 8);
        for (size_t at = step - 1; at < payload.size(); at += step) ++payload[at];
        const std::string told = row.Refusal.empty() ? "Converting Image\nSave XML\nStart Corvane\n"
                                                     : row.Refusal + "\n" + kFailureLine;
        EXPECT_EQ(row.Refusal.empty() ? 0 : 1, module.ExitCode);
        EXPECT_EQ("Waiting ...\nRead XML\nParse XML\n" + told, module.Output);
        EXPECT_EQ(row.Refusal.empty() ? FormDocument(row.Shape, 3, 2, payload) : "",
                  ReadFileBytes(Dir / "image.xml"));
        EXPECT_EQ("finished", ReadFileBytes(Dir / "go.flag"));
        std::remove((Dir / "image.xml").c_str());
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
        std::vector<std::string> Wrapper = {};  // runs the module, which keeps the wrapper's PID
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
        // Folders at the temporary names an earlier kit made from the PID alone.
        {"predictable temporary names taken",
         [](const ScratchDir&) {},
         0,
         0,
         {"/bin/sh", "-c", "mkdir ../.image.xml.$$ ../.go.flag.$$ && exec \"$@\"", "sh"}},
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
        std::vector<std::string> argv = trap.Wrapper;
        argv.insert(argv.end(), Argv.begin(), Argv.end());
        ProcessResult module = RunProcess(argv, ExchangeDir(), 20);
        ProcessResult run = host.Wait(20);
        EXPECT_EQ(trap.ModuleExit, module.ExitCode) << module.Output;
        EXPECT_FALSE(run.TimedOut) << run.Output;
        EXPECT_EQ(trap.HostExit, run.ExitCode) << run.Output;
        EXPECT_EQ(trap.HostExit == 0, PathExists(Dir / "out.bmp"));
        EXPECT_EQ(victim, ReadFileBytes(Dir / "victim"));
        fs::remove(Dir / "mod/image.xml");
        for (const auto& entry : fs::directory_iterator(Dir.Path())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(".image.xml.", 0) == 0 || name.rfind(".go.flag.", 0) == 0)
                fs::remove(entry.path());
        }
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
    ASSERT_TRUE(LockedByAnother(ExchangeDir(), 10));
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

// A filter that fails, an answer over the file-size limit (the kit must see the write fail, not
// die of SIGXFSZ), a limit below the flag's 8 bytes (a full disk: the flag goes up empty), and a
// stop while the filter works (the busy lock held until then): the failure flag goes up, no
// partial answer, temporary or busy file stays.
TEST_P(ExampleModule, RaisesTheFailureFlagWhenItCannotAnswer) {
    std::vector<Rgb> pixels(400, Rgb{1, 2, 3});  // a 1200-byte payload, above a 512-byte limit
    const std::string document = Document(20, 20, Payload(pixels));
    struct Case {
        const char* Name;
        std::vector<std::string> Argv;
        int Signal;  // sent once the filter runs
        int Exit;
        const char* Flag;
    };
    // The module's output goes through a pipe, past the limit, so that its last lines are kept.
    std::vector<std::string> limited = {
        "/bin/bash", "-c", "\"$@\" | cat; exit ${PIPESTATUS[0]}", "bash", kLimiter, "fsize", "4"};
    limited.insert(limited.end(), Argv.begin(), Argv.end());
    std::vector<std::string> sleeping = ProbeArgv;
    sleeping.push_back("sleep");
    std::vector<Case> cases = {
        {"failing filter", ProbeArgv, 0, 1, "finished"},
        {"file-size limit", {"/bin/sh", "-c", "ulimit -f 1 && exec \"$@\"", "sh"}, 0, 1, "finished"},
        {"4-byte file-size limit", limited, 0, 1, ""},
        {"SIGINT", sleeping, SIGINT, 130, "finished"},
        {"SIGTERM", sleeping, SIGTERM, 143, "finished"},
        {"SIGHUP", sleeping, SIGHUP, 129, "finished"},
    };
    cases[1].Argv.insert(cases[1].Argv.end(), Argv.begin(), Argv.end());
    for (const Case& row : cases) {
        SCOPED_TRACE(row.Name);
        WriteFileBytes(ExchangeDir() + "/image.xml", document);
        WriteFileBytes(ExchangeDir() + "/go.flag", "");
        ChildProcess child;
        ASSERT_TRUE(child.Start(row.Argv, ExchangeDir()));
        if (row.Signal != 0) {
            ASSERT_TRUE(child.WaitForOutput("Converting Image\n", 20)) << child.OutputSoFar();
            if (GetParam().Locks) {
                EXPECT_TRUE(LockedByAnother(ExchangeDir() + "/.corvane-busy", 10));
            }
            child.SendSignal(row.Signal);
        }
        ProcessResult module = child.Wait(20);
        EXPECT_TRUE(module.Exited) << module.Output;
        EXPECT_EQ(row.Exit, module.ExitCode) << module.Output;
        EXPECT_NE(std::string::npos, module.Output.find(kFailureLine)) << module.Output;
        EXPECT_EQ(row.Flag, ReadFileBytes(Dir / "go.flag"));
        ExpectOnlyInHostFolder({"go.flag"});
        ExpectExchangeFilesGone();
        std::remove((Dir / "go.flag").c_str());
    }
}

const char kPythonProbe[] =
    "import sys, time\n"
    "sys.path.insert(0, 'KITS')\n"
    "from corvane_module import run\n"
    "def probe(width, height, pixels, args):\n"
    "    if args[:1] == ['sleep']: time.sleep(60)\n"
    "    return bytes([int(args[1])]) * len(pixels) if args[:1] == ['fill'] else pixels[:-1]\n"
    "run(probe)\n";
const char kNodeProbe[] =
    "require('KITS/corvane-module.js').run(async (w, h, p, args) => {\n"
    "    if (args[0] === 'sleep') await new Promise((wake) => setTimeout(wake, 60000));\n"
    "    return args[0] === 'fill' ? p.fill(Number(args[1])) : p.subarray(1);\n"
    "});\n";
const char kCProbe[] =
    "#include \"KITS/corvane_module.h\"\n"
    "static int Probe(int32_t w, int32_t h, unsigned char *p, size_t n, int argc, char **argv) {\n"
    "    if (argc > 1 && strcmp(argv[1], \"sleep\") == 0) sleep(60);\n"
    "    if (argc > 2 && strcmp(argv[1], \"fill\") == 0) memset(p, atoi(argv[2]), n);\n"
    "    return w < 0 || h < 0 || argc < 2;\n"
    "}\n"
    "int main(int argc, char **argv) { return corvane_run_args(Probe, argc, argv); }\n";

const char kPythonFormProbe[] =
    "import sys\n"
    "sys.path.insert(0, 'KITS')\n"
    "from corvane_module import run\n"
    "def bump(width, height, pixels, form):\n"
    "    step = form.channels * form.depth // 8\n"
    "    if 'array' in sys.argv: pixels[..., -1] += 1\n"
    "    else: pixels[step - 1::step] = bytes(b + 1 for b in pixels[step - 1::step])\n"
    "run(bump, forms=sys.argv[1], array='array' in sys.argv, frames='frames' in sys.argv,\n"
    "    grey='grey' in sys.argv)\n";
const char kNodeFormProbe[] =
    "require('KITS/corvane-module.js').run((w, h, p, args, form) => {\n"
    "    const step = form.channels * form.depth / 8;\n"
    "    for (let at = step - 1; at < p.length; at += step) p[at]++;\n"
    "}, {forms: process.argv[2], frames: process.argv[3] === 'frames', grey: "
    "process.argv.includes('grey')});\n";
const char kCFormProbe[] =
    "#include \"KITS/corvane_module.h\"\n"
    "static int Bump(const struct corvane_form *f, unsigned char *p, size_t n, int argc, char **argv) {\n"
    "    size_t step = (size_t)(f->channels * f->depth / 8), at;\n"
    "    for (at = step - 1; at < n; at += step) p[at]++;\n"
    "    return argc < 2 || argv == NULL;\n"
    "}\n"
    "int main(int argc, char **argv) {\n"
    "    int forms = strcmp(argv[1], \"alpha\") == 0 ? CORVANE_ALPHA_FORM : CORVANE_ANY_FORM;\n"
    "    if (strcmp(argv[argc - 1], \"grey\") == 0) forms |= CORVANE_GREY_FORM;\n"
    "    if (argc > 2 && strcmp(argv[2], \"frames\") == 0) return corvane_run_frames(Bump, forms, argc, "
    "argv);\n"
    "    return corvane_run_forms(Bump, forms, argc, argv);\n"
    "}\n";

// vignette.js: each alpha scaled by the distance from the centre, the colours kept, in 8 and 16 bits
// (the kit's own rows refuse the pictures without alpha).
TEST(ExampleVignette, FadesAlphaTowardsTheCorners) {
    if (std::system("command -v node >/dev/null 2>&1") != 0) GTEST_SKIP() << "node is not installed";
    ScratchDir dir;
    ASSERT_EQ(0, std::system(("mkdir " + dir / "mod").c_str()));
    for (const size_t size : {1, 2}) {
        const size_t width = 9, height = 7;
        const Form form{2, 4, int(8 * size)};
        std::string faded = FormPayload(form, width * height);
        WriteFileBytes(dir / "mod/image.xml", FormDocument(form, width, height, faded));
        WriteFileBytes(dir / "mod/go.flag", "");
        const ProcessResult module =
            RunProcess({"/usr/bin/env", "node", kExamples + "/vignette.js"}, dir / "mod", 20);
        for (size_t pixel = 0, at = 3 * size; pixel < width * height; ++pixel, at += 4 * size) {
            const double dx = (2.0 * double(pixel % width) + 1) / width - 1,
                         dy = (2.0 * double(pixel / width) + 1) / height - 1;
            const double keep = std::min(1.0, std::max(0.0, (1.3 - std::sqrt(dx * dx + dy * dy)) / 0.8));
            const unsigned kept = unsigned(std::floor(
                (uint8_t(faded[at]) << (8 * size - 8) | uint8_t(faded[at + size - 1])) * keep + 0.5));
            faded[at] = char(kept >> (8 * size - 8));
            faded[at + size - 1] = char(kept);
        }
        EXPECT_EQ(FormDocument(form, width, height, faded), ReadFileBytes(dir / "image.xml"))
            << module.Output;
    }
}

// The examples that answer another size, each against its rule worked out here, in version 1, at
// 16 bits with alpha and in grey, on a picture of odd sides.
TEST(ExampleReshapes, AnswerAtTheirOwnSize) {
    ScratchDir dir;
    ASSERT_EQ(0, std::system(("mkdir " + dir / "mod").c_str()));
    ASSERT_EQ(
        0,
        std::system(("cc -std=c99 -O2 -o " + dir / "quarter-turn " + kExamples + "/quarter-turn.c").c_str()));
    const size_t width = 7, height = 5;
    struct Answer {
        size_t Width, Height;
        std::string Payload;
    };
    using Rule = std::function<Answer(const std::string& in, size_t pixel, size_t sample)>;
    // Sample i of the payload, one or two bytes (most significant first), and back.
    const auto get = [](const std::string& bytes, size_t i, size_t sample) {
        return sample == 1 ? unsigned(uint8_t(bytes[i]))
                           : unsigned(uint8_t(bytes[2 * i])) << 8 | uint8_t(bytes[2 * i + 1]);
    };
    const auto put = [](std::string& bytes, size_t i, size_t sample, unsigned value) {
        if (sample == 2) bytes[2 * i] = char(value >> 8), bytes[2 * i + 1] = char(value);
        if (sample == 1) bytes[i] = char(value);
    };
    const Rule thumbnail = [&](const std::string& in, size_t pixel, size_t sample) {
        const size_t channels = pixel / sample, w = width / 2, h = height / 2;
        Answer out{w, h, std::string(w * h * pixel, '\0')};
        for (size_t i = 0; i < w * h * channels; ++i) {
            const size_t x = i / channels % w, y = i / channels / w, c = i % channels;
            const auto at = [&](size_t dx, size_t dy) {
                return get(in, ((2 * y + dy) * width + 2 * x + dx) * channels + c, sample);
            };
            put(out.Payload, i, sample, (at(0, 0) + at(1, 0) + at(0, 1) + at(1, 1) + 2) / 4);
        }
        return out;
    };
    const Rule crop = [&](const std::string& in, size_t pixel, size_t) {
        Answer out{width / 2, height / 2, ""};
        for (size_t y = 0; y < out.Height; ++y)
            out.Payload += in.substr(((height / 4 + y) * width + width / 4) * pixel, out.Width * pixel);
        return out;
    };
    const Rule quarter = [&](const std::string& in, size_t pixel, size_t) {
        Answer out{height, width, ""};
        for (size_t y = 0; y < width; ++y)
            for (size_t x = 0; x < height; ++x)
                out.Payload += in.substr(((height - 1 - x) * width + y) * pixel, pixel);
        return out;
    };
    const Rule invert = [&](const std::string& in, size_t, size_t) {
        Answer out{width, height, in};
        for (char& c : out.Payload) c = char(255 - uint8_t(c));
        return out;
    };
    const bool numpy = std::system("/usr/bin/python3 -c 'import numpy' 2>/dev/null") == 0;
    const bool node = std::system("command -v node >/dev/null 2>&1") == 0;
    const struct {
        bool Runs;
        std::vector<std::string> Argv;
        Rule Expected;
        std::vector<Form> Forms;
    } rows[] = {
        {numpy,
         {"/usr/bin/python3", kExamples + "/thumbnail.py"},
         thumbnail,
         {{1, 3, 8}, {2, 4, 16}, {2, 3, 8, 3}, {2, 1, 8}, {2, 2, 16}}},
        {node,
         {"/usr/bin/env", "node", kExamples + "/crop.js"},
         crop,
         {{1, 3, 8}, {2, 4, 16}, {2, 3, 8, 2}, {2, 1, 16}, {2, 2, 8}}},
        {true, {dir / "quarter-turn"}, quarter, {{1, 3, 8}, {2, 4, 16}, {2, 3, 8, 2}, {2, 1, 8}, {2, 2, 16}}},
        // A filter written for one picture, untouched, over an animation's frames.
        {true, {"/usr/bin/python3", kExamples + "/invert.py"}, invert, {{2, 3, 8, 3}}},
    };
    for (const auto& row : rows) {
        for (const Form& form : row.Forms) {
            if (!row.Runs) continue;
            const size_t pixel = size_t(form.Channels * form.Depth / 8), frame = width * height * pixel;
            const std::string payload = FormPayload(form, int32_t(width * height) * form.Frames);
            WriteFileBytes(dir / "mod/image.xml", FormDocument(form, width, height, payload));
            WriteFileBytes(dir / "mod/go.flag", "");
            const ProcessResult module = RunProcess(row.Argv, dir / "mod", 20);
            Answer expected;
            for (int k = 0; k < form.Frames; ++k) {
                const Answer one =
                    row.Expected(payload.substr(k * frame, frame), pixel, size_t(form.Depth / 8));
                expected = {one.Width, one.Height, expected.Payload + one.Payload};
            }
            EXPECT_EQ(FormDocument(form, expected.Width, expected.Height, expected.Payload),
                      ReadFileBytes(dir / "image.xml"))
                << row.Argv.back() << " " << form.Depth << "\n"
                << module.Output;
        }
    }
}

// With --timeout and no host, a kit says so in one line and exits 1, having written nothing; a
// wrong value is a usage error (2), said before the wait.
TEST_P(ExampleModule, GivesUpWhenNoPictureComes) {
    const std::pair<std::vector<std::string>, std::string> runs[] = {
        {{"--timeout", "1"}, "Waiting ...\nNo picture from the host within 1 s; giving up\n"},
        {{"--timeout=0"}, "Error: --timeout takes a whole number from 1 to 4294967295, not \"0\"\n"},
        {{"--timeout"}, "Error: --timeout needs a value\n"},
    };
    for (const auto& [arguments, expected] : runs) {
        std::vector<std::string> argv = Argv;
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const ProcessResult run = RunProcess(argv, ExchangeDir(), 20);
        EXPECT_EQ(arguments.size() == 2 ? 1 : 2, run.ExitCode) << run.Output;
        EXPECT_EQ(expected, run.Output);
        EXPECT_TRUE(std::filesystem::is_empty(ExchangeDir()));
        ExpectExchangeFilesGone();
        EXPECT_FALSE(PathExists(Dir / "go.flag") || PathExists(Dir / "image.xml"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ExampleModule,
    ::testing::Values(
        Example{"PythonInvert", "python3", "invert.py", Negative, true, kPythonProbe, kPythonFormProbe},
        Example{"NodeGreyscale", "node", "greyscale.js", Grey, false, kNodeProbe, kNodeFormProbe},
        Example{"CSepia", "cc", "sepia.c", Sepia, true, kCProbe, kCFormProbe},
        Example{"CppSepia", "c++", "sepia.c", Sepia, true, kCProbe, kCFormProbe}),
    NamedBy<&Example::Name>());

}  // namespace
