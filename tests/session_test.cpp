// dochost's commands, run in-process on real files and read back with
// poppler and qpdf.
#include "session.h"
#include "support/pdf_check.h"
#include "support/process.h"
#include "support/quoting.h"
#include "support/sample_pdf.h"
#include "support/stderr_capture.h"

#include <gtest/gtest.h>
#include <ctime>
#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <chrono>
#include <thread>

namespace {

struct Engine {
    Session session;
    std::string err;

    bool Run(const std::string& text)
    {
        CaptureStderr();
        bool ok = session.Execute(text);
        err = CapturedStderr();
        return ok;
    }
};

TEST(Session, DocOpenRefusesWhatIsNotAReadablePdf)
{
    ScratchDir dir;
    // Bytes that are no kind of document: a NUL rules out plain text.
    WriteFile(dir / "text.pdf", std::string("just some bytes\0\x01\n", 18));
    WriteFile(dir / "empty.pdf", "");
    mkdir((dir / "folder.pdf").c_str(), 0700);
    mkfifo((dir / "fifo.pdf").c_str(), 0600);
    WriteSamplePdf(dir / "locked.pdf", {.pages = {"secret"}});
    ASSERT_EQ(RunProgram({"/usr/bin/qpdf", "--encrypt", "user", "owner", "256", "--", dir / "locked.pdf",
                          dir / "locked-out.pdf"})
                  .status,
              0);
    WriteFile(dir / "garbage.pdf", "%PDF-1.7\n\x01\x02 not a pdf at all \xff\xfe");

    struct Case {
        std::string name, reason;
    };
    for (const Case& c : std::vector<Case>{
             {"missing.pdf", "cannot open the file: No such file or directory"},
             {"text.pdf", "neither a PDF nor an image of a kind dochost reads"},
             {"empty.pdf", "neither a PDF nor an image of a kind dochost reads"},
             {"folder.pdf", "not a regular file"},
             {"fifo.pdf", "not a regular file"},
             {"locked-out.pdf", "the file is encrypted and needs a password"},
         }) {
        Engine engine;
        EXPECT_FALSE(engine.Run("[DocOpen(" + Q(dir / c.name) + ")]\n")) << c.name;
        EXPECT_EQ(engine.err, "dochost: DocOpen(" + Q(dir / c.name) + "): " + c.reason + "\n");
        EXPECT_EQ(engine.session.Documents().Size(), 0u);
    }
    // Devices are refused before anything is read from them.
    for (std::string device : {"/dev/zero", "/dev/null", "/dev/urandom"}) {
        Engine engine;
        EXPECT_FALSE(engine.Run("[DocOpen(" + Q(device) + ")]"));
        EXPECT_EQ(engine.err, "dochost: DocOpen(" + Q(device) + "): not a regular file\n");
    }
    Engine engine;
    EXPECT_FALSE(engine.Run("[DocOpen(" + Q(dir / "garbage.pdf") + ")]"));
    EXPECT_EQ(engine.err.rfind("dochost: DocOpen(" + Q(dir / "garbage.pdf") + "): ", 0), 0u) << engine.err;
}

TEST(Session, EncryptedWithAnEmptyUserPasswordOpensAndIsSavedReadable)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "plain.pdf", {.pages = {"Confidential"}});
    ASSERT_EQ(RunProgram({"/usr/bin/qpdf", "--encrypt", "", "owner", "256", "--", dir / "plain.pdf",
                          dir / "locked.pdf"})
                  .status,
              0);
    Engine engine;
    ASSERT_TRUE(engine.Run("[DocOpen(" + Q(dir / "locked.pdf") + ")][DocSaveAs(" + Q(dir / "locked.pdf") + "," +
                           Q(dir / "out.pdf") + ")]"))
        << engine.err;
    EXPECT_EQ(PageTexts(dir / "out.pdf"), std::vector<std::string>{"Confidential"});
    EXPECT_TRUE(QpdfAccepts(dir / "out.pdf"));
}

TEST(Session, ADamagedPdfIsRepaired)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "good.pdf", {.pages = {"Damaged one", "Damaged two"}});
    std::string bytes = ReadFile(dir / "good.pdf");
    // Point startxref at nonsense and cut the trailer short.
    std::size_t at = bytes.rfind("startxref");
    WriteFile(dir / "damaged.pdf", bytes.substr(0, at) + "startxref\n999999\n%%EO");
    Engine engine;
    ASSERT_TRUE(engine.Run("[DocOpen(" + Q(dir / "damaged.pdf") + ")][DocSaveAs(" + Q(dir / "damaged.pdf") + "," +
                           Q(dir / "fixed.pdf") + ")]"))
        << engine.err;
    EXPECT_EQ(PageTexts(dir / "fixed.pdf"), (std::vector<std::string>{"Damaged one", "Damaged two"}));
    EXPECT_TRUE(QpdfAccepts(dir / "fixed.pdf"));
}

