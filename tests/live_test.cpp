// Live runs on POSIX: docjoin starting dochost, conversing with it and ending
// it, as a user runs them.
#include "support/live.h"
#include "support/pdf_check.h"
#include "support/process.h"
#include "support/quoting.h"
#include "support/sample_pdf.h"

#include <filesystem>
#include <future>
#include <set>
#include <sys/stat.h>
#include <gtest/gtest.h>

namespace {

class Live : public testing::Test {
protected:
    void SetUp() override { BecomeReaper(); }
    void TearDown() override { EXPECT_TRUE(TakeOrphans().empty()) << "an engine was left running"; }
};

TEST_F(Live, JoinsPdfsWithTheirPagesBookmarksFormsAndLinks)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "a.pdf", {.pages = {"Alpha 1", "Alpha 2"}, .bookmarks = true});
    WriteSamplePdf(dir / "b.pdf", {.pages = {"Beta 1"}, .bookmarks = true, .fieldName = "name", .link = true});
    WriteSamplePdf(dir / "c.pdf", {.pages = {"Gamma 1", "Gamma 2"}, .bookmarks = true, .fieldName = "name"});

    RunResult r = RunProgram({Docjoin(), "-w", "0", "-o", "book.pdf", "a.pdf", "b.pdf", "c.pdf"}, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    std::string book = dir / "book.pdf";
    EXPECT_TRUE(QpdfAccepts(book));
    EXPECT_EQ(PageTexts(book), (std::vector<std::string>{"Alpha 1", "Alpha 2", "Beta 1\n\nvalue of name", "Gamma 1\n\nvalue of name", "Gamma 2"}));
    std::vector<std::pair<std::string, int>> outline;
    for (auto& entry : Outline(book))
        outline.emplace_back(entry.title, entry.page);
    EXPECT_EQ(outline, (std::vector<std::pair<std::string, int>>{
                           {"Alpha 1", 0}, {"Alpha 2", 1}, {"Beta 1", 2}, {"Gamma 1", 3}, {"Gamma 2", 4}}));
    EXPECT_EQ(LinkTargets(book), (std::vector<std::pair<int, int>>{{2, 2}}));
    auto fields = FormFields(book);
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0].second, 2);
    EXPECT_EQ(fields[1].second, 3);
    EXPECT_NE(fields[0].first, fields[1].first);
    EXPECT_FALSE(Exists(dir / "b.pdf.pdf"));
    EXPECT_FALSE(Exists(dir / "c.pdf.pdf"));
}

