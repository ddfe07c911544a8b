// The real template and ambrel programs run as processes against a temporary exchange directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <thread>

#include "ExchangeTestSupport.h"
#include "MalformedDocuments.h"
#include "ModuleRuntime.h"

namespace {

namespace fs = std::filesystem;

// Hands the module a document and an (empty) flag already raised, so it never sleeps.
int RunModuleProgram(const char* program, const ExchangeDirectory& directory, const std::string& document,
                     std::string& log) {
    WriteFile(directory.Exchange() / "image.xml", document);
    WriteFile(directory.Exchange() / "go.flag", "");
    const fs::path logPath = directory.Host() / "module.log";
    const int status =
        std::system((std::string("'") + program + "' ignored > '" + logPath.string() + "'").c_str());
    log = ReadFile(logPath);
    EXPECT_FALSE(fs::exists(directory.Exchange() / "image.xml"));
    EXPECT_FALSE(fs::exists(directory.Exchange() / "go.flag"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ModuleProgram, BothModulesAnswerThroughFiles) {
    const std::string row = {char(200), 10, 0, 100, 20, char(255), 0, 30, char(254), char(255), 41, 1};
    const std::string blended = {char(227), 25, 0, 50, 25, char(254), 50, 25, char(254), char(227), 25, 0};
    const std::tuple<const char*, std::string, std::string> runs[] = {
        {TEMPLATE_PROGRAM, MakeDocument(2, 1, "abcdef"), MakeDocument(2, 1, "defabc")},
        {AMBREL_PROGRAM, MakeDocument(4, 1, row), MakeDocument(4, 1, blended)}};
    for (const auto& [program, document, answer] : runs) {
        ExchangeDirectory directory;
        std::string log;
        EXPECT_EQ(RunModuleProgram(program, directory, document, log), 0);
        EXPECT_EQ(log, "Waiting ...\nRead XML\nParse XML\nConverting Image\nSave XML\nStart Corvane\n");
        EXPECT_EQ(ReadFile(directory.Host() / "image.xml"), answer);
        EXPECT_EQ(ReadFile(directory.Host() / "go.flag"), "finished");
    }
}

// After taking the host's flag a module always leaves one: without a document when it cannot
// answer, so the host ends instead of waiting for ever.
TEST(ModuleProgram, FailuresAfterTakingTheFlagRaiseAFlagWithoutADocument) {
    const std::tuple<const char*, std::string, std::string> runs[] = {
        {"malformed", "<image><header><version>x",
         "Waiting ...\nRead XML\nParse XML\nNumber expected.  Invalid character not within 0-9Start "
         "Corvane\n"},
        {"unwritable", MakeDocument(1, 1, "abc"),
         "Save XML\nError: ../image.xml could not be written\nStart Corvane\n"},
    };
    for (const auto& [name, document, expected] : runs) {
        ExchangeDirectory directory;
        // A folder under the answer's name cannot be replaced.
        if (std::string(name) == "unwritable") fs::create_directory(directory.Host() / "image.xml");
        std::string log;
        EXPECT_EQ(RunModuleProgram(AMBREL_PROGRAM, directory, document, log), 1) << name;
        EXPECT_NE(log.find(expected), std::string::npos) << log;
        EXPECT_FALSE(fs::is_regular_file(directory.Host() / "image.xml")) << name;
        EXPECT_EQ(ReadFile(directory.Host() / "go.flag"), "finished") << name;
        EXPECT_EQ(std::distance(fs::directory_iterator(directory.Exchange()), {}), 0) << name;
    }
}

// The shared list through both programs: the reader's message, then a flag without a document.
TEST(ModuleProgram, BothModulesRefuseEveryMalformedDocument) {
    for (const char* program : {TEMPLATE_PROGRAM, AMBREL_PROGRAM}) {
        for (const MalformedDocument& row : ReadMalformedDocuments()) {
            ExchangeDirectory directory;
            std::string log;
            EXPECT_EQ(RunModuleProgram(program, directory, row.Document, log), 1) << row.Document;
            EXPECT_EQ(log, "Waiting ...\nRead XML\n" + std::string(row.BeforeParse ? "" : "Parse XML\n") +
                               row.Message + "Start Corvane\n");
            EXPECT_FALSE(fs::exists(directory.Host() / "image.xml"));
            EXPECT_EQ(ReadFile(directory.Host() / "go.flag"), "finished");
        }
    }
}

// A module stopped while it works leaves the host a failure flag, not a wait for ever: the real
// runtime in a child, with a transform slow enough to be stopped in.
TEST(ModuleProgram, StoppedAfterTakingTheFlagRaisesTheFailureFlag) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        ExchangeDirectory directory;
        WriteFile("image.xml", MakeDocument(1, 1, "abc"));
        WriteFile("go.flag", "");
        const std::string log = (directory.Host() / "module.log").string();
        const pid_t child = fork();
        if (child == 0) {
            dup2(open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
            ExchangeState state;
            _exit(RunModule(state, [](ExchangeState&) {
                close(open("transforming", O_WRONLY | O_CREAT, 0644));
                timespec pause{3, 0};
                nanosleep(&pause, nullptr);
            }));
        }
        // Stopped only once in the transform: a stop as the flag is taken rightly ends before
        // the document is read, and would say nothing of it.
        while (!fs::exists("transforming")) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        kill(child, signal);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 128 + signal);
        EXPECT_NE(ReadFile(log).find("Read XML\n"), std::string::npos) << ReadFile(log);
        EXPECT_EQ(ReadFile(directory.Host() / "go.flag"), "finished");
        fs::remove(log);
        fs::remove("transforming");
        fs::remove(directory.Host() / "go.flag");
        EXPECT_EQ(std::distance(fs::directory_iterator(directory.Host()), {}), 1) << "only exchange/ stays";
        EXPECT_EQ(std::distance(fs::directory_iterator(directory.Exchange()), {}), 0);
    }
}

// With --timeout and no host a module says so in one line, exits 1 and writes nothing; with a
// picture there it answers as ever.
TEST(ModuleProgram, TimeoutGivesUpWithoutWriting) {
    for (const char* program : {TEMPLATE_PROGRAM, AMBREL_PROGRAM}) {
        ExchangeDirectory directory;
        const fs::path log = directory.Host() / "module.log";
        const std::string run = std::string("'") + program + "' --timeout 1 > '" + log.string() + "'";
        const int status = std::system(run.c_str());
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1) << program;
        EXPECT_EQ(ReadFile(log), "Waiting ...\nNo picture from the host within 1 s; giving up\n");
        EXPECT_EQ(std::distance(fs::directory_iterator(directory.Host()), {}), 2) << "exchange/ and the log";
        EXPECT_TRUE(fs::is_empty(directory.Exchange()));
        WriteFile(directory.Exchange() / "image.xml", MakeDocument(2, 1, "abcdef"));
        WriteFile(directory.Exchange() / "go.flag", "");
        EXPECT_EQ(std::system(run.c_str()), 0) << program;
        EXPECT_EQ(ReadFile(directory.Host() / "go.flag"), "finished");
    }
}

// The two words a module answers at once; anything else is ignored and the module waits.
TEST(ModuleProgram, HelpAndVersionAnswerWithoutWaiting) {
    for (const char* program : {TEMPLATE_PROGRAM, AMBREL_PROGRAM}) {
        ExchangeDirectory directory;
        const fs::path log = directory.Host() / "module.log";
        for (const char* word : {"--help", "--version"}) {
            const int status =
                std::system((std::string("'") + program + "' " + word + " > '" + log.string() + "'").c_str());
            EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0) << program << " " << word;
            const std::string text = ReadFile(log);
            EXPECT_NE(text.find(std::string(word) == "--help" ? "Usage: " : "Corvane version 1.1"),
                      std::string::npos)
                << text;
            EXPECT_EQ(text.find("Waiting"), std::string::npos) << text;
        }
    }
}

}  // namespace