TEST(Session, InsertPagesAtEachPosition)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "t.pdf", {.pages = {"T1", "T2"}});
    WriteSamplePdf(dir / "s.pdf", {.pages = {"S1", "S2"}});
    struct Case {
        std::string where;
        std::vector<std::string> pages;
    };
    for (const Case& c : std::vector<Case>{{"PDBeforeFirstPage", {"S1", "S2", "T1", "T2"}},
                                           {"0", {"T1", "S1", "S2", "T2"}},
                                           {"1", {"T1", "T2", "S1", "S2"}},
                                           {"PDLastPage", {"T1", "T2", "S1", "S2"}}}) {
        Engine engine;
        ASSERT_TRUE(engine.Run("[DocOpen(" + Q(dir / "t.pdf") + ")]\n[DocInsertPages(" + Q(dir / "t.pdf") + "," +
                               c.where + "," + Q(dir / "s.pdf") + ")][DocSaveAs(" + Q(dir / "t.pdf") + "," +
                               Q(dir / "out.pdf") + ")]"))
            << engine.err;
        EXPECT_EQ(PageTexts(dir / "out.pdf"), c.pages) << c.where;
    }
    Engine engine;
    ASSERT_TRUE(engine.Run("[DocOpen(" + Q(dir / "t.pdf") + ")]"));
    EXPECT_FALSE(engine.Run("[DocInsertPages(" + Q(dir / "t.pdf") + ",2," + Q(dir / "s.pdf") + ")]"));
    EXPECT_EQ(engine.err, "dochost: DocInsertPages(" + Q(dir / "t.pdf") + ",2," + Q(dir / "s.pdf") +
                              "): the document has no page 2\n");
    EXPECT_FALSE(engine.Run("[DocInsertPages(" + Q(dir / "t.pdf") + ",PDLastPage," + Q(dir / "none.pdf") + ")]"));
    EXPECT_FALSE(engine.Run("[DocInsertPages(" + Q(dir / "t.pdf") + ",Somewhere," + Q(dir / "s.pdf") + ")]"));
    EXPECT_EQ(engine.err, "dochost: DocInsertPages(" + Q(dir / "t.pdf") + ",Somewhere," + Q(dir / "s.pdf") +
                              "): argument 2 must be a page number, PDLastPage or PDBeforeFirstPage\n");
    // A failed insertion left the document as it was.
    ASSERT_TRUE(engine.Run("[DocSave(" + Q(dir / "t.pdf") + ")]"));
    EXPECT_EQ(PageTexts(dir / "t.pdf"), (std::vector<std::string>{"T1", "T2"}));
}

TEST(Session, DeletePagesKeepsAtLeastOnePage)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "d.pdf", {.pages = {"P1", "P2", "P3", "P4"}});
    Engine engine;
    std::string d = Q(dir / "d.pdf");
    ASSERT_TRUE(engine.Run("[DocOpen(" + d + ")]"));
    EXPECT_FALSE(engine.Run("[DocDeletePages(" + d + ",0,3)]"));
    EXPECT_EQ(engine.err, "dochost: DocDeletePages(" + d + ",0,3): a document cannot lose every page\n");
    EXPECT_FALSE(engine.Run("[DocDeletePages(" + d + ",2,4)]"));
    EXPECT_FALSE(engine.Run("[DocDeletePages(" + d + ",2,1)]"));
    EXPECT_FALSE(engine.Run("[DocDeletePages(" + d + ",-1,1)]"));
    ASSERT_TRUE(engine.Run("[DocDeletePages(" + d + ",1,2)][DocSave(" + d + ")]")) << engine.err;
    EXPECT_EQ(PageTexts(dir / "d.pdf"), (std::vector<std::string>{"P1", "P4"}));
}