TEST_F(Live, JoinsFilesFromARealProducerADamagedOneAndAnEncryptedOne)
{
    ScratchDir dir;
    WriteLatexPdf(dir.path, "paper");
    WriteSamplePdf(dir / "plain.pdf", {.pages = {"Plain"}});
    ASSERT_EQ(RunProgram({"/usr/bin/qpdf", "--encrypt", "", "owner", "128", "--use-aes=y", "--", dir / "plain.pdf", dir / "locked.pdf"})
                  .status,
              0);
    std::string bytes = ReadFile(dir / "plain.pdf");
    WriteFile(dir / "damaged.pdf", bytes.substr(0, bytes.rfind("xref")) + "trailer garbage");

    RunResult r = RunProgram({Docjoin(), "-w", "0", "-o", "all.pdf", "paper.pdf", "locked.pdf", "damaged.pdf", "paper.pdf"},
                             {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    std::string all = dir / "all.pdf";
    EXPECT_TRUE(QpdfAccepts(all));
    auto pages = PageTexts(all);
    ASSERT_EQ(pages.size(), 8u);
    EXPECT_NE(pages[0].find("This document was made by pdflatex."), std::string::npos) << pages[0];
    EXPECT_EQ(pages[3], "Plain");
    EXPECT_EQ(pages[4], "Plain");
    EXPECT_NE(pages[7].find("The end."), std::string::npos);

    // Both copies of the paper keep their sections, pointing at their own pages.
    std::vector<std::pair<std::string, int>> outline;
    for (auto& entry : Outline(all))
        outline.emplace_back(entry.title, entry.page);
    EXPECT_EQ(outline, (std::vector<std::pair<std::string, int>>{{"Introduction", 0},
                                                                {"The form", 1},
                                                                {"Details", 1},
                                                                {"Closing words", 2},
                                                                {"Introduction", 5},
                                                                {"The form", 6},
                                                                {"Details", 6},
                                                                {"Closing words", 7}}));
    // So do their links: the second copy's lead to its own pages.
    EXPECT_EQ(LinkTargets(all), (std::vector<std::pair<int, int>>{{1, 2}, {6, 7}}));

    auto fields = FormFields(all);
    ASSERT_EQ(fields.size(), 4u);
    EXPECT_EQ(fields[0].second, 1);
    EXPECT_EQ(fields[2].second, 6);
    std::set<std::string> names;
    for (auto& field : fields)
        names.insert(field.first);
    EXPECT_EQ(names.size(), 4u) << "the second copy's fields are renamed";
}

TEST_F(Live, AFileThatIsNotADocumentFailsItsCommandsAndTheRestIsJoined)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "a.pdf", {.pages = {"First"}});
    WriteFile(dir / "notes.txt", std::string("not a document\0\x01\n", 17));
    WriteSamplePdf(dir / "c.pdf", {.pages = {"Last"}});
    RunResult r = RunProgram({Docjoin(), "-w", "0", "-e", "a.pdf", "notes.txt", "c.pdf"}, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    std::string notes = dir / "notes.txt";
    EXPECT_EQ(r.err, "dochost: DocOpen(" + Q(notes) + "): neither a PDF nor an image of a kind dochost reads\n"
                     "dochost: DocSaveAs(" + Q(notes) + "," + Q(notes + ".pdf") + "): no document is open from this path\n"
                     "dochost: DocInsertPages(" + Q(dir / "out.pdf") + ",PDLastPage," + Q(notes + ".pdf") +
                         "): cannot open the file: No such file or directory\n");
    EXPECT_NE(r.out.find("[DocOpen(" + Q(notes) + ")] = 0 e=0\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[DocSave(" + Q(dir / "out.pdf") + ")] = 32768 e=1\n"), std::string::npos) << r.out;
    EXPECT_EQ(PageTexts(dir / "out.pdf"), (std::vector<std::string>{"First", "Last"}));
    EXPECT_TRUE(QpdfAccepts(dir / "out.pdf"));
}

TEST_F(Live, WithResultsShownACommandSlowerThanASecondIsShownAsCarriedOut)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "a.pdf", {.pages = {"First"}});
    // PostScript that keeps Ghostscript busy for two and a half seconds, then draws its page.
    WriteFile(dir / "slow.ps", "%!PS\n/t realtime def { realtime t sub 2500 gt { exit } if } loop\n"
                               "/Helvetica findfont 24 scalefont setfont 72 720 moveto (Slow) show showpage\n");
    RunResult r = RunProgram({Docjoin(), "-w", "0", "-e", "a.pdf", "slow.ps"}, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("[DocOpen(" + Q(dir / "slow.ps") + ")] = 32768 e=1\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("e=0"), std::string::npos) << r.out;
    EXPECT_EQ(PageTexts(dir / "out.pdf"), (std::vector<std::string>{"First", "Slow"}));
}

TEST_F(Live, AReplayedScriptPrintsOneResultPerCommandAndSurvivesBadOnes)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "a.pdf", {.pages = {"A"}});
    WriteSamplePdf(dir / "b.pdf", {.pages = {"B"}});
    std::string a = Q(dir / "a.pdf"), b = Q(dir / "b.pdf"), out = Q(dir / "out.pdf");
    std::string script = "# open, break things, then carry on\n"
                         "[DocOpen(" + a + ")]\n"
                         "[DocOpen(" + a + ")\n"
                         "[NoSuchCommand()]\n"
                         "\n"
                         "[DocInsertPages(" + a + ",PDBeforeFirstPage," + b + ")][DocSaveAs(" + a + "," + out + ")]\n"
                         "[CloseAllDocs()]";
    WriteFile(dir / "script.txt", script);
    RunResult r = RunProgram({Docjoin(), "-w", "0", "-e", "-l", "script.txt"}, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "[DocOpen(" + a + ")]\n = 32768 e=1\n"
                     "[DocOpen(" + a + ")\n = 0 e=0\n"
                     "[NoSuchCommand()]\n = 0 e=0\n"
                     "\n = 32768 e=1\n"
                     "[DocInsertPages(" + a + ",PDBeforeFirstPage," + b + ")][DocSaveAs(" + a + "," + out + ")]\n = 32768 e=1\n"
                     "[CloseAllDocs()] = 32768 e=1\n");
    EXPECT_EQ(r.err, "dochost: cannot read the command \"[DocOpen(" + a + ")\\x0a\": ']' was expected at character " +
                         std::to_string(a.size() + 12) + "\n"
                         "dochost: NoSuchCommand(): unknown command\n");
    EXPECT_EQ(PageTexts(dir / "out.pdf"), (std::vector<std::string>{"B", "A"}));
}

