// Office documents: recognised by their content, converted by LibreOffice in
// its sandboxed helper, and joined like any PDF.
#include "office/office_converter.h"
#include "office/office_format.h"
#include "session.h"
#include "support/image_writers.h"
#include "support/live.h"
#include "support/office_samples.h"
#include "support/pdf_check.h"
#include "support/process.h"
#include "support/quoting.h"
#include "support/sample_pdf.h"
#include "support/stderr_capture.h"

#include <arpa/inet.h>
#include <atomic>
#include <algorithm>
#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <fstream>
#include <csignal>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

std::string Utf16(const std::string& text)
{
    std::string wide;
    for (char c : text) {
        wide += c;
        wide += '\0';
    }
    return wide;
}

std::string ContentTypes(const std::string& mainType)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Types xmlns=\"http://schemas.openxmlformats.org/package/2006/"
           "content-types\"><Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package."
           "relationships+xml\"/><Override PartName=\"/main.xml\" ContentType=\"" + mainType + "\"/></Types>";
}

TEST(OfficeFormat, RecognisesOfficeDocumentsByTheirContentOnly)
{
    ScratchDir dir;
    auto zip = [&](const std::vector<std::pair<std::string, std::string>>& entries) {
        WriteStoredZip(dir / "package", entries);
        return ReadFile(dir / "package");
    };
    const std::string ole2("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
    std::string longRoot = "<?xml version=\"1.0\"?>\n<office:document";
    for (int i = 0; i < 80; ++i)
        longRoot += " xmlns:ns" + std::to_string(i) + "=\"urn:example:namespace:" + std::to_string(i) + "\"";
    longRoot += " office:mimetype=\"application/vnd.oasis.opendocument.spreadsheet\"><office:body/></office:document>";

    std::string docx = zip({{"[Content_Types].xml",
                             ContentTypes("application/vnd.openxmlformats-officedocument.wordprocessingml.document."
                                          "main+xml")},
                            {"main.xml", std::string(3000, 'w')}});
    struct Case {
        std::string what, bytes, format;
    };
    for (const Case& c : std::vector<Case>{
             {"DOCX", docx, "docx"},
             {"DOCX cut short before its directory", docx.substr(0, docx.size() - 200), "docx"},
             {"DOCX cut short before its content types",
              zip({{"word/document.xml", std::string(3000, 'w')}, {"[Content_Types].xml", "x"}}).substr(0, 2000),
              "docx"},
             {"macro-enabled DOCM", zip({{"[Content_Types].xml",
                                          ContentTypes("application/vnd.ms-word.document.macroEnabled.main+xml")}}),
              "docx"},
             {"XLSX", zip({{"[Content_Types].xml",
                            ContentTypes("application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml")}}),
              "xlsx"},
             {"PPTX", zip({{"[Content_Types].xml",
                            ContentTypes("application/vnd.openxmlformats-officedocument.presentationml.presentation."
                                         "main+xml")}}),
              "pptx"},
             {"XPS, another OPC package",
              zip({{"[Content_Types].xml", ContentTypes("application/vnd.ms-package.xps-fixeddocumentsequence+xml")}}),
              ""},
             {"ODT", zip({{"mimetype", "application/vnd.oasis.opendocument.text"}}), "odt"},
             {"ODS", zip({{"mimetype", "application/vnd.oasis.opendocument.spreadsheet"}}), "ods"},
             {"ODP", zip({{"mimetype", "application/vnd.oasis.opendocument.presentation"}}), "odp"},
             {"EPUB, another zip with a mimetype", zip({{"mimetype", "application/epub+zip"}}), ""},
             {"a plain zip", zip({{"notes.txt", "hello"}}), ""},
             {"DOC", ole2 + std::string(500, '\0') + Utf16("WordDocument"), "doc"},
             {"XLS", ole2 + std::string(500, '\0') + Utf16("Workbook"), "xls"},
             {"PPT", ole2 + std::string(500, '\0') + Utf16("PowerPoint Document"), "ppt"},
             {"another compound file", ole2 + std::string(500, '\0') + Utf16("Thumbnails"), ""},
             {"RTF", "{\\rtf1\\ansi hello}", "rtf"},
             {"flat ODS with a long root element", longRoot, "fods"},
             {"HTML by its doctype", "\xEF\xBB\xBF\n  <!DOCTYPE html><title>x</title><p>hello", "html"},
             {"HTML by its html element", "<!-- made by hand -->\n<HTML lang=\"en\"><p>hello</HTML>", "html"},
             {"XHTML", "<?xml version=\"1.0\"?>\n<html xmlns=\"http://www.w3.org/1999/xhtml\"><body/></html>",
              "html"},
             {"SVG", "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\"><text>body</text></svg>", ""},
             {"other XML", "<?xml version=\"1.0\"?><note><htmlish/></note>", ""},
             {"plain text naming a tag", "see the <html> element\n", ""},
             {"binary naming a flat root",
              "\x01\x02<office:document office:mimetype=\"application/vnd.oasis.opendocument.text\">", ""},
             {"nothing", "", ""},
         }) {
        EXPECT_EQ(OfficeFormat(c.bytes), c.format) << c.what;
    }
}

std::string ReadFileOrEmpty(const std::string& path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

class Office : public testing::Test {
protected:
    void SetUp() override { BecomeReaper(); }
    // No process of the run is left alive: neither LibreOffice nor its
    // sandbox outlives the engine. (Processes that died and were handed to
    // this test, the reaper, only to be reaped are no fault.)
    void TearDown() override
    {
        std::string alive;
        for (int wait = 0; wait < 100; ++wait) {
            alive = LiveChildren();
            if (alive.empty())
                break;
            usleep(100000);
        }
        TakeOrphans();
        EXPECT_EQ(alive, "") << "processes were left running";
    }

    static std::string LiveChildren()
    {
        std::string seen;
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            if (std::atoi(entry.path().filename().c_str()) <= 0)
                continue;
            std::string stat = ReadFileOrEmpty(entry.path().string() + "/stat");
            std::size_t close = stat.rfind(')');
            if (close != std::string::npos && close + 4 < stat.size() && stat[close + 2] != 'Z' &&
                std::atoi(stat.c_str() + close + 4) == getpid())
                seen += stat.substr(0, close + 3) + "\n";
        }
        return seen;
    }
};

int PageCount(const std::string& pdf)
{
    RunResult r = RunProgram({"/usr/bin/qpdf", "--show-npages", pdf});
    return r.status == 0 ? std::stoi(r.out) : -1;
}

std::string Everything(const std::vector<std::string>& pages)
{
    std::string all;
    for (const std::string& page : pages)
        all += page + "\n";
    return all;
}

std::size_t Count(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// The pixels of an RGB image as pdfimages extracts them: a binary PPM.
std::string Ppm(const Pixels& pixels)
{
    std::string ppm = "P6\n" + std::to_string(pixels.width) + " " + std::to_string(pixels.height) + "\n255\n";
    for (std::uint16_t sample : pixels.samples)
        ppm += static_cast<char>(sample);
    return ppm;
}

TEST_F(Office, JoinsOfficeDocumentsWithAPdfAndAnImageKeepingHeadingsLinksAndLosslessPictures)
{
    ScratchDir dir, made;
    Pixels picture = Pattern(96, 64, 3, 8, 7);
    WritePng(dir / "inner.png", picture);
    WritePng(dir / "photo.png", Pattern(40, 30, 3, 8, 9));
    WriteLetterFodt(made / "letter.fodt", "Letter body text.", dir / "inner.png");
    WriteTableFods(made / "table.fods", {"Alpha", "Beta", "Gamma"});
    WriteDeckFodp(made / "deck.fodp", {"Slide One", "Slide Two"});
    WriteSamplePdf(dir / "plain.pdf", {.pages = {"Plain PDF page"}});
    ASSERT_TRUE(ConvertWithLibreOffice({made / "letter.fodt"}, "docx", dir.path));
    ASSERT_TRUE(ConvertWithLibreOffice({made / "letter.fodt"}, "odt", dir.path));
    ASSERT_TRUE(ConvertWithLibreOffice({made / "letter.fodt"}, "rtf", dir.path));
    ASSERT_TRUE(ConvertWithLibreOffice({made / "table.fods"}, "xlsx", dir.path));
    ASSERT_TRUE(ConvertWithLibreOffice({made / "deck.fodp"}, "pptx", dir.path));
    // A damaged document among them fails alone.
    std::string docx = ReadFile(dir / "letter.docx");
    WriteFile(dir / "damaged.docx", docx.substr(0, docx.size() / 2));

    // What LibreOffice makes of each on its own, to compare page counts with.
    const std::vector<std::string> office{"letter.docx", "table.xlsx", "deck.pptx", "letter.odt", "letter.rtf"};
    ASSERT_TRUE(ConvertWithLibreOffice({dir / "letter.docx", dir / "table.xlsx", dir / "deck.pptx"}, "pdf",
                                       made.path));
    ASSERT_TRUE(ConvertWithLibreOffice({dir / "letter.odt"}, "pdf", made.path + "/odt"));
    ASSERT_TRUE(ConvertWithLibreOffice({dir / "letter.rtf"}, "pdf", made.path + "/rtf"));
    int expected = PageCount(made / "letter.pdf") + PageCount(made / "table.pdf") + PageCount(made / "deck.pdf") +
                   PageCount(made / "odt/letter.pdf") + PageCount(made / "rtf/letter.pdf") + 2;
    EXPECT_EQ(PageCount(made / "table.pdf"), 3) << "one page a sheet";

    RunResult r = RunProgram({Docjoin(), "-w", "0", "-o", "all.pdf", "letter.docx", "table.xlsx", "damaged.docx",
                              "deck.pptx", "letter.odt", "plain.pdf", "letter.rtf", "photo.png"},
                             {.cwd = dir.path, .timeoutSeconds = 600});
    EXPECT_EQ(r.status, 1);
    // Its one line; the commands of the join that need it fail after it.
    EXPECT_NE(r.err.find("damaged.docx\"): the document is damaged\n"), std::string::npos) << r.err;
    std::string all = dir / "all.pdf";
    ASSERT_TRUE(QpdfAccepts(all));
    EXPECT_EQ(PageCount(all), expected);

    std::string text = Everything(PageTexts(all));
    std::size_t at = 0;
    for (std::string part : {"Letter body text", "Alpha cell", "Beta cell", "Gamma cell", "Slide One",
                                    "Slide Two", "Letter body text", "Plain PDF page", "Letter body text"}) {
        std::size_t found = text.find(part, at);
        EXPECT_NE(found, std::string::npos) << part << " in order in:\n" << text;
        if (found != std::string::npos)
            at = found + 1;
    }

    // The heading of every letter is a bookmark to its page.
    int headings = 0;
    for (const OutlineEntry& entry : Outline(all))
        headings += entry.title == "Chapter One" && entry.page >= 0;
    EXPECT_EQ(headings, 3);

    // The letters' links lead to their web page still, as in LibreOffice's
    // own conversions (which lose the link of the RTF letter).
    auto links = [](const std::string& pdf) {
        return Count(RunProgram({"/usr/bin/qpdf", "--qdf", "--object-streams=disable", pdf, "-"}).out,
                     "/URI (https://example.org/)");
    };
    std::size_t ownLinks = links(made / "letter.pdf") + links(made / "odt/letter.pdf") + links(made / "rtf/letter.pdf");
    EXPECT_GE(ownLinks, 2u);
    EXPECT_EQ(links(all), ownLinks);

    // The PNG inside the letters is there pixel for pixel, never as JPEG.
    RunResult list = RunProgram({"/usr/bin/pdfimages", "-list", all});
    EXPECT_EQ(list.out.find(" jpeg "), std::string::npos) << list.out;
    ASSERT_EQ(RunProgram({"/usr/bin/pdfimages", all, made / "image"}).status, 0);
    int same = 0;
    for (int i = 0; i < 20; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "image-%03d.ppm", i);
        same += Exists(made / name) && ReadFile(made / name) == Ppm(picture);
    }
    EXPECT_EQ(same, 3);
}

// A loopback server that counts the connections it is offered.
struct Listener {
    int fd = -1;
    int port = 0;
    std::atomic<int> connections{0};
    std::atomic<bool> done{false};
    std::thread thread;

    Listener()
    {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 8) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("no loopback listener");
        port = ntohs(address.sin_port);
        thread = std::thread([this] {
            while (!done) {
                pollfd ready{fd, POLLIN, 0};
                if (poll(&ready, 1, 50) > 0) {
                    int client = accept(fd, nullptr, nullptr);
                    if (client >= 0) {
                        ++connections;
                        close(client);
                    }
                }
            }
        });
    }
    ~Listener()
    {
        done = true;
        thread.join();
        close(fd);
    }
};

