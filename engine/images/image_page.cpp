#include "images/image_page.h"

#include "images/flate.h"
#include "images/png_predictor.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <stdexcept>

namespace {

// The largest page side readers show (200 inches), and the largest unit a page may be given.
constexpr double MaxPageUnits = 14400;
constexpr double MaxUserUnit = 75000;

std::string Number(double value, int decimals = 6)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
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
    // JPX data with its own colour space states it, and its depth, itself.
    if (!raster.jpxOwnSpace) {
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
        Raster packed = raster;
        packed.softMask = nullptr;
        PackRaster(packed);
        image.replaceStreamData(packed.data, QPDFObjectHandle::newName(packed.filter),
                                packed.decodeParms.empty() ? QPDFObjectHandle::newNull()
                                                           : QPDFObjectHandle::parse(packed.decodeParms));
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

void PackRaster(Raster& raster)
{
    if (raster.softMask != nullptr)
        PackRaster(*raster.softMask);
    if (!raster.filter.empty())
        return;
    if (raster.width <= 0 || raster.height <= 0)
        throw std::runtime_error("the image has no pixels");
    std::size_t expected = RowBytes(raster) * static_cast<std::size_t>(raster.height);
    if (raster.data.size() != expected)
        throw std::runtime_error("internal error: raster holds " + std::to_string(raster.data.size()) +
                                 " bytes, not " + std::to_string(expected));
    if (raster.bitsPerComponent >= 8) {
        // Whole-byte samples: filtered rows, which Flate packs much tighter.
        std::size_t bpp = std::size_t(Components(raster)) * std::size_t(raster.bitsPerComponent / 8);
        raster.data = CompressFlate(PngPredict(raster.data, RowBytes(raster), bpp));
        raster.decodeParms = "<< /Predictor 15 /Colors " + std::to_string(Components(raster)) +
                             " /BitsPerComponent " + std::to_string(raster.bitsPerComponent) + " /Columns " +
                             std::to_string(raster.width) + " >>";
    } else {
        raster.data = CompressFlate(raster.data);
        raster.decodeParms.clear();
    }
    raster.filter = "/FlateDecode";
}

void Unpremultiply(std::string& colour, const std::string& alpha, int colours, int bits)
{
    std::size_t width = bits == 16 ? 2 : 1, pixels = alpha.size() / width;
    std::uint32_t max = bits == 16 ? 65535 : 255;
    auto get = [&](const std::string& s, std::size_t i) -> std::uint32_t {
        return width == 2 ? std::uint32_t(std::uint8_t(s[2 * i])) << 8 | std::uint8_t(s[2 * i + 1])
                          : std::uint8_t(s[i]);
    };
    for (std::size_t p = 0; p < pixels; ++p) {
        std::uint32_t a = get(alpha, p);
        if (a == 0 || a == max)
            continue;
        for (std::size_t c = p * std::size_t(colours); c < (p + 1) * std::size_t(colours); ++c) {
            std::uint32_t v = std::min(max, std::uint32_t((std::uint64_t(get(colour, c)) * max + a / 2) / a));
            if (width == 2) {
                colour[2 * c] = char(v >> 8);
                colour[2 * c + 1] = char(v & 0xff);
            } else {
                colour[c] = char(v);
            }
        }
    }
}

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
        // Readers accept pages of up to 200 inches (14,400 units of 1/72 inch);
        // a larger page is written in larger units, so that it keeps its size.
        double unit = std::max(width, height) > MaxPageUnits ? std::max(width, height) / MaxPageUnits : 1.0;
        unit = std::ceil(unit * 1000) / 1000;
        if (!(unit <= MaxUserUnit))
            throw std::runtime_error("the image is too large for a page at its resolution");
        width /= unit;
        height /= unit;
        std::string matrix = page.mirror ? Number(-width) + " 0 0 " + Number(height) + " " + Number(width) + " 0"
                                         : Number(width) + " 0 0 " + Number(height) + " 0 0";
        QPDFObjectHandle xobjects = QPDFObjectHandle::newDictionary();
        std::string drawing;
        if (page.pieces.empty()) {
            xobjects.replaceKey("/Im0", ImageXObject(*pdf, page.raster));
            drawing = "q " + matrix + " cm /Im0 Do Q\n";
        } else {
            // Pixel units from the bottom left corner.
            int w = page.raster.width, h = page.raster.height;
            if (w <= 0 || h <= 0)
                throw std::runtime_error("the image has no pixels");
            // Scale factors with the digits to place the last pixel of the largest image exactly.
            std::string pixels = page.mirror ? Number(-width / w, 10) + " 0 0 " + Number(height / h, 10) + " " +
                                                   Number(width) + " 0"
                                             : Number(width / w, 10) + " 0 0 " + Number(height / h, 10) + " 0 0";
            drawing = "q " + pixels + " cm\n";
            // Pieces that reach past the image are cut at its edge; no clip otherwise, which a
            // reader would smooth into a faint line along the page's edge.
            for (const ImagePiece& piece : page.pieces)
                if (piece.x + piece.raster.width > w || piece.y + piece.raster.height > h) {
                    drawing += "0 0 " + std::to_string(w) + " " + std::to_string(h) + " re W n\n";
                    break;
                }
            for (std::size_t i = 0; i < page.pieces.size(); ++i) {
                const ImagePiece& piece = page.pieces[i];
                std::string name = "/Im" + std::to_string(i);
                xobjects.replaceKey(name, ImageXObject(*pdf, piece.raster));
                drawing += "q " + std::to_string(piece.raster.width) + " 0 0 " + std::to_string(piece.raster.height) +
                           " " + std::to_string(piece.x) + " " +
                           std::to_string(h - piece.y - piece.raster.height) + " cm " + name + " Do Q\n";
            }
            drawing += "Q\n";
        }
        QPDFObjectHandle content = QPDFObjectHandle::newStream(pdf.get(), drawing);
        QPDFObjectHandle pageDict = pdf->makeIndirectObject(QPDFObjectHandle::newDictionary());
        pageDict.replaceKey("/Type", QPDFObjectHandle::newName("/Page"));
        pageDict.replaceKey("/MediaBox", QPDFObjectHandle::newArray(QPDFObjectHandle::Rectangle(0, 0, width, height)));
        QPDFObjectHandle resources = QPDFObjectHandle::newDictionary();
        resources.replaceKey("/XObject", xobjects);
        pageDict.replaceKey("/Resources", resources);
        pageDict.replaceKey("/Contents", content);
        if (unit != 1.0)
            pageDict.replaceKey("/UserUnit", QPDFObjectHandle::newReal(Number(unit)));
        if (page.rotate % 360 != 0)
            pageDict.replaceKey("/Rotate", QPDFObjectHandle::newInteger(((page.rotate % 360) + 360) % 360));
        helper.addPage(QPDFPageObjectHelper(pageDict), false);
    }
    return pdf;
}
