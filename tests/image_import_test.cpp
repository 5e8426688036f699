// Every kind of image the engine reads, generated, opened, saved as PDF and
// rendered back by poppler at the image's own resolution.
#include "session.h"
#include "support/image_corpus.h"
#include "support/pdf_check.h"
#include "support/process.h"

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
    testing::internal::CaptureStderr();
    bool ok = session.Execute("[DocOpen(\"" + image + "\")][DocSaveAs(\"" + image + "\",\"" + pdf + "\")][DocClose(\"" +
                              image + "\")]");
    err = testing::internal::GetCapturedStderr();
    return ok;
}

struct ImageStream {
    std::string filter;
    std::string raw;
};

// The image of each page, as stored.
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
        std::string pdf = dir->path + "/" + file.name + ".pdf", err;
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
            bool sideways = expected.rotate % 180 != 0;
            double width = sideways ? expected.shown.height : expected.shown.width;
            double height = sideways ? expected.shown.width : expected.shown.height;
            EXPECT_NEAR(box.urx - box.llx, width * 72 / expected.xDpi, 1e-3) << file.name << " page " << i + 1;
            EXPECT_NEAR(box.ury - box.lly, height * 72 / expected.yDpi, 1e-3) << file.name << " page " << i + 1;
        }
    }
}

} // namespace