TEST_F(Office, BadDocumentsFailAloneNothingLinkedIsFetchedNoMacroRunsAndAKilledConverterIsReplaced)
{
    ScratchDir dir, outside;
    Session session;
    auto open = [&](const std::string& name, std::string& err) {
        CaptureStderr();
        bool ok = session.Execute("[DocOpen(" + Q(dir / name) + ")]");
        err = CapturedStderr();
        return ok;
    };
    auto save = [&](const std::string& name) {
        std::string err;
        CaptureStderr();
        bool ok = session.Execute("[DocSaveAs(" + Q(dir / name) + "," + Q(dir / (name + ".pdf")) + ")]");
        err = CapturedStderr();
        EXPECT_TRUE(ok) << err;
        return dir / (name + ".pdf");
    };
    std::string err;

    WriteLetterFodt(dir / "letter.fodt", "A sound letter.");
    ASSERT_TRUE(open("letter.fodt", err)) << err;
    EXPECT_NE(Everything(PageTexts(save("letter.fodt"))).find("A sound letter."), std::string::npos);

    // Locked, empty and damaged documents each fail with their reason.
    WritePasswordOdt(dir / "locked.odt");
    WriteDeckFodp(dir / "hidden.fodp", {"Hidden One", "Hidden Two"}, true);
    WriteFile(dir / "garbage.rtf", "{\\rtf1 \x01\x02\x03 \\bin999999999 ");
    WriteStoredZip(dir / "garbage.docx",
                   {{"[Content_Types].xml",
                     ContentTypes("application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml")},
                    {"_rels/.rels", "<?xml version=\"1.0\"?><Relationships xmlns=\"http://schemas.openxmlformats.org/"
                                    "package/2006/relationships\"><Relationship Id=\"rId1\" Type=\"http://schemas."
                                    "openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
                                    "Target=\"main.xml\"/></Relationships>"},
                    {"main.xml", "\x01\x02 not XML at all <<<>>> \xff\xfe"}});
    struct Bad {
        std::string name, reason;
    };
    for (const Bad& bad : std::vector<Bad>{
             {"locked.odt", "the document is protected by a password"},
             {"hidden.fodp", "the document has no pages"},
             {"garbage.rtf", "LibreOffice cannot read the document"},
             {"garbage.docx", "LibreOffice cannot read the document"},
         }) {
        EXPECT_FALSE(open(bad.name, err)) << bad.name;
        EXPECT_NE(err.find(bad.reason), std::string::npos) << err;
        EXPECT_EQ(Count(err, "\n"), 1u) << err;
    }

    // A picture linked on a server or in a file outside the document's
    // folder is neither requested nor shown.
    Listener server;
    WritePng(outside / "secret.png", Pattern(32, 32, 3, 8, 3));
    WriteLinkedImageFodt(dir / "linked.fodt", {"http://127.0.0.1:" + std::to_string(server.port) + "/x.png",
                                               "file://" + outside / "secret.png", outside / "secret.png"});
    ASSERT_TRUE(open("linked.fodt", err)) << err;
    std::string linked = save("linked.fodt");
    EXPECT_EQ(server.connections.load(), 0);
    EXPECT_EQ(Count(RunProgram({"/usr/bin/pdfimages", "-list", linked}).out, "\n"), 2u) << "no image, only the header";

    // A macro bound to the load event does not run. (LibreOffice makes the
    // document, so that it is one whose macro LibreOffice would run.)
    ScratchDir profile;
    ASSERT_EQ(RunProgram({"/usr/bin/python3", DOCJOIN_SOURCE_DIR "/tests/support/make_macro_document.py",
                          dir / "macro.odt", profile.path},
                         {.timeoutSeconds = 600})
                  .status,
              0);
    ASSERT_TRUE(open("macro.odt", err)) << err;
    std::string words = Everything(PageTexts(save("macro.odt")));
    EXPECT_NE(words.find("Original words."), std::string::npos) << words;
    EXPECT_EQ(words.find("MACRO RAN"), std::string::npos) << words;

    // The converter killed while it converts fails that document only; the
    // next one starts a new converter.
    OfficeConverter& converter = EngineOfficeConverter();
    pid_t first = converter.HelperProcessId();
    ASSERT_GT(first, 0);
    converter.afterRequest = [&] { kill(first, SIGKILL); };
    WriteLetterFodt(dir / "killed.fodt", "Never converted.");
    EXPECT_FALSE(open("killed.fodt", err));
    EXPECT_NE(err.find("LibreOffice stopped while converting the document"), std::string::npos) << err;
    EXPECT_EQ(Count(err, "\n"), 1u) << err;
    converter.afterRequest = nullptr;
    WriteLetterFodt(dir / "after.fodt", "Converted after the kill.");
    ASSERT_TRUE(open("after.fodt", err)) << err;
    EXPECT_NE(Everything(PageTexts(save("after.fodt"))).find("Converted after the kill."), std::string::npos);
    EXPECT_NE(converter.HelperProcessId(), first);
    // The documents opened before are all still there.
    EXPECT_EQ(session.Documents().Size(), 4u);
    converter.Stop();
    EXPECT_EQ(converter.HelperProcessId(), -1);
}