TEST(Session, CommandsThatFailAndOnesThatDoNothing)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "a.pdf", {.pages = {"A"}});
    Engine engine;
    // A close of a path with no open document succeeds silently.
    EXPECT_TRUE(engine.Run("[DocClose(" + Q(dir / "never-opened.pdf") + ")]"));
    EXPECT_EQ(engine.err, "");
    EXPECT_TRUE(engine.Run("\n"));
    EXPECT_FALSE(engine.Run("[DocFrobnicate(\"/x\")]"));
    EXPECT_EQ(engine.err, "dochost: DocFrobnicate(\"/x\"): unknown command\n");
    EXPECT_FALSE(engine.Run("[DocOpen(\"/a\",\"/b\")]"));
    EXPECT_EQ(engine.err, "dochost: DocOpen(\"/a\",\"/b\"): takes 1 argument, not 2\n");
    EXPECT_FALSE(engine.Run("[DocOpen(PDLastPage)]"));
    EXPECT_EQ(engine.err, "dochost: DocOpen(PDLastPage): argument 1 must be a quoted path\n");
    EXPECT_FALSE(engine.Run("[DocSave(" + Q(dir / "a.pdf") + ")]"));
    EXPECT_EQ(engine.err, "dochost: DocSave(" + Q(dir / "a.pdf") + "): no document is open from this path\n");
    EXPECT_FALSE(engine.Run("[DocOpen(\"/a\"\n"));
    EXPECT_EQ(engine.err, "dochost: cannot read the command \"[DocOpen(\"/a\"\\x0a\": ',' or ')' was expected at "
                          "character 15\n");
    // One execute stops at its first failing command.
    EXPECT_FALSE(engine.Run("[DocOpen(\"/missing\")][DocOpen(" + Q(dir / "a.pdf") + ")]"));
    EXPECT_EQ(engine.session.Documents().Size(), 0u);
    // Names of commands are read without regard to case; paths are keyed by their full path.
    EXPECT_TRUE(engine.Run("[docopen(" + Q(dir / "./a.pdf") + ")][DOCSAVEAS(" + Q(dir / "x/../a.pdf") + "," +
                           Q(dir / "b.pdf") + ")]"))
        << engine.err;
    EXPECT_TRUE(engine.Run("[CloseAllDocs()]"));
    EXPECT_EQ(engine.session.Documents().Size(), 0u);
    EXPECT_FALSE(engine.session.ExitRequested());
    EXPECT_TRUE(engine.Run("[AppExit()]"));
    EXPECT_TRUE(engine.session.ExitRequested());
}

TEST(Session, AnInputThatDisappearsBetweenCommands)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "a.pdf", {.pages = {"A"}});
    WriteSamplePdf(dir / "b.pdf", {.pages = {"B"}});
    Engine engine;
    std::string a = Q(dir / "a.pdf");
    ASSERT_TRUE(engine.Run("[DocOpen(" + a + ")]"));
    // An open document keeps its file's data, even once the file is gone.
    ASSERT_EQ(unlink((dir / "a.pdf").c_str()), 0);
    ASSERT_EQ(unlink((dir / "b.pdf").c_str()), 0);
    EXPECT_TRUE(engine.Run("[DocSaveAs(" + a + "," + Q(dir / "out.pdf") + ")]")) << engine.err;
    EXPECT_EQ(PageTexts(dir / "out.pdf"), std::vector<std::string>{"A"});
    EXPECT_FALSE(engine.Run("[DocInsertPages(" + a + ",PDLastPage," + Q(dir / "b.pdf") + ")]"));
    EXPECT_EQ(engine.err, "dochost: DocInsertPages(" + a + ",PDLastPage," + Q(dir / "b.pdf") +
                              "): cannot open the file: No such file or directory\n");
}

TEST(Session, SavingADocumentOntoItsOwnFile)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "a.pdf", {.pages = {"A1", "A2"}});
    WriteSamplePdf(dir / "b.pdf", {.pages = {"B1"}});
    chmod((dir / "a.pdf").c_str(), 0640);
    Engine engine;
    std::string a = Q(dir / "a.pdf");
    ASSERT_TRUE(engine.Run("[DocOpen(" + a + ")][DocInsertPages(" + a + ",PDLastPage," + Q(dir / "b.pdf") +
                           ")][DocSave(" + a + ")][DocInsertPages(" + a + ",PDBeforeFirstPage," + Q(dir / "b.pdf") +
                           ")][DocSave(" + a + ")]"))
        << engine.err;
    EXPECT_EQ(PageTexts(dir / "a.pdf"), (std::vector<std::string>{"B1", "A1", "A2", "B1"}));
    struct stat info;
    ASSERT_EQ(stat((dir / "a.pdf").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u) << "the saved file keeps its permissions";
    EXPECT_TRUE(QpdfAccepts(dir / "a.pdf"));
}

