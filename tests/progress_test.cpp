// The progress line of a long join, seen in a real terminal (tmux), and never
// in captured output.
#include "support/live.h"
#include "support/process.h"
#include "support/sample_pdf.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

struct Tmux {
    std::string server = "docjoin-test-" + std::to_string(getpid());
    RunResult Do(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"/usr/bin/tmux", "-L", server});
        return RunProgram(args);
    }
    std::string Screen() { return Do({"capture-pane", "-p", "-t", "join"}).out; }
    ~Tmux() { Do({"kill-server"}); }
};

TEST(Progress, ALongJoinShowsOneSelfUpdatingLineThatIsGoneAtTheEnd)
{
    ScratchDir dir;
    // The join waits for "go", so that everything it writes to the terminal is
    // recorded: sampling the screen instead would depend on how fast it runs.
    std::string command = "cd '" + dir.path + "' && while [ ! -e go ]; do sleep 0.02; done; '" + Docjoin() +
                          "' -w 0 -o out.pdf";
    for (int i = 0; i < 300; ++i) {
        WriteSamplePdf(dir / ("p" + std::to_string(i) + ".pdf"), {.pages = {"Page " + std::to_string(i)}});
        command += " p" + std::to_string(i) + ".pdf";
    }
    command += "; echo finished with status $?; sleep 60";
    Tmux tmux;
    ASSERT_EQ(tmux.Do({"new-session", "-d", "-s", "join", "-x", "100", "-y", "10", command}).status, 0);
    ASSERT_EQ(tmux.Do({"pipe-pane", "-O", "-t", "join", "cat > '" + (dir / "terminal.log") + "'"}).status, 0);
    WriteFile(dir / "go", "");

    std::string received;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (received.find("finished with status") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        received = ReadFile(dir / "terminal.log");
    }

    // One line, rewritten in place for each input and cleared at the end.
    std::string expected;
    for (int i = 0; i < 300; ++i)
        expected += "\r" + std::to_string(i + 1) + " of 300: p" + std::to_string(i) + ".pdf\033[K";
    expected += "\r\033[Kfinished with status";
    std::size_t at = received.find("\r1 of 300: ");
    ASSERT_NE(at, std::string::npos) << received;
    EXPECT_EQ(received.substr(at, expected.size()), expected);
    // The terminal shows the next output where the line stood.
    std::string screen = tmux.Screen();
    EXPECT_EQ(screen.substr(0, screen.find('\n')), "finished with status 1") << screen;
}

TEST(Progress, NothingExtraIsPrintedWhenStandardErrorIsNoTerminal)
{
    ScratchDir dir;
    std::vector<std::string> args = {Docjoin(), "-w", "0", "-o", "out.pdf"};
    for (int i = 0; i < 20; ++i) {
        WriteSamplePdf(dir / ("p" + std::to_string(i) + ".pdf"), {.pages = {"Page"}});
        args.push_back("p" + std::to_string(i) + ".pdf");
    }
    RunResult r = RunProgram(args, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
}

} // namespace
