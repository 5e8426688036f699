// Every kind of image the engine reads, generated, opened, saved as PDF and
// rendered back by poppler at the image's own resolution.
#include "session.h"
#include "support/image_corpus.h"
#include "support/image_writers.h"
#include "support/pdf_check.h"
#include "support/process.h"
#include "support/stderr_capture.h"

#include <gif_lib.h>
#include <gtest/gtest.h>
#include <map>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

namespace {

class ImageCorpus : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new ScratchDir;
        corpus = new std::vector<CorpusFile>(WriteImageCorpus(dir->path));
    }
    static void TearDownTestSuite()
    {
        delete corpus;
        delete dir;
    }
    static ScratchDir* dir;
    static std::vector<CorpusFile>* corpus;
};
ScratchDir* ImageCorpus::dir = nullptr;
std::vector<CorpusFile>* ImageCorpus::corpus = nullptr;

bool Convert(Session& session, const std::string& image, const std::string& pdf, std::string& err)
{
    CaptureStderr();
    bool ok = session.Execute("[DocOpen(\"" + image + "\")][DocSaveAs(\"" + image + "\",\"" + pdf + "\")][DocClose(\"" +
                              image + "\")]");
    err = CapturedStderr();
    return ok;
}

struct ImageStream {
    std::string filter;
    std::string raw;
};

// The image of each page, as stored (the first, of a page drawn in pieces).
std::vector<ImageStream> PageImages(const std::string& pdf)
{
    QPDF file;
    file.processFile(pdf.c_str());
    std::vector<ImageStream> images;
    for (QPDFObjectHandle page : file.getAllPages()) {
        for (auto& [name, image] : QPDFPageObjectHelper(page).getImages()) {
            QPDFObjectHandle filter = image.getDict().getKey("/Filter");
            auto raw = image.getRawStreamData();
            images.push_back({filter.isName() ? filter.getName() : "",
                              std::string(reinterpret_cast<const char*>(raw->getBuffer()), raw->getSize())});
            break;
        }
    }
    return images;
}

// Each page of pdf against the corpus pages, from page `first` (1-based) on.
void ExpectPagesShow(const std::string& pdf, int first, const CorpusFile& file)
{
    std::vector<ImageStream> images = PageImages(pdf);
    QPDF reader;
    reader.processFile(pdf.c_str());
    std::vector<QPDFObjectHandle> pages = reader.getAllPages();
    for (std::size_t i = 0; i < file.pages.size(); ++i) {
        const CorpusPage& expected = file.pages[i];
        int number = first + int(i);
        SCOPED_TRACE(file.name + " page " + std::to_string(i + 1));
        ASSERT_LE(std::size_t(number), pages.size());
        QPDFObjectHandle page = pages[std::size_t(number - 1)];
        EXPECT_EQ(page.getKey("/Rotate").isInteger() ? page.getKey("/Rotate").getIntValue() : 0, expected.rotate);

        if (!expected.cmykReference.empty()) {
            Rgb8 reference = RenderPage(expected.cmykReference, 1, expected.shown.width, expected.shown.height);
            EXPECT_EQ(Difference(reference, RenderPage(pdf, number, reference.width, reference.height)), "");
        } else {
            Rgb8 shown = RenderPage(pdf, number, expected.shown.width, expected.shown.height);
            EXPECT_EQ(Difference(expected.shown, shown), "");
        }
        if (std::size_t(number - 1) < images.size()) {
            const ImageStream& image = images[std::size_t(number - 1)];
            if (!expected.filter.empty()) {
                EXPECT_EQ(image.filter, expected.filter);
            }
            if (!expected.passedBytes.empty()) {
                EXPECT_TRUE(image.raw == expected.passedBytes) << "the source data is not in the output unchanged";
            }
        }
    }
}

TEST_F(ImageCorpus, EachImageBecomesPagesThatShowItPixelForPixel)
{
    for (const CorpusFile& file : *corpus) {
        Session session;
        std::string pdf = dir->path + "/" + file.name + ".converted.pdf", err;
        ASSERT_TRUE(Convert(session, dir->path + "/" + file.name, pdf, err)) << file.name << ": " << err;
        EXPECT_TRUE(QpdfAccepts(pdf)) << file.name;
        ExpectPagesShow(pdf, 1, file);
    }
}