TEST_F(Live, TenJoinsAtOnceNeverCross)
{
    ScratchDir dir;
    std::vector<std::future<RunResult>> runs;
    for (int i = 0; i < 10; ++i) {
        std::string folder = dir / ("job" + std::to_string(i));
        std::filesystem::create_directories(folder);
        for (const char* part : {"a", "b", "c"})
            WriteSamplePdf(folder + "/" + part + ".pdf", {.pages = {"Job " + std::to_string(i) + " " + part}});
        runs.push_back(std::async(std::launch::async, [folder] {
            return RunProgram({Docjoin(), "-w", "0", "-o", "../out" + folder.substr(folder.size() - 1) + ".pdf",
                               "a.pdf", "b.pdf", "c.pdf"},
                              {.cwd = folder});
        }));
    }
    for (int i = 0; i < 10; ++i) {
        RunResult r = runs[i].get();
        EXPECT_EQ(r.status, 1) << i;
        EXPECT_EQ(r.err, "") << i;
        std::string n = std::to_string(i);
        EXPECT_EQ(PageTexts(dir / ("out" + n + ".pdf")),
                  (std::vector<std::string>{"Job " + n + " a", "Job " + n + " b", "Job " + n + " c"}));
    }
}

TEST_F(Live, AMissingOrUnstartableEngineFailsLikeAMissingApplication)
{
    ScratchDir dir;
    std::string lonely = DocjoinWithEngine(dir / "alone", "");
    RunResult r = RunProgram({lonely, "-w", "0", "a.pdf"}, {.cwd = dir.path, .extraEnv = {"PATH=" + dir.path}});
    EXPECT_EQ(r.err, "BuildIndex - Error: Acrobat is not installed. Aborting...\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 255);

    std::string broken = DocjoinWithEngine(dir / "broken", "#!/bin/sh\nexit 0\n");
    chmod((dir / "broken/dochost").c_str(), 0644);
    r = RunProgram({broken, "-w", "0", "a.pdf"}, {.cwd = dir.path});
    EXPECT_EQ(r.err, "BuildIndex - Error: Permission denied\n");
    EXPECT_EQ(r.status, 255);
}

TEST_F(Live, AnEngineThatNeverAnswersIsGivenUpAndKilled)
{
    ScratchDir dir;
    std::string docjoin =
        DocjoinWithEngine(dir / "silent", "#!/bin/sh\necho $$ > \"$PWD/engine.pid\"\nexec sleep 300\n");
    RunResult r = RunProgram({docjoin, "-w", "0", "a.pdf"}, {.cwd = dir.path});
    EXPECT_EQ(r.out, "Could not connect to server. -- DdeOpen - Error\n"
                     "Failed to initialize DDE. - DdeOpen - Error\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 255);
    pid_t engine = static_cast<pid_t>(std::stol(ReadFile(dir / "engine.pid")));
    EXPECT_FALSE(ProcessAlive(engine));
}

TEST_F(Live, AnEngineThatDiesAtOnceFailsTheOpening)
{
    ScratchDir dir;
    // An engine that dies at once: the handshake finds the conversation closed.
    std::string docjoin = DocjoinWithEngine(dir / "gone", "#!/bin/sh\nexit 3\n");
    RunResult r = RunProgram({docjoin, "-w", "0", "a.pdf"}, {.cwd = dir.path});
    EXPECT_EQ(r.out, "Could not connect to server. -- DdeOpen - Error\n"
                     "Failed to initialize DDE. - DdeOpen - Error\n");
    EXPECT_EQ(r.status, 255);
}

} // namespace

namespace {

// Real-world faults that used to lose data: a page tree whose /Count is wrong,
// first and second in a join, and widgets that no form field leads to.
TEST_F(Live, JoinsAWrongPageCountAndWidgetsOutsideEveryField)
{
    ScratchDir dir;
    using Form = SamplePdf::Form;
    WriteSamplePdf(dir / "counted.pdf", {.pages = {"C1", "C2"}, .bookmarks = true, .pageCount = 5});
    WriteSamplePdf(dir / "loose.pdf", {.pages = {"L1", "L2"}, .fieldName = "name", .link = true,
                                       .form = Form::NoAcroForm, .signatureWidget = true});
    WriteSamplePdf(dir / "signed.pdf", {.pages = {"S"}, .fieldName = "name", .signatureWidget = true});

    RunResult r = RunProgram({Docjoin(), "-w", "0", "-o", "book.pdf", "counted.pdf", "loose.pdf", "counted.pdf",
                              "signed.pdf"},
                             {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    std::string book = dir / "book.pdf";
    EXPECT_TRUE(QpdfAccepts(book));
    EXPECT_EQ(PageTreeCount(book), 7);
    EXPECT_EQ(PageTexts(book), (std::vector<std::string>{"C1", "C2", "L1\n\nvalue of name", "L2", "C1", "C2",
                                                         "S\n\nvalue of name"}));
    using Subtypes = std::vector<std::string>;
    EXPECT_EQ(AnnotationSubtypes(book),
              (std::vector<Subtypes>{{}, {}, {"/Widget", "/Link"}, {"/Widget"}, {}, {}, {"/Widget", "/Widget"}}));
    EXPECT_EQ(LinkTargets(book), (std::vector<std::pair<int, int>>{{2, 3}}));
    EXPECT_EQ(ListedFields(book), std::vector<std::string>{"name"});
    EXPECT_EQ(Outline(book).size(), 4u);
}

} // namespace

namespace {

nlink_t Links(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? info.st_nlink : 0;
}

// Intermediates may be second names of their inputs while the join runs; the
// output never is one, nor does an input keep a second name.
TEST_F(Live, NoOutputOrInputKeepsASecondName)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "a.pdf", {.pages = {"A"}});
    WriteSamplePdf(dir / "b.pdf", {.pages = {"B"}});
    RunResult r = RunProgram({Docjoin(), "-w", "0", "-o", "book.pdf", "a.pdf", "b.pdf", "a.pdf"}, {.cwd = dir.path});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(PageTexts(dir / "book.pdf"), (std::vector<std::string>{"A", "B", "A"}));
    // Named as an intermediate of its only input would be.
    r = RunProgram({Docjoin(), "-w", "0", "-o", "a.pdf.pdf", "a.pdf"}, {.cwd = dir.path});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(PageTexts(dir / "a.pdf.pdf"), std::vector<std::string>{"A"});
    for (const char* name : {"a.pdf", "b.pdf", "book.pdf", "a.pdf.pdf"})
        EXPECT_EQ(Links(dir / name), 1u) << name;
    EXPECT_FALSE(Exists(dir / "b.pdf.pdf"));
}

} // namespace
