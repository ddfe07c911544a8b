// The system's promises under attack: hostile pictures through the real host and template module
// load or are refused cleanly, and writes that really fail (a file size limit, a full device) lose
// nothing that was there, raise no flag and report no success.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CorpusOutcomes.h"
#include "ImageFormats.h"
#include "ImageHandle_Bmp.h"
#include "ImageHandle_Tga.h"
#include "ProcessRunner.h"
#include "RowNames.h"
#include "SampleImage.h"

namespace {

namespace fs = std::filesystem;

const std::string kHost = CORVANE_HOST;
const std::string kTemplate = CORVANE_TEMPLATE;
const std::string kLimiter = CORVANE_LIMITER;
// Generous for sanitizer builds; a hostile file that hangs the host fails here.
constexpr double kRunSeconds = 10;
constexpr char kEarlierBytes[] = "the earlier file, which must survive";

using HostileCase = CorpusOutcome;

std::vector<HostileCase> ReadHostileCases() {
    std::vector<HostileCase> cases;
    for (const CorpusOutcome& row : ReadCorpusOutcomes())
        if (row.ThroughHost) cases.push_back(row);
    return cases;
}

std::vector<std::string> DirectoryEntries(const std::string& path) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(path)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A picture with no two neighbouring pixels alike, so run-length rows do not shrink.
void FillPicture(FCObjImage& image, int32_t width, int32_t height) {
    ASSERT_TRUE(image.Create(width, height, 24));
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            uint8_t* pixel = image.PixelAddress(x, y);
            pixel[0] = uint8_t(x * 7 + y);
            pixel[1] = uint8_t(y * 13 + 1);
            pixel[2] = uint8_t(x ^ y);
        }
    }
}

std::string LittleEndian(uint64_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += char(value >> (8 * i));
    return out;
}

// FillPicture's picture as a 24-bit bottom-up BMP written by these lines, not by the codec under
// test: the 14-byte file header, the 40-byte information header, then padded rows.
std::string BmpBytes(int32_t width, int32_t height) {
    const uint32_t stride = (uint32_t(width) * 3 + 3) & ~3u;
    std::string bmp = "BM" + LittleEndian(54 + stride * uint32_t(height), 4) + LittleEndian(0, 4) +
                      LittleEndian(54, 4) + LittleEndian(40, 4) + LittleEndian(uint32_t(width), 4) +
                      LittleEndian(uint32_t(height), 4) + LittleEndian(1, 2) + LittleEndian(24, 2) +
                      std::string(24, '\0');
    for (int32_t y = height - 1; y >= 0; --y) {
        for (int32_t x = 0; x < width; ++x) bmp += {char(x * 7 + y), char(y * 13 + 1), char(x ^ y)};
        bmp.append(stride - uint32_t(width) * 3, '\0');
    }
    return bmp;
}

void SaveBmp(const std::string& path, int32_t width, int32_t height) {
    WriteFileBytes(path, BmpBytes(width, height));
}

struct ExchangeRun {
    ProcessResult Host;
    bool FlagRaised = false;
    ProcessResult Module;
};

// Runs the host in dir with the exchange folder "mod"; once its flag is up the module answers.
ExchangeRun RunExchange(const ScratchDir& dir, const std::vector<std::string>& hostArgv,
                        const std::vector<std::string>& moduleArgv) {
    ExchangeRun run;
    ChildProcess host;
    if (!host.Start(hostArgv, dir.Path())) return run;
    const std::string flag = dir / "mod/go.flag";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kRunSeconds);
    while (host.Running() && !PathExists(flag) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (PathExists(flag)) {
        run.FlagRaised = true;
        run.Module = RunProcess(moduleArgv, dir / "mod", kRunSeconds);
    }
    run.Host = host.Wait(kRunSeconds);
    return run;
}

// In a sanitizer build a report ends the program with exit code 1, which a refusal has too.
void ExpectCleanEnd(const ProcessResult& result) {
    EXPECT_FALSE(result.TimedOut) << result.Output;
    EXPECT_TRUE(result.Exited) << "signal " << result.Signal << "\n" << result.Output;
    EXPECT_EQ(std::string::npos, result.Output.find("Sanitizer")) << result.Output;
    EXPECT_EQ(std::string::npos, result.Output.find("runtime error:")) << result.Output;
}

class HostileCorpus : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileCorpus, LoadsOrIsRefusedWithoutHarm) {
    const HostileCase& c = GetParam();
    ScratchDir dir;
    fs::create_directory(dir / "mod");
    const std::string input = fs::path(c.Path).filename().string();
    fs::copy_file(std::string(CORVANE_TEST_DATA) + "/" + c.Path, dir / input);