// A form's fields as qpdf reads them: "name type value page" a line.
std::string FieldsOf(const std::string& pdf)
{
    std::string json = RunProgram({"/usr/bin/qpdf", "--json", "--json-key=acroform", pdf}).out;
    std::string fields;
    auto value = [&](const std::string& key, std::size_t from, std::size_t to) {
        std::size_t at = json.find("\"" + key + "\": ", from);
        if (at == std::string::npos || at > to)
            return std::string("?");
        at += key.size() + 4;
        std::size_t end = json.find_first_of(",\n", at);
        std::string found = json.substr(at, end - at);
        if (found.size() >= 2 && found.front() == '"')
            found = found.substr(1, found.size() - 2);
        return found;
    };
    for (std::size_t at = json.find("\"annotation\": "); at != std::string::npos;
         at = json.find("\"annotation\": ", at + 1)) {
        std::size_t next = json.find("\"annotation\": ", at + 1);
        std::size_t to = next == std::string::npos ? json.size() : next;
        fields += value("fullname", at, to) + " " + value("fieldtype", at, to) + " " + value("value", at, to) + " " +
                  value("pageposfrom1", at, to) + "\n";
    }
    return fields;
}

TEST_F(Office, FormControlsStayFormFieldsWithTheirValues)
{
    ScratchDir dir, made;
    WriteSamplePdf(dir / "plain.pdf", {.pages = {"Plain PDF page"}});
    WriteFormFodt(dir / "form.fodt");
    ASSERT_TRUE(ConvertWithLibreOffice({dir / "form.fodt"}, "docx", made.path));
    ASSERT_EQ(std::rename((made / "form.docx").c_str(), (dir / "word.docx").c_str()), 0);

    RunResult r = RunProgram({Docjoin(), "-w", "0", "-o", "all.pdf", "plain.pdf", "form.fodt", "word.docx"},
                             {.cwd = dir.path, .timeoutSeconds = 600});
    EXPECT_EQ(r.err, "");
    std::string all = dir / "all.pdf";
    ASSERT_TRUE(QpdfAccepts(all));
    // A text field and a ticked check box with their widgets on the page of
    // each document; the second document's fields are renamed, not merged.
    EXPECT_EQ(FieldsOf(all), "FullName /Tx u:Ada Lovelace 2\n"
                             "Agreed /Btn /Yes 2\n"
                             "FullName+1 /Tx u:Ada Lovelace 3\n"
                             "Agreed+1 /Btn /Yes 3\n");
    std::vector<std::string> subtypes;
    for (const auto& page : AnnotationSubtypes(all))
        subtypes.insert(subtypes.end(), page.begin(), page.end());
    EXPECT_EQ(subtypes, std::vector<std::string>(4, "/Widget"));
}

