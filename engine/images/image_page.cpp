#include "images/image_page.h"

#include "images/flate.h"
#include "images/png_predictor.h"

#include <cmath>
#include <cstdio>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <stdexcept>

namespace {

std::string Number(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value);
    std::string s = text;
    s.erase(s.find_last_not_of('0') + 1);
    if (s.back() == '.')
        s.pop_back();
    return s;
}

QPDFObjectHandle ColorSpace(QPDF& pdf, const Raster& raster)
{
    const char* device = raster.space == Raster::Space::RGB    ? "/DeviceRGB"
                         : raster.space == Raster::Space::CMYK ? "/DeviceCMYK"
                                                               : "/DeviceGray";
    QPDFObjectHandle base = QPDFObjectHandle::newName(device);
    if (!raster.icc.empty()) {
        QPDFObjectHandle profile = QPDFObjectHandle::newStream(&pdf);
        int n = raster.space == Raster::Space::Indexed ? 3 : Components(raster);
        profile.replaceStreamData(CompressFlate(raster.icc), QPDFObjectHandle::newName("/FlateDecode"),
                                  QPDFObjectHandle::newNull());
        profile.getDict().replaceKey("/N", QPDFObjectHandle::newInteger(n));
        profile.getDict().replaceKey("/Alternate", QPDFObjectHandle::newName(n == 1   ? "/DeviceGray"
                                                                           : n == 4 ? "/DeviceCMYK"
                                                                                    : "/DeviceRGB"));
        base = QPDFObjectHandle::newArray({QPDFObjectHandle::newName("/ICCBased"), profile});
    }
    if (raster.space != Raster::Space::Indexed)
        return base;
    if (raster.icc.empty())
        base = QPDFObjectHandle::newName("/DeviceRGB");
    std::size_t entries = raster.palette.size() / 3;
    if (entries == 0 || entries > 256)
        throw std::runtime_error("the palette has " + std::to_string(entries) + " colours");
    return QPDFObjectHandle::newArray({QPDFObjectHandle::newName("/Indexed"), base,
                                       QPDFObjectHandle::newInteger(static_cast<long long>(entries) - 1),
                                       QPDFObjectHandle::newString(raster.palette)});
}

QPDFObjectHandle ImageXObject(QPDF& pdf, const Raster& raster)
{
    if (raster.width <= 0 || raster.height <= 0)
        throw std::runtime_error("the image has no pixels");
    QPDFObjectHandle image = QPDFObjectHandle::newStream(&pdf);
    QPDFObjectHandle dict = image.getDict();
    dict.replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
    dict.replaceKey("/Subtype", QPDFObjectHandle::newName("/Image"));
    dict.replaceKey("/Width", QPDFObjectHandle::newInteger(raster.width));
    dict.replaceKey("/Height", QPDFObjectHandle::newInteger(raster.height));
    if (raster.jpxOwnSpace) {
        if (raster.softMask == nullptr)
            dict.replaceKey("/SMaskInData", QPDFObjectHandle::newInteger(1));
    } else {
        dict.replaceKey("/ColorSpace", ColorSpace(pdf, raster));
        // JPX data states its own depth.
        if (raster.filter != "/JPXDecode")
            dict.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(raster.bitsPerComponent));
    }
    if (!raster.decode.empty())
        dict.replaceKey("/Decode", QPDFObjectHandle::parse(raster.decode));
    if (!raster.colorKey.empty())
        dict.replaceKey("/Mask", QPDFObjectHandle::parse(raster.colorKey));
    if (!raster.matte.empty())
        dict.replaceKey("/Matte", QPDFObjectHandle::parse(raster.matte));

    if (raster.filter.empty()) {
        std::size_t expected = RowBytes(raster) * static_cast<std::size_t>(raster.height);
        if (raster.data.size() != expected)
            throw std::runtime_error("internal error: raster holds " + std::to_string(raster.data.size()) +
                                     " bytes, not " + std::to_string(expected));
        if (raster.bitsPerComponent >= 8) {
            // Whole-byte samples: filtered rows, which Flate packs much tighter.
            std::size_t bpp = std::size_t(Components(raster)) * std::size_t(raster.bitsPerComponent / 8);
            QPDFObjectHandle parms = QPDFObjectHandle::newDictionary();
            parms.replaceKey("/Predictor", QPDFObjectHandle::newInteger(15));
            parms.replaceKey("/Colors", QPDFObjectHandle::newInteger(Components(raster)));
            parms.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(raster.bitsPerComponent));
            parms.replaceKey("/Columns", QPDFObjectHandle::newInteger(raster.width));
            image.replaceStreamData(CompressFlate(PngPredict(raster.data, RowBytes(raster), bpp)),
                                    QPDFObjectHandle::newName("/FlateDecode"), parms);
        } else {
            image.replaceStreamData(CompressFlate(raster.data), QPDFObjectHandle::newName("/FlateDecode"),
                                    QPDFObjectHandle::newNull());
        }
    } else {
        QPDFObjectHandle parms =
            raster.decodeParms.empty() ? QPDFObjectHandle::newNull() : QPDFObjectHandle::parse(raster.decodeParms);
        image.replaceStreamData(raster.data, QPDFObjectHandle::newName(raster.filter), parms);
    }
    if (raster.softMask != nullptr)
        dict.replaceKey("/SMask", ImageXObject(pdf, *raster.softMask));
    return image;
}

} // namespace

