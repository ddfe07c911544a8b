// The batch's command line and output names: every refusal happens before anything runs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BatchCommandLine.h"
#include "BatchPlan.h"

namespace {

struct NameRow {
    const char* Input;
    const char* Pattern;
    const char* Expected;
};

TEST(BatchOutputName, KeepsWrittenFormatsAndFillsPatterns) {
    const NameRow rows[] = {
        {"photos/a.jpg", "", "a.jpg"},          {"A.JPEG", "", "A.JPEG"},
        {"scan.pbm", "", "scan.png"},           {"dir/.hidden", "", ".hidden.png"},
        {"x/a.b.tga", "%n.png", "a.b.png"},     {"a.bmp", "100%%_%n.jpg", "100%_a.jpg"},
        {"noextension", "", "noextension.png"},
    };
    for (const NameRow& row : rows)
        EXPECT_EQ(OutputFileName(row.Input, row.Pattern), row.Expected) << row.Input;
}

struct CommandRow {
    std::vector<const char*> Arguments;
    BatchAction Action;
    const char* Folder;
    const char* Pattern;
    std::vector<std::string> HostOptions;
    const char* Says = "";  // in the problem of a refused line
};

TEST(BatchCommandLine, SplitsOwnOptionsHostOptionsAndOut) {
    const CommandRow rows[] = {
        {{"--module", "template", "--out", "out/", "a.jpg"}, BatchAction::Run, "out", "", {}},
        {{"--quality=80", "--timeout", "9", "--module=t", "--out", "o/%n.png"},
         BatchAction::Run,
         "o",
         "%n.png",
         {"--quality=80", "--timeout=9"}},
        {{"--strip", "--module", "t", "-q", "--out", "o"}, BatchAction::Run, "o", "", {"--strip", "--quiet"}},
        {{"--module", "t", "--auto-orient", "--out", "o"}, BatchAction::Run, "o", "", {"--auto-orient"}},
        {{"--colour", "srgb", "--module", "t", "--out", "o"}, BatchAction::Run, "o", "", {"--colour=srgb"}},
        {{"--bogus", "--module", "t"}, BatchAction::Usage, "", "", {}, "unknown option --bogus"},
        {{"--module", "t", "--out", "o", "a.jpg", "--strip"}, BatchAction::Usage, "", "", {}, "--strip"},
        {{"--overwrite", "--skip-existing", "--module", "t", "--out", "o"},
         BatchAction::Usage,
         "",
         "",
         {},
         "do not go together"},
        {{"--module", "t", "--module=u", "--out", "o"}, BatchAction::Usage, "", "", {}},
        // corvane-batch exits 2 on each refused line, having run nothing: batch_test.sh runs one.
        {{"--quality", "0", "--module", "t"}, BatchAction::Usage, "", "", {}, "--quality takes a whole"},
        {{"--module", "t", "--out", "/srv/one.bmp", "a.jpg"}, BatchAction::Run, "/srv", "one.bmp", {}},
        {{"--module", "t", "--out", "o/%d.png"}, BatchAction::Usage, "", "", {}},
        {{"--jobs", "0", "--module", "t", "--out", "o"}, BatchAction::Usage, "", "", {}},
        {{"--jobs", "257", "--module", "t", "--out", "o"}, BatchAction::Usage, "", "", {}},
        {{"--module", "t", "a.jpg"}, BatchAction::Usage, "", "", {}},
        {{"--out", "o", "--module"}, BatchAction::Usage, "", "", {}},
    };
    for (const CommandRow& row : rows) {
        std::vector<const char*> argv{"corvane-batch"};
        argv.insert(argv.end(), row.Arguments.begin(), row.Arguments.end());
        BatchOptions options;
        std::string problem;
        const std::string line = ::testing::PrintToString(row.Arguments);
        ASSERT_EQ(ParseBatchCommandLine(int(argv.size()), argv.data(), options, problem), row.Action) << line;
        if (row.Action != BatchAction::Run) {
            EXPECT_FALSE(problem.empty()) << line;
            EXPECT_NE(problem.find(row.Says), std::string::npos) << problem;
            continue;
        }
        EXPECT_EQ(options.OutFolder, row.Folder) << line;
        EXPECT_EQ(options.Pattern, row.Pattern) << line;
        EXPECT_EQ(options.HostOptions, row.HostOptions) << line;
    }
}

TEST(BatchPlan, RefusesClashesAndFormatsNobodyWrites) {
    const struct {
        std::vector<std::string> Inputs;
        const char* Pattern;
        bool Accepted;
    } rows[] = {
        {{"a.jpg", "b.jpg"}, "", true},  {{"x/a.jpg", "y/a.jpg"}, "", false},
        {{"a.pbm", "a.png"}, "", false}, {{"a.jpg", "b.jpg"}, "one.png", false},
        {{"a.jpg"}, "%n.pbm", false},
    };
    for (const auto& row : rows) {
        BatchOptions options;
        options.OutFolder = "out";
        options.Pattern = row.Pattern;
        options.Inputs = row.Inputs;
        std::vector<BatchItem> items;
        std::string problem;
        EXPECT_EQ(PlanBatch(options, "/nowhere", items, problem), row.Accepted)
            << row.Inputs[0] << " " << problem;
    }
}

}  // namespace