TEST_F(ImageCorpus, PagesAreTheImageSizeAtItsResolution)
{
    for (const CorpusFile& file : *corpus) {
        Session session;
        std::string pdf = dir->path + "/" + file.name + ".size.pdf", err;
        ASSERT_TRUE(Convert(session, dir->path + "/" + file.name, pdf, err)) << err;
        QPDF reader;
        reader.processFile(pdf.c_str());
        std::vector<QPDFObjectHandle> pages = reader.getAllPages();
        ASSERT_EQ(pages.size(), file.pages.size()) << file.name;
        for (std::size_t i = 0; i < pages.size(); ++i) {
            const CorpusPage& expected = file.pages[i];
            QPDFObjectHandle::Rectangle box = pages[i].getKey("/MediaBox").getArrayAsRectangle();
            // Pages beyond 200 inches are measured in larger units.
            QPDFObjectHandle unitKey = pages[i].getKey("/UserUnit");
            double unit = unitKey.isNumber() ? unitKey.getNumericValue() : 1.0;
            if (unitKey.isNumber()) // readers honour the unit from PDF 1.6 on
                EXPECT_GE(reader.getPDFVersion(), "1.6") << file.name;
            box.urx *= unit, box.llx *= unit, box.ury *= unit, box.lly *= unit;
            EXPECT_LE(std::max(box.urx - box.llx, box.ury - box.lly) / unit, 14400) << file.name;
            bool sideways = expected.rotate % 180 != 0;
            double width = sideways ? expected.shown.height : expected.shown.width;
            double height = sideways ? expected.shown.width : expected.shown.height;
            EXPECT_NEAR(box.urx - box.llx, width * 72 / expected.xDpi, 1e-3) << file.name << " page " << i + 1;
            EXPECT_NEAR(box.ury - box.lly, height * 72 / expected.yDpi, 1e-3) << file.name << " page " << i + 1;
        }
    }
}

} // namespace

