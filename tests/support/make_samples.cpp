// Writes sample documents into a folder, for the demo: a three-page fax scan,
// a GIF, a PNG with transparency, a photo, PDFs with bookmarks and a form, and
// two office documents (a letter and a spreadsheet of three sheets), and one
// file of each kind dochost draws or decodes besides (HEIC, AVIF, JPEG XL,
// SVG, EPS, PostScript, XPS, plain text).
#include "support/image_corpus.h"
#include "support/image_writers.h"
#include "support/office_samples.h"
#include "support/other_kinds.h"
#include "support/process.h"
#include "support/sample_pdf.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <tiffio.h>

static Pixels Scan(int width, int height, unsigned seed)
{
    Pixels p = Pattern(width, height, 1, 8, seed);
    Pixels bits{width, height, 1, 1, {}};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            bits.samples.push_back((y / 24) % 3 != 2 && p.At(x, y, 0) > 170 && (x / 4 + y / 6) % 5 != 0 ? 1 : 0);
    return bits;
}

// Larger sets for the benchmarks: scans, photos and web images.
static void WriteBenchSets(const std::string& folder)
{
    for (unsigned i = 0; i < 12; ++i) {
        std::string name = folder + "/scans/scan" + std::to_string(10 + i) + ".tif";
        std::vector<TiffPage> pages;
        for (unsigned p = 0; p < (i == 0 ? 10u : 1u); ++p)
            pages.push_back({.pixels = Scan(1700, 2200, i * 31 + p), .compression = COMPRESSION_CCITTFAX4,
                             .photometric = PHOTOMETRIC_MINISWHITE, .xDpi = 200, .yDpi = 200});
        WriteTiff(name, pages);
    }
    for (unsigned i = 0; i < 8; ++i)
        WriteJpeg(folder + "/photos/photo" + std::to_string(10 + i) + ".jpg", Pattern(2000, 1500, 3, 8, 100 + i),
                  {.dpi = 300, .quality = 85});
    for (unsigned i = 0; i < 6; ++i) {
        WritePng(folder + "/web/image" + std::to_string(10 + i) + ".png", Pattern(1200, 900, i == 5 ? 4 : 3, 8, 200 + i));
        Indexed gif;
        gif.indices = Pattern(800, 600, 1, 8, 300 + i);
        for (int c = 0; c < 256; ++c)
            gif.palette += {char(c), char((c * 3) % 256), char(255 - c)};
        WriteGif(folder + "/web/image" + std::to_string(20 + i) + ".gif", 800, 600, {{.image = gif}});
    }
    // PDFs with links, fields, bookmarks and labels, and content that compresses like text.
    for (unsigned i = 0; i < 10; ++i) {
        std::vector<std::string> pages;
        for (unsigned p = 0; p < 20 + 10 * i; ++p)
            pages.push_back("Document " + std::to_string(i) + ", page " + std::to_string(p + 1));
        WriteSamplePdf(folder + "/pdfs/doc" + std::to_string(10 + i) + ".pdf",
                       {.pages = pages, .bookmarks = true, .fieldName = "field" + std::to_string(i % 3),
                        .link = true, .labelPrefix = i % 2 ? "D" + std::to_string(i) + "-" : "", .padding = 3000});
    }
    // A thousand one-page PDFs, each with a bookmark; every tenth with a field.
    for (unsigned i = 0; i < 1000; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/pages1000/page%04u.pdf", i);
        WriteSamplePdf(folder + name, {.pages = {"Page " + std::to_string(i + 1)}, .bookmarks = true,
                                       .fieldName = i % 10 == 0 ? "entry" : "", .padding = 1000});
    }
    // Form widgets that no field leads to: no /AcroForm, /Fields that is not an
    // array, signature widgets outside the fields; and fields that are listed.
    using Form = SamplePdf::Form;
    for (unsigned i = 0; i < 12; ++i) {
        std::vector<std::string> pages;
        for (unsigned p = 0; p < 5 + i; ++p)
            pages.push_back("Form " + std::to_string(i) + ", page " + std::to_string(p + 1));
        WriteSamplePdf(folder + "/loose/form" + std::to_string(10 + i) + ".pdf",
                       {.pages = pages, .bookmarks = true, .fieldName = "field" + std::to_string(i % 4),
                        .link = true, .padding = 3000,
                        .form = i % 3 == 0 ? Form::NoAcroForm : i % 3 == 1 ? Form::FieldsNotArray : Form::Listed,
                        .signatureWidget = i % 2 == 0});
    }
}

