// The join plan as stored by -s: the exact commands, their paths, and the
// names a join refuses before it starts.
#include "full_path.h"
#include "support/process.h"
#include "support/quoting.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

std::string JoinOf(const std::string& out, const std::vector<std::string>& in)
{
    std::string s = "[DocOpen(" + Q(in[0]) + ")]\n" + "[DocSaveAs(" + Q(in[0]) + "," + Q(out) + ")]\n" +
                    "[DocClose(" + Q(in[0]) + ")]\n" + "[DocOpen(" + Q(out) + ")]\n";
    for (std::size_t i = 1; i < in.size(); ++i) {
        std::string mid = in[i] + ".pdf";
        s += "[DocOpen(" + Q(in[i]) + ")]\n" + "[DocSaveAs(" + Q(in[i]) + "," + Q(mid) + ")]\n" +
             "[DocClose(" + Q(in[i]) + ")]\n" + "[DocInsertPages(" + Q(out) + ",PDLastPage," + Q(mid) +
             ")]\n" + "[DocClose(" + Q(mid) + ")]\n";
    }
    return s + "[DocSave(" + Q(out) + ")]\n" + "[DocClose(" + Q(out) + ")]\n";
}

TEST(JoinPlan, StoresTheSixteenCommandsOfThreeInputs)
{
    ScratchDir dir;
    RunResult r = RunProgram({Docjoin(), "-s", "-", "a.tif", "b.gif", "c.pdf"}, {.cwd = dir.path});
    EXPECT_EQ(r.out, JoinOf(dir / "out.pdf", {dir / "a.tif", dir / "b.gif", dir / "c.pdf"}));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);
}

TEST(JoinPlan, OneInputHasNoIntermediate)
{
    ScratchDir dir;
    RunResult r = RunProgram({Docjoin(), "-s", "-", "a.tif"}, {.cwd = dir.path});
    EXPECT_EQ(r.out, JoinOf(dir / "out.pdf", {dir / "a.tif"}));
}

TEST(JoinPlan, RelativeNamesResolveAgainstTheCurrentFolder)
{
    ScratchDir dir;
    mkdir((dir / "sub").c_str(), 0700);
    mkdir((dir / "sub/deeper").c_str(), 0700);
    // The output resolves against the current folder, not the inputs'; an
    // input named twice is joined twice, each intermediate beside its input.
    RunResult r = RunProgram({Docjoin(), "-o", "../book.pdf", "-s", "-", "./a.tif", "deeper/..//x/../b.gif",
                       "deeper/c.pdf", "./a.tif"},
                      {.cwd = dir / "sub"});
    EXPECT_EQ(r.out, JoinOf(dir / "book.pdf",
                            {dir / "sub/a.tif", dir / "sub/b.gif", dir / "sub/deeper/c.pdf", dir / "sub/a.tif"}));
}

TEST(JoinPlan, VerboseStoreEchoesEveryCommandAndShowResultsPrintsNothing)
{
    ScratchDir dir;
    std::string plan = JoinOf(dir / "out.pdf", {dir / "a.tif"});
    RunResult r = RunProgram({Docjoin(), "-s", "out.txt", "-e", "-v", "a.tif"}, {.cwd = dir.path});
    EXPECT_EQ(r.out, plan);
    EXPECT_EQ(ReadFile(dir / "out.txt"), plan);

    r = RunProgram({Docjoin(), "-v", "-s", "-", "a.tif"}, {.cwd = dir.path});
    std::string twice;
    for (std::size_t start = 0; start < plan.size();) {
        std::size_t end = plan.find('\n', start) + 1;
        twice += plan.substr(start, end - start) + plan.substr(start, end - start);
        start = end;
    }
    EXPECT_EQ(r.out, twice);
}

TEST(JoinPlan, QuotesInNamesAreDoubled)
{
    ScratchDir dir;
    RunResult r = RunProgram({Docjoin(), "-s", "-", "a\"b.tif"}, {.cwd = dir.path});
    EXPECT_NE(r.out.find("[DocOpen(\"" + dir.path + "/a\"\"b.tif\")]\n"), std::string::npos) << r.out;
}

TEST(JoinPlan, StoreModeDeletesNoFileNamedLikeAnIntermediate)
{
    ScratchDir dir;
    WriteFile(dir / "b.gif.pdf", "the user's own file");
    RunResult r = RunProgram({Docjoin(), "-s", "-", "a.tif", "b.gif"}, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ReadFile(dir / "b.gif.pdf"), "the user's own file");
}

