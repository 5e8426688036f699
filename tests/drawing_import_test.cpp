// SVG drawings, XPS documents and plain text (and PostScript), made with their
// own tools, opened and saved as PDF: pages and their sizes, vectors and
// searchable text, and damaged files that fail alone.
#include "session.h"
#include "vector/ghostscript_server.h"
#include "vector/vector_import.h"
#include "support/image_writers.h"
#include "support/live.h"
#include "support/other_kinds.h"
#include "support/pdf_check.h"
#include "support/process.h"
#include "support/quoting.h"
#include "support/stderr_capture.h"

#include <arpa/inet.h>
#include <csignal>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <map>
#include <poll.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <qpdf/QPDF.hh>
#include <sys/socket.h>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace {

bool Convert(const std::string& input, const std::string& pdf, std::string& err)
{
    Session session;
    CaptureStderr();
    bool ok = session.Execute("[DocOpen(" + Q(input) + ")][DocSaveAs(" + Q(input) + "," + Q(pdf) + ")]");
    err = CapturedStderr();
    return ok;
}

struct Size {
    double width, height;
};

std::vector<Size> PageSizes(const std::string& pdf)
{
    QPDF file;
    file.processFile(pdf.c_str());
    std::vector<Size> sizes;
    for (QPDFObjectHandle page : file.getAllPages()) {
        auto box = page.getKey("/MediaBox").getArrayAsRectangle();
        sizes.push_back({box.urx - box.llx, box.ury - box.lly});
    }
    return sizes;
}

// Whether any object of the file is a raster image.
bool HoldsRaster(const std::string& pdf)
{
    QPDF file;
    file.processFile(pdf.c_str());
    for (QPDFObjectHandle object : file.getAllObjects())
        if (object.isStream() && object.getDict().getKey("/Subtype").isNameAndEquals("/Image"))
            return true;
    return false;
}

// Whether the file's pages (or forms they use) build and paint paths.
bool DrawsVectors(const std::string& pdf)
{
    QPDF file;
    file.processFile(pdf.c_str());
    for (QPDFObjectHandle object : file.getAllObjects()) {
        if (!object.isStream())
            continue;
        QPDFObjectHandle dict = object.getDict();
        bool form = dict.getKey("/Subtype").isNameAndEquals("/Form");
        if (!form && (dict.getKey("/Subtype").isName() || dict.getKey("/Type").isName() ||
                      dict.getKey("/Length1").isInteger()))
            continue;
        auto data = object.getStreamData(qpdf_dl_generalized);
        std::istringstream content(std::string(reinterpret_cast<const char*>(data->getBuffer()), data->getSize()));
        std::set<std::string> tokens;
        for (std::string token; content >> token;)
            tokens.insert(token);
        bool path = tokens.count("m") || tokens.count("re");
        bool paint = tokens.count("f") || tokens.count("f*") || tokens.count("S") || tokens.count("B");
        if (path && paint)
            return true;
    }
    return false;
}

void ExpectPages(const std::string& pdf, const std::vector<Size>& sizes, const std::vector<std::string>& texts)
{
    std::vector<Size> got = PageSizes(pdf);
    ASSERT_EQ(got.size(), sizes.size());
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        EXPECT_NEAR(got[i].width, sizes[i].width, 0.5) << "page " << i + 1;
        EXPECT_NEAR(got[i].height, sizes[i].height, 0.5) << "page " << i + 1;
    }
    std::vector<std::string> pageTexts = PageTexts(pdf);
    ASSERT_EQ(pageTexts.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i)
        EXPECT_NE(pageTexts[i].find(texts[i]), std::string::npos) << "page " << i + 1 << ": " << pageTexts[i];
    EXPECT_FALSE(HoldsRaster(pdf)) << "vectors and text, not a raster";
    EXPECT_TRUE(DrawsVectors(pdf));
    EXPECT_TRUE(QpdfAccepts(pdf));
}

