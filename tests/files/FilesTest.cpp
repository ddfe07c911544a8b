// The files library on its own: what is opened and what the atomic writer replaces under each link
// policy, the temporary files it leaves nowhere, failed and stopped writes, and the sweep.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <regex>
#include <set>

#include "AtomicFileWriter.h"
#include "ByteBlock.h"
#include "ProcessRunner.h"
#include "RegularFile.h"

namespace {

using Names = std::set<std::string>;
enum class Kind { Missing, Regular, Link, Dangling, Folder, Fifo, Device };

Names Listing(const ScratchDir& dir) {
    Names names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
        names.insert(entry.path().filename());
    return names;
}

// Puts kind at path; a link leads to "real" beside it, which has permissions of its own.
bool Plant(const ScratchDir& dir, const std::string& path, Kind kind) {
    const std::string real = dir / "real";
    if (kind == Kind::Regular) return WriteFileBytes(path, "old");
    if (kind == Kind::Link)
        return WriteFileBytes(real, "old") && chmod(real.c_str(), 0640) == 0 &&
               symlink(real.c_str(), path.c_str()) == 0;
    if (kind == Kind::Dangling) return symlink((dir / "nowhere").c_str(), path.c_str()) == 0;
    if (kind == Kind::Folder) return mkdir(path.c_str(), 0755) == 0;
    if (kind == Kind::Fifo) return mkfifo(path.c_str(), 0644) == 0;
    // A device node needs root, as in CI; other users skip its rows.
    return kind == Kind::Missing || mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
}

}  // namespace

TEST(Files, OnlyRegularFilesAreReadOrReplacedAndLinksAsTheirPolicySays) {
    const std::tuple<Kind, LinkPolicy, int> rows[] = {
        {Kind::Missing, LinkPolicy::Refuse, 0},       {Kind::Missing, LinkPolicy::Follow, 0},
        {Kind::Regular, LinkPolicy::Refuse, 0},       {Kind::Link, LinkPolicy::Refuse, 0},
        {Kind::Link, LinkPolicy::Follow, 0},          {Kind::Dangling, LinkPolicy::Refuse, 0},
        {Kind::Dangling, LinkPolicy::Follow, ENOENT}, {Kind::Folder, LinkPolicy::Refuse, EEXIST},
        {Kind::Folder, LinkPolicy::Follow, EISDIR},   {Kind::Fifo, LinkPolicy::Refuse, EEXIST},
        {Kind::Fifo, LinkPolicy::Follow, EINVAL},     {Kind::Device, LinkPolicy::Refuse, EEXIST},
        {Kind::Device, LinkPolicy::Follow, EINVAL},
    };
    alarm(60);  // opening a FIFO must never wait: if it did, the alarm ends the test
    for (const auto& [kind, links, expected] : rows) {
        SCOPED_TRACE(std::to_string(int(kind)) + (links == LinkPolicy::Follow ? " Follow" : " Refuse"));
        ScratchDir dir;
        const std::string out = dir / "out";
        if (!Plant(dir, out, kind)) continue;
        uint64_t size = 0;
        bool notRegular = false;
        char bytes[16];
        const int in = OpenRegularFile(out.c_str(), links, size, &notRegular);
        EXPECT_EQ(in >= 0, kind == Kind::Regular || (kind == Kind::Link && links == LinkPolicy::Follow));
        EXPECT_EQ(notRegular, kind == Kind::Folder || kind == Kind::Fifo || kind == Kind::Device);
        EXPECT_TRUE(in < 0 || (size == 3 && ReadFully(in, bytes, sizeof bytes) == 3 &&
                               std::string(bytes, 3) == "old" && close(in) == 0));

        AtomicFileWriter writer;
        EXPECT_EQ(writer.Open(out, links, TemporaryOwner::Host) && writer.Append("new", 3) && writer.Commit(),
                  expected == 0);
        EXPECT_EQ(writer.Error(), expected);
        std::string target;
        int error = 0;
        const bool resolved = links == LinkPolicy::Refuse || ResolveOutputTarget(out, target, error);
        EXPECT_EQ(resolved ? 0 : error, links == LinkPolicy::Refuse ? 0 : expected);
        // Refuse puts a regular file in a link's place; a failure leaves whatever was there.
        const bool staysLink = links == LinkPolicy::Follow && (kind == Kind::Link || kind == Kind::Dangling);
        struct stat after = {}, real = {};
        ASSERT_EQ(lstat(out.c_str(), &after), 0);
        EXPECT_EQ(S_ISREG(after.st_mode), expected == 0 && !staysLink);
        EXPECT_TRUE(expected != 0 || ReadFileBytes(out) == "new");
        EXPECT_EQ(Listing(dir).size(), kind == Kind::Link ? 2u : 1u);
        if (kind != Kind::Link) continue;
        EXPECT_EQ(ReadFileBytes(dir / "real"), links == LinkPolicy::Follow ? "new" : "old");
        ASSERT_EQ(stat((dir / "real").c_str(), &real), 0);
        EXPECT_EQ(real.st_mode & 07777, 0640u);
    }
    alarm(0);
}