// A refused name stops the run before anything is stored or started.
void ExpectRefused(const ScratchDir& dir, std::vector<std::string> args, const std::string& err)
{
    args.insert(args.begin(), Docjoin());
    RunResult r = RunProgram(args, {.cwd = dir.path});
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
}

TEST(JoinPlan, RefusesNamesThatCannotStandInACommand)
{
    ScratchDir dir;
    ExpectRefused(dir, {"-s", "store.txt", "a.tif", "b\nc.tif"},
                  "docjoin: b\\x0ac.tif: the name holds a control character\n");
    EXPECT_EQ(ReadFile(dir / "store.txt"), "");
    ExpectRefused(dir, {"-s", "-", "-o", "x\tx.pdf", "a.tif"},
                  "docjoin: x\\x09x.pdf: the name holds a control character\n");

    // The longest command of a further input with a long name is the save of
    // its intermediate: 18 characters around its path and that path + ".pdf".
    std::size_t room = (1023 - 22 - 2 * (dir.path.size() + 1)) / 2;
    std::string fits(room, 'n'), over(room + 1, 'n');
    RunResult r = RunProgram({Docjoin(), "-s", "-", "a.tif", fits}, {.cwd = dir.path});
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("PDLastPage,\"" + dir.path + "/" + fits + ".pdf\")]\n"), std::string::npos);
    ExpectRefused(dir, {"-s", "-", "a.tif", over},
                  "docjoin: " + over + ": its commands would be longer than 1023 characters\n");
    // A first input is saved straight to the output, so it has more room.
    r = RunProgram({Docjoin(), "-s", "-", over}, {.cwd = dir.path});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);
    std::string huge(5000, 'h');
    ExpectRefused(dir, {"-s", "-", huge}, "docjoin: " + huge + ": the full path cannot be resolved or is too long\n");
}

TEST(JoinPlan, LiveJoinRefusesToDestroyFilesItWasNotAskedToReplace)
{
    ScratchDir dir;
    WriteFile(dir / "a.pdf", "a");
    WriteFile(dir / "b.pdf", "b");
    ExpectRefused(dir, {"-o", "b.pdf", "a.pdf", "b.pdf"},
                  "docjoin: " + dir.path + "/b.pdf: is also the output, which the join overwrites\n");
    symlink("b.pdf", (dir / "link.pdf").c_str());
    ExpectRefused(dir, {"-o", "link.pdf", "a.pdf", "b.pdf"},
                  "docjoin: " + dir.path + "/b.pdf: is also the output, which the join overwrites\n");
    ExpectRefused(dir, {"-o", "b.pdf.pdf", "a.pdf", "b.pdf"},
                  "docjoin: " + dir.path + "/b.pdf.pdf: an intermediate PDF would overwrite the output\n");
    ExpectRefused(dir, {"a.pdf", "b", "b.pdf"},
                  "docjoin: " + dir.path + "/b.pdf: an intermediate PDF would overwrite an input\n");
    WriteFile(dir / "c.pdf.pdf", "precious");
    ExpectRefused(dir, {"a.pdf", "c.pdf"},
                  "docjoin: " + dir.path + "/c.pdf.pdf: already exists, and the join would replace and delete it\n");
    EXPECT_EQ(ReadFile(dir / "c.pdf.pdf"), "precious");
    EXPECT_EQ(ReadFile(dir / "b.pdf"), "b");
}

TEST(FullPath, FoldsStepsTextually)
{
    std::string path;
    ASSERT_TRUE(FullPath(path, "/a/b/../c/./d//e/"));
    EXPECT_EQ(path, "/a/c/d/e");
    ASSERT_TRUE(FullPath(path, "/../../x"));
    EXPECT_EQ(path, "/x");
    ASSERT_TRUE(FullPath(path, "/"));
    EXPECT_EQ(path, "/");
    ASSERT_TRUE(FullPath(path, "//a/..//"));
    EXPECT_EQ(path, "/");
    ASSERT_TRUE(FullPath(path, "/a/..b/b..c/...d"));
    EXPECT_EQ(path, "/a/..b/b..c/...d");
    EXPECT_TRUE(FullPath(path, ("/" + std::string(1022, 'x')).c_str()));
    EXPECT_FALSE(FullPath(path, ("/" + std::string(1023, 'x')).c_str()));
}

} // namespace