TEST(Session, InsertedPagesKeepBookmarksFieldsLinksAndLabels)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "a.pdf", {.pages = {"A1", "A2"}, .bookmarks = true, .fieldName = "name"});
    WriteSamplePdf(dir / "b.pdf",
                   {.pages = {"B1", "B2", "B3"}, .bookmarks = true, .fieldName = "name", .link = true,
                    .labelPrefix = "B-"});
    Engine engine;
    std::string a = Q(dir / "a.pdf");
    ASSERT_TRUE(engine.Run("[DocOpen(" + a + ")][DocInsertPages(" + a + ",PDLastPage," + Q(dir / "b.pdf") +
                           ")][DocSaveAs(" + a + "," + Q(dir / "out.pdf") + ")]"))
        << engine.err;
    std::string out = dir / "out.pdf";
    EXPECT_TRUE(QpdfAccepts(out));
    EXPECT_EQ(PageTexts(out), (std::vector<std::string>{"A1\n\nvalue of name", "A2", "B1\n\nvalue of name", "B2", "B3"}));

    auto outline = Outline(out);
    ASSERT_EQ(outline.size(), 5u);
    std::vector<std::pair<std::string, int>> seen;
    for (auto& entry : outline)
        seen.emplace_back(entry.title, entry.page);
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, int>>{{"A1", 0}, {"A2", 1}, {"B1", 2}, {"B2", 3}, {"B3", 4}}));

    auto fields = FormFields(out);
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0], (std::pair<std::string, int>{"name", 0}));
    EXPECT_NE(fields[1].first, "name") << "the clashing field is renamed";
    EXPECT_EQ(fields[1].second, 2);

    EXPECT_EQ(PageLabels(out), (std::vector<std::string>{"1", "2", "B-1", "B-2", "B-3"}));
}

} // namespace

namespace {

TEST(Session, AnUnchangedPdfIsSavedAsACopyOfItsFile)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "a.pdf", {.pages = {"A1", "A2"}, .bookmarks = true});
    ASSERT_EQ(RunProgram({"/usr/bin/qpdf", "--encrypt", "", "owner", "256", "--", dir / "a.pdf", dir / "locked.pdf"})
                  .status,
              0);
    Engine engine;
    std::string a = Q(dir / "a.pdf"), locked = Q(dir / "locked.pdf");
    ASSERT_TRUE(engine.Run("[DocOpen(" + a + ")][DocSaveAs(" + a + "," + Q(dir / "copy.pdf") + ")]"));
    EXPECT_TRUE(ReadFile(dir / "copy.pdf") == ReadFile(dir / "a.pdf")) << "an unchanged PDF is copied as it is";

    // Saving it onto its own file leaves the file alone.
    FileIdentity before = IdentifyFile(dir / "a.pdf");
    ASSERT_TRUE(engine.Run("[DocSave(" + a + ")]"));
    EXPECT_TRUE(IdentifyFile(dir / "a.pdf") == before);

    // Once changed, or when encrypted, it is written anew.
    ASSERT_TRUE(engine.Run("[DocDeletePages(" + a + ",0,0)][DocSaveAs(" + a + "," + Q(dir / "changed.pdf") + ")]"));
    EXPECT_EQ(PageTexts(dir / "changed.pdf"), std::vector<std::string>{"A2"});
    ASSERT_TRUE(engine.Run("[DocOpen(" + locked + ")][DocSaveAs(" + locked + "," + Q(dir / "open.pdf") + ")]"));
    RunResult show = RunProgram({"/usr/bin/qpdf", "--show-encryption", dir / "open.pdf"});
    EXPECT_NE(show.out.find("File is not encrypted"), std::string::npos) << show.out;
}

TEST(Session, AWrittenFileThatChangedOnDiskIsReadAgain)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "t.pdf", {.pages = {"T"}});
    WriteSamplePdf(dir / "s.pdf", {.pages = {"S"}});
    WriteSamplePdf(dir / "other.pdf", {.pages = {"Other"}});
    Engine engine;
    std::string t = Q(dir / "t.pdf"), s = Q(dir / "s.pdf"), x = Q(dir / "x.pdf");
    ASSERT_TRUE(engine.Run("[DocOpen(" + t + ")][DocOpen(" + s + ")][DocSaveAs(" + s + "," + x + ")][DocClose(" + s +
                           ")]"));
    // Someone else replaces the file the engine just wrote.
    std::filesystem::copy_file(dir / "other.pdf", dir / "x.pdf", std::filesystem::copy_options::overwrite_existing);
    ASSERT_TRUE(engine.Run("[DocInsertPages(" + t + ",PDLastPage," + x + ")][DocSaveAs(" + t + "," +
                           Q(dir / "out.pdf") + ")]"));
    EXPECT_EQ(PageTexts(dir / "out.pdf"), (std::vector<std::string>{"T", "Other"}));
}

