// The command line: usage text, unknown switches, option values and their
// failures, as a user sees them.
#include "front/options.h"
#include "support/process.h"

#include <gtest/gtest.h>

namespace {

std::string Usage(const std::string& program)
{
    return "usage: " + program + " [options] <file1> [file2] ...\n"
           "\n"
           "  Joins multiple files (tif, gif, pdf, etc. -- whatever can be opened by acrobat) \n"
           "  into a single pdf file\n"
           "\n"
           "  options: -o <file.pdf>  ; name Output file (default 'out.pdf')\n"
           "           -v             ; verbose, show DDE commands being sent to Acrobat\n"
           "           -s <file>      ; don't send DDE commands to Acrobat, just Store them to a file\n"
           "           -l <file>      ; don't generate Acrobat DDE commands, Load them from a file\n"
           "           -e             ; show DDE Error/Result values (not reliably reported, unfortunately)\n";
}

TEST(CommandLine, NoArgumentsPrintsUsageWithTheProgramNameAsInvoked)
{
    ScratchDir dir;
    RunResult r = RunProgram({Docjoin()}, {.cwd = dir.path});
    EXPECT_EQ(r.out, Usage(Docjoin()));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);
}

TEST(CommandLine, UnrecognisedSwitchesPrintTheirNameThenUsage)
{
    ScratchDir dir;
    for (std::string word : {"-x", "-V", "-vv", "-", "--", "-O"}) {
        RunResult r = RunProgram({Docjoin(), "-v", word, "a.tif"}, {.cwd = dir.path});
        EXPECT_EQ(r.out, "Unknown switch " + word + "\n" + Usage(Docjoin())) << word;
        EXPECT_EQ(r.err, "") << word;
        EXPECT_EQ(r.status, 1) << word;
    }
}

TEST(CommandLine, MissingValueOrNoFileGivesUsage)
{
    ScratchDir dir;
    for (auto args : std::vector<std::vector<std::string>>{
             {"-o"}, {"-v", "-w"}, {"-e", "-l"}, {"-o", "x.pdf"}, {"-v", "-e"}}) {
        args.insert(args.begin(), Docjoin());
        RunResult r = RunProgram(args, {.cwd = dir.path});
        EXPECT_EQ(r.out, Usage(Docjoin())) << args[1];
        EXPECT_EQ(r.status, 1);
    }
}

TEST(CommandLine, ScriptStreamsThatCannotBeOpened)
{
    ScratchDir dir;
    RunResult r = RunProgram({Docjoin(), "-l", "missing.txt", "a.tif"}, {.cwd = dir.path});
    EXPECT_EQ(r.err, "couldn't open: missing.txt\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);

    r = RunProgram({Docjoin(), "-s", "no/such/folder/s.txt", "a.tif"}, {.cwd = dir.path});
    EXPECT_EQ(r.err, "couldn't create: no/such/folder/s.txt\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
}

TEST(CommandLine, OptionsActAsSoonAsTheyAreRead)
{
    ScratchDir dir;
    WriteFile(dir / "store.txt", "old contents\n");
    RunResult r = RunProgram({Docjoin(), "-s", "store.txt", "-x"}, {.cwd = dir.path});
    EXPECT_EQ(r.out, "Unknown switch -x\n" + Usage(Docjoin()));
    EXPECT_EQ(r.status, 1);
    ASSERT_TRUE(Exists(dir / "store.txt"));
    EXPECT_EQ(ReadFile(dir / "store.txt"), "");
}

TEST(CommandLine, ValueWordsAreTakenWholeAndLaterOptionsWin)
{
    ScratchDir dir;
    // "-s -" sends the script to standard output; a value word may begin with '-'.
    RunResult r = RunProgram({Docjoin(), "-o", "x.pdf", "-s", "first.txt", "-o", "-y.pdf", "-s", "-", "a.tif"},
                      {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("[DocSaveAs(\"" + dir.path + "/a.tif\",\"" + dir.path + "/-y.pdf\")]\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(ReadFile(dir / "first.txt"), "") << "the earlier stream receives nothing more";
}

TEST(CommandLine, TheScanStopsAtTheFirstFileName)
{
    ScratchDir dir;
    RunResult r = RunProgram({Docjoin(), "-s", "-", "a.tif", "-v", "b.tif"}, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("[DocOpen(\"" + dir.path + "/-v\")]\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[DocOpen(\"" + dir.path + "/b.tif\")]\n"), std::string::npos);
    EXPECT_EQ(r.out.find("[DocOpen(\"" + dir.path + "/a.tif\")]\n[DocOpen"), std::string::npos)
        << "no echo: -v was a file name";
}

TEST(CommandLine, WaitIsReadLikeAtoiWithoutOverflow)
{
    EXPECT_EQ(ReadDecimal("abc"), 0);
    EXPECT_EQ(ReadDecimal(""), 0);
    EXPECT_EQ(ReadDecimal("  \t+12xyz"), 12);
    EXPECT_EQ(ReadDecimal("-3"), -3);
    EXPECT_EQ(ReadDecimal("- 3"), 0);
    EXPECT_EQ(ReadDecimal("0007"), 7);
    EXPECT_EQ(ReadDecimal("99999999999999999999"), 2147483647);
    EXPECT_EQ(ReadDecimal("-99999999999999999999"), -2147483647 - 1);
    EXPECT_EQ(ReadDecimal("2147483648"), 2147483647);
    EXPECT_EQ(ReadDecimal("-2147483648"), -2147483647 - 1);
}

} // namespace