// Phone photos and drawings for bench/drawings: HEIC photos, and SVG and EPS
// drawings of many paths and lines of text.
static void WriteDrawingBenchSets(const std::string& folder)
{
    for (unsigned i = 0; i < 6; ++i)
        WriteHeif(folder + "/photos/photo" + std::to_string(10 + i) + ".heic",
                  {{.pixels = Pattern(2000, 1500, 3, 8, 500 + i)}}, false);
    for (unsigned i = 0; i < 6; ++i) {
        std::string shapes, ps;
        for (unsigned k = 0; k < 400; ++k) {
            unsigned x = (k * 37 + i * 11) % 560, y = (k * 53 + i * 7) % 760;
            shapes += "<path d=\"M " + std::to_string(x) + " " + std::to_string(y) + " c 20 -30 40 30 60 0 s 40 30 " +
                      std::to_string(k % 50) + " 10\" stroke=\"#" + std::to_string(100000 + k * 997 % 899999) +
                      "\" fill=\"none\"/>\n";
            ps += std::to_string(x) + " " + std::to_string(y) + " moveto 20 30 40 -30 60 0 rcurveto " +
                  std::to_string(k % 7 / 7.0).substr(0, 4) + " setgray stroke\n";
        }
        for (unsigned line = 0; line < 40; ++line) {
            std::string text = "Drawing " + std::to_string(i) + ", note " + std::to_string(line) +
                               ": dimensions and labels stay text";
            shapes += "<text x=\"30\" y=\"" + std::to_string(40 + line * 18) + "\" font-size=\"12\">" + text + "</text>\n";
            ps += "/Helvetica findfont 12 scalefont setfont 30 " + std::to_string(760 - line * 18) + " moveto (" + text +
                  ") show\n";
        }
        WriteFile(folder + "/drawings/plan" + std::to_string(10 + i) + ".svg", SvgDrawing(600, 800, "Plan", shapes));
        WriteFile(folder + "/drawings/part" + std::to_string(10 + i) + ".eps",
                  "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 600 800\n%%EndComments\n" + ps + "showpage\n%%EOF\n");
    }
}

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--bench-drawings") {
        WriteDrawingBenchSets(argv[2]);
        return 0;
    }
    if (argc == 3 && std::string(argv[1]) == "--bench") {
        WriteBenchSets(argv[2]);
        return 0;
    }
    if (argc == 3 && std::string(argv[1]) == "--corpus") {
        // Every kind of image the tests make, and PDFs with every feature.
        std::string folder = argv[2];
        WriteImageCorpus(folder);
        WriteOtherKinds(folder);
        WriteFile(folder + "/drawing.svgz", Gzip(SvgDrawing(300, 200, "A compressed drawing")));
        WriteSamplePdf(folder + "/features.pdf", {.pages = {"One", "Two"}, .bookmarks = true, .fieldName = "f",
                                                  .link = true, .labelPrefix = "L-"});
        WriteSamplePdf(folder + "/plain.pdf", {.pages = {"Plain"}});
        // Office documents of each kind that is recognised without LibreOffice.
        WriteLetterFodt(folder + "/letter.fodt", "A letter.");
        WriteTableFods(folder + "/table.fods", {"One", "Two"});
        WriteDeckFodp(folder + "/deck.fodp", {"Slide"});
        WriteAutoMacroOdt(folder + "/macro.odt", "Words.");
        WritePasswordOdt(folder + "/locked.odt");
        WriteFormFodt(folder + "/form.fodt");
        WriteStoredZip(folder + "/letter.docx",
                       {{"[Content_Types].xml",
                         "<Types><Override PartName=\"/word/document.xml\" ContentType=\"application/vnd."
                         "openxmlformats-officedocument.wordprocessingml.document.main+xml\"/></Types>"},
                        {"word/document.xml", "<w:document/>"}});
        WriteFile(folder + "/letter.rtf", "{\\rtf1\\ansi A letter.\\par}");
        WriteFile(folder + "/page.html", "<!DOCTYPE html><html><body><h1>A page</h1></body></html>");
        return 0;
    }
    if (argc == 4 && std::string(argv[1]) == "--letters") {
        // Small letters for the office benchmark, each with its heading, a
        // link and a picture.
        std::string folder = argv[3];
        WritePng(folder + "/picture.png", Pattern(200, 150, 3, 8, 11));
        for (int i = 0; i < std::atoi(argv[2]); ++i)
            WriteLetterFodt(folder + "/letter" + std::to_string(10 + i) + ".fodt",
                            "Letter number " + std::to_string(i + 1) + ".", folder + "/picture.png");
        std::remove((folder + "/picture.png").c_str());
        return 0;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s [--bench | --bench-drawings | --corpus | --letters COUNT] <folder>\n", argv[0]);
        return 2;
    }
    std::string folder = argv[1];
    std::vector<TiffPage> scan;
    for (unsigned page = 0; page < 3; ++page)
        scan.push_back({.pixels = Scan(1275, 1650, page), .compression = COMPRESSION_CCITTFAX4,
                        .photometric = PHOTOMETRIC_MINISWHITE, .xDpi = 150, .yDpi = 150});
    WriteTiff(folder + "/scan.tif", scan);

    Indexed chart;
    chart.indices = Pattern(320, 200, 1, 8, 7);
    for (int i = 0; i < 256; ++i)
        chart.palette += {char(i), char(255 - i), char((i * 7) % 256)};
    WriteGif(folder + "/chart.gif", 320, 200, {{.image = chart}});
    WritePng(folder + "/diagram.png", Pattern(400, 300, 4, 8, 8), {.xDpi = 72, .yDpi = 72});
    WriteJpeg(folder + "/photo.jpg", Pattern(640, 480, 3, 8, 9), {.dpi = 150});

    WriteSamplePdf(folder + "/report.pdf", {.pages = {"Report, page 1", "Report, page 2"}, .bookmarks = true});
    WriteSamplePdf(folder + "/form.pdf", {.pages = {"Application form"}, .fieldName = "applicant"});
    WriteLetterFodt(folder + "/minutes.fodt", "Minutes of the meeting, with the chart as it was shown.",
                    folder + "/diagram.png");
    WriteTableFods(folder + "/budget.fods", {"Income", "Expenses", "Summary"});
    // Phone photos, drawings, PostScript, XPS and a text note.
    WriteOtherKinds(folder);
    return 0;
}
