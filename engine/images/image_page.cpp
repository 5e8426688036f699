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

QPDFObjectHandle NumberObject(double value)
{
    if (value == std::floor(value) && std::fabs(value) < 1e9)
        return QPDFObjectHandle::newInteger(static_cast<long long>(value));
    return QPDFObjectHandle::newReal(Number(value));
}

template <typename Numbers>
QPDFObjectHandle NumberArray(const Numbers& values)
{
    QPDFObjectHandle array = QPDFObjectHandle::newArray();
    for (auto value : values)
        array.appendItem(NumberObject(double(value)));
    return array;
}

// The filter's parameters, or null where none is set.
QPDFObjectHandle ParmsObject(const DecodeParms& parms)
{
    QPDFObjectHandle dict = QPDFObjectHandle::newDictionary();
    auto put = [&](const char* key, const std::optional<int>& value) {
        if (value)
            dict.replaceKey(key, QPDFObjectHandle::newInteger(*value));
    };
    put("/Predictor", parms.predictor);
    put("/Colors", parms.colors);
    put("/BitsPerComponent", parms.bitsPerComponent);
    put("/Columns", parms.columns);
    put("/K", parms.k);
    put("/Rows", parms.rows);
    if (parms.encodedByteAlign)
        dict.replaceKey("/EncodedByteAlign", QPDFObjectHandle::newBool(true));
    if (parms.blackIs1)
        dict.replaceKey("/BlackIs1", QPDFObjectHandle::newBool(true));
    put("/ColorTransform", parms.colorTransform);
    return dict.getKeys().empty() ? QPDFObjectHandle::newNull() : dict;
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

QPDFObjectHandle ImageXObject(QPDF& pdf, const Raster& source)
{
    if (source.width <= 0 || source.height <= 0)
        throw std::runtime_error("the image has no pixels");
    // Raw samples are packed first, on a copy, since packing may narrow them.
    Raster packed;
    if (source.filter.empty()) {
        packed = source;
        packed.softMask = nullptr;
        PackRaster(packed);
    }
    const Raster& raster = source.filter.empty() ? packed : source;
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
        dict.replaceKey("/Decode", NumberArray(raster.decode));
    if (!raster.colorKey.empty())
        dict.replaceKey("/Mask", NumberArray(raster.colorKey));
    if (!raster.matte.empty())
        dict.replaceKey("/Matte", NumberArray(raster.matte));

    image.replaceStreamData(raster.data, QPDFObjectHandle::newName(raster.filter), ParmsObject(raster.decodeParms));
    if (source.softMask != nullptr)
        dict.replaceKey("/SMask", ImageXObject(pdf, *source.softMask));
    return image;
}

// 8-bit indices into a palette of at most 16 colours packed 4, 2 or 1 bits
// each, as few as every index fits in: fewer bytes, which also compress better.
void NarrowIndices(Raster& raster)
{
    std::size_t entries = raster.palette.size() / 3;
    if (raster.bitsPerComponent != 8 || entries > 16)
        return;
    int bits = entries <= 2 ? 1 : entries <= 4 ? 2 : 4;
    unsigned char top = 0;
    for (char index : raster.data)
        top = std::max(top, static_cast<unsigned char>(index));
    if (top >= (1u << bits))
        return;
    std::size_t width = std::size_t(raster.width), perByte = std::size_t(8 / bits);
    std::size_t rowBytes = (width + perByte - 1) / perByte;
    std::string packed(rowBytes * std::size_t(raster.height), '\0');
    for (std::size_t y = 0; y < std::size_t(raster.height); ++y) {
        const char* row = raster.data.data() + y * width;
        char* out = packed.data() + y * rowBytes;
        for (std::size_t x = 0; x < width; ++x)
            out[x / perByte] = char(out[x / perByte] | (std::uint8_t(row[x]) << (8 - bits * int(x % perByte + 1))));
    }
    raster.data = std::move(packed);
    raster.bitsPerComponent = bits;
}

// Whether PNG predictors make palette indices smaller. Indices are names of
// colours, not amounts, and filtering mostly makes them noisier; but a
// palette laid out in order, as a ramp, filters as well as grey does. Tried
// on bands of rows spread over the image, at a fraction of the whole's cost.
bool PredictorsHelp(const Raster& raster)
{
    constexpr std::size_t Bands = 8, BandRows = 16;
    std::size_t rowBytes = RowBytes(raster), height = std::size_t(raster.height);
    std::string sample;
    for (std::size_t band = 0; band < Bands; ++band) {
        std::size_t first = height * band / Bands, rows = std::min(BandRows, height - first);
        if (band > 0 && first < height * (band - 1) / Bands + BandRows)
            continue; // a short image: its bands would overlap
        sample.append(raster.data, first * rowBytes, rows * rowBytes);
    }
    return CompressFlate(PngPredict(sample, rowBytes, 1), Deflate::Predicted).size() <
           CompressFlate(sample, Deflate::Plain).size();
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
    if (raster.space == Raster::Space::Indexed) {
        // A thorough search finds the repeats of indices; predictors help
        // only some of them.
        NarrowIndices(raster);
        if (PredictorsHelp(raster)) {
            raster.data = CompressFlate(PngPredict(raster.data, RowBytes(raster), 1), Deflate::Thorough);
            raster.decodeParms = PngPredictorParms(1, raster.bitsPerComponent, raster.width);
        } else {
            raster.data = CompressFlate(raster.data, Deflate::Thorough);
            raster.decodeParms = {};
        }
    } else if (raster.bitsPerComponent >= 8) {
        // Whole-byte samples: filtered rows, which Flate packs much tighter.
        std::size_t bpp = std::size_t(Components(raster)) * std::size_t(raster.bitsPerComponent / 8);
        raster.data = CompressFlate(PngPredict(raster.data, RowBytes(raster), bpp), Deflate::Predicted);
        raster.decodeParms = PngPredictorParms(Components(raster), raster.bitsPerComponent, raster.width);
    } else {
        raster.data = CompressFlate(raster.data);
        raster.decodeParms = {};
    }
    raster.filter = "/FlateDecode";
}

DecodeParms PngPredictorParms(int colors, int bits, int columns)
{
    DecodeParms parms;
    parms.predictor = 15;
    parms.colors = colors;
    parms.bitsPerComponent = bits;
    parms.columns = columns;
    return parms;
}

DecodeParms CcittParms(int k, int columns, int rows, bool encodedByteAlign)
{
    DecodeParms parms;
    parms.k = k;
    parms.columns = columns;
    parms.rows = rows;
    parms.encodedByteAlign = encodedByteAlign;
    return parms;
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