int Components(const Raster& raster)
{
    switch (raster.space) {
    case Raster::Space::RGB:
        return 3;
    case Raster::Space::CMYK:
        return 4;
    default:
        return 1;
    }
}

std::size_t RowBytes(const Raster& raster)
{
    return (static_cast<std::size_t>(raster.width) * static_cast<std::size_t>(Components(raster)) *
                static_cast<std::size_t>(raster.bitsPerComponent) +
            7) /
           8;
}

std::shared_ptr<QPDF> MakeImageDocument(const std::vector<ImagePage>& pages)
{
    if (pages.empty())
        throw std::runtime_error("the file holds no image");
    auto pdf = std::make_shared<QPDF>();
    pdf->emptyPDF();
    QPDFPageDocumentHelper helper(*pdf);
    for (const ImagePage& page : pages) {
        if (!(page.xDpi > 0) || !(page.yDpi > 0) || !std::isfinite(page.xDpi) || !std::isfinite(page.yDpi))
            throw std::runtime_error("the image has no usable resolution");
        double width = page.raster.width * 72.0 / page.xDpi;
        double height = page.raster.height * 72.0 / page.yDpi;
        // A page must stay within what readers accept (200 inches at 72 units).
        if (width > 14400 * 10 || height > 14400 * 10)
            throw std::runtime_error("the image is too large for a page at its resolution");

        QPDFObjectHandle image = ImageXObject(*pdf, page.raster);
        std::string matrix = page.mirror ? Number(-width) + " 0 0 " + Number(height) + " " + Number(width) + " 0"
                                         : Number(width) + " 0 0 " + Number(height) + " 0 0";
        QPDFObjectHandle content = QPDFObjectHandle::newStream(pdf.get(), "q " + matrix + " cm /Im0 Do Q\n");
        QPDFObjectHandle pageDict = pdf->makeIndirectObject(QPDFObjectHandle::newDictionary());
        pageDict.replaceKey("/Type", QPDFObjectHandle::newName("/Page"));
        pageDict.replaceKey("/MediaBox", QPDFObjectHandle::newArray(QPDFObjectHandle::Rectangle(0, 0, width, height)));
        QPDFObjectHandle xobjects = QPDFObjectHandle::newDictionary();
        xobjects.replaceKey("/Im0", image);
        QPDFObjectHandle resources = QPDFObjectHandle::newDictionary();
        resources.replaceKey("/XObject", xobjects);
        pageDict.replaceKey("/Resources", resources);
        pageDict.replaceKey("/Contents", content);
        if (page.rotate % 360 != 0)
            pageDict.replaceKey("/Rotate", QPDFObjectHandle::newInteger(((page.rotate % 360) + 360) % 360));
        helper.addPage(QPDFPageObjectHelper(pageDict), false);
    }
    return pdf;
}
