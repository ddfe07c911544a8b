// Saving never destroys what was there: a write that fails leaves the earlier file untouched and
// no partial file behind, and only regular files are ever replaced.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "CodecTestSupport.h"
#include "FileWriter.h"

using namespace codectest;

namespace {

// Lowers the file size limit so that writes past it fail as on a full disk.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        oldHandler_ = signal(SIGXFSZ, SIG_IGN);
        rlimit lower = saved_;
        lower.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lower);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, oldHandler_);
    }

  private:
    rlimit saved_{};
    sighandler_t oldHandler_;
};

}  // namespace

TEST(SaveSafety, FailedWriteKeepsTheEarlierFileAndLeavesNoTemporary) {
    ScratchDir dir;
    FCObjImage big;
    ASSERT_TRUE(big.Create(300, 300, 24));
    for (const char* name : {"keep.bmp", "keep.tga"}) {
        WriteFile(dir / name, {'o', 'l', 'd'});
        {
            FileSizeLimit limit(100000);
            EXPECT_FALSE(big.SaveToFile((dir / name).c_str())) << name;
        }
        EXPECT_EQ(ReadFile(dir / name), (std::vector<uint8_t>{'o', 'l', 'd'})) << name;
    }
    EXPECT_EQ(dir.EntryCount(), 2u);
}

TEST(SaveSafety, OnlyRegularFilesAreReplaced) {
    ScratchDir dir;
    FCObjImage image;
    ASSERT_TRUE(image.Create(4, 4, 24));
    FileWriter device;
    EXPECT_FALSE(device.Open("/dev/full"));
    struct stat st;
    ASSERT_EQ(stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    std::filesystem::create_directory(dir / "folder.bmp");
    EXPECT_FALSE(image.SaveToFile((dir / "folder.bmp").c_str()));
    EXPECT_FALSE(image.SaveToFile((dir / "missing/out.tga").c_str()));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "folder.bmp"));
    EXPECT_EQ(dir.EntryCount(), 1u);
}

TEST(SaveSafety, ReplacingKeepsPermissionsAndWritesThroughLinks) {
    ScratchDir dir;
    FCObjImage image;
    ASSERT_TRUE(image.Create(4, 4, 24));
    WriteFile(dir / "real.bmp", {1});
    chmod((dir / "real.bmp").c_str(), 0640);
    std::filesystem::create_symlink(dir / "real.bmp", dir / "link.bmp");
    ASSERT_TRUE(image.SaveToFile((dir / "link.bmp").c_str()));
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.bmp"));
    EXPECT_EQ(ReadFile(dir / "real.bmp").size(), 54u + 4 * 12);
    struct stat st;
    ASSERT_EQ(stat((dir / "real.bmp").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(dir.EntryCount(), 2u);
}

TEST(SaveSafety, WriterRefusesWritesAfterAFailureAndDiscardsUncommittedFiles) {
    ScratchDir dir;
    {
        FileWriter out;
        ASSERT_TRUE(out.Open((dir / "a.bin").c_str()));
        EXPECT_TRUE(out.Write("abc", 3));
        EXPECT_EQ(dir.EntryCount(), 1u);  // the temporary file only
    }
    EXPECT_EQ(dir.EntryCount(), 0u);
    FileWriter unopened;
    EXPECT_FALSE(unopened.Write("x", 1));
    EXPECT_FALSE(unopened.Commit());
}
