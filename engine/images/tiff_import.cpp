// TIFF: every page. CCITT fax data and JPEG data go into the PDF as they
// are; everything else is decoded with libtiff and stored losslessly.
#include "images/exif.h"
#include "images/flate.h"
#include "images/image_import.h"
#include "images/jpeg_strips.h"
#include "images/raster_alpha.h"
#include "images/raw_limits.h"
#include "images/tiff_memory.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace {

// Closes the handle whichever way the page ends.
struct TiffHandle {
    TIFF* tiff;
    ~TiffHandle()
    {
        if (tiff != nullptr)
            TIFFClose(tiff);
    }
};

struct Directory {
    std::uint32_t width = 0, height = 0;
    std::uint16_t bits = 1, samples = 1, photometric = 0, compression = 1, planar = 1, fillOrder = 1;
    std::uint16_t orientation = 1, sampleFormat = 1, inkSet = 1, extraCount = 0;
    std::uint16_t* extraTypes = nullptr;
    bool tiled = false;
};

[[noreturn]] void Fail(TiffMemory& memory, const std::string& what)
{
    throw std::runtime_error(what + (memory.error.empty() ? "" : ": " + memory.error));
}

Directory ReadDirectory(TIFF* tiff)
{
    Directory d;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &d.width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &d.height);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &d.bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &d.samples);
    if (!TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &d.photometric))
        d.photometric = d.samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISWHITE;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &d.compression);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &d.planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_FILLORDER, &d.fillOrder);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &d.orientation);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &d.sampleFormat);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_INKSET, &d.inkSet);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_EXTRASAMPLES, &d.extraCount, &d.extraTypes);
    d.tiled = TIFFIsTiled(tiff);
    return d;
}

void SetResolution(TIFF* tiff, ImagePage& page)
{
    float x = 0, y = 0;
    std::uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_RESOLUTIONUNIT, &unit);
    if (!TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &x) || !TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &y) || !(x > 0) ||
        !(y > 0))
        return;
    if (unit == RESUNIT_INCH || unit == RESUNIT_CENTIMETER) {
        double scale = unit == RESUNIT_CENTIMETER ? 2.54 : 1.0;
        page.xDpi = x * scale;
        page.yDpi = y * scale;
    } else {
        page.yDpi = DefaultDpi * y / x;
    }
}

void ReadPalette(TIFF* tiff, TiffMemory& memory, const Directory& d, Raster& r)
{
    std::uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    if (!TIFFGetField(tiff, TIFFTAG_COLORMAP, &red, &green, &blue))
        Fail(memory, "the TIFF palette is missing");
    std::size_t entries = std::size_t(1) << d.bits;
    // Colour maps hold 16-bit values; old writers put 8-bit values in them.
    bool eightBit = true;
    for (std::size_t i = 0; i < entries; ++i)
        eightBit &= red[i] < 256 && green[i] < 256 && blue[i] < 256;
    for (std::size_t i = 0; i < entries; ++i)
        for (std::uint16_t* channel : {red, green, blue})
            r.palette += char(eightBit ? channel[i] : channel[i] >> 8);
}

std::string RawStrip(TIFF* tiff, TiffMemory& memory, tstrile_t strip)
{
    tmsize_t size = TIFFRawStripSize(tiff, strip);
    if (size <= 0 || std::uint64_t(size) > memory.input->size())
        Fail(memory, "the TIFF strip is damaged");
    std::string raw(std::size_t(size), '\0');
    if (TIFFReadRawStrip(tiff, strip, raw.data(), size) != size)
        Fail(memory, "the TIFF strip is truncated");
    return raw;
}

