// The host's command line read by its parser in this process: every wrong line is a usage error
// that says what is wrong. corvane prints the problem after the banner and exits 2; one run of the
// program in HostEndToEndTest shows that for all.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HostOptions.h"

TEST(HostCommandLine, WrongLinesAreUsageErrorsThatSayWhatIsWrong) {
    const std::pair<std::vector<const char*>, std::string> cases[] = {
        {{}, "Error: 0 names given; corvane needs three: DIR IN OUT\n"},
        {{"mod", "in.bmp"}, "Error: 2 names given; corvane needs three: DIR IN OUT\n"},
        {{"mod", "in.bmp", "out.bmp", "x"}, "Error: 4 names given; corvane needs three: DIR IN OUT\n"},
        {{"mod", "--timeout", "3", "in.bmp", "out.bmp"},
         "Error: --timeout comes after DIR; options go before DIR\n"},
        {{"--bogus", "1", "mod", "in.bmp", "out.bmp"}, "Error: unknown option --bogus\n"},
        {{"--max-pixels"}, "Error: --max-pixels needs a value\n"},
        {{"--max-pixels", "0", "mod", "in.bmp", "out.bmp"},
         "Error: --max-pixels takes a whole number from 1 to"},
        {{"--max-pixels=12k", "mod", "in.bmp", "out.bmp"}, "not \"12k\"\n"},
        {{"--quality", "101", "mod", "in.bmp", "out.bmp"},
         "Error: --quality takes a whole number from 1 to 100"},
        {{"--timeout=-3", "mod", "in.bmp", "out.bmp"}, "Error: --timeout takes a whole number from 1 to"},
        {{"--quality", "5", "--quality=6", "mod", "in.bmp", "out.bmp"},
         "Error: --quality is given more than once\n"},
        {{"--strip", "--auto-orient", "--strip", "mod", "in.bmp", "out.bmp"},
         "Error: --strip is given more than once\n"},
        {{"--auto-orient=1", "mod", "in.bmp", "out.bmp"}, "Error: --auto-orient takes no value\n"},
        {{"--frames", "1", "mod", "in.bmp", "out.bmp"}, "Error: --frames takes first or all, not \"1\"\n"},
        {{"--status-fd", "x", "mod", "in.bmp", "out.bmp"},
         "Error: --status-fd takes a whole number from 0 to 2147483647, not \"x\"\n"},
        {{"--status-fd=999", "mod", "in.bmp", "out.bmp"},
         "Error: --status-fd 999 names no descriptor open for writing\n"},
    };
    for (const auto& [arguments, expected] : cases) {
        std::vector<const char*> argv{"corvane"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        HostOptions options;
        std::string problem;
        EXPECT_EQ(CommandLineAction::Usage, ParseCommandLine(int(argv.size()), argv.data(), options, problem))
            << expected;
        // As corvane prints it.
        EXPECT_NE(std::string::npos, ("Error: " + problem + "\n").find(expected)) << problem;
    }
}
