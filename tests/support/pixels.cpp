#include "support/pixels.h"

#include "support/process.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <tiffio.h>

Pixels Pattern(int width, int height, int channels, int depth, unsigned seed)
{
    Pixels p{width, height, channels, depth, {}};
    p.samples.resize(std::size_t(width) * height * channels);
    std::uint32_t max = (1u << depth) - 1, state = seed * 2654435761u + 1;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < channels; ++c) {
                state = state * 1664525u + 1013904223u;
                double v = 0.5 + 0.35 * std::sin((x + 3 * c) * 0.11 + seed) * std::cos((y - c) * 0.07) +
                           ((x / 9 + y / 7 + c) % 5 == 0 ? 0.3 : 0) + ((state >> 24) / 255.0 - 0.5) * 0.08;
                v = std::fmin(1, std::fmax(0, v));
                bool alpha = (channels == 2 && c == 1) || (channels == 4 && c == 3);
                if (alpha) // opaque, transparent and in between
                    v = x < width / 3 ? 1.0 : x < 2 * width / 3 ? double(y) / height : (y % 2 ? 0 : 1);
                p.At(x, y, c) = std::uint16_t(std::lround(v * max));
            }
        }
    }
    return p;
}

std::vector<std::uint8_t> PackRow(const Pixels& p, int y, bool bigEndian)
{
    std::vector<std::uint8_t> row((std::size_t(p.width) * p.channels * p.depth + 7) / 8, 0);
    for (int x = 0; x < p.width; ++x)
        for (int c = 0; c < p.channels; ++c) {
            std::size_t i = std::size_t(x) * p.channels + c;
            std::uint16_t v = p.At(x, y, c);
            if (p.depth == 16 && bigEndian) {
                row[2 * i] = std::uint8_t(v >> 8);
                row[2 * i + 1] = std::uint8_t(v);
            } else if (p.depth == 16) {
                std::memcpy(&row[2 * i], &v, 2);
            } else if (p.depth == 8) {
                row[i] = std::uint8_t(v);
            } else {
                std::size_t bit = i * p.depth;
                row[bit / 8] |= std::uint8_t(v << (8 - p.depth - bit % 8));
            }
        }
    return row;
}

Pixels Channel(const Pixels& p, int channel)
{
    Pixels one{p.width, p.height, 1, p.depth, {}};
    for (std::size_t i = std::size_t(channel); i < p.samples.size(); i += std::size_t(p.channels))
        one.samples.push_back(p.samples[i]);
    return one;
}

namespace {

std::uint8_t To8(std::uint32_t v, int depth)
{
    if (depth == 16)
        return std::uint8_t(v >> 8);
    if (depth == 8)
        return std::uint8_t(v);
    return std::uint8_t(v * 255 / ((1u << depth) - 1));
}

// x * y / 255, rounded as pixman rounds it.
int Multiply(int x, int y)
{
    int t = x * y + 0x80;
    return ((t >> 8) + t) >> 8;
}

} // namespace

Rgb8 Shown(const Pixels& p)
{
    Rgb8 out{p.width, p.height, std::string(std::size_t(p.width) * p.height * 3, '\0')};
    bool alpha = p.channels == 2 || p.channels == 4;
    int colors = alpha ? p.channels - 1 : p.channels;
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) {
            int a = alpha ? To8(p.At(x, y, p.channels - 1), p.depth) : 255;
            for (int c = 0; c < 3; ++c) {
                int v = To8(p.At(x, y, colors == 1 ? 0 : c), p.depth);
                // Composited as cairo does it: colour premultiplied, then over white.
                int result = Multiply(v, a) + Multiply(255, 255 - a);
                out.data[(std::size_t(y) * p.width + x) * 3 + c] = char(alpha ? result : v);
            }
        }
    }
    return out;
}

Rgb8 RenderPage(const std::string& pdf, int page, int width, int height)
{
    // poppler's cairo back end copies image pixels exactly at their own
    // resolution (its raster back end smooths them); scaling to the exact
    // pixel count avoids the rounding of a resolution in dots an inch.
    ScratchDir out;
    RunResult r = RunProgram({"/usr/bin/pdftocairo", "-q", "-tiff", "-singlefile", "-f", std::to_string(page), "-l",
                              std::to_string(page), "-scale-to-x", std::to_string(width), "-scale-to-y",
                              std::to_string(height), "-antialias", "none", pdf, out / "page"});
    TIFF* tiff = r.status == 0 ? TIFFOpen((out / "page.tif").c_str(), "r") : nullptr;
    if (tiff == nullptr)
        throw std::runtime_error("pdftocairo failed on page " + std::to_string(page) + ": " + r.err);
    std::uint32_t w = 0, h = 0;
    std::uint16_t samples = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetField(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    Rgb8 image{int(w), int(h), {}};
    std::string row(std::size_t(TIFFScanlineSize(tiff)), '\0');
    for (std::uint32_t y = 0; y < h; ++y) {
        TIFFReadScanline(tiff, row.data(), y);
        for (std::uint32_t x = 0; x < w; ++x)
            image.data.append(row, std::size_t(x) * samples, 3);
    }
    TIFFClose(tiff);
    return image;
}

std::string Difference(const Rgb8& expected, const Rgb8& actual)
{
    if (expected.width != actual.width || expected.height != actual.height)
        return "size " + std::to_string(actual.width) + "x" + std::to_string(actual.height) + ", expected " +
               std::to_string(expected.width) + "x" + std::to_string(expected.height);
    if (actual.data.size() != expected.data.size())
        return "short image data";
    std::size_t differing = 0, first = 0;
    for (std::size_t i = 0; i < expected.data.size(); ++i) {
        if (expected.data[i] != actual.data[i] && differing++ == 0)
            first = i;
    }
    if (differing == 0)
        return "";
    std::size_t pixel = first / 3;
    char text[200];
    std::snprintf(text, sizeof text, "%zu samples differ; first at (%zu,%zu) channel %zu: %d, expected %d", differing,
                  pixel % std::size_t(expected.width), pixel / std::size_t(expected.width), first % 3,
                  std::uint8_t(actual.data[first]), std::uint8_t(expected.data[first]));
    return text;
}
