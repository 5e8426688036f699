// HEIC, AVIF and JPEG XL photos, made with their own libraries and tools,
// opened and saved as PDF; each page's samples against the library's decode.
#include "session.h"
#include "support/image_writers.h"
#include "support/other_kinds.h"
#include "support/pdf_check.h"
#include "support/process.h"
#include "support/stderr_capture.h"

#include <gtest/gtest.h>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

namespace {

struct StoredImage {
    QPDFObjectHandle dict;
    std::string samples; // decoded
    std::string raw;     // as stored
    std::string filter;
    std::string mask;    // the soft mask's decoded samples, if any
    double width = 0, height = 0; // the page's size in points
};

std::string Decoded(QPDFObjectHandle stream)
{
    auto data = stream.getStreamData(qpdf_dl_generalized);
    return std::string(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
}

// The one image of every page of pdf.
std::vector<StoredImage> Images(const std::string& pdf)
{
    QPDF file;
    file.processFile(pdf.c_str());
    std::vector<StoredImage> out;
    for (QPDFObjectHandle page : file.getAllPages()) {
        auto images = QPDFPageObjectHelper(page).getImages();
        EXPECT_EQ(images.size(), 1u);
        if (images.empty())
            continue;
        QPDFObjectHandle image = images.begin()->second;
        StoredImage s;
        s.dict = image.getDict();
        QPDFObjectHandle filter = s.dict.getKey("/Filter");
        s.filter = filter.isName() ? filter.getName() : "";
        auto raw = image.getRawStreamData();
        s.raw = std::string(reinterpret_cast<const char*>(raw->getBuffer()), raw->getSize());
        if (s.filter != "/DCTDecode")
            s.samples = Decoded(image);
        if (s.dict.getKey("/SMask").isStream())
            s.mask = Decoded(s.dict.getKey("/SMask"));
        auto box = page.getKey("/MediaBox").getArrayAsRectangle();
        s.width = box.urx - box.llx;
        s.height = box.ury - box.lly;
        out.push_back(s);
    }
    return out;
}

bool Convert(const std::string& input, const std::string& pdf, std::string& err)
{
    Session session;
    CaptureStderr();
    bool ok = session.Execute("[DocOpen(\"" + input + "\")][DocSaveAs(\"" + input + "\",\"" + pdf + "\")]");
    err = CapturedStderr();
    return ok;
}

// Colour and alpha of interleaved samples, apart; 16-bit samples of a
// shallower depth widened as the engine widens them.
void Split(const HeifDecoded& d, std::string& color, std::string& alpha)
{
    std::size_t sample = d.bits > 8 ? 2 : 1, channels = d.alpha ? 4 : 3;
    for (std::size_t i = 0; i < d.samples.size(); i += sample) {
        std::string value = d.samples.substr(i, sample);
        if (sample == 2) {
            unsigned v = unsigned(std::uint8_t(value[0])) << 8 | std::uint8_t(value[1]);
            unsigned wide = (v << (16 - d.bits) | v >> (2 * d.bits - 16)) & 0xffff;
            value = {char(wide >> 8), char(wide & 0xff)};
        }
        bool isAlpha = d.alpha && (i / sample) % channels == 3;
        (isAlpha ? alpha : color) += value;
    }
}

void ExpectHeifPages(const std::string& file, int count)
{
    SCOPED_TRACE(file);
    std::string pdf = file + ".pdf", err;
    ASSERT_TRUE(Convert(file, pdf, err)) << err;
    EXPECT_TRUE(QpdfAccepts(pdf));
    std::vector<StoredImage> images = Images(pdf);
    ASSERT_EQ(int(images.size()), count);
    for (int i = 0; i < count; ++i) {
        HeifDecoded expected = DecodeHeif(file, i);
        StoredImage& image = images[std::size_t(i)];
        EXPECT_EQ(image.dict.getKey("/Width").getIntValue(), expected.width);
        EXPECT_EQ(image.dict.getKey("/Height").getIntValue(), expected.height);
        EXPECT_EQ(image.dict.getKey("/BitsPerComponent").getIntValue(), expected.bits > 8 ? 16 : 8);
        EXPECT_NEAR(image.width, expected.width * 0.75, 1e-3);
        EXPECT_NEAR(image.height, expected.height * 0.75, 1e-3);
        std::string color, alpha;
        Split(expected, color, alpha);
        EXPECT_TRUE(image.samples == color) << "page " << i + 1 << ": the samples differ from libheif's";
        EXPECT_TRUE(image.mask == alpha) << "page " << i + 1 << ": the soft mask differs from libheif's alpha";
    }
}

TEST(Photos, HeicAndAvifPagesHoldWhatLibheifDecodes)
{
    ScratchDir dir;
    // Two top-level images, the second primary and turned by the file; a profile.
    std::string icc = "an ICC profile as the file records it";
    WriteHeif(dir / "two.heic",
              {{.pixels = Pattern(64, 40, 3, 8, 1)}, {.pixels = Pattern(96, 48, 3, 8, 2), .orientation = 6, .icc = icc}},
              false, 1);
    ExpectHeifPages(dir / "two.heic", 2);
    HeifDecoded primary = DecodeHeif(dir / "two.heic", 0);
    EXPECT_EQ(primary.width, 48) << "the primary image comes first, turned";
    EXPECT_EQ(primary.height, 96);
    QPDF reader;
    std::string pdf = dir / "two.heic.pdf";
    reader.processFile(pdf.c_str());
    QPDFObjectHandle space = QPDFPageObjectHelper(reader.getAllPages()[0]).getImages().begin()->second.getDict().getKey("/ColorSpace");
    ASSERT_TRUE(space.isArray());
    EXPECT_EQ(Decoded(space.getArrayItem(1)), icc);

    // Alpha as a soft mask, in HEIC and AVIF; mirrored.
    WriteHeif(dir / "alpha.heic", {{.pixels = Pattern(50, 30, 4, 8, 3), .orientation = 2}}, false);
    ExpectHeifPages(dir / "alpha.heic", 1);
    WriteHeif(dir / "alpha.avif", {{.pixels = Pattern(50, 30, 4, 8, 4), .orientation = 3}}, true);
    ExpectHeifPages(dir / "alpha.avif", 1);
    // 10 and 12 bits kept at 16.
    WriteHeif(dir / "deep.heic", {{.pixels = Pattern(40, 24, 3, 10, 5)}}, false);
    EXPECT_EQ(DecodeHeif(dir / "deep.heic", 0).bits, 10);
    ExpectHeifPages(dir / "deep.heic", 1);
    WriteHeif(dir / "deep.avif", {{.pixels = Pattern(40, 24, 4, 12, 6)}}, true);
    EXPECT_EQ(DecodeHeif(dir / "deep.avif", 0).bits, 12);
    ExpectHeifPages(dir / "deep.avif", 1);
    // Photos of megabytes, filtered and compressed a band per core.
    WriteHeif(dir / "large.heic", {{.pixels = Pattern(1200, 700, 3, 8, 8)}}, false);
    ExpectHeifPages(dir / "large.heic", 1);
    WriteHeif(dir / "large-deep.heic", {{.pixels = Pattern(800, 600, 4, 10, 9)}}, false);
    ExpectHeifPages(dir / "large-deep.heic", 1);
}

// A file that declares a picture far larger than memory allows is refused
// before anything is decoded.
TEST(Photos, ADeclaredHugeSizeIsRefusedBeforeDecoding)
{
    ScratchDir dir;
    WriteHeif(dir / "small.heic", {{.pixels = Pattern(64, 64, 3, 8, 7)}}, false);
    std::string bytes = ReadFile(dir / "small.heic");
    std::size_t ispe = bytes.find("ispe");
    ASSERT_NE(ispe, std::string::npos);
    for (std::size_t i = 0; i < 2; ++i) { // 60000 x 60000
        std::size_t at = ispe + 8 + 4 * i;
        bytes[at] = 0, bytes[at + 1] = 0, bytes[at + 2] = char(0xea), bytes[at + 3] = 0x60;
    }
    WriteFile(dir / "huge.heic", bytes);

    // A JPEG XL codestream whose size header claims 100000 x 100000 pixels.
    std::string bits;
    auto put = [&](unsigned value, int count) {
        for (int i = 0; i < count; ++i)
            bits += char('0' + ((value >> i) & 1));
    };
    put(0, 1);           // not small
    put(3, 2);           // ysize - 1 in 30 bits
    put(99999, 30);
    put(1, 3);           // 1:1 ratio
    put(1, 1);           // default metadata
    put(0, 16);
    std::string jxl = "\xff\x0a";
    for (std::size_t i = 0; i < bits.size(); i += 8) {
        unsigned byte = 0;
        for (std::size_t b = 0; b < 8 && i + b < bits.size(); ++b)
            byte |= unsigned(bits[i + b] - '0') << b;
        jxl += char(byte);
    }
    WriteFile(dir / "huge.jxl", jxl);

    for (std::string name : {"huge.heic", "huge.jxl"}) {
        Session session;
        CaptureStderr();
        EXPECT_FALSE(session.Execute("[DocOpen(\"" + dir / name + "\")]"));
        std::string err = CapturedStderr();
        EXPECT_NE(err.find("too large"), std::string::npos) << name << ": " << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
}

TEST(Photos, JpegXlGivesBackItsJpegOrIsDecodedLosslessly)
{
    ScratchDir dir;
    // A JPEG recompressed losslessly: the JPEG's own bytes come back, as DCT.
    WriteJpeg(dir / "photo.jpg", Pattern(120, 80, 3, 8, 8), {.dpi = 150});
    WriteJxl(dir / "photo.jpg", dir / "photo.jxl");
    std::string pdf, err;
    ASSERT_TRUE(Convert(dir / "photo.jxl", dir / "photo.pdf", err)) << err;
    std::vector<StoredImage> images = Images(dir / "photo.pdf");
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].filter, "/DCTDecode");
    EXPECT_TRUE(images[0].raw == ReadFile(dir / "photo.jpg")) << "the JPEG is not given back byte for byte";
    EXPECT_NEAR(images[0].width, 120 * 72 / 150.0, 1e-3);

    // Lossless: the source's samples exactly, 16 bits kept, alpha as a soft mask.
    struct Lossless {
        std::string name;
        Pixels pixels;
    };
    for (const Lossless& l : {Lossless{"deep", Pattern(60, 40, 3, 16, 9)}, Lossless{"alpha", Pattern(60, 40, 4, 8, 11)}}) {
        SCOPED_TRACE(l.name);
        WritePng(dir / (l.name + ".png"), l.pixels);
        WriteJxl(dir / (l.name + ".png"), dir / (l.name + ".jxl"), {"-d", "0"});
        ASSERT_TRUE(Convert(dir / (l.name + ".jxl"), dir / (l.name + ".pdf"), err)) << err;
        images = Images(dir / (l.name + ".pdf"));
        ASSERT_EQ(images.size(), 1u);
        EXPECT_EQ(images[0].dict.getKey("/BitsPerComponent").getIntValue(), l.pixels.depth);
        std::string color, alpha;
        for (std::size_t i = 0; i < l.pixels.samples.size(); ++i) {
            std::string& to = l.pixels.channels == 4 && i % 4 == 3 ? alpha : color;
            if (l.pixels.depth == 16)
                to += char(l.pixels.samples[i] >> 8);
            to += char(l.pixels.samples[i] & 0xff);
        }
        EXPECT_TRUE(images[0].samples == color);
        EXPECT_TRUE(images[0].mask == alpha);
        EXPECT_NEAR(images[0].width, 45, 1e-3);
        EXPECT_NEAR(images[0].height, 30, 1e-3);
    }

    // Lossy: what djxl decodes.
    WritePng(dir / "lossy.png", Pattern(64, 48, 3, 8, 10));
    WriteJxl(dir / "lossy.png", dir / "lossy.jxl", {"-d", "1"});
    ASSERT_TRUE(Convert(dir / "lossy.jxl", dir / "lossy.pdf", err)) << err;
    ASSERT_EQ(RunProgram({"/usr/bin/djxl", dir / "lossy.jxl", dir / "lossy.ppm"}).status, 0);
    std::string ppm = ReadFile(dir / "lossy.ppm");
    std::size_t header = 0;
    for (int fields = 0; fields < 4; ++fields) { // P6, width, height, maxval
        while (header < ppm.size() && std::isspace(static_cast<unsigned char>(ppm[header])))
            ++header;
        while (header < ppm.size() && !std::isspace(static_cast<unsigned char>(ppm[header])))
            ++header;
    }
    images = Images(dir / "lossy.pdf");
    ASSERT_EQ(images.size(), 1u);
    EXPECT_TRUE(images[0].samples == ppm.substr(header + 1)) << "the samples differ from djxl's";
}

} // namespace