TEST(AtomicFileWriter, TemporaryFileIsNamedForItsOwnerAndNeverOutlivesTheWriter) {
    const std::pair<TemporaryOwner, std::string> owners[] = {
        {TemporaryOwner::Host, R"(\.corvane-host-\w{6})"},
        {TemporaryOwner::Module, R"(\.corvane-module-)" + std::to_string(getpid()) + R"(-\w{6})"},
        {TemporaryOwner::Output, R"(\.out\.part-\w{6})"},
    };
    const mode_t mask = umask(022);
    for (const auto& [owner, pattern] : owners) {
        for (const std::string ending : {"Commit", "Abandon", "destruction"}) {
            SCOPED_TRACE(pattern + " " + ending);
            ScratchDir dir;
            {
                AtomicFileWriter writer;
                ASSERT_TRUE(writer.Open(dir / "out", LinkPolicy::Refuse, owner));
                const Names during = Listing(dir);
                EXPECT_TRUE(during.size() == 1 && std::regex_match(*during.begin(), std::regex(pattern)));
                EXPECT_TRUE(ending != "Commit" || writer.Commit());
                if (ending == "Abandon") writer.Abandon();
            }
            EXPECT_EQ(Listing(dir), ending == "Commit" ? Names{"out"} : Names{});
            // Readable by a module that another user runs, not private like a fresh temporary file.
            struct stat status = {};
            EXPECT_TRUE(ending != "Commit" ||
                        (stat((dir / "out").c_str(), &status) == 0 && (status.st_mode & 0777) == 0644));
        }
    }
    umask(mask);
    ScratchDir dir;
    int error = 0;
    EXPECT_TRUE(CanCreateBeside(dir / "out", error));
    EXPECT_EQ(Listing(dir), Names{});
    EXPECT_FALSE(CanCreateBeside(dir / "missing/out", error));
    EXPECT_EQ(error, ENOENT);
}

TEST(AtomicFileWriter, FailedOrStoppedWriteKeepsTheEarlierFileUnlessAlreadyRenamed) {
    static volatile std::sig_atomic_t stop;
    enum Cut { SizeLimit, StopAfterOpen, StopAfterAppend, StopAfterCommit };
    // Small pieces fail when the buffer goes out at Commit, a large one in Append itself; with
    // nothing appended, only the rename is left to stop.
    const std::tuple<Cut, size_t, int, int> rows[] = {
        {SizeLimit, 100, 100, EFBIG},   {SizeLimit, size_t(1) << 17, 1, EFBIG}, {StopAfterOpen, 3, 1, EINTR},
        {StopAfterAppend, 3, 1, EINTR}, {StopAfterAppend, 0, 1, EINTR},         {StopAfterCommit, 3, 1, 0},
    };
    SetWriteStop(&stop);
    for (const auto& [cut, size, count, expected] : rows) {
        SCOPED_TRACE(std::to_string(cut) + " " + std::to_string(size));
        ScratchDir dir;
        ASSERT_TRUE(WriteFileBytes(dir / "out", "earlier"));
        stop = 0;
        AtomicFileWriter writer;
        ASSERT_TRUE(writer.Open(dir / "out", LinkPolicy::Refuse, TemporaryOwner::Module));
        rlimit saved = {};
        getrlimit(RLIMIT_FSIZE, &saved);
        const rlimit lowered = {cut == SizeLimit ? 4096 : saved.rlim_cur, saved.rlim_max};
        const sighandler_t handler = signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &lowered);
        stop = cut == StopAfterOpen;
        const std::string piece(size, 'x');
        for (int i = 0; i < count; ++i) writer.Append(piece.data(), piece.size());
        EXPECT_TRUE(cut != StopAfterOpen || writer.Error() == EINTR);  // no bytes taken once stopped
        stop = stop || cut == StopAfterAppend;
        const bool committed = writer.Commit();
        stop = 1;
        writer.Abandon();
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, handler);
        EXPECT_EQ(committed, expected == 0);
        EXPECT_EQ(writer.Error(), expected);
        EXPECT_EQ(ReadFileBytes(dir / "out"), committed ? piece : "earlier");
        EXPECT_EQ(Listing(dir), Names{"out"});
    }
    SetWriteStop(nullptr);
}

TEST(SweepTemporaryFiles, RemovesTheHostsAlwaysAndAModulesOnlyWhenItsProcessIsGone) {
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    ASSERT_GT(gone, 0);
    waitpid(gone, nullptr, 0);
    ScratchDir dir;
    const std::string host = ".corvane-host-abc123",
                      dead = ".corvane-module-" + std::to_string(gone) + "-abc123";
    const std::string live = ".corvane-module-" + std::to_string(getpid()) + "-abc123",
                      output = ".out.part-abc123";
    for (const std::string& name : {host, dead, live, output}) ASSERT_TRUE(WriteFileBytes(dir / name, "x"));
    ASSERT_EQ(mkdir((dir / ".corvane-host-folder").c_str(), 0755), 0);
    EXPECT_EQ(SweepTemporaryFiles(dir.Path(), TemporaryOwner::Module), std::vector<std::string>{dir / dead});
    EXPECT_EQ(SweepTemporaryFiles(dir.Path(), TemporaryOwner::Host), std::vector<std::string>{dir / host});
    EXPECT_EQ(Listing(dir), (Names{".corvane-host-folder", live, output}));
}

// Releasing the taken front must never reach a byte not yet taken: those are rows still to come.
TEST(FrontRelease, GivesBackOnlyWhatWasTaken) {
    constexpr size_t kBytes = size_t(9) << 20;
    ByteBlock block(kBytes, BlockFill::Unset);
    ASSERT_NE(block.data(), nullptr);
    for (size_t i = 0; i < kBytes; ++i) block.data()[i] = uint8_t(i % 251 + 1);
    FrontRelease taken(block.data());
    for (size_t consumed : {size_t(1) << 20, (size_t(5) << 20) + 7, kBytes - 1}) {
        taken.Consumed(consumed);
        for (size_t i = consumed; i < kBytes; ++i)
            ASSERT_EQ(block.data()[i], uint8_t(i % 251 + 1)) << consumed << " " << i;
    }
}