TEST(Session, TheSameFileInsertedTwiceGivesTwoIndependentCopies)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "t.pdf", {.pages = {"T"}, .fieldName = "name"});
    WriteSamplePdf(dir / "s.pdf", {.pages = {"S"}, .fieldName = "name", .link = true});
    Engine engine;
    std::string t = Q(dir / "t.pdf"), s = Q(dir / "s.pdf"), x = Q(dir / "s.pdf.pdf");
    std::string once = "[DocOpen(" + s + ")][DocSaveAs(" + s + "," + x + ")][DocClose(" + s + ")][DocInsertPages(" + t +
                       ",PDLastPage," + x + ")][DocClose(" + x + ")]";
    ASSERT_TRUE(engine.Run("[DocOpen(" + t + ")]" + once + once + "[DocSaveAs(" + t + "," + Q(dir / "out.pdf") + ")]"))
        << engine.err;
    std::string out = dir / "out.pdf";
    EXPECT_TRUE(QpdfAccepts(out));
    auto fields = FormFields(out);
    ASSERT_EQ(fields.size(), 3u);
    std::set<std::string> names;
    for (auto& [name, page] : fields)
        names.insert(name);
    EXPECT_EQ(names.size(), 3u);
    EXPECT_EQ(fields[1].second, 1);
    EXPECT_EQ(fields[2].second, 2);
    EXPECT_EQ(LinkTargets(out), (std::vector<std::pair<int, int>>{{1, 1}, {2, 2}}));
}

} // namespace

namespace {

// Annotations that no form field leads to (widgets without an /AcroForm, under
// one whose /Fields is not an array, a signature widget outside every field)
// are copied with their pages, and the fields that are listed still are
// fields, renamed where they clash.
TEST(Session, EveryAnnotationIsKeptWhetherOrNotAFieldLeadsToIt)
{
    ScratchDir dir;
    using Form = SamplePdf::Form;
    WriteSamplePdf(dir / "t.pdf", {.pages = {"T"}, .fieldName = "name"});
    WriteSamplePdf(dir / "none.pdf", {.pages = {"N1", "N2"}, .fieldName = "name", .link = true,
                                      .form = Form::NoAcroForm, .signatureWidget = true});
    WriteSamplePdf(dir / "bad.pdf", {.pages = {"B"}, .fieldName = "loose", .form = Form::FieldsNotArray});
    WriteSamplePdf(dir / "signed.pdf", {.pages = {"S1", "S2"}, .fieldName = "name", .link = true,
                                        .signatureWidget = true});
    Engine engine;
    std::string t = Q(dir / "t.pdf");
    std::string script = "[DocOpen(" + t + ")]";
    for (const char* name : {"none.pdf", "bad.pdf", "signed.pdf"})
        script += "[DocInsertPages(" + t + ",PDLastPage," + Q(dir / name) + ")]";
    ASSERT_TRUE(engine.Run(script + "[DocSaveAs(" + t + "," + Q(dir / "out.pdf") + ")]")) << engine.err;

    std::string out = dir / "out.pdf";
    EXPECT_TRUE(QpdfAccepts(out));
    using Subtypes = std::vector<std::string>;
    EXPECT_EQ(AnnotationSubtypes(out), (std::vector<Subtypes>{{"/Widget"},
                                                              {"/Widget", "/Link"},
                                                              {"/Widget"},
                                                              {"/Widget"},
                                                              {"/Widget", "/Link"},
                                                              {"/Widget"}}));
    // The listed fields: the target's and the signed file's, renamed.
    std::vector<std::string> listed = ListedFields(out);
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0], "name");
    EXPECT_NE(listed[1], "name");
    EXPECT_EQ(LinkTargets(out), (std::vector<std::pair<int, int>>{{1, 2}, {4, 5}}));
    std::vector<std::string> texts = PageTexts(out);
    ASSERT_EQ(texts.size(), 6u);
    EXPECT_EQ(texts[4], "S1\n\nvalue of name") << "the renamed field keeps its value";
}

// A page tree whose /Count is wrong is put right when the file is opened:
// saved, it is written with the right count, and pages can be inserted into
// it, first or second in a join.
TEST(Session, APageTreeWithAWrongCountIsRepairedWhenOpened)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "form.pdf", {.pages = {"F"}, .fieldName = "name"});
    for (long long wrong : {0LL, 1LL, 7LL}) {
        std::string name = "count" + std::to_string(wrong) + ".pdf";
        WriteSamplePdf(dir / name, {.pages = {"W1", "W2", "W3"}, .bookmarks = true, .pageCount = wrong});
        ASSERT_EQ(PageTreeCount(dir / name), wrong);
        std::string w = Q(dir / name), f = Q(dir / "form.pdf");

        Engine first;
        ASSERT_TRUE(first.Run("[DocOpen(" + w + ")][DocSaveAs(" + w + "," + Q(dir / "saved.pdf") + ")]")) << first.err;
        EXPECT_EQ(PageTreeCount(dir / "saved.pdf"), 3) << wrong;
        ASSERT_TRUE(first.Run("[DocInsertPages(" + w + ",PDLastPage," + f + ")][DocSaveAs(" + w + "," +
                              Q(dir / "first.pdf") + ")]"))
            << first.err;
        EXPECT_EQ(PageTexts(dir / "first.pdf"),
                  (std::vector<std::string>{"W1", "W2", "W3", "F\n\nvalue of name"}));
        EXPECT_EQ(PageTreeCount(dir / "first.pdf"), 4);

        Engine second;
        ASSERT_TRUE(second.Run("[DocOpen(" + f + ")][DocInsertPages(" + f + ",PDLastPage," + w + ")][DocSaveAs(" +
                               f + "," + Q(dir / "second.pdf") + ")]"))
            << second.err;
        EXPECT_EQ(PageTexts(dir / "second.pdf"),
                  (std::vector<std::string>{"F\n\nvalue of name", "W1", "W2", "W3"}));
        EXPECT_EQ(PageTreeCount(dir / "second.pdf"), 4);
        EXPECT_EQ(Outline(dir / "second.pdf").size(), 3u);
        EXPECT_TRUE(QpdfAccepts(dir / "second.pdf"));
    }
}

} // namespace

