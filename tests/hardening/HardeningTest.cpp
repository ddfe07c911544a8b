// The system's promises under attack: hostile pictures through the real host and template module
// load or are refused cleanly, and writes that really fail (a file size limit, a full device) lose
// nothing that was there, raise no flag and report no success.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ImageHandle_Bmp.h"
#include "ImageHandle_Tga.h"
#include "ProcessRunner.h"

namespace {

namespace fs = std::filesystem;

const std::string kHost = CORVANE_HOST;
const std::string kTemplate = CORVANE_TEMPLATE;
const std::string kLimiter = CORVANE_LIMITER;
// Generous for sanitizer builds; a hostile file that hangs the host fails here.
constexpr double kRunSeconds = 10;
constexpr char kEarlierBytes[] = "the earlier file, which must survive";

struct HostileCase {
    std::string Path;
    std::string Expected;  // load, refuse or edge
};

void PrintTo(const HostileCase& c, std::ostream* out) {
    *out << c.Path;
}

std::vector<HostileCase> ReadHostileCases() {
    std::ifstream in(CORVANE_HOSTILE_CASES);
    std::vector<HostileCase> cases;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        HostileCase c;
        fields >> c.Path >> c.Expected;
        cases.push_back(c);
    }
    return cases;
}

std::string CaseName(const ::testing::TestParamInfo<HostileCase>& info) {
    std::string name = info.param.Path;
    std::replace_if(
        name.begin(), name.end(), [](unsigned char c) { return !std::isalnum(c); }, '_');
    return name;
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
        FCObjImage output;
        EXPECT_TRUE(output.LoadFromFile((dir / "out.bmp").c_str()));
        EXPECT_EQ(24, output.InfoHeader.biBitCount);
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

INSTANTIATE_TEST_SUITE_P(Files, HostileCorpus, ::testing::ValuesIn(ReadHostileCases()), CaseName);

TEST(HostileCorpusList, NamesEveryHostileAndRegressionPicture) {
    const std::vector<HostileCase> cases = ReadHostileCases();
    EXPECT_GE(cases.size(), 50u);
    size_t pictures = 0;
    for (const char* folder : {"/hostile", "/regress"}) {
        for (const fs::directory_entry& entry :
             fs::recursive_directory_iterator(std::string(CORVANE_TEST_DATA) + folder)) {
            const std::string extension = entry.path().extension().string();
            for (const char* picture : {".bmp", ".tga", ".jpg", ".jpeg", ".gif", ".png"})
                pictures += extension == picture;
        }
    }
    EXPECT_EQ(cases.size(), pictures);
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
    // 14-byte file header, the 40-byte information header as the image holds it, then the block.
    std::string expected = "BM";
    for (uint32_t field : {78u, 0u, 54u}) expected.append(reinterpret_cast<const char*>(&field), 4);
    expected.append(reinterpret_cast<const char*>(&image.InfoHeader), sizeof(BITMAPINFOHEADER));
    expected.append(reinterpret_cast<const char*>(image.PixelStore), 2 * 12);
    EXPECT_EQ(expected, ReadFileBytes(path));
    EXPECT_EQ(std::vector<std::string>{"small.bmp"}, DirectoryEntries(dir.Path()));
}

class HostWriteFailure : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(fs::create_directory(Dir / "mod")); }
    void SaveInput(int32_t width, int32_t height) {
        FCObjImage image;
        FillPicture(image, width, height);
        ASSERT_TRUE(image.SaveToFile((Dir / "in.bmp").c_str()));
    }
    static void ExpectNoSuccessLine(const ProcessResult& host) {
        EXPECT_EQ(1, host.ExitCode) << host.Output;
        EXPECT_FALSE(host.Output.size() >= 12 &&
                     host.Output.compare(host.Output.size() - 12, 12, "Save out.bmp") == 0)
            << host.Output;
    }

    ScratchDir Dir;
};

TEST_F(HostWriteFailure, DocumentPastTheFileLimitRaisesNoFlag) {
    SaveInput(64, 64);  // a document of some 12 kB
    const ExchangeRun run =
        RunExchange(Dir, {kLimiter, "4096", kHost, "mod", "in.bmp", "out.bmp"}, {kTemplate});
    ExpectCleanEnd(run.Host);
    ExpectNoSuccessLine(run.Host);
    EXPECT_NE(std::string::npos, run.Host.Output.find("Cannot write mod/image.xml\n")) << run.Host.Output;
    EXPECT_FALSE(run.FlagRaised);
    EXPECT_TRUE(DirectoryEntries(Dir / "mod").empty());
    EXPECT_FALSE(PathExists(Dir / "out.bmp"));
}

TEST_F(HostWriteFailure, DocumentOnAFullDeviceRaisesNoFlag) {
    SaveInput(8, 8);
    fs::create_symlink("/dev/full", Dir / "mod/image.xml");
    const ExchangeRun run = RunExchange(Dir, {kHost, "mod", "in.bmp", "out.bmp"}, {kTemplate});
    ExpectCleanEnd(run.Host);
    ExpectNoSuccessLine(run.Host);
    EXPECT_NE(std::string::npos, run.Host.Output.find("Cannot write mod/image.xml\n")) << run.Host.Output;
    EXPECT_FALSE(run.FlagRaised);
    EXPECT_FALSE(PathExists(Dir / "out.bmp"));
}

TEST_F(HostWriteFailure, FailedSaveKeepsTheEarlierOutputByteForByte) {
    // One pixel a row: the 1305-byte document fits under 1400 bytes, the 1654-byte BMP does not.
    SaveInput(1, 400);
    WriteFileBytes(Dir / "out.bmp", kEarlierBytes);
    const ExchangeRun run =
        RunExchange(Dir, {kLimiter, "1400", kHost, "mod", "in.bmp", "out.bmp"}, {kTemplate});
    ExpectCleanEnd(run.Host);
    ASSERT_TRUE(run.FlagRaised);
    EXPECT_EQ(0, run.Module.ExitCode) << run.Module.Output;
    ExpectNoSuccessLine(run.Host);
    EXPECT_NE(std::string::npos, run.Host.Output.find("Save out.bmp failed.\n")) << run.Host.Output;
    EXPECT_EQ(kEarlierBytes, ReadFileBytes(Dir / "out.bmp"));
    EXPECT_EQ((std::vector<std::string>{"in.bmp", "mod", "out.bmp"}), DirectoryEntries(Dir.Path()));
    EXPECT_TRUE(DirectoryEntries(Dir / "mod").empty());
}

TEST_F(HostWriteFailure, AnswerCutShortByTheModulesLimitSavesNothing) {
    SaveInput(64, 64);
    WriteFileBytes(Dir / "out.bmp", kEarlierBytes);
    const ExchangeRun run =
        RunExchange(Dir, {kHost, "mod", "in.bmp", "out.bmp"}, {kLimiter, "4096", kTemplate});
    ExpectCleanEnd(run.Host);
    ExpectCleanEnd(run.Module);
    EXPECT_NE(0, run.Module.ExitCode);
    EXPECT_NE(std::string::npos, run.Module.Output.find("Error: ../image.xml could not be written\n"))
        << run.Module.Output;
    ExpectNoSuccessLine(run.Host);
    EXPECT_EQ(kEarlierBytes, ReadFileBytes(Dir / "out.bmp"));
    EXPECT_EQ((std::vector<std::string>{"in.bmp", "mod", "out.bmp"}), DirectoryEntries(Dir.Path()));
}

}  // namespace
