// Image files that would cost the engine far more than their size: refused
// quickly, with one line, without the memory, and without disturbing the
// other files of a join. And damaged JPEG 2000 files, refused likewise.
#include "images/raw_limits.h"
#include "support/image_writers.h"
#include "support/pdf_check.h"
#include "support/process.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <qpdf/QPDF.hh>
#include <tiffio.h>

namespace {

// A GIF of 12 single-pixel frames on an 8192 x 8192 screen: some 200 bytes
// that a viewer composites into 12 pages of 8192 x 8192 colour and alpha.
std::string GifBomb()
{
    std::string s = "GIF89a";
    s += std::string("\x00\x20\x00\x20", 4); // 8192 x 8192
    s += std::string("\x80\x00\x00", 3);    // a global table of two colours
    s += std::string("\x00\x00\x00\xff\xff\xff", 6);
    for (int frame = 0; frame < 12; ++frame) {
        int x = frame * 600, y = frame * 500;
        s += '\x2c';
        s += {char(x & 0xff), char(x >> 8), char(y & 0xff), char(y >> 8)};
        s += std::string("\x01\x00\x01\x00\x00", 5); // 1 x 1, no local table
        // LZW with 2-bit codes: clear, index 1, end, packed in 3-bit codes.
        s += std::string("\x02\x02\x4c\x01\x00", 5);
    }
    s += ';';
    return s;
}

// A TIFF of ten 16384 x 16384 grey pages whose strips hold a few bytes each:
// small on disk, 2.7 GB declared.
void WriteTiffBomb(const std::string& path)
{
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tiff, nullptr);
    for (int page = 0; page < 10; ++page) {
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, 16384);
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, 16384);
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 16384);
        TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        char strip[16] = "x\x9c";
        TIFFWriteRawStrip(tiff, 0, strip, sizeof strip);
        TIFFWriteDirectory(tiff);
    }
    TIFFClose(tiff);
}

int PageCount(const std::string& pdf)
{
    QPDF reader;
    reader.processFile(pdf.c_str());
    return int(reader.getAllPages().size());
}

// The lines standard error holds for each file of a join that was refused.
std::vector<std::string> OpenFailures(const std::string& err)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    while ((at = err.find("dochost: DocOpen(", at)) != std::string::npos) {
        std::size_t end = err.find('\n', at);
        lines.push_back(err.substr(at, end - at));
        at = end;
    }
    return lines;
}

TEST(ImageLimits, FilesThatWouldDecodeToGigabytesAreRefusedWithoutTheMemory)
{
    ScratchDir dir;
    WriteFile(dir / "bomb.gif", GifBomb());
    ASSERT_LT(ReadFile(dir / "bomb.gif").size(), 250u);
    WriteTiffBomb(dir / "bomb.tif");
    WritePng(dir / "first.png", Pattern(40, 30, 3, 8, 1));
    WritePng(dir / "last.png", Pattern(30, 20, 4, 8, 2));

    RunOptions options{.cwd = dir.path};
#if !defined(__SANITIZE_ADDRESS__)
    // The sanitizers reserve terabytes of address space; elsewhere the engine
    // gets what a small machine has to spare.
    options.addressSpaceLimit = 1ull << 30;
#endif
    // GNU time reports the largest resident size of docjoin and of the engine
    // it waited for (a child forked here would count this test's own memory).
    RunResult r = RunProgram({"/usr/bin/time", "-f", "%M", "-o", dir / "peak", Docjoin(), "-w", "0", "-o",
                              "joined.pdf", "first.png", "bomb.gif", "bomb.tif", "last.png"},
                             options);
    EXPECT_EQ(r.status, 1) << r.err;
    std::vector<std::string> failures = OpenFailures(r.err);
    ASSERT_EQ(failures.size(), 2u) << r.err;
    std::string reason = "the file's pages together decode to more than 2048 MB, the most a file of its size may take";
    EXPECT_EQ(failures[0], "dochost: DocOpen(\"" + dir / "bomb.gif" + "\"): " + reason);
    EXPECT_EQ(failures[1], "dochost: DocOpen(\"" + dir / "bomb.tif" + "\"): " + reason);
    // The other files are joined as ever.
    EXPECT_TRUE(QpdfAccepts(dir / "joined.pdf"));
    EXPECT_EQ(PageCount(dir / "joined.pdf"), 2);
    // The engine's peak memory, far from the gigabytes asked for.
    // Its last line (before it, a note of docjoin's exit status).
    std::string report = ReadFile(dir / "peak");
    while (!report.empty() && report.back() == '\n')
        report.pop_back();
    long peak = std::stol("0" + report.substr(report.find_last_of('\n') + 1));
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, 300 * 1024) << "peak resident size " << peak << " kB";
}