namespace {

std::set<std::string> FolderNames(const std::string& folder)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

long long ModifiedNs(const std::string& path)
{
    return IdentifyFile(path).modifiedNs;
}

// While idle, the engine writes the save of the document changed last into
// an unnamed file; DocSave puts it in place only while it describes the
// document as it is.
TEST(Session, ASaveWrittenAheadIsUsedOnlyWhileTheDocumentIsAsItWas)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "t.pdf", {.pages = {"T"}, .fieldName = "name"});
    WriteSamplePdf(dir / "s.pdf", {.pages = {"S"}, .fieldName = "name"});
    WriteSamplePdf(dir / "u.pdf", {.pages = {"U"}});
    std::string t = Q(dir / "t.pdf"), s = Q(dir / "s.pdf"), u = Q(dir / "u.pdf");
    const std::set<std::string> files = FolderNames(dir.path);
    auto never = [] { return false; };
    auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
    // Now, on the clock the kernel stamps files with: it lags the precise
    // clock by up to a tick, so a file written just after a precise reading
    // can carry an earlier time.
    auto fileClockNow = [] {
        timespec now{};
        clock_gettime(CLOCK_REALTIME_COARSE, &now);
        return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
    };

    Engine engine;
    EXPECT_FALSE(engine.session.HasIdleWork());
    ASSERT_TRUE(engine.Run("[DocOpen(" + t + ")][DocInsertPages(" + t + ",PDLastPage," + s + ")]")) << engine.err;
    ASSERT_TRUE(engine.session.HasIdleWork());
    engine.session.DoIdleWork(never);
    EXPECT_FALSE(engine.session.HasIdleWork()) << "written ahead once";
    EXPECT_EQ(FolderNames(dir.path), files) << "the write ahead has no name";
    settle();
    long long before = IdentifyFile(dir / "t.pdf").modifiedNs;
    std::int64_t aheadAt = fileClockNow();
    ASSERT_TRUE(engine.Run("[DocSave(" + t + ")]")) << engine.err;
    EXPECT_NE(ModifiedNs(dir / "t.pdf"), before);
    EXPECT_LT(ModifiedNs(dir / "t.pdf"), aheadAt) << "the file written ahead was put in place";
    EXPECT_EQ(PageTexts(dir / "t.pdf"), (std::vector<std::string>{"T\n\nvalue of name", "S\n\nvalue of name"}));
    EXPECT_EQ(FolderNames(dir.path), files);
    EXPECT_TRUE(QpdfAccepts(dir / "t.pdf"));

    // A change after the write ahead: the save writes the document as it is.
    ASSERT_TRUE(engine.Run("[DocInsertPages(" + t + ",PDBeforeFirstPage," + u + ")]"));
    engine.session.DoIdleWork(never);
    ASSERT_TRUE(engine.Run("[DocDeletePages(" + t + ",2,2)]"));
    aheadAt = fileClockNow();
    settle();
    ASSERT_TRUE(engine.Run("[DocSave(" + t + ")]"));
    EXPECT_GT(ModifiedNs(dir / "t.pdf"), aheadAt) << "written at the save";
    EXPECT_EQ(PageTexts(dir / "t.pdf"), (std::vector<std::string>{"U", "T\n\nvalue of name"}));

    // A write ahead given up for a command leaves nothing, and is made again later.
    ASSERT_TRUE(engine.Run("[DocInsertPages(" + t + ",PDLastPage," + s + ")]"));
    engine.session.DoIdleWork([] { return true; });
    EXPECT_TRUE(engine.session.HasIdleWork());
    EXPECT_EQ(FolderNames(dir.path), files);
    // A save elsewhere does not use it, nor touch the document's own file.
    engine.session.DoIdleWork(never);
    before = ModifiedNs(dir / "t.pdf");
    ASSERT_TRUE(engine.Run("[DocSaveAs(" + t + "," + Q(dir / "copy.pdf") + ")]"));
    EXPECT_EQ(ModifiedNs(dir / "t.pdf"), before);
    EXPECT_EQ(PageTexts(dir / "copy.pdf").size(), 3u);
    // Closing the document throws the write ahead away; closed documents are freed while idle.
    ASSERT_TRUE(engine.Run("[DocClose(" + t + ")]"));
    EXPECT_TRUE(engine.session.HasIdleWork());
    engine.session.DoIdleWork(never);
    EXPECT_FALSE(engine.session.HasIdleWork());
    EXPECT_EQ(ModifiedNs(dir / "t.pdf"), before);
    EXPECT_EQ(PageTexts(dir / "t.pdf"), (std::vector<std::string>{"U", "T\n\nvalue of name"}));
}

} // namespace

