// The engine killed at random moments while it saves: the target is always
// either the previous file or the new one, whole.
#include "delivery/delivery.h"
#include "delivery/posix/engine_process.h"
#include "support/live.h"
#include "support/pdf_check.h"
#include "support/process.h"
#include "support/sample_pdf.h"
#include "support/stderr_capture.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <qpdf/QPDF.hh>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

namespace {

bool Execute(const std::string& command)
{
    std::uint32_t result = 0;
    return DdeExecute(command.data(), command.size(), &result) != 0;
}

std::size_t WholePageCount(const std::string& path)
{
    QPDF pdf;
    pdf.setSuppressWarnings(true);
    pdf.processFile(path.c_str());
    std::size_t pages = pdf.getAllPages().size();
    EXPECT_FALSE(pdf.anyWarnings()) << path << " needed repair";
    return pages;
}

TEST(CrashSafety, KillingTheEngineWhileItSavesNeverTearsTheFile)
{
    BecomeReaper();
    ScratchDir dir;
    WriteSamplePdf(dir / "big.pdf", {.pages = std::vector<std::string>(150, "Big"), .padding = 20000});
    WriteSamplePdf(dir / "small.pdf", {.pages = {"Small"}});
    const std::string target = dir / "target.pdf";
    const std::string open = "[DocOpen(\"" + dir / "big.pdf" + "\")][DocOpen(\"" + dir / "small.pdf" + "\")]";
    auto saveAs = [&](const char* name) {
        return "[DocSaveAs(\"" + dir / name + "\",\"" + target + "\")]";
    };

    // How long one save takes, so that the kills fall before, during and after it.
    BuildIndex();
    ASSERT_TRUE(AcrobatStarted());
    ASSERT_EQ(DdeOpen(), 0);
    ASSERT_TRUE(Execute(open));
    auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(Execute(saveAs("small.pdf")));
    ASSERT_TRUE(Execute(saveAs("big.pdf")));
    auto saveTime = std::chrono::steady_clock::now() - started;
    DdeClose();
    TerminateAcrobat();
    auto saveUs = std::max<long long>(1000, std::chrono::duration_cast<std::chrono::microseconds>(saveTime).count());

    std::mt19937 random(20261208);
    int interrupted = 0, completed = 0;
    for (int round = 0; round < 60; ++round) {
        BuildIndex();
        ASSERT_TRUE(AcrobatStarted());
        ASSERT_EQ(DdeOpen(), 0);
        ASSERT_TRUE(Execute(open));
        pid_t engine = EnginePid();
        long long delay = std::uniform_int_distribution<long long>(0, saveUs * 3 / 2)(random);
        std::thread killer([engine, delay] {
            std::this_thread::sleep_for(std::chrono::microseconds(delay));
            kill(engine, SIGKILL);
        });
        bool saved = Execute(saveAs(round % 2 ? "big.pdf" : "small.pdf"));
        killer.join();
        DdeClose();
        TerminateAcrobat();
        (saved ? completed : interrupted)++;

        std::size_t pages = WholePageCount(target);
        EXPECT_TRUE(pages == 150 || pages == 1) << "round " << round << ": " << pages << " pages";
        if (saved) {
            EXPECT_EQ(pages, round % 2 ? 150u : 1u) << "a save that was answered is on disk";
        }
    }
    EXPECT_TRUE(TakeOrphans().empty());
    std::printf("kills during or before the save: %d, after it: %d\n", interrupted, completed);
}

} // namespace