// The whole page decoded, as libtiff delivers samples: rows padded to bytes,
// planes one after another for separate planar data, 16-bit in host order.
std::string DecodeAll(TIFF* tiff, TiffMemory& memory, const Directory& d)
{
    int planes = d.planar == PLANARCONFIG_SEPARATE ? d.samples : 1;
    int perPlane = planes == 1 ? d.samples : 1;
    std::size_t rowBytes = (std::size_t(d.width) * perPlane * d.bits + 7) / 8;
    std::string out(rowBytes * d.height * planes, '\0');
    if (!d.tiled) {
        // Which strip holds a row, and how many rows it holds, as libtiff
        // reckons them (it clamps a RowsPerStrip beyond the image, and may
        // have cut one large strip into several).
        if (std::uint64_t(TIFFScanlineSize64(tiff)) != rowBytes)
            Fail(memory, "this layout of TIFF samples is not supported");
        std::uint32_t rowsPerStrip = d.height;
        TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
        rowsPerStrip = std::clamp<std::uint32_t>(rowsPerStrip, 1, d.height);
        // Each strip decoded in its place: libtiff writes no more than it is asked for.
        for (int p = 0; p < planes; ++p) {
            for (std::uint32_t row = 0; row < d.height; row += rowsPerStrip) {
                std::uint32_t rows = std::min(rowsPerStrip, d.height - row);
                tmsize_t want = tmsize_t(rows * rowBytes);
                tstrip_t strip = TIFFComputeStrip(tiff, row, std::uint16_t(p));
                if (strip >= TIFFNumberOfStrips(tiff) ||
                    TIFFReadEncodedStrip(tiff, strip, out.data() + (p * std::size_t(d.height) + row) * rowBytes,
                                         want) < want)
                    Fail(memory, "the TIFF image data is damaged or truncated");
            }
        }
        return out;
    }
    std::uint32_t tileWidth = 0, tileHeight = 0;
    TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tileHeight);
    if (tileWidth == 0 || tileHeight == 0 || (std::size_t(tileWidth) * perPlane * d.bits) % 8 != 0)
        Fail(memory, "the TIFF tiles are invalid");
    std::size_t tileRowBytes = std::size_t(tileWidth) * perPlane * d.bits / 8;
    std::string buffer(std::size_t(TIFFTileSize(tiff)), '\0');
    if (buffer.size() < tileRowBytes * tileHeight)
        Fail(memory, "the TIFF tiles are invalid");
    for (int p = 0; p < planes; ++p) {
        for (std::uint32_t y = 0; y < d.height; y += tileHeight) {
            for (std::uint32_t x = 0; x < d.width; x += tileWidth) {
                ttile_t tile = TIFFComputeTile(tiff, x, y, 0, std::uint16_t(p));
                if (TIFFReadEncodedTile(tiff, tile, buffer.data(), tmsize_t(buffer.size())) < 0)
                    Fail(memory, "the TIFF image data is damaged or truncated");
                std::size_t startByte = std::size_t(x) * perPlane * d.bits / 8;
                std::size_t copy = std::min(tileRowBytes, rowBytes - startByte);
                for (std::uint32_t row = 0; row < tileHeight && y + row < d.height; ++row)
                    std::memcpy(out.data() + (p * std::size_t(d.height) + y + row) * rowBytes + startByte,
                                buffer.data() + row * tileRowBytes, copy);
            }
        }
    }
    return out;
}

// Interleaves separate planes and puts 16-bit samples in PDF's (big-endian) order.
std::string Interleave(std::string planes, const Directory& d)
{
    std::string out;
    int bytes = d.bits / 8;
    if (d.planar == PLANARCONFIG_SEPARATE && d.samples > 1) {
        std::size_t pixels = std::size_t(d.width) * d.height;
        out.resize(pixels * d.samples * bytes);
        for (std::size_t i = 0; i < pixels; ++i)
            for (int s = 0; s < d.samples; ++s)
                std::memcpy(&out[(i * d.samples + s) * bytes], &planes[(s * pixels + i) * bytes], std::size_t(bytes));
    } else {
        out = std::move(planes);
    }
    if (d.bits == 16) {
        std::uint16_t probe = 1;
        bool little = *reinterpret_cast<std::uint8_t*>(&probe) == 1;
        for (std::size_t i = 0; little && i + 1 < out.size(); i += 2)
            std::swap(out[i], out[i + 1]);
    }
    return out;
}

// A half-precision float as a float.
double HalfToDouble(std::uint16_t h)
{
    int exponent = (h >> 10) & 0x1f, mantissa = h & 0x3ff;
    double value = exponent == 0    ? std::ldexp(mantissa, -24)
                   : exponent == 31 ? (mantissa ? NAN : INFINITY)
                                    : std::ldexp(mantissa | 0x400, exponent - 25);
    return (h & 0x8000) ? -value : value;
}

// Sample n of a row as it arrives from libtiff: whole bytes in the host's
// order, narrower samples packed high bit first.
std::uint64_t SampleAt(const char* row, std::size_t n, int bits)
{
    std::uint64_t v = 0;
    if (bits % 8 != 0) {
        std::size_t bit = n * std::size_t(bits);
        for (int b = 0; b < bits; ++b, ++bit)
            v = (v << 1) | ((std::uint8_t(row[bit / 8]) >> (7 - bit % 8)) & 1);
        return v;
    }
    std::size_t width = std::size_t(bits / 8);
    if (width == 2) {
        std::uint16_t t;
        std::memcpy(&t, row + n * 2, 2);
        return t;
    }
    if (width == 4) {
        std::uint32_t t;
        std::memcpy(&t, row + n * 4, 4);
        return t;
    }
    if (width == 8) {
        std::memcpy(&v, row + n * 8, 8);
        return v;
    }
    for (std::size_t b = 0; b < width; ++b) // 8 and 24 bits, in the host's (little) order
        v |= std::uint64_t(std::uint8_t(row[n * width + b])) << (8 * (width == 1 ? 0 : b));
    return v;
}