namespace {

// Labels of pages appended one document after another, with and without
// labels of their own, and of pages inserted before them.
TEST(Session, PageLabelsOfManyInsertionsFollowEachDocument)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "t.pdf", {.pages = {"T1", "T2"}, .labelPrefix = "T-"});
    WriteSamplePdf(dir / "a.pdf", {.pages = {"A1", "A2"}});
    WriteSamplePdf(dir / "b.pdf", {.pages = {"B1", "B2"}, .labelPrefix = "B-"});
    WriteSamplePdf(dir / "c.pdf", {.pages = {"C1"}});
    Engine engine;
    std::string t = Q(dir / "t.pdf");
    auto insert = [&](const char* where, const char* name) {
        return "[DocInsertPages(" + t + "," + where + "," + Q(dir / name) + ")]";
    };
    ASSERT_TRUE(engine.Run("[DocOpen(" + t + ")]" + insert("PDLastPage", "a.pdf") + insert("PDLastPage", "b.pdf") +
                           insert("PDLastPage", "c.pdf") + "[DocSaveAs(" + t + "," + Q(dir / "appended.pdf") + ")]"))
        << engine.err;
    EXPECT_EQ(PageLabels(dir / "appended.pdf"),
              (std::vector<std::string>{"T-1", "T-2", "3", "4", "B-1", "B-2", "7"}));
    ASSERT_TRUE(engine.Run(insert("PDBeforeFirstPage", "b.pdf") + insert("PDLastPage", "a.pdf") + insert("3", "c.pdf") +
                           "[DocSaveAs(" + t + "," + Q(dir / "mixed.pdf") + ")]"))
        << engine.err;
    EXPECT_EQ(PageLabels(dir / "mixed.pdf"), (std::vector<std::string>{"B-1", "B-2", "T-1", "T-2", "5", "3", "4", "B-1",
                                                                       "B-2", "7", "10", "11"}));
}

} // namespace

namespace {

ino_t Inode(const std::string& path)
{
    return IdentifyFile(path).inode;
}

// An unchanged PDF saved as a join's intermediate (its name with .pdf
// appended) is a second name of its file, until it is opened as a document
// or the session ends; the output, under any other name, is a copy.
TEST(Session, AnIntermediateIsASecondNameOfItsInputButNeverStaysOne)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "a.pdf", {.pages = {"A"}});
    WriteSamplePdf(dir / "b.pdf", {.pages = {"B"}});
    std::string a = Q(dir / "a.pdf"), b = Q(dir / "b.pdf"), out = Q(dir / "out.pdf"), bx = Q(dir / "b.pdf.pdf");
    {
        Engine engine;
        ASSERT_TRUE(engine.Run("[DocOpen(" + a + ")][DocSaveAs(" + a + "," + out + ")][DocClose(" + a + ")][DocOpen(" +
                               out + ")]"));
        EXPECT_NE(Inode(dir / "out.pdf"), Inode(dir / "a.pdf")) << "the output is a copy";
        ASSERT_TRUE(engine.Run("[DocOpen(" + b + ")][DocSaveAs(" + b + "," + bx + ")][DocClose(" + b + ")]"));
        EXPECT_EQ(Inode(dir / "b.pdf.pdf"), Inode(dir / "b.pdf")) << "the intermediate is a second name";
        ASSERT_TRUE(engine.Run("[DocInsertPages(" + out + ",PDLastPage," + bx + ")][DocClose(" + bx + ")][DocSave(" +
                               out + ")]"))
            << engine.err;
        EXPECT_EQ(PageTexts(dir / "out.pdf"), (std::vector<std::string>{"A", "B"}));
        // Left in place (a script, not a join, that keeps it): a file of its own at the end.
    }
    EXPECT_NE(Inode(dir / "b.pdf.pdf"), Inode(dir / "b.pdf"));
    EXPECT_EQ(ReadFile(dir / "b.pdf.pdf"), ReadFile(dir / "b.pdf"));
    EXPECT_EQ(PageTexts(dir / "b.pdf"), std::vector<std::string>{"B"});

    // A join whose output happens to be named like an intermediate: opened as
    // a document, it becomes a file of its own.
    std::filesystem::remove(dir / "b.pdf.pdf");
    Engine engine;
    ASSERT_TRUE(engine.Run("[DocOpen(" + b + ")][DocSaveAs(" + b + "," + bx + ")][DocClose(" + b + ")][DocOpen(" + bx +
                           ")]"));
    EXPECT_NE(Inode(dir / "b.pdf.pdf"), Inode(dir / "b.pdf"));
    ASSERT_TRUE(engine.Run("[DocInsertPages(" + bx + ",PDLastPage," + a + ")][DocSave(" + bx + ")]")) << engine.err;
    EXPECT_EQ(PageTexts(dir / "b.pdf"), std::vector<std::string>{"B"}) << "the input is untouched";
    EXPECT_EQ(PageTexts(dir / "b.pdf.pdf"), (std::vector<std::string>{"B", "A"}));
}

} // namespace

