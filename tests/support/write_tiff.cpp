#include "support/image_writers.h"

#include <cstring>
#include <stdexcept>
#include <tiffio.h>

Pixels Expand(const Indexed& image)
{
    bool alpha = !image.alphas.empty();
    Pixels out{image.indices.width, image.indices.height, alpha ? 4 : 3, 8, {}};
    out.samples.resize(std::size_t(out.width) * out.height * out.channels);
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x) {
            std::size_t i = image.indices.At(x, y, 0);
            for (int c = 0; c < 3; ++c)
                out.At(x, y, c) = std::uint8_t(image.palette[3 * i + c]);
            if (alpha)
                out.At(x, y, 3) = i < image.alphas.size() ? std::uint8_t(image.alphas[i]) : 255;
        }
    return out;
}

void WriteTiff(const std::string& path, const std::vector<TiffPage>& pages)
{
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    if (tiff == nullptr)
        throw std::runtime_error("cannot write " + path);
    for (const TiffPage& page : pages) {
        const Pixels& p = page.pixels;
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, p.width);
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, p.height);
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, p.depth);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, p.channels);
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, page.compression);
        int photometric = page.photometric >= 0 ? page.photometric
                          : p.channels >= 3     ? PHOTOMETRIC_RGB
                                                : PHOTOMETRIC_MINISBLACK;
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, photometric);
        if (photometric == PHOTOMETRIC_SEPARATED)
            TIFFSetField(tiff, TIFFTAG_INKSET, INKSET_CMYK);
        if (photometric == PHOTOMETRIC_PALETTE) {
            std::size_t n = std::size_t(1) << p.depth;
            std::vector<std::uint16_t> r(n), g(n), b(n);
            for (std::size_t i = 0; i < n && 3 * i + 2 < page.palette.size(); ++i) {
                r[i] = std::uint16_t(std::uint8_t(page.palette[3 * i]) * 257);
                g[i] = std::uint16_t(std::uint8_t(page.palette[3 * i + 1]) * 257);
                b[i] = std::uint16_t(std::uint8_t(page.palette[3 * i + 2]) * 257);
            }
            TIFFSetField(tiff, TIFFTAG_COLORMAP, r.data(), g.data(), b.data());
        }
        TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, page.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
        if (page.lsbFirst)
            TIFFSetField(tiff, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
        if (page.xDpi > 0) {
            TIFFSetField(tiff, TIFFTAG_XRESOLUTION, float(page.xDpi));
            TIFFSetField(tiff, TIFFTAG_YRESOLUTION, float(page.yDpi));
            TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, page.unit);
        }
        if (page.predictor != 1)
            TIFFSetField(tiff, TIFFTAG_PREDICTOR, page.predictor);
        if (page.extra >= 0) {
            std::uint16_t type = std::uint16_t(page.extra);
            TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &type);
        }
        if (page.orientation != 1)
            TIFFSetField(tiff, TIFFTAG_ORIENTATION, page.orientation);
        if (page.compression == COMPRESSION_CCITTFAX3)
            TIFFSetField(tiff, TIFFTAG_GROUP3OPTIONS, page.g3Options);
        if (page.compression == COMPRESSION_JPEG) {
            TIFFSetField(tiff, TIFFTAG_JPEGQUALITY, 90);
            if (photometric == PHOTOMETRIC_YCBCR)
                TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        }
        if (pages.size() > 1) {
            TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        }

        int planes = page.separate ? p.channels : 1;
        std::vector<std::uint8_t> row;
        if (page.tile > 0) {
            TIFFSetField(tiff, TIFFTAG_TILEWIDTH, page.tile);
            TIFFSetField(tiff, TIFFTAG_TILELENGTH, page.tile);
            std::vector<std::uint8_t> buffer(std::size_t(TIFFTileSize(tiff)));
            for (int s = 0; s < planes; ++s) {
                Pixels one = page.separate ? Channel(p, s) : p;
                for (int ty = 0; ty < p.height; ty += page.tile)
                    for (int tx = 0; tx < p.width; tx += page.tile) {
                        std::fill(buffer.begin(), buffer.end(), 0);
                        std::size_t tileRow = std::size_t(page.tile) * one.channels * one.depth / 8;
                        for (int y = ty; y < ty + page.tile && y < p.height; ++y) {
                            row = PackRow(one, y, false);
                            std::size_t from = std::size_t(tx) * one.channels * one.depth / 8;
                            std::size_t n = std::min(tileRow, row.size() - from);
                            std::memcpy(&buffer[std::size_t(y - ty) * tileRow], &row[from], n);
                        }
                        TIFFWriteTile(tiff, buffer.data(), std::uint32_t(tx), std::uint32_t(ty), 0, std::uint16_t(s));
                    }
            }
        } else {
            TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, page.rowsPerStrip > 0 ? page.rowsPerStrip : p.height);
            for (int s = 0; s < planes; ++s) {
                Pixels one = page.separate ? Channel(p, s) : p;
                for (int y = 0; y < p.height; ++y) {
                    row = PackRow(one, y, false);
                    if (TIFFWriteScanline(tiff, row.data(), std::uint32_t(y), std::uint16_t(s)) < 0)
                        throw std::runtime_error("cannot write a TIFF row");
                }
            }
        }
        TIFFWriteDirectory(tiff);
    }
    TIFFClose(tiff);
}

Pixels TiffRgba(const std::string& path)
{
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    if (tiff == nullptr)
        throw std::runtime_error("libtiff cannot open " + path);
    std::uint32_t w = 0, h = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &h);
    std::vector<std::uint32_t> raster(std::size_t(w) * h);
    bool read = TIFFReadRGBAImageOriented(tiff, w, h, raster.data(), ORIENTATION_TOPLEFT, 0);
    TIFFClose(tiff);
    if (!read)
        throw std::runtime_error("libtiff cannot read " + path);
    Pixels p{int(w), int(h), 3, 8, {}};
    for (std::uint32_t v : raster)
        p.samples.insert(p.samples.end(), {std::uint16_t(TIFFGetR(v)), std::uint16_t(TIFFGetG(v)), std::uint16_t(TIFFGetB(v))});
    return p;
}