// Every file under folder with its bytes and time of change.
std::map<std::string, std::string> Snapshot(const std::string& folder)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        struct stat info;
        if (lstat(entry.path().c_str(), &info) != 0)
            continue;
        files[entry.path().string()] = std::to_string(info.st_mtim.tv_sec) + "." +
                                       std::to_string(info.st_mtim.tv_nsec) +
                                       (entry.is_regular_file() ? " " + ReadFile(entry.path()) : "");
    }
    return files;
}

std::vector<std::string> Names(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(Office, TheCleanProfileIsMadeOncePerVersionAndNoDocumentTouchesIt)
{
    ScratchDir dir, cache;
    OfficeSettings settings = DefaultOfficeSettings();
    settings.templates = cache / "dochost";
    // The template of another LibreOffice, left from before an upgrade.
    std::filesystem::create_directories(cache / "dochost/libreoffice-profile-0123456789abcdef/user");
    WriteLetterFodt(dir / "letter.fodt", "A letter.");
    std::string letter = ReadFile(dir / "letter.fodt");
    auto converts = [&](OfficeConverter& converter) {
        std::string pdf = converter.Convert(letter, "fodt");
        return pdf.rfind("%PDF-", 0) == 0;
    };

    std::string made;
    {
        OfficeConverter first(settings);
        ASSERT_TRUE(converts(first));
        std::vector<std::string> names = Names(settings.templates);
        ASSERT_EQ(names.size(), 1u);
        EXPECT_EQ(names[0].size(), std::string("libreoffice-profile-").size() + 16) << names[0];
        EXPECT_NE(names[0], "libreoffice-profile-0123456789abcdef");
        made = settings.templates + "/" + names[0];
        EXPECT_TRUE(Exists(made + "/user/registrymodifications.xcu"));
    }

    // Later converters copy it: what LibreOffice writes while it converts,
    // and when it ends, goes into their own copies only.
    auto before = Snapshot(made);
    {
        OfficeConverter second(settings);
        ASSERT_TRUE(converts(second));
        ASSERT_TRUE(converts(second));
        second.Stop();
    }
    EXPECT_EQ(Snapshot(made), before);
    EXPECT_EQ(Names(settings.templates).size(), 1u);

    // A template LibreOffice cannot start with is made anew, and the document
    // converted all the same.
    std::filesystem::remove_all(made + "/user");
    WriteFile(made + "/user", "not a folder");
    {
        OfficeConverter third(settings);
        EXPECT_TRUE(converts(third));
    }
    EXPECT_TRUE(Exists(made + "/user/registrymodifications.xcu"));
}

TEST_F(Office, WithoutLibreOfficeAnOfficeDocumentSaysWhatToInstallAndTheRestIsJoined)
{
    ScratchDir dir;
    WriteLetterFodt(dir / "letter.fodt", "Never converted.");
    WritePng(dir / "photo.png", Pattern(40, 30, 3, 8, 9));
    WriteSamplePdf(dir / "plain.pdf", {.pages = {"Plain PDF page"}});
    // (The first document makes the output: it is a PDF here, so that there is one.)
    RunResult r = RunProgram({Docjoin(), "-w", "0", "-o", "all.pdf", "plain.pdf", "letter.fodt", "photo.png"},
                             {.cwd = dir.path, .extraEnv = {"DOCHOST_OFFICE_PROGRAM=" + dir / "no-libreoffice"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("letter.fodt\"): opening office documents needs LibreOffice: install "
                         "libreoffice-writer-nogui, libreoffice-calc-nogui, libreoffice-impress-nogui and python3-uno\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(PageCount(dir / "all.pdf"), 2);
}

} // namespace