namespace {

// A file this session wrote from a document now closed is opened as that
// document, unless it changed on disk meanwhile.
TEST(Session, AWrittenFileIsOpenedAsTheDocumentItWasWrittenFromWhileUnchanged)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "a.pdf", {.pages = {"A"}});
    WriteSamplePdf(dir / "b.pdf", {.pages = {"B"}});
    WriteSamplePdf(dir / "other.pdf", {.pages = {"Other"}});
    std::string a = Q(dir / "a.pdf"), b = Q(dir / "b.pdf"), out = Q(dir / "out.pdf");
    Engine engine;
    ASSERT_TRUE(engine.Run("[DocOpen(" + a + ")][DocInsertPages(" + a + ",PDLastPage," + b + ")][DocSaveAs(" + a + "," +
                           out + ")][DocClose(" + a + ")][DocOpen(" + out + ")][DocInsertPages(" + out +
                           ",PDLastPage," + b + ")][DocSave(" + out + ")][DocClose(" + out + ")]"))
        << engine.err;
    EXPECT_EQ(PageTexts(dir / "out.pdf"), (std::vector<std::string>{"A", "B", "B"}));
    EXPECT_TRUE(QpdfAccepts(dir / "out.pdf"));

    ASSERT_TRUE(engine.Run("[DocOpen(" + a + ")][DocSaveAs(" + a + "," + out + ")][DocClose(" + a + ")]"));
    std::filesystem::copy_file(dir / "other.pdf", dir / "out.pdf", std::filesystem::copy_options::overwrite_existing);
    ASSERT_TRUE(engine.Run("[DocOpen(" + out + ")][DocInsertPages(" + out + ",PDLastPage," + b + ")][DocSave(" + out +
                           ")]"));
    EXPECT_EQ(PageTexts(dir / "out.pdf"), (std::vector<std::string>{"Other", "B"}));
}

} // namespace

namespace {

// A write ahead stopped part way (a command came) leaves the document sound:
// later insertions and the save are as if it had never begun.
TEST(Session, AWriteAheadStoppedPartWayLeavesTheDocumentSound)
{
    ScratchDir dir;
    WriteSamplePdf(dir / "big.pdf", {.pages = std::vector<std::string>(40, "Big"), .padding = 40000});
    WriteSamplePdf(dir / "s.pdf", {.pages = {"S"}, .fieldName = "name", .link = true});
    std::string big = Q(dir / "big.pdf"), s = Q(dir / "s.pdf");
    Engine engine;
    ASSERT_TRUE(engine.Run("[DocOpen(" + big + ")][DocInsertPages(" + big + ",PDLastPage," + s + ")]"));
    int asked = 0;
    engine.session.DoIdleWork([&] { return ++asked == 2; });
    EXPECT_EQ(asked, 2) << "stopped between pieces of the output";
    EXPECT_TRUE(engine.session.HasIdleWork());
    ASSERT_TRUE(engine.Run("[DocInsertPages(" + big + ",PDBeforeFirstPage," + s + ")][DocSave(" + big + ")]"))
        << engine.err;
    std::vector<std::string> texts = PageTexts(dir / "big.pdf");
    ASSERT_EQ(texts.size(), 42u);
    EXPECT_EQ(texts.front(), "S\n\nvalue of name");
    EXPECT_EQ(texts.back().substr(0, 1), "S");
    EXPECT_EQ(LinkTargets(dir / "big.pdf"), (std::vector<std::pair<int, int>>{{0, 0}, {41, 41}}));
    EXPECT_TRUE(QpdfAccepts(dir / "big.pdf"));
}

} // namespace