// The left edge of each word of the first page, as pdftotext finds it.
std::map<std::string, double> WordPositions(const std::string& pdf)
{
    RunResult r = RunProgram({"/usr/bin/pdftotext", "-q", "-bbox", "-f", "1", "-l", "1", pdf, "-"});
    std::map<std::string, double> words;
    for (std::size_t at = r.out.find("<word xMin=\""); at != std::string::npos;
         at = r.out.find("<word xMin=\"", at + 1)) {
        double x = std::stod(r.out.substr(at + 12));
        std::size_t open = r.out.find('>', at), close = r.out.find("</word>", at);
        words.emplace(r.out.substr(open + 1, close - open - 1), x);
    }
    return words;
}

// A loopback TCP listener that counts the connections it is offered.
struct Listener {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int port = 0;
    Listener()
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(fd, 8), 0);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~Listener() { close(fd); }
    bool Contacted()
    {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 0) > 0;
    }
};

TEST(Drawings, SvgIsOnePageOfVectorsAndTextAtItsSize)
{
    ScratchDir dir;
    WriteFile(dir / "drawing.svg", SvgDrawing(400, 300, "Hello from SVG"));
    std::string err;
    ASSERT_TRUE(Convert(dir / "drawing.svg", dir / "drawing.pdf", err)) << err;
    ExpectPages(dir / "drawing.pdf", {{300, 225}}, {"Hello from SVG"});

    // Sizes in physical units, a view box alone, and a prolog with a document type.
    WriteFile(dir / "mm.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100mm\" height=\"50mm\">"
                              "<text x=\"10\" y=\"40\" font-size=\"20\">In millimetres</text>"
                              "<rect x=\"0\" y=\"0\" width=\"20\" height=\"10\"/></svg>");
    ASSERT_TRUE(Convert(dir / "mm.svg", dir / "mm.pdf", err)) << err;
    ExpectPages(dir / "mm.pdf", {{100 / 25.4 * 72, 50 / 25.4 * 72}}, {"In millimetres"});
    WriteFile(dir / "box.svg", "<?xml version=\"1.0\" standalone=\"no\"?>\n<!-- drawn by hand -->\n"
                               "<!DOCTYPE svg PUBLIC \"-//W3C//DTD SVG 1.1//EN\" "
                               "\"http://www.w3.org/Graphics/SVG/1.1/DTD/svg11.dtd\">\n"
                               "<svg viewBox=\"0 0 200 100\" xmlns=\"http://www.w3.org/2000/svg\">"
                               "<rect x=\"5\" y=\"5\" width=\"50\" height=\"50\"/>"
                               "<text x=\"10\" y=\"80\">View box</text></svg>");
    ASSERT_TRUE(Convert(dir / "box.svg", dir / "box.pdf", err)) << err;
    ExpectPages(dir / "box.pdf", {{150, 75}}, {"View box"});
}

// A gzip-compressed drawing (.svgz) is known by its content and opened; one
// that would unpack to far more than drawings do is refused, whatever its
// own record of its size says, and so are damaged ones.
TEST(Drawings, CompressedSvgOpensAndAGzipBombIsRefused)
{
    ScratchDir dir;
    WriteFile(dir / "drawing.data", Gzip(SvgDrawing(400, 300, "Hello from SVGZ")));
    std::string err;
    ASSERT_TRUE(Convert(dir / "drawing.data", dir / "drawing.pdf", err)) << err;
    ExpectPages(dir / "drawing.pdf", {{300, 225}}, {"Hello from SVGZ"});

    // 40 MiB of white space in a drawing: some 40 KiB compressed.
    std::string bomb = Gzip("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10\" height=\"10\">" +
                            std::string(std::size_t(40) << 20, ' ') + "</svg>");
    ASSERT_LT(bomb.size(), std::size_t(100) << 10);
    WriteFile(dir / "bomb.svgz", bomb);
    std::string lying = bomb;
    lying.replace(lying.size() - 4, 4, std::string("\x64\0\0\0", 4)); // "100 bytes"
    WriteFile(dir / "lying.svgz", lying);
    std::string good = ReadFile(dir / "drawing.data");
    WriteFile(dir / "cut.svgz", good.substr(0, good.size() / 2));
    WriteFile(dir / "notes.svgz", Gzip("Not a drawing at all\n"));
    std::map<std::string, std::string> reasons = {
        {"bomb.svgz", "the compressed file unpacks to more than 16 MiB; it is refused"},
        {"lying.svgz", "the compressed file unpacks to more than 16 MiB; it is refused"},
        {"cut.svgz", "the compressed file is cut short"},
        {"notes.svgz", "the gzip-compressed file holds no SVG drawing"}};
    for (const auto& [name, reason] : reasons) {
        EXPECT_FALSE(Convert(dir / name, dir / (name + ".pdf"), err)) << name;
        EXPECT_EQ(err, "dochost: DocOpen(" + Q(dir / name) + "): " + reason + "\n");
    }
}

