// Scans as scanners and libtiff's tools write them: JPEG in strips and tiles,
// grey LZW and Deflate with the horizontal predictor, G3 fax pages. Each page
// must show what libtiff's own decoding shows, and data PDF reads as it is
// must reach the output unchanged.
#include "session.h"
#include "support/image_writers.h"
#include "support/pixels.h"
#include "support/process.h"
#include "support/stderr_capture.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <tiffio.h>

namespace {

// The raw data of every strip or tile of the first page.
std::vector<std::string> RawPieces(const std::string& path)
{
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    std::vector<std::string> pieces;
    bool tiled = TIFFIsTiled(tiff);
    for (std::uint32_t i = 0; i < (tiled ? TIFFNumberOfTiles(tiff) : TIFFNumberOfStrips(tiff)); ++i) {
        std::string raw(std::size_t(TIFFRawStripSize(tiff, i)), '\0');
        if (tiled)
            TIFFReadRawTile(tiff, i, raw.data(), tmsize_t(raw.size()));
        else
            TIFFReadRawStrip(tiff, i, raw.data(), tmsize_t(raw.size()));
        pieces.push_back(raw);
    }
    TIFFClose(tiff);
    return pieces;
}

struct StoredImage {
    std::string filter, parms, raw;
};

// The images the first page draws, with their filters and data as stored.
std::vector<StoredImage> FirstPageImages(const std::string& pdf)
{
    QPDF file;
    file.processFile(pdf.c_str());
    std::vector<StoredImage> images;
    for (auto& [name, image] : QPDFPageObjectHelper(file.getAllPages().at(0)).getImages()) {
        QPDFObjectHandle dict = image.getDict();
        auto raw = image.getRawStreamData();
        images.push_back({dict.getKey("/Filter").isName() ? dict.getKey("/Filter").getName() : "",
                          dict.getKey("/DecodeParms").unparse(),
                          std::string(reinterpret_cast<const char*>(raw->getBuffer()), raw->getSize())});
    }
    return images;
}

std::string Convert(const std::string& tif)
{
    std::string pdf = tif + ".pdf";
    Session session;
    CaptureStderr();
    bool ok = session.Execute("[DocOpen(\"" + tif + "\")][DocSaveAs(\"" + tif + "\",\"" + pdf + "\")][DocClose(\"" +
                              tif + "\")]");
    std::string err = CapturedStderr();
    EXPECT_TRUE(ok) << tif << ": " << err;
    return pdf;
}

// The images of the first page of a one-page TIFF made as given at tif and
// converted, once that page is seen to show what libtiff shows.
std::vector<StoredImage> ConvertedImages(const std::string& tif, const TiffPage& page)
{
    WriteTiff(tif, {page});
    std::string pdf = Convert(tif);
    Rgb8 expected = Shown(TiffRgba(tif));
    EXPECT_EQ(Difference(expected, RenderPage(pdf, 1, expected.width, expected.height)), "") << tif;
    return FirstPageImages(pdf);
}

TEST(Scans, JpegInStripsAndTilesKeepsItsJpegDataAndShowsWhatLibtiffDecodes)
{
    ScratchDir dir;
    Pixels photo = Pattern(150, 100, 3, 8, 41);
    struct Case {
        std::string name;
        TiffPage page;
        std::size_t images; // 1: the strips joined into one stream
    };
    std::vector<Case> cases = {
        // Full-resolution colour in strips of whole MCU rows: one stream, restart markers between strips.
        {"rgb-strips.tif", {.pixels = photo, .compression = COMPRESSION_JPEG, .rowsPerStrip = 16}, 1},
        {"gray-strips.tif", {.pixels = Channel(photo, 1), .compression = COMPRESSION_JPEG, .rowsPerStrip = 24}, 1},
        // YCbCr with chroma halved both ways: smoothing would reach across a join, so a strip an image.
        {"ycbcr-strips.tif",
         {.pixels = photo, .compression = COMPRESSION_JPEG, .photometric = PHOTOMETRIC_YCBCR, .rowsPerStrip = 32},
         4},
        {"ycbcr-tiles.tif",
         {.pixels = photo, .compression = COMPRESSION_JPEG, .photometric = PHOTOMETRIC_YCBCR, .tile = 64}, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string tif = dir.path + "/" + c.name;
        std::vector<StoredImage> images = ConvertedImages(tif, c.page);
        ASSERT_EQ(images.size(), c.images);
        std::string stored;
        for (const StoredImage& image : images) {
            EXPECT_EQ(image.filter, "/DCTDecode");
            stored += image.raw;
        }
        // Every strip's coded data is in the output as it was.
        for (const std::string& piece : RawPieces(tif)) {
            ASSERT_GT(piece.size(), 200u);
            EXPECT_NE(stored.find(piece.substr(piece.size() - 120, 100)), std::string::npos);
        }
    }
}

TEST(Scans, GreyLzwAndDeflateAndG3FaxShowWhatLibtiffDecodes)
{
    ScratchDir dir;
    Pixels grey = Pattern(301, 203, 1, 8, 43);
    Pixels bits = Pattern(301, 203, 1, 1, 44);
    struct Case {
        std::string name;
        TiffPage page;
        std::string filter, parms; // the stored image's filter and parameters
        bool passed;               // the strip is in the output as it is
    };
    std::vector<Case> cases = {
        {"lzw-predictor.tif", {.pixels = grey, .compression = COMPRESSION_LZW, .rowsPerStrip = 20, .predictor = 2},
         "/FlateDecode", "<< /BitsPerComponent 8 /Colors 1 /Columns 301 /Predictor 12 >>", false},
        {"lzw-one-strip.tif", {.pixels = grey, .compression = COMPRESSION_LZW, .predictor = 2}, "/FlateDecode", "",
         false},
        {"deflate-predictor.tif",
         {.pixels = grey, .compression = COMPRESSION_ADOBE_DEFLATE, .photometric = PHOTOMETRIC_MINISWHITE,
          .predictor = 2},
         "/FlateDecode", "<< /BitsPerComponent 8 /Colors 1 /Columns 301 /Predictor 2 >>", true},
        {"deflate-strips.tif", {.pixels = grey, .compression = COMPRESSION_ADOBE_DEFLATE, .rowsPerStrip = 50},
         "/FlateDecode", "", false},
        {"g3.tif", {.pixels = bits, .compression = COMPRESSION_CCITTFAX3, .photometric = PHOTOMETRIC_MINISWHITE},
         "/CCITTFaxDecode", "<< /Columns 301 /K 0 /Rows 203 >>", true},
        {"g3-2d-fill-black.tif",
         {.pixels = bits, .compression = COMPRESSION_CCITTFAX3, .photometric = PHOTOMETRIC_MINISBLACK,
          .g3Options = GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS},
         "/CCITTFaxDecode", "<< /BlackIs1 true /Columns 301 /EncodedByteAlign true /K 1 /Rows 203 >>", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string tif = dir.path + "/" + c.name;
        std::vector<StoredImage> images = ConvertedImages(tif, c.page);
        ASSERT_EQ(images.size(), 1u);
        EXPECT_EQ(images[0].filter, c.filter);
        if (!c.parms.empty())
            EXPECT_EQ(images[0].parms, c.parms);
        if (c.passed)
            EXPECT_TRUE(images[0].raw == RawPieces(tif).at(0)) << "the strip is not in the output as it was";
    }
}

TEST(Scans, ADamagedJpegStripFailsItsFileAloneInAJoin)
{
    ScratchDir dir;
    Pixels photo = Pattern(150, 100, 3, 8, 45);
    WriteTiff(dir.path + "/first.tif", {{.pixels = photo, .compression = COMPRESSION_JPEG, .rowsPerStrip = 16}});
    WriteTiff(dir.path + "/last.tif", {{.pixels = Channel(photo, 0), .compression = COMPRESSION_LZW}});
    for (int photometric : {PHOTOMETRIC_RGB, PHOTOMETRIC_YCBCR}) {
        std::string name = photometric == PHOTOMETRIC_RGB ? "broken-rgb.tif" : "broken-ycbcr.tif";
        std::string path = dir.path + "/" + name;
        SCOPED_TRACE(name);
        WriteTiff(path, {{.pixels = photo, .compression = COMPRESSION_JPEG, .photometric = photometric,
                          .rowsPerStrip = 32}});
        // The third strip's markers overwritten: it is no JPEG stream any more.
        TIFF* tiff = TIFFOpen(path.c_str(), "r");
        std::uint64_t* offsets = nullptr;
        ASSERT_TRUE(TIFFGetField(tiff, TIFFTAG_STRIPOFFSETS, &offsets));
        std::uint64_t third = offsets[2];
        TIFFClose(tiff);
        std::string bytes = ReadFile(path);
        for (std::size_t i = third; i < third + 40; ++i)
            bytes[i] = char(0x11);
        WriteFile(path, bytes);

        RunResult r = RunProgram({Docjoin(), "-w", "0", "-o", "out.pdf", "first.tif", name, "last.tif"},
                                 {.cwd = dir.path});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("dochost: DocOpen(\"" + path + "\"): ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 3) << "open, save and insert of the file: " << r.err;
        QPDF out;
        out.processFile((dir.path + "/out.pdf").c_str());
        EXPECT_EQ(out.getAllPages().size(), 2u);
    }
}

} // namespace