// A long colour scan decodes to more than any small file may, and goes in.
TEST(ImageLimits, TheBudgetGrowsWithTheFile)
{
    const std::uint64_t scanPages = 100 * PixelBudget::Bytes(2480, 3508, 24); // 100 A4 pages, 300 dpi
    PixelBudget small(200);
    EXPECT_THROW(small.Plan(scanPages), std::runtime_error);
    PixelBudget scan(150ull << 20); // the same pages, JPEG-compressed
    EXPECT_NO_THROW(scan.Plan(scanPages));
    EXPECT_NO_THROW(scan.Claim(scanPages));
    EXPECT_THROW(scan.Claim(PixelBudget::Bytes(1, 1, 8) + (10ull << 30)), std::runtime_error);
    // One raster beyond the limit is never decoded, whatever the file's size.
    PixelBudget huge(1ull << 40);
    EXPECT_THROW(huge.Plan(PixelBudget::Bytes(1u << 16, 1u << 16, 32)), std::runtime_error);
}

TEST(ImageLimits, DamagedJpeg2000FilesAreRefusedInAJoinThatKeepsEveryOtherPage)
{
    ScratchDir dir;
    Pixels photo = Pattern(64, 48, 3, 8, 3);
    WriteJpx(dir / "good.jp2", photo, false);
    WriteJpx(dir / "good.j2k", photo, true);
    std::string codestream = ReadFile(dir / "good.j2k"), jp2 = ReadFile(dir / "good.jp2");

    // Cut short but given its end marker again, as a careless repair would.
    WriteFile(dir / "cut.j2k", codestream.substr(0, codestream.size() * 6 / 10) + "\xff\xd9");
    // A tile-part whose length runs past the data.
    std::string longer = jp2;
    std::size_t sot = longer.find("\xff\x90");
    ASSERT_NE(sot, std::string::npos);
    longer[sot + 8] = char(longer[sot + 8] + 1);
    WriteFile(dir / "tile-length.jp2", longer);
    // Its main header cut off in the middle of a marker segment.
    WriteFile(dir / "header.j2k", codestream.substr(0, 60));
    // A tile-part that claims a second one after it, which never comes: a
    // fault of structure only, so the image goes in as openjpeg decodes it.
    std::string parts = codestream;
    std::size_t part = parts.find("\xff\x90");
    ASSERT_NE(part, std::string::npos);
    ASSERT_EQ(parts[part + 11], 1);
    parts[part + 11] = 2;
    WriteFile(dir / "parts.j2k", parts);

    WritePng(dir / "first.png", Pattern(40, 30, 3, 8, 4));
    RunResult r = RunProgram({Docjoin(), "-w", "0", "-o", "joined.pdf", "first.png", "cut.j2k", "good.jp2",
                              "tile-length.jp2", "header.j2k", "good.j2k", "parts.j2k"},
                             {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    std::vector<std::string> failures = OpenFailures(r.err);
    ASSERT_EQ(failures.size(), 3u) << r.err;
    EXPECT_EQ(failures[0], "dochost: DocOpen(\"" + dir / "cut.j2k" + "\"): the JPEG 2000 codestream is truncated");
    EXPECT_EQ(failures[1].rfind("dochost: DocOpen(\"" + dir / "tile-length.jp2" +
                                    "\"): the JPEG 2000 codestream is ", 0),
              0u)
        << failures[1];
    EXPECT_EQ(failures[2].rfind("dochost: DocOpen(\"" + dir / "header.j2k" + "\"): the JPEG 2000 codestream is ", 0),
              0u)
        << failures[2];
    // Three lines a refused file (its open, its save and its insertion), nothing more.
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 9) << r.err;
    EXPECT_TRUE(QpdfAccepts(dir / "joined.pdf"));
    ASSERT_EQ(PageCount(dir / "joined.pdf"), 4);
    Rgb8 expected = Shown(DecodeJpx(dir / "good.j2k"));
    EXPECT_EQ(Difference(expected, RenderPage(dir / "joined.pdf", 4, expected.width, expected.height)), "");
}

} // namespace