TEST(Drawings, SvgFetchesNothingOutsideItsFolder)
{
    ScratchDir dir;
    Listener server;
    ASSERT_GT(server.port, 0);
    ASSERT_EQ(mkdir((dir / "drawings").c_str(), 0700), 0);
    std::string url = "http://127.0.0.1:" + std::to_string(server.port);
    std::string links = "<image x=\"0\" y=\"0\" width=\"50\" height=\"50\" xlink:href=\"" + url + "/photo.png\"/>\n"
                        "<image x=\"0\" y=\"0\" width=\"50\" height=\"50\" href=\"" + url + "/photo2.png\"/>\n"
                        "<image x=\"0\" y=\"0\" width=\"50\" height=\"50\" xlink:href=\"../secret.png\"/>\n"
                        "<image x=\"0\" y=\"0\" width=\"50\" height=\"50\" xlink:href=\"file://" + dir.path +
                        "/secret.png\"/>\n"
                        "<use xlink:href=\"" + url + "/shapes.svg#a\"/>\n"
                        "<style>@import url(" + url + "/style.css); text { font-family: url(" + url +
                        "/font.ttf); }</style>\n";
    WriteFile(dir / "drawings/linked.svg", SvgDrawing(200, 100, "Linked", links));
    // A folder-local image is shown, so linking itself works.
    WriteFile(dir / "drawings/local.svg",
              SvgDrawing(200, 100, "Local", "<image x=\"0\" y=\"0\" width=\"50\" height=\"50\" xlink:href=\"sub/inside.png\"/>\n"));
    ASSERT_EQ(mkdir((dir / "drawings/sub").c_str(), 0700), 0);
    WritePng(dir / "secret.png", Pattern(16, 16, 3, 8, 1));
    WritePng(dir / "drawings/sub/inside.png", Pattern(16, 16, 3, 8, 2));
    std::string err;
    ASSERT_TRUE(Convert(dir / "drawings/local.svg", dir / "local.pdf", err)) << err;
    EXPECT_TRUE(HoldsRaster(dir / "local.pdf")) << "an image in the drawing's folder is shown";
    ASSERT_TRUE(Convert(dir / "drawings/linked.svg", dir / "linked.pdf", err)) << err;
    EXPECT_FALSE(HoldsRaster(dir / "linked.pdf")) << "no image from outside the folder or the network";
    EXPECT_EQ(PageTexts(dir / "linked.pdf"), std::vector<std::string>{"Linked"});
    EXPECT_FALSE(server.Contacted()) << "the network was asked for a linked resource";
}

TEST(Drawings, XpsAndOpenXpsGiveEveryPageAsVectors)
{
    ScratchDir dir;
    for (bool openXps : {false, true}) {
        std::string name = openXps ? "pages.oxps" : "pages.xps";
        SCOPED_TRACE(name);
        WriteXps(dir / name, {"First XPS page", "Second XPS page", "Third XPS page"}, openXps);
        std::string err;
        ASSERT_TRUE(Convert(dir / name, dir / (name + ".pdf"), err)) << err;
        ExpectPages(dir / (name + ".pdf"), {{612, 792}, {612, 792}, {612, 792}},
                    {"First XPS page", "Second XPS page", "Third XPS page"});
    }
}

