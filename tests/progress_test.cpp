// The progress line of a long join, seen in a real terminal (tmux), and never
// in captured output.
#include "support/live.h"
#include "support/process.h"
#include "support/sample_pdf.h"

#include <chrono>
#include <gtest/gtest.h>
#include <regex>
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
    std::string command = "cd '" + dir.path + "' && '" + Docjoin() + "' -w 0 -o out.pdf";
    for (int i = 0; i < 300; ++i) {
        WriteSamplePdf(dir / ("p" + std::to_string(i) + ".pdf"), {.pages = {"Page " + std::to_string(i)}});
        command += " p" + std::to_string(i) + ".pdf";
    }
    command += "; echo finished with status $?; sleep 60";
    Tmux tmux;
    ASSERT_EQ(tmux.Do({"new-session", "-d", "-s", "join", "-x", "100", "-y", "10", command}).status, 0);

    std::regex progress(R"(^(\d+) of 300: p(\d+)\.pdf\s*$)");
    std::vector<int> seen;
    std::string screen;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        screen = tmux.Screen();
        std::smatch match;
        std::string first = screen.substr(0, screen.find('\n'));
        if (std::regex_match(first, match, progress)) {
            EXPECT_EQ(std::stoi(match[1]), std::stoi(match[2]) + 1) << first;
            if (seen.empty() || seen.back() != std::stoi(match[1]))
                seen.push_back(std::stoi(match[1]));
        }
        if (screen.find("finished with status") != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    EXPECT_GE(seen.size(), 2u) << "the line updated itself while the join ran";
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    // At the end the line is erased: the next output starts where it stood.
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