// A float sample's value: half, single or double precision.
double FloatOf(std::uint64_t v, int bits)
{
    if (bits == 16)
        return HalfToDouble(std::uint16_t(v));
    if (bits == 32) {
        float t;
        std::uint32_t u = std::uint32_t(v);
        std::memcpy(&t, &u, 4);
        return t;
    }
    double f;
    std::memcpy(&f, &v, 8);
    return f;
}

// The range float samples span: SMinSampleValue to SMaxSampleValue, else 0 to 1.
void FloatRange(TIFF* tiff, double& low, double& high)
{
    low = 0, high = 1;
    double value = 0;
    if (TIFFGetField(tiff, TIFFTAG_SMINSAMPLEVALUE, &value))
        low = value;
    if (TIFFGetField(tiff, TIFFTAG_SMAXSAMPLEVALUE, &value))
        high = value;
    if (!(high > low) || !std::isfinite(high - low))
        low = 0, high = 1;
}

// Samples of any depth libtiff decodes (1 to 32 bits unsigned, 16-, 32- and
// 64-bit floats), interleaved, as 8 bits (up to 8) or 16 bits (beyond, and
// floats) big-endian. Integers are scaled to the wider range, which keeps
// every value apart (12 bits are kept at 16); floats map their sample range
// onto 16 bits. Palette indices are widened, never scaled.
std::string Widened(TIFF* tiff, const std::string& raw, const Directory& d, int& outBits)
{
    bool real = d.sampleFormat == SAMPLEFORMAT_IEEEFP;
    bool index = d.photometric == PHOTOMETRIC_PALETTE;
    outBits = !real && d.bits <= 8 ? 8 : 16;
    int planes = d.planar == PLANARCONFIG_SEPARATE ? d.samples : 1;
    int perPlane = planes == 1 ? d.samples : 1;
    std::size_t rowBytes = (std::size_t(d.width) * perPlane * d.bits + 7) / 8;
    double low = 0, high = 1;
    if (real)
        FloatRange(tiff, low, high);
    std::uint64_t inTop = d.bits >= 32 ? 0xffffffffull : (std::uint64_t(1) << d.bits) - 1;
    std::uint64_t outTop = (std::uint64_t(1) << outBits) - 1;
    std::size_t outBytes = std::size_t(outBits / 8);
    std::string out(std::size_t(d.width) * d.height * d.samples * outBytes, '\0');
    std::size_t at = 0;
    for (std::uint32_t y = 0; y < d.height; ++y) {
        for (std::uint32_t x = 0; x < d.width; ++x) {
            for (int s = 0; s < d.samples; ++s) {
                std::size_t row = (planes == 1 ? y : std::size_t(s) * d.height + y) * rowBytes;
                std::size_t n = planes == 1 ? std::size_t(x) * d.samples + std::size_t(s) : x;
                std::uint64_t v = SampleAt(raw.data() + row, n, d.bits);
                std::uint64_t result;
                if (real) {
                    double unit = (FloatOf(v, d.bits) - low) / (high - low);
                    result = std::isnan(unit) ? 0 : std::uint64_t(std::lround(std::clamp(unit, 0.0, 1.0) * 65535));
                } else if (index) {
                    result = std::min<std::uint64_t>(v, 255);
                } else {
                    result = (v * outTop + inTop / 2) / inTop;
                }
                if (outBytes == 2)
                    out[at++] = char(result >> 8);
                out[at++] = char(result & 0xff);
            }
        }
    }
    return out;
}

// Splits the first extra sample off as alpha; further extra samples are dropped.
void SplitSamples(const std::string& pixels, const Directory& d, int colors, bool alpha, Raster& raster)
{
    SplitAlpha(pixels.data(), std::size_t(d.width) * d.samples * (d.bits / 8), d.samples, colors, alpha, raster);
}