// An XPS package whose page unpacks to far more than documents do (a zip
// bomb) is refused before libgxps reads it, also when the sizes it declares
// are small, and one line says so.
TEST(Drawings, AnXpsZipBombIsRefusedBeforeItIsRead)
{
    namespace fs = std::filesystem;
    ScratchDir dir;
    WriteXps(dir / "bomb.xps", {"Bomb page"});
    // The page made 100 MiB of zeros, which zip packs into some 100 KiB.
    fs::create_directories(dir / "parts/Documents/1/Pages");
    WriteFile(dir / "parts/Documents/1/Pages/1.fpage", "");
    fs::resize_file(dir / "parts/Documents/1/Pages/1.fpage", std::uintmax_t(100) << 20);
    RunResult zip = RunProgram({"/usr/bin/zip", "-q", dir / "bomb.xps", "Documents/1/Pages/1.fpage"},
                               {.cwd = dir / "parts"});
    ASSERT_EQ(zip.status, 0) << zip.err;
    fs::remove_all(dir / "parts");
    std::string bomb = ReadFile(dir / "bomb.xps");
    ASSERT_LT(bomb.size(), std::size_t(1) << 20);
    ASSERT_TRUE(IsXps(bomb));

    // The same, declaring the page 1000 bytes long in both its headers.
    std::string lying = bomb;
    std::string name = "Documents/1/Pages/1.fpage";
    for (std::size_t at = lying.find("PK\x01\x02"); at != std::string::npos; at = lying.find("PK\x01\x02", at + 4)) {
        auto le = [&](std::size_t where, int width) {
            std::size_t v = 0;
            for (int i = width - 1; i >= 0; --i)
                v = v << 8 | std::uint8_t(lying[where + std::size_t(i)]);
            return v;
        };
        if (lying.compare(at + 46, le(at + 28, 2), name) != 0)
            continue;
        std::size_t local = le(at + 42, 4);
        for (std::size_t field : {at + 24, local + 22})
            lying.replace(field, 4, std::string("\xe8\x03\0\0", 4));
    }
    ASSERT_NE(lying, bomb);
    WriteFile(dir / "lying.xps", lying);

    for (std::string file : {"bomb.xps", "lying.xps"}) {
        std::string err;
        EXPECT_FALSE(Convert(dir / file, dir / (file + ".pdf"), err)) << file;
        EXPECT_EQ(err, "dochost: DocOpen(" + Q(dir / file) + "): the XPS file unpacks to more than 64 MiB; it is refused\n");
    }
}

