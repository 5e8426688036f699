// Faults and hostile input in live runs: a dying engine, a full disk, a
// folder that cannot be written, names and scripts meant to break things.
#include "support/live.h"
#include "support/pdf_check.h"
#include "support/process.h"
#include "support/sample_pdf.h"

#include <chrono>
#include <csignal>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

class Faults : public testing::Test {
protected:
    void SetUp() override { BecomeReaper(); }
    void TearDown() override { EXPECT_TRUE(TakeOrphans().empty()) << "an engine was left running"; }
};

std::vector<std::string> Names(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> ManyPdfs(const ScratchDir& dir, int count)
{
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        names.push_back("p" + std::to_string(i) + ".pdf");
        WriteSamplePdf(dir / names.back(), {.pages = {"Page " + std::to_string(i)}});
    }
    return names;
}

TEST_F(Faults, AnEngineThatDiesMidRunNeverHangsTheJoin)
{
    for (const char* signal : {"KILL", "SEGV"}) {
        ScratchDir dir;
        std::vector<std::string> inputs = ManyPdfs(dir, 150);
        // The engine as a child of a stand-in that kills it a second into the run:
        // after it has answered the conversation (a sanitized engine with its
        // libraries can take a while to start on a busy machine), before the
        // final save.
        std::string docjoin = DocjoinWithEngine(
            dir / "dying", "#!/bin/sh\n\"" + BinDir() + "/dochost\" \"$@\" &\nengine=$!\nexec 3>&-\nsleep 1\nkill -" +
                               std::string(signal) + " $engine\nwait $engine\nexec sleep 300\n");
        std::vector<std::string> args = {docjoin, "-w", "0", "-o", "out.pdf"};
        args.insert(args.end(), inputs.begin(), inputs.end());
        auto started = std::chrono::steady_clock::now();
        RunResult r = RunProgram(args, {.cwd = dir.path, .timeoutSeconds = 60});
        auto took = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(r.status, 1) << signal;
        EXPECT_LT(took, std::chrono::seconds(30)) << signal;
        if (Exists(dir / "out.pdf")) {
            EXPECT_TRUE(QpdfAccepts(dir / "out.pdf")) << "the output is whole or absent";
        }
        for (const std::string& name : Names(dir.path))
            EXPECT_EQ(name.find(".pdf.pdf"), std::string::npos) << name << " was left behind";
    }
}