    const ExchangeRun run = RunExchange(dir, {kHost, "mod", input, "out.bmp"}, {kTemplate});
    ExpectCleanEnd(run.Host);
    const bool saved = PathExists(dir / "out.bmp");
    if (c.Expected == "load") {
        EXPECT_EQ(0, run.Host.ExitCode) << run.Host.Output;
        EXPECT_TRUE(saved);
        ExpectCleanEnd(run.Module);
        const std::string output = ReadFileBytes(dir / "out.bmp");
        ASSERT_GE(output.size(), 54u);
        EXPECT_EQ("BM", output.substr(0, 2));
        EXPECT_EQ(LittleEndian(24, 2), output.substr(28, 2)) << "bits per pixel";
    } else if (c.Expected == "refuse") {
        EXPECT_EQ(1, run.Host.ExitCode) << run.Host.Output;
        EXPECT_NE(std::string::npos, run.Host.Output.find("Read " + input + " failed")) << run.Host.Output;
        EXPECT_FALSE(run.FlagRaised);
        EXPECT_FALSE(saved);
    } else {
        ASSERT_EQ("edge", c.Expected);
        EXPECT_TRUE(run.Host.ExitCode == 0 || run.Host.ExitCode == 1) << run.Host.Output;
        EXPECT_EQ(run.Host.ExitCode == 0, saved);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, HostileCorpus, ::testing::ValuesIn(ReadHostileCases()),
                         NamedBy<&HostileCase::Path>());

// The list names every picture of the test data, so none is left out of the sweep's choice or of
// the codec and decoder checks; committed reference decodes and the files they were made from are
// pictures of the tests, not of the corpus.
TEST(HostileCorpusList, NamesEveryPictureOfTheTestData) {
    EXPECT_GE(ReadHostileCases().size(), 50u);
    std::set<std::string> pictures;
    for (const ImageFormat* format = ImageFormats(); format->Name != nullptr; ++format) {
        for (size_t i = 0; i < format->ExtensionCount; ++i)
            pictures.insert(std::string(".") + format->Extensions[i].Extension);
    }
    std::vector<std::string> listed, found;
    for (const CorpusOutcome& row : ReadCorpusOutcomes()) listed.push_back(row.Path);
    const fs::path data = CORVANE_TEST_DATA;
    for (auto entry = fs::recursive_directory_iterator(data); entry != fs::recursive_directory_iterator();
         ++entry) {
        if (entry->path() == data / "reference") entry.disable_recursion_pending();
        if (pictures.count(entry->path().extension().string()) != 0)
            found.push_back(fs::relative(entry->path(), data).string());
    }
    std::sort(listed.begin(), listed.end());
    std::sort(found.begin(), found.end());
    EXPECT_EQ(listed, found);
}

// Saves in a forked child whose file size limit is `limit`: 0 when SaveFile returned true, 1 when
// false, anything else when the child died.
template <class Codec>
int SaveInLimitedChild(const FCObjImage& image, const std::string& path, int32_t flag, rlim_t limit) {
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit lower{limit, limit};
        signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &lower);
        Codec codec;
        codec.SaveList.push_back(&image);
        _exit(codec.SaveFile(path.c_str(), flag) ? 0 : 1);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(CodecSaveUnderFileLimit, FailsAndLeavesTheEarlierFileAlone) {
    FCObjImage image;
    FillPicture(image, 200, 100);
    struct Save {
        const char* Name;
        int32_t Flag;
        bool Bmp;
    };
    for (const Save& save :
         {Save{"keep.bmp", -1, true}, Save{"keep.tga", -1, false}, Save{"keep.tga", 1, false}}) {
        ScratchDir dir;
        const std::string path = dir / save.Name;
        WriteFileBytes(path, kEarlierBytes);
        const int result = save.Bmp ? SaveInLimitedChild<FCImageHandle_Bmp>(image, path, save.Flag, 4096)
                                    : SaveInLimitedChild<FCImageHandle_Tga>(image, path, save.Flag, 4096);
        EXPECT_EQ(1, result) << save.Name << " flag " << save.Flag;
        EXPECT_EQ(kEarlierBytes, ReadFileBytes(path)) << save.Name;
        EXPECT_EQ(std::vector<std::string>{save.Name}, DirectoryEntries(dir.Path())) << save.Name;
    }
}

TEST(CodecSaveUnderFileLimit, SucceedsWhenTheFileFitsAndReplacesALongerOneExactly) {
    FCObjImage image;
    FillPicture(image, 3, 2);
    ScratchDir dir;
    const std::string path = dir / "small.bmp";
    WriteFileBytes(path, std::string(1000, 'x'));
    ASSERT_EQ(0, SaveInLimitedChild<FCImageHandle_Bmp>(image, path, -1, 4096));
    EXPECT_EQ(BmpBytes(3, 2), ReadFileBytes(path));
    EXPECT_EQ(std::vector<std::string>{"small.bmp"}, DirectoryEntries(dir.Path()));
}

// One hostile or unlucky situation around a real exchange in a folder holding in.bmp, the exchange
// folder mod/ and victim.txt, a file that no run may change.
struct Situation {
    const char* Name;
    std::function<void(const ScratchDir&)> Prepare;  // before the host starts
    std::vector<std::string> Host;
    std::function<void(const ScratchDir&)> WhileWaiting;  // once the host's flag is up
    std::vector<std::string> Module;                      // empty: no module comes
    int HostExit;
    std::string Message;                    // part of the host's output
    std::vector<std::string> ExchangeLeft;  // what mod/ holds in the end
};

void PrintTo(const Situation& s, std::ostream* out) {
    *out << s.Name;
}

std::vector<std::string> Host(std::vector<std::string> options = {}, const std::string& input = "in.bmp") {
    options.insert(options.begin(), kHost);
    for (const char* name : {"mod", input.c_str(), "out.bmp"}) options.push_back(name);
    return options;
}

// A PNG header of 1 x 268435456 pixels, exactly the default pixel limit, with valid checksums.
const std::string kTallPng(
    "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x01\x10\0\0\0\x08\x02\0\0\0\xf7\xeb\xc2\x0a\0\0\0\x0cIDAT"
    "\x78\x9c\x63\x60\xa0\x0c\0\0\0\x40\0\x01\xb7\x34\x7c\xef\0\0\0\0IEND\xae\x42\x60\x82",
    69);

void Link(const ScratchDir& dir, const std::string& name) {
    fs::create_symlink(dir / "victim.txt", dir / name);
}

const Situation kSituations[] = {
    {"DocumentOverTheFileSizeLimit",
     nullptr,
     {kLimiter, "fsize", "524288", kHost, "mod", "big.bmp", "out.bmp"},
     nullptr,
     {},
     1,
     "Cannot write mod/image.xml: File too large\n",
     {}},
    {"LinksInTheExchangeFolder",
     [](const ScratchDir& dir) {
         Link(dir, "mod/image.xml");
         Link(dir, "mod/go.flag");
     },
     Host(),
     nullptr,
     {kTemplate},
     0,
     "Removed leftover mod/go.flag and mod/image.xml of an earlier run\n",
     {}},
    {"LinkWhereTheAnswerGoes",
     nullptr,
     Host(),
     [](const ScratchDir& dir) { Link(dir, "image.xml"); },
     {kTemplate},
     0,
     "Save out.bmp",
     {}},
    {"LinksAndAMissingInput",
     [](const ScratchDir& dir) {
         Link(dir, "mod/image.xml");
         Link(dir, "mod/go.flag");
     },
     Host({}, "missing.bmp"),
     nullptr,
     {},
     1,
     "can't load missing.bmp",
     {"go.flag", "image.xml"}},
    {"TheUsersOwnImageXml",
     [](const ScratchDir& dir) { WriteFileBytes(dir / "image.xml", "my notes"); },
     Host(),
     nullptr,
     {},
     1,
     "./image.xml is not an exchange document",
     {}},
    {"LeftoversOfAStoppedRun",
     [](const ScratchDir& dir) {
         const std::string stale =
             "<image><header><version>1</version><width>1</width><height>1</height>"
             "</header><pixels>abc</pixels></image>";
         for (const char* name : {"image.xml", "mod/image.xml"}) WriteFileBytes(dir / name, stale);
         for (const char* name : {"go.flag", "mod/go.flag"}) WriteFileBytes(dir / name, "finished");
     },
     Host(),
     nullptr,
     {kTemplate},
     0,
     "Removed leftover go.flag and image.xml of an earlier run\n"
     "Removed leftover mod/go.flag and mod/image.xml of an earlier run\n",
     {}},
    {"SecondHostInTheFolder",
     nullptr,
     Host(),
     [](const ScratchDir& dir) {
         fs::create_directory(dir / "mod2");
         const ProcessResult second = RunProcess({kHost, "mod2", "in.bmp", "out2.bmp"}, dir.Path(), 5);
         EXPECT_EQ(1, second.ExitCode);
         EXPECT_NE(std::string::npos, second.Output.find("Another Corvane host is already running"))
             << second.Output;
         EXPECT_TRUE(DirectoryEntries(dir / "mod2").empty());
         EXPECT_FALSE(PathExists(dir / "out2.bmp"));
     },
     {kTemplate},
     0,
     "Save out.bmp",
     {}},
    {"InputIsAFifo",
     [](const ScratchDir& dir) { mkfifo((dir / "in.fifo.bmp").c_str(), 0600); },
     Host({}, "in.fifo.bmp"),
     nullptr,
     {},
     1,
     "Read in.fifo.bmp failed",
     {}},
    {"InputIsALinkToAPicture",
     [](const ScratchDir& dir) { fs::create_symlink(dir / "in.bmp", dir / "linked.bmp"); },
     Host({}, "linked.bmp"),
     nullptr,
     {kTemplate},
     0,
     "Save out.bmp",
     {}},
    {"ModuleGetsAMalformedDocument",
     nullptr,
     Host(),
     [](const ScratchDir& dir) { WriteFileBytes(dir / "mod/image.xml", "<image><broken>"); },
     {kTemplate},
     1,
     "Waiting ...\nThe module in mod/ could not answer; nothing saved.\n",
     {}},
    {"ModuleCannotTakeTheFlag",
     nullptr,
     Host({"--timeout", "2"}),
     [](const ScratchDir& dir) {
         fs::remove(dir / "mod/go.flag");
         fs::create_directory(dir / "mod/go.flag");
     },
     {kTemplate},
     1,
     "No answer from the module in mod/ within 2 s",
     {"go.flag"}},
    {"OutputRedirectedWhileWaiting",
     nullptr,
     Host(),
     [](const ScratchDir& dir) { Link(dir, "out.bmp"); },
     {kTemplate},
     1,
     "/victim.txt, not to ",
     {}},
    {"OutputLeadsNowhereWhileWaiting",
     nullptr,
     Host(),
     [](const ScratchDir& dir) { fs::create_symlink(dir / "gone.txt", dir / "out.bmp"); },
     {kTemplate},
     1,
     "Cannot write out.bmp: it is a link to nothing now, not to ",
     {}},
    {"AnswerBeforeAnyModuleTookThePicture",
     nullptr,
     Host(),
     [](const ScratchDir& dir) {
         WriteFileBytes(dir / "image.xml",
                        "<image><header><version>1</version><width>7</width><height>5</height>"
                        "</header><pixels>" +
                            std::string(105, 'x') + "</pixels></image>");
         WriteFileBytes(dir / "go.flag", "finished");
     },
     {},
     1,
     "An answer arrived while the picture still waited in mod/ for a module to take it",
     {}},
    {"ModuleOnAFullDisk",
     nullptr,
     Host(),
     nullptr,
     {kLimiter, "fsize", "4", kTemplate},
     1,
     "Waiting ...\nThe module in mod/ could not answer; nothing saved.\n",
     {}},
    {"ModuleGetsASixGigabyteDocument",
     nullptr,
     Host(),
     [](const ScratchDir& dir) {
         WriteFileBytes(dir / "mod/image.xml",
                        "<image><header><version>1</version><width>1</width><height>1"
                        "</height></header><pixels>abc</pixels></image>");
         ASSERT_EQ(0, truncate((dir / "mod/image.xml").c_str(), off_t(6) << 30));
     },
     {kTemplate},
     1,
     "The module in mod/ could not answer; nothing saved.\n",
     {}},
    {"HostStoppedWhileTheModuleWorks",
     nullptr,
     Host({"--timeout", "2"}),
     [](const ScratchDir& dir) {
         // Played module: it holds the busy lock and has taken the picture, and answers late.
         const int busy = open((dir / "mod/.corvane-busy").c_str(), O_RDWR | O_CREAT, 0666);
         ASSERT_EQ(0, flock(busy, LOCK_EX));
         fs::remove(dir / "mod/go.flag");
         fs::remove(dir / "mod/image.xml");
         ASSERT_TRUE(WaitForPath(dir / "corvane.stopped", kRunSeconds));
         const ProcessResult early = RunProcess({kHost, "mod", "in.bmp", "out.bmp"}, dir.Path(), 5);
         EXPECT_EQ(1, early.ExitCode);
         EXPECT_NE(std::string::npos,
                   early.Output.find("the module in mod is still working on an earlier picture"))
             << early.Output;
         WriteFileBytes(dir / "image.xml",
                        "<image><header><version>1</version><width>7</width><height>5</height>"
                        "</header><pixels>" +
                            std::string(105, 'x') + "</pixels></image>");
         WriteFileBytes(dir / "go.flag", "finished");
         fs::remove(dir / "mod/.corvane-busy");
         close(busy);
         const ProcessResult later =
             RunProcess({kHost, "--timeout", "1", "mod", "in.bmp", "out.bmp"}, dir.Path());
         EXPECT_NE(
             std::string::npos,
             later.Output.find("Removed leftover corvane.stopped and go.flag and image.xml of a stopped run"))
             << later.Output;
         EXPECT_NE(std::string::npos, later.Output.find("No answer from the module")) << later.Output;
     },
     {},
     1,
     "The module in mod/ had taken the picture and may still answer here",
     {}},
    {"TemporaryFilesOfStoppedWriters",
     [](const ScratchDir& dir) {
         for (const char* name :
              {"mod/.corvane-host-abcdef", ".corvane-module-2147483646-abcdef", ".corvane-module-1-abcdef"}) {
             WriteFileBytes(dir / name, "part of a document");
         }
     },
     Host(),
     [](const ScratchDir& dir) {
         // Process 1 always runs: its temporary file is not a leftover.
         EXPECT_TRUE(fs::remove(dir / ".corvane-module-1-abcdef"));
     },
     {kTemplate},
     0,
     "Removed leftover temporary files mod/.corvane-host-abcdef and .corvane-module-2147483646-abcdef\n",
     {}},
    {"FolderWhereTheAnswerFlagGoes",
     [](const ScratchDir& dir) { fs::create_directory(dir / "go.flag"); },
     Host(),
     nullptr,
     {},
     1,
     "./go.flag is a folder, and answers arrive under that name; move it away first.\n",
     {}},
    {"PictureTooTallForTheImageObject",
     [](const ScratchDir& dir) { WriteFileBytes(dir / "tall.png", kTallPng); },
     Host({}, "tall.png"),
     nullptr,
     {},
     1,
     "Read tall.png failed: a picture of 1 x 268435456 pixels cannot be held, whatever --max-pixels says",
     {}},
#if !CORVANE_SANITIZED
    // The address sanitizer reserves terabytes of shadow memory and aborts when memory runs out.
    // The codec libraries alone map some 40 MB (libheif with its HEVC and AV1 codecs), so the
    // limit leaves them room and the picture's block and image (96 MB) none.
    {"HostOutOfMemory",
     [](const ScratchDir& dir) { SaveBmp(dir / "huge.bmp", 4096, 4096); },
     {kLimiter, "as", "72000000", kHost, "mod", "huge.bmp", "out.bmp"},
     nullptr,
     {},
     1,
     "Read huge.bmp failed",
     {}},
    // A valid 6000 x 4000 HEIC of one colour, a few KB, made here: libheif's decoder runs out and
    // says only "Unspecified", which must not read as damage.
    {"HeifOutOfMemory",
     [](const ScratchDir& dir) {
         ASSERT_EQ(0, std::system(("cd '" + dir.Path() +
                                   "' && /usr/bin/convert -size 6000x4000 xc:#336699 -depth 8 flat.png && "
                                   "heif-enc -q 10 -p preset=ultrafast -o huge.heic flat.png >/dev/null")
                                      .c_str()));
     },
     {kLimiter, "as", "60000000", kHost, "mod", "huge.heic", "out.bmp"},
     nullptr,
     {},
     1,
     "Read huge.heic failed: out of memory.\n",
     {}},
    {"ModuleOutOfMemory",
     nullptr,
     Host({}, "big.bmp"),
     nullptr,
     {kLimiter, "as", "8000000", kTemplate},
     1,
     "Waiting ...\nThe module in mod/ could not answer; nothing saved.\n",
     {}},
#endif
};

class HostileSituation : public ::testing::TestWithParam<Situation> {};

TEST_P(HostileSituation, EndsCleanlyAndTouchesOnlyWhatItMay) {
    const Situation& s = GetParam();
    ScratchDir dir;
    ASSERT_TRUE(fs::create_directory(dir / "mod"));
    WriteFileBytes(dir / "victim.txt", kEarlierBytes);
    SaveBmp(dir / "in.bmp", 7, 5);
    // A document larger than any buffer of the host's: some 4 MB.
    SaveBmp(dir / "big.bmp", 1024, 1368);
    if (s.Prepare) s.Prepare(dir);

    ChildProcess host;
    ASSERT_TRUE(host.Start(s.Host, dir.Path()));
    ProcessResult module;
    // The host's own flag, not a leftover: it is up once the host waits.
    if (host.WaitForOutput("Waiting ...\n", kRunSeconds)) {
        if (s.WhileWaiting) s.WhileWaiting(dir);
        if (!s.Module.empty()) module = RunProcess(s.Module, dir / "mod", kRunSeconds);
    }
    const ProcessResult run = host.Wait(kRunSeconds);
    ExpectCleanEnd(run);
    if (!s.Module.empty()) ExpectCleanEnd(module);
    EXPECT_EQ(s.HostExit, run.ExitCode) << run.Output;
    EXPECT_NE(std::string::npos, run.Output.find(s.Message)) << run.Output;
    EXPECT_EQ(s.HostExit == 0, fs::is_regular_file(fs::symlink_status(dir / "out.bmp")));
    EXPECT_EQ(kEarlierBytes, ReadFileBytes(dir / "victim.txt"));
    EXPECT_EQ(s.ExchangeLeft, DirectoryEntries(dir / "mod")) << run.Output;
    for (const std::string& name : DirectoryEntries(dir.Path())) {
        EXPECT_NE('.', name[0]) << "temporary file left: " << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Exchange, HostileSituation, ::testing::ValuesIn(kSituations),
                         NamedBy<&Situation::Name>());

TEST(HostileSituation, SecondModuleInAFolderStopsAtOnce) {
    ScratchDir dir;
    ChildProcess first;
    ASSERT_TRUE(first.Start({kTemplate}, dir.Path()));
    const int folder = open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY);
    for (int tries = 0; tries < 500 && flock(folder, LOCK_EX | LOCK_NB) == 0; ++tries) {
        flock(folder, LOCK_UN);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close(folder);
    const ProcessResult second = RunProcess({kTemplate}, dir.Path(), kRunSeconds);
    EXPECT_EQ(1, second.ExitCode);
    EXPECT_EQ("Another module is already waiting in this folder\n", second.Output);
    EXPECT_TRUE(first.Running());
}

// A few header bytes claiming 26000 x 26000 pixels, some 2 GB at 24 bits.
std::string TinyBomb(const std::string& extension) {
    if (extension == "bmp") {
        return "BM" + LittleEndian(62, 4) + LittleEndian(0, 4) + LittleEndian(54, 4) + LittleEndian(40, 4) +
               LittleEndian(26000, 4) + LittleEndian(26000, 4) + LittleEndian(1, 2) + LittleEndian(24, 2) +
               std::string(24, '\0') + "tinytiny";
    }
    return std::string("\0\0\2", 3) + std::string(9, '\0') + LittleEndian(26000, 2) + LittleEndian(26000, 2) +
           "\x18\x20" + "tiny";
}

// Under every extension of the format table, the format's bomb.
TEST(PixelLimit, TinyFilesClaimingHugePicturesAreRefusedBeforeTheirMemoryIsTaken) {
    const std::string regress = std::string(CORVANE_TEST_DATA) + "/regress/";
    const std::map<std::string, std::string> bombs = {
        {"bmp", TinyBomb("bmp")},
        {"tga", TinyBomb("tga")},
        {"pnm", "P6\n26000 26000\n255\ntiny pixels"},  // 30 bytes
        {"gif", ReadFileBytes(regress + "gif-claims-26000x26000.gif")},
        {"jpeg", ReadFileBytes(regress + "jpeg-cut-claims-26000x26000.jpg")},
        {"png", ReadFileBytes(regress + "png-claims-26000x26000.png")},
        {"tiff", ReadFileBytes(regress + "tiff-claims-26000x26000.tif")},
        {"webp", ReadFileBytes(regress + "webp-claims-26000x26000.webp")},
        {"heif", ReadFileBytes(regress + "heif-claims-26000x26000.heic")},
        {"avif", ReadFileBytes(regress + "avif-claims-26000x26000.avif")},
        {"jxl", ReadFileBytes(regress + "jxl-claims-26000x26000.jxl")},
    };
    for (const ImageFormat* format = ImageFormats(); format->Name != nullptr; ++format) {
        const auto bomb = bombs.find(format->Key);
        if (bomb == bombs.end()) {
            ADD_FAILURE() << "no bomb for " << format->Name;
            continue;
        }
        for (size_t i = 0; i < format->ExtensionCount; ++i) {
            const std::string input = std::string("bomb.") + format->Extensions[i].Extension;
            ScratchDir dir;
            fs::create_directory(dir / "mod");
            WriteFileBytes(dir / input, bomb->second);
            const ProcessResult run = RunProcess({kHost, "mod", input, "out.bmp"}, dir.Path(), kRunSeconds);
            ExpectCleanEnd(run);
            EXPECT_EQ(1, run.ExitCode);
            EXPECT_NE(std::string::npos,
                      run.Output.find("Read " + input +
                                      " failed: 26000 x 26000 pixels is more "
                                      "than the limit of 268435456; raise it with --max-pixels.\n"))
                << run.Output;
            EXPECT_LT(run.MaxRssKb, 64 * 1024) << input;
            EXPECT_TRUE(DirectoryEntries(dir / "mod").empty());
#if !CORVANE_SANITIZED
            // Let through, the 2 GB such a picture takes is out of reach, and every reader says so as
            // such, not as damage.
            if (bomb->first == "heif" || bomb->first == "avif")
                continue;  // its coded image is small, and libheif decodes that
            const ProcessResult starved = RunProcess(
                {kLimiter, "as", "200000000", kHost, "--max-pixels", "700000000", "mod", input, "out.bmp"},
                dir.Path(), kRunSeconds);
            EXPECT_NE(std::string::npos, starved.Output.find("Read " + input + " failed: out of memory.\n"))
                << starved.Output;
#endif
        }
    }
}

std::string BigEndian(uint32_t value) {
    return {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
}

// A 32 x 32 PNG of the test data with an XMP packet (or the chunk begun so) of 64 MB of spaces, compressed,
// after its header. The packet is deflated a block at a time: the host's peak is measured from the fork,
// which starts with this process's memory (and the sanitizers keep freed blocks).
std::string PngWithHugeText(std::string chunk = std::string("iTXtXML:com.adobe.xmp\0\1\0\0\0", 26)) {
    const std::string spaces(size_t(1) << 16, ' ');
    char out[1 << 16];
    z_stream z{};
    deflateInit(&z, Z_BEST_SPEED);
    for (int block = 1024; block > 0; --block) {
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(spaces.data()));
        z.avail_in = uInt(spaces.size());
        do {
            z.next_out = reinterpret_cast<Bytef*>(out);
            z.avail_out = sizeof out;
            deflate(&z, block == 1 ? Z_FINISH : Z_NO_FLUSH);
            chunk.append(out, sizeof out - z.avail_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    const uint32_t crc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(chunk.data()), uInt(chunk.size())));
    std::string png = ReadFileBytes(std::string(CORVANE_TEST_DATA) + "/png/pngsuite/basn2c08.png");
    constexpr size_t kPastHeader = 8 + 25;  // the signature and the IHDR chunk
    png.insert(kPastHeader, BigEndian(uint32_t(chunk.size() - 4)) + chunk + BigEndian(crc));
    return png;
}

// Pictures that load take memory in proportion to their pixels, however few bytes the file has: an
// animation canvas of 16383 x 16383 around one 1 x 1 frame (the animation decoder took 2.9 GB for
// it), and a small PNG whose XMP packet inflates to 64 MB, of which at most what is kept is
// inflated. The document's write is stopped at 512 KB and no module comes, so the peak is the load's.
TEST(PixelLimit, LoadsTakeMemoryInProportionToThePicture) {
    // An 805 MB canvas takes seconds to fill, more under the sanitizers; this only stops a hang.
    constexpr double kCanvasRunSeconds = 40;
    const std::string regress = std::string(CORVANE_TEST_DATA) + "/regress/";
    const long canvasKb = 16383L * 16383 * 3 / 1024;
    const struct {
        const char* input;
        std::string bytes;
        long mostKb;
        const char* warning;
    } rows[] = {
        {"canvas.webp", ReadFileBytes(regress + "webp-canvas-16383x16383-around-1x1-frame.webp"),
         canvasKb * 3 / 2 + 30 * 1024, "has several frames"},
        {"xmp.png", PngWithHugeText(), 200 * 1024, "has an XMP packet of more than 16777216 bytes"},
        {"ztxt.png", PngWithHugeText(std::string("zTXtComment\0\0", 13)), 200 * 1024,
         "has descriptions of more than 1048576 bytes in all; the last is not kept."},
    };
    for (const auto& row : rows) {
        ScratchDir dir;
        fs::create_directory(dir / "mod");
        WriteFileBytes(dir / row.input, row.bytes);
        const ProcessResult run =
            RunProcess({kLimiter, "fsize", "524288", kHost, "--timeout", "1", "mod", row.input, "out.bmp"},
                       dir.Path(), kCanvasRunSeconds);
        ExpectCleanEnd(run);
        EXPECT_NE(std::string::npos, run.Output.find("Save as XML")) << run.Output;  // loaded
        EXPECT_NE(std::string::npos, run.Output.find(row.warning)) << run.Output;
        EXPECT_LE(run.MaxRssKb, row.mostKb) << row.input;
    }
    // A text chunk of 128 MB that is not the XMP packet is checked on the way, never held. The file
    // is written a block at a time, for the same reason as the packet above.
    ScratchDir dir;
    fs::create_directory(dir / "mod");
    const std::string png = ReadFileBytes(std::string(CORVANE_TEST_DATA) + "/png/pngsuite/basn2c08.png");
    constexpr size_t kPastHeader = 8 + 25, kTextBlocks = 2048;
    const std::string start("iTXtComment\0\0\0\0\0", 16), block(size_t(1) << 16, 'x');
    std::ofstream file(dir / "comment.png", std::ios::binary);
    file << png.substr(0, kPastHeader) << BigEndian(uint32_t(start.size() - 4 + kTextBlocks * block.size()))
         << start;
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(start.data()), uInt(start.size()));
    for (size_t i = 0; i < kTextBlocks; ++i) {
        file << block;
        crc = crc32(crc, reinterpret_cast<const Bytef*>(block.data()), uInt(block.size()));
    }
    file << BigEndian(uint32_t(crc)) << png.substr(kPastHeader);
    file.close();
    const ProcessResult run =
        RunProcess({kLimiter, "fsize", "524288", kHost, "--timeout", "1", "mod", "comment.png", "out.bmp"},
                   dir.Path(), kCanvasRunSeconds);
    ExpectCleanEnd(run);
    EXPECT_NE(std::string::npos, run.Output.find("Save as XML")) << run.Output;
    EXPECT_LE(run.MaxRssKb, 100 * 1024);
}

// A version 2 run of four 16-bit samples holds the picture once, in the document's form, beside
// little more: PNG read where it lies and written a row at a time, PAM read and written straight.
#if !CORVANE_SANITIZED
// A file of a few bytes claiming 16384 x 16384, within the pixel limit, costs the host the rows it
// holds, not the picture it claims: pages are taken as rows arrive, in every form of the run.
TEST(PixelLimit, TinyFilesWithinTheLimitCostOnlyWhatTheyFill) {
    const std::string tga =
        std::string("\0\0\2", 3) + std::string(9, '\0') + std::string("\0\x40\0\x40\x18\x20", 6) + "abcd";
    std::string bmp =
        "BM" + std::string("\x37\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\0\x40\0\0\0\x40\0\0\1\0\x18\0", 28);
    bmp += std::string(24, '\0') + "x";
    const struct {
        const char* input;
        std::string bytes;
        std::vector<std::string> options;
    } rows[] = {
        {"tiny.ppm", std::string("P6\n16384 16384\n65535\n\0\0\0", 24), {}},
        {"tiny.tga", tga, {}},
        {"tiny.bmp", bmp, {"--alpha", "--depth", "16"}},
    };
    for (const auto& row : rows) {
        ScratchDir dir;
        fs::create_directory(dir / "mod");
        WriteFileBytes(dir / row.input, row.bytes);
        std::vector<std::string> argv = {kLimiter, "fsize", "524288", kHost, "--timeout", "1"};
        argv.insert(argv.end(), row.options.begin(), row.options.end());
        argv.insert(argv.end(), {"mod", row.input, "out.png"});
        const ProcessResult run = RunProcess(argv, dir.Path(), kRunSeconds);
        ExpectCleanEnd(run);
        EXPECT_LT(run.MaxRssKb, long(row.bytes.size() / 1024) + 30 * 1024) << row.input << " " << run.Output;
    }
}
#endif

struct HeldPicture {
    const char* Name;
    const char* Input;
    uint32_t MaxValue;
    friend void PrintTo(const HeldPicture& row, std::ostream* out) { *out << row.Name; }
};

class VersionTwoRun : public ::testing::TestWithParam<HeldPicture> {};

TEST_P(VersionTwoRun, HoldsThePictureOnce) {
    constexpr int32_t kWidth = 4000, kHeight = 3000;
    constexpr long kPayloadKb = long(kWidth) * kHeight * 8 / 1024;
    const auto& [name, input, maxValue] = GetParam();
    ScratchDir dir;
    fs::create_directory(dir / "mod");
    {
        FCSampleImage samples;
        ASSERT_TRUE(samples.Create(kWidth, kHeight, 4, maxValue));
        for (int32_t y = 0; y < kHeight; ++y)
            for (size_t i = 0; i < size_t(kWidth) * 4; ++i)
                samples.SetSample(samples.Row(y), i, uint32_t(i * 977 + size_t(y) * 131) & maxValue);
        ASSERT_TRUE(SaveSamplesFile(samples, GetImageHandleFactory()->GetImageType(input),
                                    (dir / input).c_str(), -1, nullptr));
    }
    const std::string output = std::string("out") + (input + 2);
    const ExchangeRun run =
        RunExchange(dir, {kHost, "--alpha", "--depth", "16", "mod", input, output}, {kTemplate});
    ExpectCleanEnd(run.Host);
    EXPECT_EQ(0, run.Host.ExitCode) << run.Host.Output;
    EXPECT_LE(run.Host.MaxRssKb, kPayloadKb * 11 / 10 + 30 * 1024) << input << " " << maxValue;
}

// An 8-bit file is widened where it lies.
INSTANTIATE_TEST_SUITE_P(PixelLimit, VersionTwoRun,
                         ::testing::Values(HeldPicture{"Png16", "in.png", 65535},
                                           HeldPicture{"Png8", "in.png", 255},
                                           HeldPicture{"Pam16", "in.pam", 65535}),
                         NamedBy<&HeldPicture::Name>());

// A GIF of frames one pixel each on a large screen: a few bytes a frame, a whole screen each once
// drawn.
std::string GifOfTinyFrames(uint16_t side, uint32_t frames) {
    std::string gif = "GIF89a" + LittleEndian(side, 2) + LittleEndian(side, 2) + std::string("\x80\0\0", 3) +
                      std::string("\0\0\0\xFF\xFF\xFF", 6);
    for (uint32_t i = 0; i < frames; ++i)
        gif += std::string("\x21\xF9\x04\0\x0A\0\0\0", 8) + std::string("\x2C\0\0\0\0\x01\0\x01\0\0", 10) +
               std::string("\x02\x02\x44\x01\0", 5);
    return gif + ";";
}

// All frames together are bounded from the file's count before any is drawn (5000 frames of
// 1000 x 1000 in 115 KB), and an animation that passes costs its frames once, beside one screen.
TEST(PixelLimit, FramesAreBoundedTogetherAndHeldOnce) {
    ScratchDir dir;
    fs::create_directory(dir / "mod");
    WriteFileBytes(dir / "bomb.gif", GifOfTinyFrames(1000, 5000));
    const ProcessResult bomb =
        RunProcess({kHost, "--frames", "all", "mod", "bomb.gif", "out.gif"}, dir.Path());
    ExpectCleanEnd(bomb);
    EXPECT_EQ(1, bomb.ExitCode);
    EXPECT_NE(
        std::string::npos,
        bomb.Output.find("Read bomb.gif failed: 5000 frames of 1000 x 1000 pixels are more than all frames "
                         "together may hold (1073741824 pixels, 4 x --max-pixels); raise it with "
                         "--max-pixels.\n"))
        << bomb.Output;
    EXPECT_LT(bomb.MaxRssKb, 100 * 1024);
#if !CORVANE_SANITIZED
    constexpr long kFramesKb = 100L * 500 * 500 * 3 / 1024;
    WriteFileBytes(dir / "hundred.gif", GifOfTinyFrames(500, 100));
    const ExchangeRun run =
        RunExchange(dir, {kHost, "--frames", "all", "mod", "hundred.gif", "out.gif"}, {kTemplate});
    EXPECT_EQ(0, run.Host.ExitCode) << run.Host.Output;
    EXPECT_LE(run.Host.MaxRssKb, kFramesKb * 3 / 2 + 30 * 1024);
#endif
}

TEST(PixelLimit, MaxPixelsIsTheLargestCountThatLoads) {
    ScratchDir dir;
    fs::create_directory(dir / "mod");
    SaveBmp(dir / "in.bmp", 7, 5);
    const ProcessResult refused =
        RunProcess({kHost, "--max-pixels=34", "mod", "in.bmp", "out.bmp"}, dir.Path());
    EXPECT_EQ(1, refused.ExitCode);
    EXPECT_NE(std::string::npos, refused.Output.find("7 x 5 pixels is more than the limit of 34"))
        << refused.Output;
    const ExchangeRun run =
        RunExchange(dir, {kHost, "--max-pixels", "35", "mod", "in.bmp", "out.bmp"}, {kTemplate});
    EXPECT_EQ(0, run.Host.ExitCode) << run.Host.Output;
}

TEST(HostWriteFailure, FailedSaveKeepsTheEarlierOutputByteForByte) {
    ScratchDir dir;
    ASSERT_TRUE(fs::create_directory(dir / "mod"));
    // One pixel a row: the 1305-byte document fits under 1400 bytes, the 1654-byte BMP does not.
    SaveBmp(dir / "in.bmp", 1, 400);
    WriteFileBytes(dir / "out.bmp", kEarlierBytes);
    const ExchangeRun run =
        RunExchange(dir, {kLimiter, "fsize", "1400", kHost, "mod", "in.bmp", "out.bmp"}, {kTemplate});
    ExpectCleanEnd(run.Host);
    ASSERT_TRUE(run.FlagRaised);
    EXPECT_EQ(0, run.Module.ExitCode) << run.Module.Output;
    EXPECT_EQ(1, run.Host.ExitCode) << run.Host.Output;
    EXPECT_NE(
        std::string::npos,
        run.Host.Output.find("Save out.bmp failed: the file would be larger than this process may write.\n"))
        << run.Host.Output;
    EXPECT_EQ(kEarlierBytes, ReadFileBytes(dir / "out.bmp"));
    EXPECT_EQ((std::vector<std::string>{"in.bmp", "mod", "out.bmp"}), DirectoryEntries(dir.Path()));
    EXPECT_TRUE(DirectoryEntries(dir / "mod").empty());
}

TEST(HostWriteFailure, AnswerPastTheModulesFileLimitEndsBothWithoutSaving) {
    ScratchDir dir;
    ASSERT_TRUE(fs::create_directory(dir / "mod"));
    SaveBmp(dir / "in.bmp", 64, 64);
    WriteFileBytes(dir / "out.bmp", kEarlierBytes);
    const ExchangeRun run =
        RunExchange(dir, {kHost, "mod", "in.bmp", "out.bmp"}, {kLimiter, "fsize", "4096", kTemplate});
    ExpectCleanEnd(run.Host);
    ExpectCleanEnd(run.Module);
    EXPECT_EQ(1, run.Module.ExitCode);
    EXPECT_NE(std::string::npos,
              run.Module.Output.find("Error: ../image.xml could not be written\nStart Corvane\n"))
        << run.Module.Output;
    EXPECT_EQ(1, run.Host.ExitCode) << run.Host.Output;
    EXPECT_EQ(kEarlierBytes, ReadFileBytes(dir / "out.bmp"));
    EXPECT_EQ((std::vector<std::string>{"in.bmp", "mod", "out.bmp"}), DirectoryEntries(dir.Path()));
}

}  // namespace
