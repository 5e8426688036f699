// Command scripts replayed with -l, copied through -s so that every byte the
// sink receives can be seen.
#include "support/process.h"

#include <gtest/gtest.h>

namespace {

RunResult Filter(const ScratchDir& dir, const std::string& script, std::vector<std::string> extra = {})
{
    WriteFile(dir / "script.txt", script);
    std::vector<std::string> args = {Docjoin(), "-l", "script.txt", "-s", "-"};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunProgram(args, {.cwd = dir.path});
}

TEST(Replay, CommentsAreSkippedAndEveryOtherLineKeepsItsLineEnd)
{
    ScratchDir dir;
    RunResult r = Filter(dir, "# a comment\n[DocOpen(\"/a\")]\n #not a comment\n\n[DocClose(\"/a\")]");
    EXPECT_EQ(r.out, "[DocOpen(\"/a\")]\n\n #not a comment\n\n\n\n[DocClose(\"/a\")]\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);
}

TEST(Replay, FileNamesOnTheCommandLineAreIgnored)
{
    ScratchDir dir;
    RunResult r = Filter(dir, "[DocSave(\"/x\")]\n", {"a.tif", "b.tif"});
    EXPECT_EQ(r.out, "[DocSave(\"/x\")]\n\n");
}

TEST(Replay, LongLinesAreTakenInPiecesOf1023)
{
    ScratchDir dir;
    std::string line(2000, 'x');
    RunResult r = Filter(dir, line + "\n");
    EXPECT_EQ(r.out, line.substr(0, 1023) + "\n" + line.substr(1023) + "\n\n");

    std::string hashed = line;
    hashed[1023] = '#';
    r = Filter(dir, hashed + "\n");
    EXPECT_EQ(r.out, hashed.substr(0, 1023) + "\n") << "the second piece begins with '#'";

    std::string exact(1023, 'y');
    r = Filter(dir, exact + "\nz\n");
    EXPECT_EQ(r.out, exact + "\n" + "\n\n" + "z\n\n");
}

TEST(Replay, ANulEndsTheCommand)
{
    ScratchDir dir;
    RunResult r = Filter(dir, std::string("[DocOpen(\"/a\")]\0tail\n[DocSave(\"/a\")]\n", 37));
    EXPECT_EQ(r.out, "[DocOpen(\"/a\")]\n[DocSave(\"/a\")]\n\n");
    r = Filter(dir, std::string("\0hidden\n", 8));
    EXPECT_EQ(r.out, "") << "a line that begins with NUL is empty";
}

TEST(Replay, VerboseEchoesWithAnEmptyLineAfterEachCommand)
{
    ScratchDir dir;
    WriteFile(dir / "script.txt", "[DocSave(\"/x\")]\n");
    RunResult r = RunProgram({Docjoin(), "-v", "-l", "script.txt", "-s", "copy.txt"}, {.cwd = dir.path});
    EXPECT_EQ(r.out, "[DocSave(\"/x\")]\n\n");
    EXPECT_EQ(ReadFile(dir / "copy.txt"), "[DocSave(\"/x\")]\n\n");
}

TEST(Replay, StandardInputRunsToItsEnd)
{
    ScratchDir dir;
    std::string script;
    for (int i = 0; i < 2000; ++i)
        script += "[DocClose(\"/f" + std::to_string(i) + "\")]\n";
    RunResult r = RunProgram({Docjoin(), "-l", "-", "-s", "-"}, {.cwd = dir.path, .input = script});
    std::string expected;
    for (int i = 0; i < 2000; ++i)
        expected += "[DocClose(\"/f" + std::to_string(i) + "\")]\n\n";
    EXPECT_EQ(r.out, expected);
}

TEST(Replay, AStoredPlanReplaysAsTheSameCommandsEachWithAnEmptyLine)
{
    ScratchDir dir;
    RunResult stored = RunProgram({Docjoin(), "-s", "plan.txt", "a.tif", "b.gif", "c.pdf"}, {.cwd = dir.path});
    ASSERT_EQ(stored.status, 1);
    std::string plan = ReadFile(dir / "plan.txt");
    ASSERT_EQ(std::count(plan.begin(), plan.end(), '\n'), 16);

    RunResult replayed = RunProgram({Docjoin(), "-l", "plan.txt", "-s", "-"}, {.cwd = dir.path});
    std::string expected;
    for (std::size_t start = 0; start < plan.size();) {
        std::size_t end = plan.find('\n', start) + 1;
        expected += plan.substr(start, end - start) + "\n";
        start = end;
    }
    EXPECT_EQ(replayed.out, expected);
}

} // namespace