TEST_F(Faults, AFullDiskFailsTheSaveAndKeepsThePreviousFileWhole)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "big.pdf", {.pages = std::vector<std::string>(40, "Big"), .padding = 30000});
    WriteSamplePdf(dir / "out.pdf", {.pages = {"Previous"}});
    std::string before = ReadFile(dir / "out.pdf");
    std::string big = dir / "big.pdf", out = dir / "out.pdf";
    WriteFile(dir / "script.txt", "[DocOpen(\"" + big + "\")]\n[DocSaveAs(\"" + big + "\",\"" + out + "\")]\n");
    auto listing = Names(dir.path);
    // A file-size limit of 100 blocks stands in for a disk that fills up.
    RunResult r = RunProgram({"/bin/sh", "-c", "ulimit -f 100; exec \"$0\" -w 0 -e -l script.txt", Docjoin()},
                             {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("[DocSaveAs(\"" + big + "\",\"" + out + "\")]\n = 0 e=0\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.rfind("dochost: DocSaveAs(\"" + big + "\",\"" + out + "\"): ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
    EXPECT_TRUE(ReadFile(out) == before) << "the previous output changed";
    EXPECT_EQ(Names(dir.path), listing) << "no temporary file is left behind";
}

TEST_F(Faults, AFolderThatCannotBeWrittenFailsTheSaveWithTheReason)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run as another user";
    ScratchDir dir;
    chmod(dir.path.c_str(), 0755);
    std::filesystem::create_directories(dir / "in");
    std::filesystem::create_directories(dir / "locked");
    chown((dir / "in").c_str(), NobodyId, NobodyId);
    chmod((dir / "locked").c_str(), 0555);
    WriteSamplePdf(dir / "in/a.pdf", {.pages = {"A"}});
    WriteSamplePdf(dir / "in/b.pdf", {.pages = {"B"}});
    RunResult r = RunProgram({Docjoin(), "-w", "0", "-o", "../locked/out.pdf", "a.pdf", "b.pdf"},
                             {.cwd = dir / "in", .uid = NobodyId});
    EXPECT_EQ(r.status, 1);
    std::string folder = dir / "locked";
    EXPECT_NE(r.err.find("dochost: DocSaveAs(\"" + dir / "in/a.pdf" + "\",\"" + folder + "/out.pdf\"): cannot "
                         "create a file in " + folder + ": Permission denied\n"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(Names(folder).empty());
    EXPECT_FALSE(Exists(dir / "in/b.pdf.pdf"));
}

TEST_F(Faults, HostileScriptsLeaveTheEngineServing)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "good.pdf", {.pages = {"Still serving"}});
    std::string script;
    std::uint32_t state = 7;
    for (int i = 0; i < 20000; ++i) { // binary data, NULs and line ends among it
        state = state * 1103515245u + 12345u;
        script += char(state >> 16);
    }
    script += "\n" + std::string(3 << 20, 'x'); // megabytes without a line end
    script += "\n";
    for (int i = 0; i < 5000; ++i)
        script += "[CloseAllDocs()]";
    script += "\n" + std::string(5000, '[') + "\n" + std::string(5000, ']') + "\n";
    script += "[DocOpen(\"unbalanced)]\n[DocOpen(\"\"\"\")]\n[DocOpen(\"a\",)]]]\n[[[DocOpen]\n";
    std::string good = dir / "good.pdf", out = dir / "out.pdf";
    script += "[DocOpen(\"" + good + "\")][DocSaveAs(\"" + good + "\",\"" + out + "\")]\n";
    WriteFile(dir / "hostile.txt", script);
    RunResult r = RunProgram({Docjoin(), "-w", "0", "-e", "-l", "hostile.txt"}, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("[DocOpen(\"" + good + "\")][DocSaveAs(\"" + good + "\",\"" + out + "\")]\n = 32768 e=1\n"),
              std::string::npos);
    EXPECT_EQ(PageTexts(out), std::vector<std::string>{"Still serving"});
}

TEST_F(Faults, NamesWithQuotesSpacesDashesAndStrayBytesJoinLikeAnyOther)
{
    ScratchDir dir;
    std::vector<std::string> names = {"plain.pdf", "a \"quoted\" name.pdf", "-leading dash.pdf",
                                      std::string("stray \xff\xfe bytes.pdf"), "with [brackets] (and), commas.pdf"};
    // The longest path a further input may have: its save as an intermediate
    // is the longest command, 22 characters around two full paths. Folders
    // make it, since one name holds at most 255 bytes.
    std::size_t longest = (1023 - 22 - 4) / 2;
    std::string deep;
    while (dir.path.size() + 1 + deep.size() + 200 + 1 + 8 < longest)
        deep += std::string(200, 'd') + "/";
    std::filesystem::create_directories(dir / deep);
    std::size_t left = longest - dir.path.size() - 1 - deep.size();
    names.push_back(deep + std::string(left - 4, 'n') + ".pdf");
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < names.size(); ++i) {
        expected.push_back("Name " + std::to_string(i));
        WriteSamplePdf(dir / names[i], {.pages = {expected.back()}});
    }
    std::vector<std::string> args = {Docjoin(), "-w", "0", "-o", "all \"joined\".pdf"};
    args.insert(args.end(), names.begin(), names.end());
    RunResult r = RunProgram(args, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(PageTexts(dir / "all \"joined\".pdf"), expected);
    for (const std::string& name : names)
        EXPECT_FALSE(Exists(dir / (name + ".pdf")));
}

TEST_F(Faults, TwoThousandInputsInOneJoin)
{
    ScratchDir dir;
    std::vector<std::string> inputs = ManyPdfs(dir, 2000);
    std::vector<std::string> args = {Docjoin(), "-w", "0", "-o", "all.pdf"};
    args.insert(args.end(), inputs.begin(), inputs.end());
    RunResult r = RunProgram(args, {.cwd = dir.path, .timeoutSeconds = 600});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> pages = PageTexts(dir / "all.pdf");
    ASSERT_EQ(pages.size(), 2000u);
    EXPECT_EQ(pages[0], "Page 0");
    EXPECT_EQ(pages[1999], "Page 1999");
}

TEST_F(Faults, TenJoinsOfTwoHundredInputsAtOnce)
{
    ScratchDir dir;
    std::vector<std::string> inputs = ManyPdfs(dir, 200);
    std::vector<std::thread> runs;
    std::vector<RunResult> results(10);
    for (int i = 0; i < 10; ++i) {
        std::vector<std::string> args = {Docjoin(), "-w", "0", "-o", "out" + std::to_string(i) + ".pdf"};
        // Each join has its own folder of inputs, taken in its own order.
        std::string folder = dir / ("job" + std::to_string(i));
        std::filesystem::create_directories(folder);
        for (int k = 0; k < 200; ++k) {
            const std::string& name = inputs[std::size_t((k + 20 * i) % 200)];
            std::filesystem::copy_file(dir / name, folder + "/" + name);
            args.push_back(name);
        }
        runs.emplace_back([&results, i, args, folder] {
            results[std::size_t(i)] = RunProgram(args, {.cwd = folder, .timeoutSeconds = 600});
        });
    }
    for (auto& run : runs)
        run.join();
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(results[std::size_t(i)].status, 1) << i;
        EXPECT_EQ(results[std::size_t(i)].err, "") << i;
        std::vector<std::string> pages = PageTexts(dir / ("job" + std::to_string(i)) + "/out" + std::to_string(i) + ".pdf");
        ASSERT_EQ(pages.size(), 200u);
        EXPECT_EQ(pages[0], "Page " + std::to_string(20 * i % 200));
    }
}

// The engine's end of the conversation has no name anywhere: nothing but the
// docjoin that made the pair can reach it.
TEST_F(Faults, NoOtherProcessCanReachAnEngine)
{
    LeadOwnProcessGroup();
    ScratchDir dir;
    chmod(dir.path.c_str(), 0755);
    std::vector<std::string> inputs = ManyPdfs(dir, 300);
    std::vector<std::string> args = {Docjoin(), "-w", "0", "-o", "out.pdf"};
    args.insert(args.end(), inputs.begin(), inputs.end());
    std::jthread run([&] { RunProgram(args, {.cwd = dir.path}); });

    pid_t engine = 0;
    for (int i = 0; i < 500 && engine == 0; ++i) {
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            std::string comm = ReadFile(entry.path().string() + "/comm");
            // Ours, not the engine of a test running beside this one: it
            // works in this test's folder.
            std::error_code unreadable;
            if (comm == "dochost\n" && ReadFile(entry.path().string() + "/cmdline").find(BinDir()) == 0 &&
                std::filesystem::read_symlink(entry.path() / "cwd", unreadable) == dir.path)
                engine = pid_t(std::stol(entry.path().filename()));
        }
        if (engine == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(engine, 0) << "the engine was not seen running";
    // Held still while it is looked at, so that a fast join cannot end it
    // first; it goes on when the test ends.
    kill(engine, SIGSTOP);
    struct Resume {
        pid_t pid;
        ~Resume() { kill(pid, SIGCONT); }
    } resume{engine};
    std::string fd = "/proc/" + std::to_string(engine) + "/fd/3";
    char link[256] = "";
    ssize_t length = readlink(fd.c_str(), link, sizeof link - 1);
    ASSERT_GT(length, 0);
    std::string socket(link, std::size_t(length));
    ASSERT_EQ(socket.rfind("socket:[", 0), 0u) << socket;
    std::string inode = socket.substr(8, socket.size() - 9);

    // No path is bound to it, and it does not listen.
    std::ifstream unixSockets("/proc/net/unix");
    std::string line;
    bool listed = false;
    while (std::getline(unixSockets, line)) {
        std::istringstream fields(line);
        std::string num, ref, protocol, flags, type, state, node, path;
        fields >> num >> ref >> protocol >> flags >> type >> state >> node >> path;
        if (node == inode) {
            listed = true;
            EXPECT_EQ(path, "") << "the engine's socket has a name";
            EXPECT_EQ(std::stoul(flags, nullptr, 16) & 0x10000, 0u) << "the engine's socket listens";
        }
    }
    EXPECT_TRUE(listed);
    // Its descriptor cannot be opened through /proc by this user or another.
    RunResult same = RunProgram({"/bin/sh", "-c", "exec 9<>" + fd});
    EXPECT_NE(same.status, 0);
    EXPECT_NE(same.err.find("No such device or address"), std::string::npos) << same.err;
    if (geteuid() == 0) {
        RunResult other = RunProgram({"/bin/sh", "-c", "exec 9<>" + fd}, {.uid = NobodyId});
        EXPECT_NE(other.status, 0);
        EXPECT_NE(other.err.find("Permission denied"), std::string::npos) << other.err;
    }
}

} // namespace