TEST(Drawings, PlainTextIsLaidOutOnA4PagesAndStaysText)
{
    ScratchDir dir;
    std::string accents = "Caf\xc3\xa9 cr\xc3\xa8me br\xc3\xbbl\xc3\xa9" "e, na\xc3\xafve \xc3\x85ngstr\xc3\xb6m";
    std::string greek = "\xce\x9a\xce\xb1\xce\xbb\xce\xb7\xce\xbc\xce\xad\xcf\x81\xce\xb1";  // Greek
    std::string cyrillic = "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82";              // Cyrillic
    std::string text = "\xef\xbb\xbfTitle line\r\n" + accents + "\n" + greek + " " + cyrillic + "\n" +
                       "a\tb\tc\n1234567890\tz\n";
    // A line far wider than the page, wrapped, not cut.
    std::string wide;
    for (int i = 0; i < 60; ++i)
        wide += "word" + std::to_string(i) + " ";
    text += wide + "\n\fAfter the form feed\n";
    // Enough lines to fill more than one page.
    for (int i = 0; i < 150; ++i)
        text += "line " + std::to_string(i) + "\n";
    WriteFile(dir / "notes.txt", text);
    std::string err;
    ASSERT_TRUE(Convert(dir / "notes.txt", dir / "notes.pdf", err)) << err;
    std::vector<Size> sizes = PageSizes(dir / "notes.pdf");
    ASSERT_GE(sizes.size(), 4u);
    for (const Size& size : sizes) {
        EXPECT_NEAR(size.width, 595.28, 0.5);
        EXPECT_NEAR(size.height, 841.89, 0.5);
    }
    std::vector<std::string> pages = PageTexts(dir / "notes.pdf");
    ASSERT_EQ(pages.size(), sizes.size());
    EXPECT_EQ(pages[0].rfind("Title line\n" + accents + "\n" + greek + " " + cyrillic + "\na", 0), 0u) << pages[0];
    // Tabs every eight columns: b at column 8, c and z at column 16.
    std::map<std::string, double> left = WordPositions(dir / "notes.pdf");
    ASSERT_TRUE(left.count("a") && left.count("b") && left.count("c") && left.count("z"));
    double column = (left["b"] - left["a"]) / 8;
    EXPECT_GT(column, 4);
    EXPECT_NEAR(left["c"] - left["a"], 16 * column, 0.1);
    EXPECT_NEAR(left["z"] - left["a"], 16 * column, 0.1);
    std::string all;
    for (const std::string& page : pages)
        all += page + "\n";
    for (int i = 0; i < 60; ++i) {
        std::size_t word = pages[0].find("word" + std::to_string(i));
        ASSERT_NE(word, std::string::npos) << i;
        EXPECT_FALSE(std::isdigit(static_cast<unsigned char>(pages[0][word + 4 + std::to_string(i).size()]))) << i;
    }
    EXPECT_EQ(pages[1].rfind("After the form feed\nline 0\n", 0), 0u) << pages[1];
    std::size_t at = 0;
    for (int i = 0; i < 150; ++i) {
        at = all.find("line " + std::to_string(i) + "\n", at);
        ASSERT_NE(at, std::string::npos) << "line " << i << " is missing or out of order";
    }
    EXPECT_FALSE(HoldsRaster(dir / "notes.pdf"));
    EXPECT_TRUE(QpdfAccepts(dir / "notes.pdf"));

    // Latin-1 where the bytes are not UTF-8.
    WriteFile(dir / "latin1.txt", "Caf\xe9 \xe0 la cr\xe8me, \x93quoted\x94\r\n\x1a");
    ASSERT_TRUE(Convert(dir / "latin1.txt", dir / "latin1.pdf", err)) << err;
    EXPECT_EQ(PageTexts(dir / "latin1.pdf"),
              std::vector<std::string>{"Caf\xc3\xa9 \xc3\xa0 la cr\xc3\xa8me, \xe2\x80\x9cquoted\xe2\x80\x9d"});
}

TEST(Drawings, EachKindIsRecognisedByItsContentNotItsName)
{
    ScratchDir dir;
    WriteFile(dir / "a.txt", SvgDrawing(100, 100, "An SVG named txt"));
    WriteXps(dir / "b.zip", {"An XPS named zip"});
    WriteFile(dir / "c.svg", "Text named svg <svg> but no root element\n");
    WriteFile(dir / "d.html", "<!DOCTYPE html>\n<html><body><svg width=\"10\" height=\"10\"></svg></body></html>\n");
    std::string err;
    ASSERT_TRUE(Convert(dir / "a.txt", dir / "a.pdf", err)) << err;
    EXPECT_FALSE(PageTexts(dir / "a.pdf").at(0).find("<svg") != std::string::npos) << "drawn, not listed";
    ASSERT_TRUE(Convert(dir / "b.zip", dir / "b.pdf", err)) << err;
    EXPECT_EQ(PageTexts(dir / "b.pdf"), std::vector<std::string>{"An XPS named zip"});
    ASSERT_TRUE(Convert(dir / "c.svg", dir / "c.pdf", err)) << err;
    EXPECT_EQ(PageTexts(dir / "c.pdf"), std::vector<std::string>{"Text named svg <svg> but no root element"});
    EXPECT_FALSE(IsSvg(ReadFile(dir / "d.html")));
}