bool CcittPassThrough(TIFF* tiff, TiffMemory& memory, const Directory& d, Raster& r)
{
    if ((d.compression != COMPRESSION_CCITTFAX3 && d.compression != COMPRESSION_CCITTFAX4) || d.bits != 1 ||
        d.samples != 1 || d.tiled || TIFFNumberOfStrips(tiff) != 1)
        return false;
    std::uint32_t options = 0;
    if (d.compression == COMPRESSION_CCITTFAX3) {
        TIFFGetField(tiff, TIFFTAG_GROUP3OPTIONS, &options);
        if (options & GROUP3OPT_UNCOMPRESSED)
            return false;
    }
    r.data = RawStrip(tiff, memory, 0);
    if (d.fillOrder == FILLORDER_LSB2MSB)
        TIFFReverseBits(reinterpret_cast<std::uint8_t*>(r.data.data()), tmsize_t(r.data.size()));
    int k = d.compression == COMPRESSION_CCITTFAX4 ? -1 : (options & GROUP3OPT_2DENCODING) ? 1 : 0;
    r.filter = "/CCITTFaxDecode";
    // The codes' white runs are 0 bits in TIFF, which min-is-black data shows as black: PDF's
    // decoder gives 0 bits for black runs unless told that 1 is black.
    r.decodeParms = CcittParms(k, int(d.width), int(d.height), (options & GROUP3OPT_FILLBITS) != 0);
    r.decodeParms.blackIs1 = d.photometric == PHOTOMETRIC_MINISBLACK;
    r.bitsPerComponent = 1;
    return true;
}