namespace {

TEST(CrashSafety, AHungEngineIsGivenUpAfterItsTimeAndStillKilled)
{
    BecomeReaper();
    LeadOwnProcessGroup();
    ScratchDir dir;
    WriteSamplePdf(dir / "a.pdf", {.pages = {"A"}});
    SetEngineFinishTimeout(1500);
    BuildIndex();
    ASSERT_TRUE(AcrobatStarted());
    ASSERT_EQ(DdeOpen(), 0);
    ASSERT_TRUE(Execute("[DocOpen(\"" + dir / "a.pdf" + "\")]"));
    pid_t engine = EnginePid();
    kill(engine, SIGSTOP); // hung: alive, but answering nothing

    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(Execute("[DocSave(\"" + dir / "a.pdf" + "\")]")) << "no answer within the second";
    CaptureStderr();
    DdeWaitForAnswers();
    EXPECT_EQ(CapturedStderr(),
              "docjoin: the engine has not answered for 1 seconds; giving up on it\n");
    auto giveUp = std::chrono::steady_clock::now();
    EXPECT_FALSE(Execute("[DocClose(\"" + dir / "a.pdf" + "\")]"));
    DdeClose();
    auto closed = std::chrono::steady_clock::now();
    EXPECT_LT(closed - giveUp, std::chrono::milliseconds(500)) << "a given-up engine is not waited for again";
    EXPECT_LT(closed - started, std::chrono::seconds(5));
    TerminateAcrobat();
    EXPECT_FALSE(ProcessAlive(engine));
    EXPECT_TRUE(TakeOrphans().empty());
    SetEngineFinishTimeout(300000);
}

} // namespace

namespace {

// The engine killed while it writes a save ahead (idle, after a change), or
// after: the document's file is always the old one, whole, and nothing is
// left beside it; a save answered after the write ahead holds the change.
TEST(CrashSafety, KillingTheEngineWhileItWritesASaveAheadLeavesTheFileAsItWas)
{
    BecomeReaper();
    ScratchDir dir;
    WriteSamplePdf(dir / "big.pdf", {.pages = std::vector<std::string>(150, "Big"), .padding = 20000});
    WriteSamplePdf(dir / "small.pdf", {.pages = {"Small"}});
    const std::string target = dir / "target.pdf";
    const std::string change = "[DocOpen(\"" + target + "\")][DocInsertPages(\"" + target + "\",PDLastPage,\"" +
                               dir / "small.pdf" + "\")]";
    auto names = [&] {
        std::set<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path))
            found.insert(entry.path().filename().string());
        return found;
    };

    // How long a write of the changed document takes, so that the kills fall
    // before, during and after the write ahead that follows the change.
    std::filesystem::copy_file(dir / "big.pdf", target);
    const std::set<std::string> files = names();
    BuildIndex();
    ASSERT_TRUE(AcrobatStarted());
    ASSERT_EQ(DdeOpen(), 0);
    ASSERT_TRUE(Execute(change));
    auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(Execute("[DocSaveAs(\"" + target + "\",\"" + dir / "timed.pdf" + "\")]"));
    auto writeTime = std::chrono::steady_clock::now() - started;
    DdeClose();
    TerminateAcrobat();
    std::filesystem::remove(dir / "timed.pdf");
    auto writeUs = std::max<long long>(
        20000, std::chrono::duration_cast<std::chrono::microseconds>(writeTime).count() + 20000);

    std::mt19937 random(20261209);
    for (int round = 0; round < 30; ++round) {
        BuildIndex();
        ASSERT_TRUE(AcrobatStarted());
        ASSERT_EQ(DdeOpen(), 0);
        ASSERT_TRUE(Execute(change));
        pid_t engine = EnginePid();
        long long delay = std::uniform_int_distribution<long long>(0, writeUs * 3 / 2)(random);
        bool save = round % 3 == 0;
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
        bool saved = save && Execute("[DocSave(\"" + target + "\")]");
        kill(engine, SIGKILL);
        DdeClose();
        TerminateAcrobat();

        EXPECT_EQ(names(), files) << "round " << round << ": nothing is left beside the file";
        std::size_t pages = WholePageCount(target);
        if (save && !saved) // not answered in time: it may have been carried out before the kill
            EXPECT_TRUE(pages == 150u || pages == 151u) << "round " << round << ": " << pages << " pages";
        else
            EXPECT_EQ(pages, saved ? 151u : 150u) << "round " << round;
        if (pages == 151u)
            std::filesystem::copy_file(dir / "big.pdf", target, std::filesystem::copy_options::overwrite_existing);
    }
    EXPECT_TRUE(TakeOrphans().empty());
}

} // namespace