namespace {

TEST_F(ImageCorpus, DamagedAndTruncatedFilesFailCleanlyAndDisturbNothing)
{
    std::string good = dir->path + "/g4.tif";
    for (const CorpusFile& file : *corpus) {
        std::string bytes = ReadFile(dir->path + "/" + file.name);
        std::string flipped = bytes;
        for (std::size_t i = bytes.size() / 2; i < std::min(bytes.size(), bytes.size() / 2 + 48); ++i)
            flipped[i] = char(flipped[i] ^ 0x5a);
        struct Variant {
            std::string suffix, bytes;
            bool mustFail;
        };
        for (const Variant& v : std::vector<Variant>{{"cut", bytes.substr(0, bytes.size() * 45 / 100), true},
                                                      {"header", bytes.substr(0, 40), true},
                                                      {"short", bytes.substr(0, bytes.size() - 1), false},
                                                      {"flipped", flipped, false}}) {
            std::string path = dir->path + "/broken-" + v.suffix + "-" + file.name;
            WriteFile(path, v.bytes);
            Session session;
            CaptureStderr();
            ASSERT_TRUE(session.Execute("[DocOpen(\"" + good + "\")]"));
            bool opened = session.Execute("[DocOpen(\"" + path + "\")]");
            std::string err = CapturedStderr();
            SCOPED_TRACE(path);
            if (v.mustFail)
                EXPECT_FALSE(opened);
            if (!opened) {
                EXPECT_EQ(err.rfind("dochost: DocOpen(\"" + path + "\"): ", 0), 0u) << err;
                EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
            }
            EXPECT_EQ(session.Documents().Size(), opened ? 2u : 1u);
            // The other document is as it was, and so is the engine.
            std::string pdf = dir->path + "/after-broken.pdf";
            CaptureStderr();
            EXPECT_TRUE(session.Execute("[DocSaveAs(\"" + good + "\",\"" + pdf + "\")]"));
            CapturedStderr();
            EXPECT_EQ(PageImages(pdf).size(), 1u);
        }
    }
}

TEST_F(ImageCorpus, AJoinOfTheWholeCorpusWithABrokenFileKeepsEveryOtherPage)
{
    std::vector<std::string> args = {Docjoin(), "-w", "0", "-o", "corpus.pdf"};
    for (const CorpusFile& file : *corpus) {
        args.push_back(file.name);
        if (args.size() == 12) {
            WriteFile(dir->path + "/cut.png", ReadFile(dir->path + "/rgb8.png").substr(0, 300));
            args.push_back("cut.png");
        }
    }
    RunResult r = RunProgram(args, {.cwd = dir->path});
    EXPECT_EQ(r.status, 1);
    std::string cut = dir->path + "/cut.png";
    EXPECT_EQ(r.err.rfind("dochost: DocOpen(\"" + cut + "\"): the PNG file is truncated\n", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 3) << "open, save and insert of the broken file: " << r.err;

    std::string pdf = dir->path + "/corpus.pdf";
    EXPECT_TRUE(QpdfAccepts(pdf));
    int page = 1;
    for (const CorpusFile& file : *corpus) {
        ExpectPagesShow(pdf, page, file);
        page += int(file.pages.size());
    }
    QPDF reader;
    reader.processFile(pdf.c_str());
    EXPECT_EQ(int(reader.getAllPages().size()), page - 1);
}

} // namespace

namespace {

// Frames of 60 colours each, from palettes of their own: composited, no page
// shows more than 256 colours, counting what is not drawn as one.
std::vector<GifFrame> FramesOfFewColours()
{
    auto frame = [](int width, int height, unsigned seed) {
        Indexed image;
        image.indices = Pattern(width, height, 1, 8, seed);
        for (auto& index : image.indices.samples)
            index = std::uint16_t(index % 60);
        for (int c = 0; c < 60; ++c)
            image.palette += {char(seed * 7 + c * 4), char(c * 3), char(255 - seed - c)};
        return image;
    };
    return {{.image = frame(48, 32, 1), .disposal = DISPOSE_DO_NOT, .transparent = 5},
            {.image = frame(20, 12, 2), .left = 6, .top = 4, .disposal = DISPOSE_DO_NOT, .transparent = 0},
            {.image = frame(16, 16, 3), .left = 30, .top = 14, .disposal = DISPOSE_PREVIOUS},
            {.image = frame(24, 10, 4), .left = 20, .top = 20, .disposal = DISPOSE_DO_NOT, .transparent = 7}};
}

// Each frame as Pillow composites it, RGBA, one string a frame.
std::vector<std::string> PillowFrames(const std::string& gif)
{
    RunResult r = RunProgram({"/usr/bin/python3", "-c",
                              "import sys\n"
                              "from PIL import Image, ImageSequence\n"
                              "for frame in ImageSequence.Iterator(Image.open(sys.argv[1])):\n"
                              "    sys.stdout.buffer.write(frame.convert('RGBA').tobytes())\n",
                              gif});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> frames;
    for (std::size_t at = 0; at + 48 * 32 * 4 <= r.out.size(); at += 48 * 32 * 4)
        frames.push_back(r.out.substr(at, 48 * 32 * 4));
    return frames;
}

// The image of a page as RGBA: its indices through its palette, keyed out
// where its colour-key mask says. Fails unless it is an /Indexed image.
std::string IndexedImageAsRgba(QPDFObjectHandle image)
{
    QPDFObjectHandle dict = image.getDict();
    QPDFObjectHandle space = dict.getKey("/ColorSpace");
    EXPECT_TRUE(space.isArray() && space.getArrayItem(0).isNameAndEquals("/Indexed"));
    if (!space.isArray() || !space.getArrayItem(0).isNameAndEquals("/Indexed"))
        return "";
    std::string palette = space.getArrayItem(3).getStringValue();
    int bits = int(dict.getKey("/BitsPerComponent").getIntValue());
    int width = int(dict.getKey("/Width").getIntValue()), height = int(dict.getKey("/Height").getIntValue());
    QPDFObjectHandle key = dict.getKey("/Mask");
    auto buffer = image.getStreamData(qpdf_dl_generalized);
    const auto* data = buffer->getBuffer();
    std::size_t rowBytes = (std::size_t(width) * std::size_t(bits) + 7) / 8;
    EXPECT_EQ(buffer->getSize(), rowBytes * std::size_t(height));
    std::string rgba;
    for (int y = 0; y < height && buffer->getSize() == rowBytes * std::size_t(height); ++y) {
        for (int x = 0; x < width; ++x) {
            std::size_t bit = std::size_t(x) * std::size_t(bits);
            int index = (data[std::size_t(y) * rowBytes + bit / 8] >> (8 - bits - int(bit % 8))) & ((1 << bits) - 1);
            bool keyed = key.isArray() && index >= key.getArrayItem(0).getIntValue() &&
                         index <= key.getArrayItem(1).getIntValue();
            if (keyed)
                rgba.append(4, '\0');
            else
                rgba += palette.substr(std::size_t(index) * 3, 3) + '\xff';
        }
    }
    return rgba;
}

TEST(AnimatedGif, FramesThatFitAPaletteAreStoredIndexedAsPillowCompositesThem)
{
    ScratchDir dir;
    std::string gif = dir / "few-colours.gif", pdf = dir / "few-colours.pdf", err;
    WriteGif(gif, 48, 32, FramesOfFewColours());
    std::vector<std::string> expected = PillowFrames(gif);
    ASSERT_EQ(expected.size(), 4u);
    Session session;
    ASSERT_TRUE(Convert(session, gif, pdf, err)) << err;

    std::vector<QPDFObjectHandle> images;
    QPDF reader;
    reader.processFile(pdf.c_str());
    for (QPDFObjectHandle page : reader.getAllPages())
        for (auto& [name, image] : QPDFPageObjectHelper(page).getImages())
            images.push_back(image);
    ASSERT_EQ(images.size(), expected.size());
    for (std::size_t f = 0; f < images.size(); ++f) {
        SCOPED_TRACE("frame " + std::to_string(f + 1));
        EXPECT_FALSE(images[f].getDict().hasKey("/SMask"));
        std::string shown = IndexedImageAsRgba(images[f]);
        ASSERT_EQ(shown.size(), expected[f].size());
        // Where a pixel is transparent in both, its colour does not matter.
        for (std::size_t i = 0; i < shown.size(); i += 4) {
            if (shown[i + 3] == 0 && expected[f][i + 3] == 0)
                continue;
            ASSERT_EQ(shown.substr(i, 4), expected[f].substr(i, 4)) << "pixel " << i / 4;
        }
    }
}

} // namespace