TEST(Drawings, PostScriptGivesEveryPageAndEpsItsBoundingBox)
{
    ScratchDir dir;
    WriteFile(dir / "pages.ps", PostScriptPages({"PostScript one", "PostScript two", "PostScript three"}));
    std::string err;
    ASSERT_TRUE(Convert(dir / "pages.ps", dir / "pages.pdf", err)) << err;
    ExpectPages(dir / "pages.pdf", {{595, 842}, {595, 842}, {595, 842}},
                {"PostScript one", "PostScript two", "PostScript three"});

    std::string eps = EpsDrawing(100, 200, 400, 400, "An EPS drawing");
    WriteFile(dir / "drawing.eps", eps);
    ASSERT_TRUE(Convert(dir / "drawing.eps", dir / "drawing.pdf", err)) << err;
    ExpectPages(dir / "drawing.pdf", {{300, 200}}, {"An EPS drawing"});

    // The same EPS behind a DOS EPS binary header, with a dummy preview after it.
    auto little = [](std::uint32_t v) {
        return std::string{char(v & 0xff), char((v >> 8) & 0xff), char((v >> 16) & 0xff), char(v >> 24)};
    };
    std::string preview(64, '\x7f');
    std::string dos = "\xc5\xd0\xd3\xc6" + little(30) + little(std::uint32_t(eps.size())) + little(0) + little(0) +
                      little(30 + std::uint32_t(eps.size())) + little(std::uint32_t(preview.size())) + "\xff\xff";
    WriteFile(dir / "binary.eps", dos + eps + preview);
    ASSERT_TRUE(Convert(dir / "binary.eps", dir / "binary.pdf", err)) << err;
    ExpectPages(dir / "binary.pdf", {{300, 200}}, {"An EPS drawing"});
}

TEST(Drawings, PostScriptRunsSandboxedAndTimeLimited)
{
    ScratchDir dir;
    // A program that would show a file of the user's if it could read one.
    WriteFile(dir / "secret.txt", "the user's secret\n");
    WriteFile(dir / "peek.ps", "%!PS\n/Helvetica findfont 12 scalefont setfont 72 720 moveto\n"
                               "(" + dir / "secret.txt" + ") (r) file 100 string readstring pop show\n"
                               "72 700 moveto (after) show showpage\n");
    std::string err;
    if (Convert(dir / "peek.ps", dir / "peek.pdf", err))
        EXPECT_EQ(PageTexts(dir / "peek.pdf").at(0).find("secret"), std::string::npos);
    else
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;

    // A program that never ends is stopped at the limit; the engine goes on.
    WriteFile(dir / "loop.ps", "%!PS\n{ 1 pop } loop\n");
    WriteFile(dir / "good.ps", PostScriptPages({"Still here"}));
    SetPostScriptTimeLimit(std::chrono::seconds(2));
    Session session;
    CaptureStderr();
    EXPECT_TRUE(session.Execute("[DocOpen(" + Q(dir / "good.ps") + ")]"));
    EXPECT_FALSE(session.Execute("[DocOpen(" + Q(dir / "loop.ps") + ")]"));
    bool saved = session.Execute("[DocSaveAs(" + Q(dir / "good.ps") + "," + Q(dir / "good.pdf") + ")]");
    err = CapturedStderr();
    SetPostScriptTimeLimit(std::chrono::seconds(120));
    EXPECT_EQ(err, "dochost: DocOpen(" + Q(dir / "loop.ps") +
                       "): Ghostscript did not finish the PostScript file within 2 s; it was stopped\n");
    EXPECT_TRUE(saved);
    EXPECT_EQ(PageTexts(dir / "good.pdf"), std::vector<std::string>{"Still here"});
    // The next PostScript file, after the one that was stopped, converts as ever.
    WriteFile(dir / "next.ps", PostScriptPages({"Next one"}));
    EXPECT_TRUE(session.Execute("[DocOpen(" + Q(dir / "next.ps") + ")][DocSaveAs(" + Q(dir / "next.ps") + "," +
                                Q(dir / "next.pdf") + ")]"));
    EXPECT_EQ(PageTexts(dir / "next.pdf"), std::vector<std::string>{"Next one"});

    // Without Ghostscript, one clear line.
    std::string path = std::getenv("PATH");
    setenv("PATH", dir.path.c_str(), 1);
    CaptureStderr();
    WriteFile(dir / "again.ps", PostScriptPages({"Again"}));
    EXPECT_FALSE(session.Execute("[DocOpen(" + Q(dir / "again.ps") + ")]"));
    err = CapturedStderr();
    setenv("PATH", path.c_str(), 1);
    EXPECT_NE(err.find("dochost: DocOpen(" + Q(dir / "again.ps") +
                       "): Ghostscript (gs) is needed to open PostScript files; install the ghostscript package\n"),
              std::string::npos)
        << err;
}