// Bilevel rows (0 = white when minIsWhite) as one CCITT G4 strip, re-encoded by libtiff.
std::string EncodeG4(const std::string& rows, std::uint32_t width, std::uint32_t height)
{
    std::string encoded;
    TiffMemory out;
    out.output = &encoded;
    TiffHandle writer{OpenTiffMemory(out, "w")};
    if (writer.tiff == nullptr)
        Fail(out, "cannot encode the fax page");
    TIFFSetField(writer.tiff, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(writer.tiff, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(writer.tiff, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(writer.tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(writer.tiff, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    TIFFSetField(writer.tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(writer.tiff, TIFFTAG_ROWSPERSTRIP, height);
    if (TIFFWriteEncodedStrip(writer.tiff, 0, const_cast<char*>(rows.data()), tmsize_t(rows.size())) < 0)
        Fail(out, "cannot encode the fax page");
    TIFFClose(writer.tiff);
    writer.tiff = nullptr;

    TiffMemory in;
    in.input = &encoded;
    TiffHandle reader{OpenTiffMemory(in, "r")};
    if (reader.tiff == nullptr)
        Fail(in, "cannot encode the fax page");
    return RawStrip(reader.tiff, in, 0);
}

// Fax data in several strips: decoded, then encoded again as one G4 strip.
bool CcittJoinedStrips(TIFF* tiff, TiffMemory& memory, const Directory& d, Raster& r)
{
    if ((d.compression != COMPRESSION_CCITTFAX3 && d.compression != COMPRESSION_CCITTFAX4) || d.bits != 1 ||
        d.samples != 1)
        return false;
    std::string rows = DecodeAll(tiff, memory, d);
    if (d.photometric == PHOTOMETRIC_MINISBLACK)
        for (char& c : rows)
            c = char(~c);
    r.data = EncodeG4(rows, d.width, d.height);
    r.filter = "/CCITTFaxDecode";
    r.decodeParms = CcittParms(-1, int(d.width), int(d.height));
    r.bitsPerComponent = 1;
    return true;
}

std::string RawTile(TIFF* tiff, TiffMemory& memory, ttile_t tile)
{
    tmsize_t size = TIFFRawStripSize(tiff, tile); // a tile's byte count, as a strip's
    if (size <= 0 || std::uint64_t(size) > memory.input->size())
        Fail(memory, "the TIFF tile is damaged");
    std::string raw(std::size_t(size), '\0');
    if (TIFFReadRawTile(tiff, tile, raw.data(), size) != size)
        Fail(memory, "the TIFF tile is truncated");
    return raw;
}

// The colour space of JPEG data PDF shows as libtiff does, and how many
// components its streams have; false for any other.
bool JpegColours(const Directory& d, int& colors, Raster::Space& space)
{
    if (d.photometric == PHOTOMETRIC_YCBCR || d.photometric == PHOTOMETRIC_RGB)
        colors = 3, space = Raster::Space::RGB;
    else if (d.photometric == PHOTOMETRIC_MINISBLACK)
        colors = 1, space = Raster::Space::Gray;
    else if (d.photometric == PHOTOMETRIC_SEPARATED && d.inkSet == INKSET_CMYK)
        colors = 4, space = Raster::Space::CMYK;
    else
        return false;
    return d.samples == colors;
}

// How a page's data is cut: strips (pieces as wide as the page) or tiles.
struct PieceGrid {
    std::uint32_t width = 0, height = 0; // of a whole piece
    std::uint64_t across = 0, count = 0;
};

// The page's pieces, unless there are so many that thousands of images on
// a page would be slow to show (such a file is decoded instead).
std::optional<PieceGrid> JpegPieceGrid(TIFF* tiff, const Directory& d)
{
    PieceGrid grid{d.width, d.height, 0, 0};
    if (d.tiled) {
        TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &grid.width);
        TIFFGetField(tiff, TIFFTAG_TILELENGTH, &grid.height);
    } else {
        TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &grid.height);
        grid.height = std::clamp<std::uint32_t>(grid.height, 1, d.height);
    }
    if (grid.width == 0 || grid.height == 0 || grid.width > 65535 || grid.height > 65535)
        return std::nullopt;
    grid.across = (d.width + std::uint64_t(grid.width) - 1) / grid.width;
    std::uint64_t down = (d.height + std::uint64_t(grid.height) - 1) / grid.height;
    grid.count = d.tiled ? TIFFNumberOfTiles(tiff) : TIFFNumberOfStrips(tiff);
    if (grid.count != grid.across * down || grid.count > 4096)
        return std::nullopt;
    return grid;
}

// Each piece as a whole JPEG stream and its layout, when every one has the
// size and colours the file says it has; false otherwise.
bool ReadJpegPieces(TIFF* tiff, TiffMemory& memory, const Directory& d, const PieceGrid& grid, int colors,
                    std::vector<std::string>& streams, std::vector<JpegLayout>& layouts)
{
    std::uint32_t tableLength = 0;
    void* tableBytes = nullptr;
    std::string tables;
    if (TIFFGetField(tiff, TIFFTAG_JPEGTABLES, &tableLength, &tableBytes) && tableBytes != nullptr)
        tables.assign(static_cast<const char*>(tableBytes), tableLength);
    for (std::uint64_t i = 0; i < grid.count; ++i) {
        std::string raw = d.tiled ? RawTile(tiff, memory, ttile_t(i)) : RawStrip(tiff, memory, tstrile_t(i));
        streams.push_back(WholeJpeg(tables, raw));
        std::optional<JpegLayout> layout = ParseJpeg(streams.back());
        if (!layout || layout->components != colors)
            return false;
        // A piece at the right or bottom edge may be coded at its full size or cut to the image.
        std::uint32_t x = std::uint32_t(i % grid.across) * grid.width;
        std::uint32_t y = std::uint32_t(i / grid.across) * grid.height;
        auto fits = [](int coded, std::uint32_t whole, std::uint32_t left) {
            return std::uint32_t(coded) == whole || std::uint32_t(coded) == std::min(whole, left);
        };
        if (!fits(layout->width, grid.width, d.width - x) || !fits(layout->height, grid.height, d.height - y))
            return false;
        // Colours as libtiff takes them: RGB and CMYK untransformed, YCbCr transformed, whatever the
        // stream's Adobe marker says (which PDF readers would follow, and which they read
        // differently for CMYK).
        if (layout->adobe && (colors == 4 || (colors == 3 && layout->adobeTransform !=
                                                                 (d.photometric == PHOTOMETRIC_YCBCR ? 1 : 0))))
            return false;
        layouts.push_back(*layout);
    }
    return true;
}

// JPEG data in strips or tiles goes in as it is, never decoded: strips
// joined into one stream where a decoder reads exactly what it reads from
// each strip alone, otherwise each strip or tile its own image, placed edge to
// edge. False (decode it instead) for data whose colours a PDF reader would
// take otherwise than libtiff does.
bool JpegPassThrough(TIFF* tiff, TiffMemory& memory, const Directory& d, ImagePage& page)
{
    Raster& r = page.raster;
    int colors = 0;
    Raster::Space space = Raster::Space::Gray;
    if (d.compression != COMPRESSION_JPEG || d.bits != 8 || (d.planar == PLANARCONFIG_SEPARATE && d.samples > 1) ||
        d.extraCount != 0 || !JpegColours(d, colors, space))
        return false;
    std::optional<PieceGrid> grid = JpegPieceGrid(tiff, d);
    std::vector<std::string> streams;
    std::vector<JpegLayout> layouts;
    if (!grid || !ReadJpegPieces(tiff, memory, d, *grid, colors, streams, layouts))
        return false;

    r.space = space;
    r.bitsPerComponent = 8;
    r.filter = "/DCTDecode";
    DecodeParms parms;
    if (colors == 3)
        parms.colorTransform = d.photometric == PHOTOMETRIC_RGB ? 0 : 1;
    if (grid->count == 1 && !d.tiled && layouts[0].width == int(d.width) && layouts[0].height == int(d.height)) {
        r.data = std::move(streams[0]);
        r.decodeParms = parms;
        return true;
    }
    if (!d.tiled) {
        std::optional<std::string> joined = JoinJpegStrips(streams, int(grid->height));
        std::optional<JpegLayout> layout = joined ? ParseJpeg(*joined) : std::nullopt;
        if (layout && layout->width == int(d.width) && layout->height == int(d.height)) {
            r.data = std::move(*joined);
            r.decodeParms = parms;
            return true;
        }
    }
    for (std::size_t i = 0; i < streams.size(); ++i) {
        ImagePiece piece;
        piece.x = int(i % grid->across) * int(grid->width);
        piece.y = int(i / grid->across) * int(grid->height);
        piece.raster.space = space;
        piece.raster.icc = r.icc;
        piece.raster.width = layouts[i].width;
        piece.raster.height = layouts[i].height;
        piece.raster.bitsPerComponent = 8;
        piece.raster.filter = "/DCTDecode";
        piece.raster.decodeParms = parms;
        piece.raster.data = std::move(streams[i]);
        page.pieces.push_back(std::move(piece));
    }
    return true;
}

// One strip of Deflate data goes in as it is: FlateDecode reads its zlib
// stream and undoes TIFF's horizontal predictor as /Predictor 2. Samples PDF
// shows as they are only: 8 bits with or without the predictor, 1, 2 and 4
// without; no alpha, one plane. (PDF reads TIFF's LZW too, but the writer
// turns every LZW stream into Flate at its own cost, to shrink those of the
// PDFs it joins; LZW is decoded here instead, and compressed more cheaply.)
bool FlatePassThrough(TIFF* tiff, TiffMemory& memory, const Directory& d, Raster& r)
{
    if ((d.compression != COMPRESSION_ADOBE_DEFLATE && d.compression != COMPRESSION_DEFLATE) || d.tiled ||
        TIFFNumberOfStrips(tiff) != 1 || d.extraCount != 0 || d.sampleFormat != SAMPLEFORMAT_UINT ||
        d.fillOrder != FILLORDER_MSB2LSB || (d.planar == PLANARCONFIG_SEPARATE && d.samples > 1))
        return false;
    std::uint16_t predictor = 1;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PREDICTOR, &predictor);
    if (!(d.bits == 8 && (predictor == 1 || predictor == 2)) &&
        !((d.bits == 1 || d.bits == 2 || d.bits == 4) && predictor == 1))
        return false;
    int colors = 0;
    if (d.photometric == PHOTOMETRIC_MINISBLACK || d.photometric == PHOTOMETRIC_MINISWHITE)
        colors = 1, r.space = Raster::Space::Gray;
    else if (d.photometric == PHOTOMETRIC_RGB)
        colors = 3, r.space = Raster::Space::RGB;
    else if (d.photometric == PHOTOMETRIC_SEPARATED && d.inkSet == INKSET_CMYK)
        colors = 4, r.space = Raster::Space::CMYK;
    else if (d.photometric == PHOTOMETRIC_PALETTE && predictor == 1)
        colors = 1, r.space = Raster::Space::Indexed;
    if (colors == 0 || d.samples != colors)
        return false;
    // The strip must hold every row: libtiff's RowsPerStrip may say fewer.
    std::uint32_t rowsPerStrip = d.height;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    if (rowsPerStrip < d.height)
        return false;
    std::string raw = RawStrip(tiff, memory, 0);
    if (d.photometric == PHOTOMETRIC_PALETTE)
        ReadPalette(tiff, memory, d, r);
    r.data = std::move(raw);
    r.bitsPerComponent = d.bits;
    r.filter = "/FlateDecode";
    if (predictor == 2) {
        r.decodeParms = PngPredictorParms(colors, 8, int(d.width));
        r.decodeParms.predictor = 2; // TIFF's own: each sample less the one to its left
    }
    if (d.photometric == PHOTOMETRIC_MINISWHITE)
        r.decode = {1, 0};
    return true;
}

// Decoded samples of whole bytes compressed for speed: each row less the one
// above (PNG's Up filter, /Predictor 12), which takes most of what a filter
// chosen row by row would. Scans carry the scanner's noise, which zlib's
// string matching cannot use: runs of one byte alone pack them as small in a
// third of the time of level 3 (and level 6 takes three times level 3 for 2%
// less). Clean images need the matching, so a band from the middle of the
// image is packed both ways first.
void PackFast(Raster& r)
{
    if (!r.filter.empty() || r.bitsPerComponent < 8 || r.space == Raster::Space::Indexed || r.width <= 0 ||
        r.height <= 0)
        return;
    std::size_t row = RowBytes(r);
    if (r.data.size() != row * std::size_t(r.height))
        return; // PackRaster reports it
    std::string filtered(r.data.size() + std::size_t(r.height), '\0');
    const auto* in = reinterpret_cast<const std::uint8_t*>(r.data.data());
    auto* out = reinterpret_cast<std::uint8_t*>(filtered.data());
    for (std::size_t y = 0; y < std::size_t(r.height); ++y) {
        std::uint8_t* to = out + y * (row + 1);
        const std::uint8_t* line = in + y * row;
        to[0] = 2;
        if (y == 0) {
            std::memcpy(to + 1, line, row);
        } else {
            const std::uint8_t* above = line - row;
            for (std::size_t x = 0; x < row; ++x)
                to[1 + x] = std::uint8_t(line[x] - above[x]);
        }
    }
    std::size_t band = std::min(filtered.size(), std::max<std::size_t>(filtered.size() / 16, 1 << 16));
    std::string middle = filtered.substr((filtered.size() - band) / 2, band);
    bool runs = CompressFlate(middle, Deflate::Runs).size() <= CompressFlate(middle, Deflate::Quick).size();
    r.data = CompressFlate(filtered, runs ? Deflate::Runs : Deflate::Quick);
    r.filter = "/FlateDecode";
    r.decodeParms = PngPredictorParms(Components(r), r.bitsPerComponent, r.width);
    r.decodeParms.predictor = 12;
}

// Anything libtiff can turn into RGBA: 8 bits a sample, alpha premultiplied
// by libtiff and divided out again here.
void ReadAsRgba(TIFF* tiff, TiffMemory& memory, const Directory& d, Raster& r)
{
    char why[1024] = "";
    if (!TIFFRGBAImageOK(tiff, why))
        throw std::runtime_error(std::string("this kind of TIFF is not supported: ") + why);
    CheckRawSize(d.width, d.height, 32);
    std::vector<std::uint32_t> pixels(std::size_t(d.width) * d.height);
    if (!TIFFReadRGBAImageOriented(tiff, d.width, d.height, pixels.data(), ORIENTATION_TOPLEFT, 0))
        Fail(memory, "the TIFF image data is damaged or truncated");
    r.space = Raster::Space::RGB;
    r.bitsPerComponent = 8;
    r.data.resize(pixels.size() * 3);
    bool alpha = d.extraCount > 0;
    std::string mask(alpha ? pixels.size() : 0, '\0');
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        r.data[3 * i] = char(TIFFGetR(pixels[i]));
        r.data[3 * i + 1] = char(TIFFGetG(pixels[i]));
        r.data[3 * i + 2] = char(TIFFGetB(pixels[i]));
        if (alpha)
            mask[i] = char(TIFFGetA(pixels[i]));
    }
    if (alpha) {
        SetSoftMask(r, std::move(mask));
        // libtiff hands colour premultiplied by alpha.
        Unpremultiply(r.data, r.softMask->data, 3, 8);
    }
}

void ReadSamples(TIFF* tiff, TiffMemory& memory, const Directory& d, Raster& r)
{
    bool depthOk = d.bits == 1 || d.bits == 2 || d.bits == 4 || d.bits == 8 || d.bits == 16;
    int colors = 0;
    switch (d.photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
        colors = 1;
        r.space = Raster::Space::Gray;
        break;
    case PHOTOMETRIC_RGB:
        colors = 3;
        r.space = Raster::Space::RGB;
        break;
    case PHOTOMETRIC_PALETTE:
        colors = 1;
        r.space = Raster::Space::Indexed;
        depthOk = d.bits <= 8;
        break;
    case PHOTOMETRIC_SEPARATED:
        colors = d.inkSet == INKSET_CMYK ? 4 : 0;
        r.space = Raster::Space::CMYK;
        break;
    default:
        break;
    }
    bool alpha = d.extraCount > 0 && (d.extraTypes[0] == EXTRASAMPLE_ASSOCALPHA ||
                                      d.extraTypes[0] == EXTRASAMPLE_UNASSALPHA);
    bool whole = d.sampleFormat == SAMPLEFORMAT_UINT && d.bits >= 1 && d.bits <= 32 &&
                 (d.photometric != PHOTOMETRIC_PALETTE || d.bits <= 8);
    bool real = d.sampleFormat == SAMPLEFORMAT_IEEEFP && (d.bits == 16 || d.bits == 32 || d.bits == 64) &&
                d.photometric != PHOTOMETRIC_PALETTE;
    bool plain = colors > 0 && (whole || real) && d.samples == colors + d.extraCount &&
                 d.compression != COMPRESSION_JPEG && d.compression != COMPRESSION_OJPEG;
    if (!plain) {
        ReadAsRgba(tiff, memory, d, r);
        return;
    }
    CheckRawSize(d.width, d.height, std::uint64_t(d.samples) * std::max<std::uint64_t>(d.bits, 16));
    // Depths PDF stores as they are go in as they are; others are widened to 8 or 16 bits.
    bool direct = whole && depthOk &&
                  (d.bits >= 8 || (d.extraCount == 0 && (d.planar == PLANARCONFIG_CONTIG || d.samples == 1)));
    Directory stored = d;
    std::string pixels;
    if (direct) {
        pixels = Interleave(DecodeAll(tiff, memory, d), d);
    } else {
        int bits = 8;
        pixels = Widened(tiff, DecodeAll(tiff, memory, d), d, bits);
        stored.bits = std::uint16_t(bits);
        stored.planar = PLANARCONFIG_CONTIG;
    }
    r.bitsPerComponent = stored.bits;
    if (d.extraCount == 0)
        r.data = std::move(pixels);
    else
        SplitSamples(pixels, stored, colors, alpha, r);
    // Premultiplied colour is stored as the colour itself, which every renderer shows right.
    if (alpha && d.extraTypes[0] == EXTRASAMPLE_ASSOCALPHA && r.softMask != nullptr)
        Unpremultiply(r.data, r.softMask->data, colors, stored.bits);
    if (d.photometric == PHOTOMETRIC_MINISWHITE)
        r.decode = {1, 0};
    if (d.photometric == PHOTOMETRIC_PALETTE)
        ReadPalette(tiff, memory, d, r);
}

ImagePage ReadPage(TIFF* tiff, TiffMemory& memory)
{
    Directory d = ReadDirectory(tiff);
    CheckRawSize(d.width, d.height, 1);
    ImagePage page;
    Raster& r = page.raster;
    r.width = int(d.width);
    r.height = int(d.height);
    SetResolution(tiff, page);
    ApplyOrientation(d.orientation, page);
    std::uint32_t iccLength = 0;
    void* icc = nullptr;
    if (d.photometric != PHOTOMETRIC_PALETTE && TIFFGetField(tiff, TIFFTAG_ICCPROFILE, &iccLength, &icc))
        r.icc.assign(static_cast<const char*>(icc), iccLength);

    if (CcittPassThrough(tiff, memory, d, r) || CcittJoinedStrips(tiff, memory, d, r) ||
        JpegPassThrough(tiff, memory, d, page) || FlatePassThrough(tiff, memory, d, r))
        return page;
    if (d.compression == COMPRESSION_JPEG && d.photometric == PHOTOMETRIC_YCBCR) {
        // Let libtiff's JPEG codec convert to RGB, then read plain samples.
        TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        Directory rgb = d;
        rgb.photometric = PHOTOMETRIC_RGB;
        rgb.compression = COMPRESSION_NONE; // samples now arrive decoded
        r.space = Raster::Space::RGB;
        r.bitsPerComponent = 8;
        if (d.bits == 8 && d.samples == 3 && d.extraCount == 0) {
            r.data = Interleave(DecodeAll(tiff, memory, rgb), rgb);
            return page;
        }
    }
    if (d.compression == COMPRESSION_JPEG && d.photometric != PHOTOMETRIC_YCBCR && d.bits == 8) {
        Directory plain = d;
        plain.compression = COMPRESSION_NONE;
        ReadSamples(tiff, memory, plain, r);
        return page;
    }
    ReadSamples(tiff, memory, d, r);
    return page;
}

// The bytes the current page's samples take decoded, as its tags declare them.
std::uint64_t DeclaredBytes(TIFF* tiff)
{
    std::uint32_t width = 0, height = 0;
    std::uint16_t bits = 1, samples = 1;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    return PixelBudget::Bytes(width, height, std::uint64_t(samples) * bits);
}

} // namespace

std::vector<ImagePage> ReadTiff(const std::string& bytes)
{
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    TiffMemory memory;
    memory.input = &bytes;
    TiffHandle handle{OpenTiffMemory(memory, "rm")};
    if (handle.tiff == nullptr)
        Fail(memory, "not a readable TIFF file");
    // What every page declares, before any is decoded.
    PixelBudget budget(bytes.size());
    do {
        budget.Plan(DeclaredBytes(handle.tiff));
    } while (TIFFReadDirectory(handle.tiff));
    memory.error.clear();
    if (!TIFFSetDirectory(handle.tiff, 0))
        Fail(memory, "not a readable TIFF file");

    std::vector<ImagePage> pages;
    do {
        budget.Claim(DeclaredBytes(handle.tiff));
        pages.push_back(ReadPage(handle.tiff, memory));
        PackFast(pages.back().raster);
        PackRaster(pages.back().raster);
        memory.error.clear();
    } while (TIFFReadDirectory(handle.tiff));
    if (!memory.error.empty())
        Fail(memory, "the TIFF file is damaged after page " + std::to_string(pages.size()));
    return pages;
}