// One Ghostscript serves file after file; nothing one program defines or
// sets (in local or global memory, its page device, its user parameters,
// what it leaves on the stacks) reaches the next one, and a program that
// quits or fails does not end the server.
TEST(Drawings, PostScriptFilesShareOneGhostscriptButNothingElse)
{
    ScratchDir dir;
    WriteFile(dir / "plain.ps", "%!PS\n/Helvetica findfont 20 scalefont setfont 72 300 moveto (Plain page) show showpage\n");
    EngineGhostscript().Stop();
    std::string err;
    ASSERT_TRUE(Convert(dir / "plain.ps", dir / "fresh.pdf", err)) << err;
    std::vector<Size> fresh = PageSizes(dir / "fresh.pdf");
    pid_t server = EngineGhostscript().ProcessId();
    ASSERT_GT(server, 0);

    WriteFile(dir / "meddler.ps",
              "%!PS\n<< /PageSize [200 100] >> setpagedevice\n"
              "<< /MaxOpStack 500 >> setuserparams\n"
              "true setglobal globaldict /showpage {} put globaldict /Helvetica /Courier findfont put false setglobal\n"
              "/Times-Roman findfont 12 scalefont setfont 10 10 moveto (Meddler) show systemdict /showpage get exec\n"
              "userdict /showpage {} put /moveto { pop pop } def 20 dict begin 1 2 3 (left on the stack)\n");
    ASSERT_TRUE(Convert(dir / "meddler.ps", dir / "meddler.pdf", err)) << err;
    std::vector<Size> meddler = PageSizes(dir / "meddler.pdf");
    ASSERT_EQ(meddler.size(), 1u);
    EXPECT_NEAR(meddler[0].width, 200, 0.5);
    EXPECT_EQ(PageTexts(dir / "meddler.pdf"), std::vector<std::string>{"Meddler"});
    ASSERT_TRUE(Convert(dir / "plain.ps", dir / "after.pdf", err)) << err;
    std::vector<Size> after = PageSizes(dir / "after.pdf");
    ASSERT_EQ(after.size(), 1u);
    EXPECT_NEAR(after[0].width, fresh.at(0).width, 0.5);
    EXPECT_NEAR(after[0].height, fresh.at(0).height, 0.5);
    EXPECT_EQ(PageTexts(dir / "after.pdf"), std::vector<std::string>{"Plain page"});
    // The font the meddler put into global memory is not the one shown now.
    RunResult fonts = RunProgram({"/usr/bin/pdffonts", dir / "after.pdf"});
    EXPECT_EQ(fonts.out.find("Courier"), std::string::npos) << fonts.out;

    // A program that quits, or stops with an error, ends its own job only.
    WriteFile(dir / "quits.ps", "%!PS\n/Helvetica findfont 20 scalefont setfont 72 300 moveto (Quits) show showpage quit\n");
    ASSERT_TRUE(Convert(dir / "quits.ps", dir / "quits.pdf", err)) << err;
    EXPECT_EQ(PageTexts(dir / "quits.pdf"), std::vector<std::string>{"Quits"});
    WriteFile(dir / "cut.ps", "%!PS\n/Helvetica findfont 20 scalefont setfont 72 300 moveto (Cut) show showpage\n"
                              "72 200 moveto (Cut sh");
    EXPECT_FALSE(Convert(dir / "cut.ps", dir / "cut.pdf", err));
    EXPECT_EQ(err, "dochost: DocOpen(" + Q(dir / "cut.ps") + "): Ghostscript stopped the PostScript program with "
                   "the error /syntaxerror: the file is damaged or cut short\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "cut.pdf"));
    std::string eps = EpsDrawing(100, 200, 400, 400, "Cropped as ever");
    WriteFile(dir / "drawing.eps", eps);
    ASSERT_TRUE(Convert(dir / "drawing.eps", dir / "drawing.pdf", err)) << err;
    ExpectPages(dir / "drawing.pdf", {{300, 200}}, {"Cropped as ever"});
    EXPECT_EQ(EngineGhostscript().ProcessId(), server) << "one Ghostscript for every file";

    // Ghostscript killed while it converts fails that file only; the next
    // file starts a new one and converts.
    EngineGhostscript().afterRequest = [&] { kill(server, SIGKILL); };
    EXPECT_FALSE(Convert(dir / "plain.ps", dir / "killed.pdf", err));
    EngineGhostscript().afterRequest = nullptr;
    EXPECT_EQ(err, "dochost: DocOpen(" + Q(dir / "plain.ps") + "): Ghostscript cannot convert the PostScript file "
                   "(it was killed by signal 9): the file is damaged or does what the sandbox forbids\n");
    EXPECT_FALSE(ProcessAlive(server));
    EXPECT_EQ(EngineGhostscript().ProcessId(), -1);
    ASSERT_TRUE(Convert(dir / "plain.ps", dir / "revived.pdf", err)) << err;
    EXPECT_EQ(PageTexts(dir / "revived.pdf"), std::vector<std::string>{"Plain page"});
    EXPECT_NE(EngineGhostscript().ProcessId(), server);
    EngineGhostscript().Stop();
    EXPECT_EQ(EngineGhostscript().ProcessId(), -1);
}

// Damaged files of every new kind fail alone: in a join, every other page is kept.
TEST(Drawings, DamagedFilesOfEveryKindFailAloneInAJoin)
{
    ScratchDir dir;
    WriteOtherKinds(dir.path);
    struct Kind {
        std::string name;
        int pages;
    };
    std::vector<Kind> kinds = {{"photo.heic", 2},  {"photo.avif", 1},  {"photo.jxl", 1},  {"recompressed.jxl", 1},
                               {"drawing.svg", 1}, {"drawing.eps", 1}, {"pages.ps", 2},   {"pages.xps", 2},
                               {"notes.txt", 2}};
    std::vector<std::string> args = {Docjoin(), "-w", "0", "-o", "all.pdf"};
    std::vector<std::string> broken;
    int pages = 0;
    for (const Kind& kind : kinds) {
        args.push_back(kind.name);
        pages += kind.pages;
        if (kind.name == "notes.txt")
            continue; // any part of a text is text
        std::string bytes = ReadFile(dir / kind.name);
        // Only the first bytes; of a drawing, enough to hold the opening of its root element.
        WriteFile(dir / ("header-" + kind.name), bytes.substr(0, kind.name.find(".svg") != std::string::npos ? 200 : 40));
        args.push_back("header-" + kind.name);
        broken.push_back("header-" + kind.name);
        // Cut short, within its data; a PostScript program cut short stops
        // with an error in Ghostscript and is refused, not shown in part.
        WriteFile(dir / ("cut-" + kind.name), bytes.substr(0, bytes.size() * 45 / 100));
        args.push_back("cut-" + kind.name);
        broken.push_back("cut-" + kind.name);
    }
    RunResult r = RunProgram(args, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    for (const std::string& name : broken) {
        std::string line = "dochost: DocOpen(" + Q(dir / name) + "): ";
        std::size_t at = r.err.find(line);
        EXPECT_NE(at, std::string::npos) << name << " did not fail: " << r.err;
    }
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 3 * std::ptrdiff_t(broken.size())) << r.err;
    EXPECT_TRUE(QpdfAccepts(dir / "all.pdf"));
    std::vector<std::string> texts = PageTexts(dir / "all.pdf");
    EXPECT_EQ(int(texts.size()), pages);
    std::string all;
    for (const std::string& text : texts)
        all += text + "\n";
    for (std::string expected : {"A drawing in SVG", "An EPS drawing", "PostScript page two", "XPS page two", "A second page"})
        EXPECT_NE(all.find(expected), std::string::npos) << expected;
}

} // namespace
