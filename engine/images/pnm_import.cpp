// PNM (PBM, PGM, PPM), plain and raw, and PAM (grey, RGB, black and white,
// each with or without alpha), one page per image in the file. The samples
// go in as they are; a maximum value other than 2^n - 1 is scaled by the
// image's decode array (PAM's samples are widened to 8 or 16 bits instead,
// since its alpha becomes a soft mask).
#include "images/byte_cursor.h"
#include "images/image_import.h"
#include "images/raster_alpha.h"
#include "images/raw_limits.h"

#include <cstdint>
#include <stdexcept>

namespace {

struct Scanner {
    const std::string& s;
    std::size_t at = 0;

    void SkipSpace()
    {
        while (at < s.size()) {
            char c = s[at];
            if (c == '#') {
                while (at < s.size() && s[at] != '\n' && s[at] != '\r')
                    ++at;
            } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
                ++at;
            } else {
                break;
            }
        }
    }
    std::uint64_t Number()
    {
        SkipSpace();
        if (at >= s.size() || s[at] < '0' || s[at] > '9')
            throw std::runtime_error("the PNM header is damaged");
        std::uint64_t value = 0;
        while (at < s.size() && s[at] >= '0' && s[at] <= '9') {
            value = value * 10 + std::uint64_t(s[at++] - '0');
            if (value > (1u << 24))
                throw std::runtime_error("the PNM header holds a number too large");
        }
        return value;
    }
};

// A page of width x height samples of `bits` bits, grey or RGB.
ImagePage SampledPage(std::uint64_t width, std::uint64_t height, int bits, int colours)
{
    ImagePage page;
    Raster& r = page.raster;
    r.width = int(width);
    r.height = int(height);
    r.bitsPerComponent = bits;
    r.space = colours == 3 ? Raster::Space::RGB : Raster::Space::Gray;
    return page;
}

struct PamHeader {
    std::uint64_t width = 0, height = 0, depth = 0, maxval = 0;
    std::string tuple;
};

// A PAM header's lines up to ENDHDR.
PamHeader ReadPamHeader(Scanner& in)
{
    in.at += 2;
    PamHeader h;
    std::uint64_t &width = h.width, &height = h.height, &depth = h.depth, &maxval = h.maxval;
    std::string& tuple = h.tuple;
    for (;;) {
        // One "KEY value" line; comments and blank lines are skipped.
        in.SkipSpace();
        std::size_t start = in.at;
        while (in.at < in.s.size() && in.s[in.at] != '\n' && in.s[in.at] != ' ' && in.s[in.at] != '\t' &&
               in.s[in.at] != '\r')
            ++in.at;
        std::string key = in.s.substr(start, in.at - start);
        if (key.empty())
            throw std::runtime_error("the PAM header is truncated");
        if (key == "ENDHDR") {
            while (in.at < in.s.size() && in.s[in.at] != '\n')
                ++in.at;
            if (in.at >= in.s.size())
                throw std::runtime_error("the PAM file is truncated");
            ++in.at;
            break;
        }
        if (key == "WIDTH")
            width = in.Number();
        else if (key == "HEIGHT")
            height = in.Number();
        else if (key == "DEPTH")
            depth = in.Number();
        else if (key == "MAXVAL")
            maxval = in.Number();
        else if (key == "TUPLTYPE") {
            while (in.at < in.s.size() && (in.s[in.at] == ' ' || in.s[in.at] == '\t'))
                ++in.at;
            std::size_t from = in.at;
            while (in.at < in.s.size() && in.s[in.at] != '\n' && in.s[in.at] != '\r')
                ++in.at;
            tuple = in.s.substr(from, in.at - from);
            while (!tuple.empty() && (tuple.back() == ' ' || tuple.back() == '\t'))
                tuple.pop_back();
        } else {
            throw std::runtime_error("the PAM header holds an unknown line: " + key.substr(0, 40));
        }
    }
    return h;
}

// A PAM image: its header, then its raw samples, widened to 8 or 16 bits.
ImagePage ReadPam(Scanner& in)
{
    PamHeader h = ReadPamHeader(in);
    std::uint64_t width = h.width, height = h.height, depth = h.depth, maxval = h.maxval;
    const std::string& tuple = h.tuple;
    if (maxval == 0 || maxval > 65535)
        throw std::runtime_error("the PAM maximum value is invalid");
    // The tuple type, or the depth where a writer left the type out.
    int colours;
    bool alpha;
    bool bilevel = tuple.rfind("BLACKANDWHITE", 0) == 0;
    if (tuple == "GRAYSCALE" || tuple == "BLACKANDWHITE" || (tuple.empty() && depth == 1))
        colours = 1, alpha = false;
    else if (tuple == "GRAYSCALE_ALPHA" || tuple == "BLACKANDWHITE_ALPHA" || (tuple.empty() && depth == 2))
        colours = 1, alpha = true;
    else if (tuple == "RGB" || (tuple.empty() && depth == 3))
        colours = 3, alpha = false;
    else if (tuple == "RGB_ALPHA" || (tuple.empty() && depth == 4))
        colours = 3, alpha = true;
    else
        throw std::runtime_error("PAM images of tuple type \"" + tuple.substr(0, 40) + "\" are not supported");
    if (depth != std::uint64_t(colours + (alpha ? 1 : 0)) || (bilevel && maxval != 1))
        throw std::runtime_error("the PAM header is inconsistent");
    int bytes = maxval < 256 ? 1 : 2, bits = 8 * bytes;
    CheckRawSize(width, height, std::uint64_t(bits) * depth);
    std::size_t count = std::size_t(width) * std::size_t(height);
    std::size_t total = count * std::size_t(depth) * std::size_t(bytes);
    if (in.s.size() - in.at < total)
        throw std::runtime_error("the PAM file is truncated");

    ImagePage page = SampledPage(width, height, bits, colours);
    // Every sample scaled to the full range, then colour and alpha apart.
    std::uint32_t top = (1u << bits) - 1;
    ByteCursor raw(std::string_view(in.s).substr(in.at, total));
    std::size_t samples = count * std::size_t(depth);
    std::string pixels(samples * std::size_t(bytes), '\0');
    for (std::size_t i = 0; i < samples; ++i) {
        auto v = std::uint32_t(raw.BeAt(i * std::size_t(bytes), bytes));
        if (v > maxval)
            throw std::runtime_error("a PAM sample exceeds the maximum value");
        PutSample(pixels, i, maxval == top ? v : std::uint32_t((std::uint64_t(v) * top + maxval / 2) / maxval), bytes);
    }
    in.at += total;
    SplitAlpha(pixels.data(), std::size_t(width) * std::size_t(depth) * std::size_t(bytes), int(depth), colours, alpha,
               page.raster);
    return page;
}

// The samples of a plain (text) PNM image, packed as the raster holds them.
std::string PlainSamples(Scanner& in, const Raster& r, bool bitmap, std::uint64_t maxval)
{
    std::size_t rowBytes = RowBytes(r), perRow = std::size_t(r.width) * std::size_t(Components(r));
    std::string data(rowBytes * std::size_t(r.height), '\0');
    for (std::size_t y = 0; y < std::size_t(r.height); ++y) {
        for (std::size_t i = 0; i < perRow; ++i) {
            if (bitmap) {
                // Plain PBM digits need no white space between them.
                in.SkipSpace();
                if (in.at >= in.s.size() || (in.s[in.at] != '0' && in.s[in.at] != '1'))
                    throw std::runtime_error("the PNM file is truncated or damaged");
                if (in.s[in.at++] == '1')
                    data[y * rowBytes + i / 8] = char(data[y * rowBytes + i / 8] | (0x80 >> (i % 8)));
                continue;
            }
            std::uint64_t v = in.Number();
            if (v > maxval)
                throw std::runtime_error("a PNM sample exceeds the maximum value");
            PutSample(data, y * perRow + i, std::uint32_t(v), r.bitsPerComponent / 8);
        }
    }
    return data;
}

ImagePage ReadOne(Scanner& in)
{
    if (in.s[in.at + 1] == '7')
        return ReadPam(in);
    char kind = in.s[in.at + 1];
    in.at += 2;
    bool bitmap = kind == '1' || kind == '4';
    bool plain = kind <= '3';
    int channels = (kind == '3' || kind == '6') ? 3 : 1;
    std::uint64_t width = in.Number(), height = in.Number();
    std::uint64_t maxval = bitmap ? 1 : in.Number();
    if (maxval == 0 || maxval > 65535)
        throw std::runtime_error("the PNM maximum value is invalid");
    int bits = bitmap ? 1 : maxval < 256 ? 8 : 16;
    CheckRawSize(width, height, std::uint64_t(bits) * channels);

    ImagePage page = SampledPage(width, height, bits, channels);
    Raster& r = page.raster;
    std::size_t rowBytes = RowBytes(r);
    std::size_t total = rowBytes * height;

    if (!plain) {
        // One white-space byte ends the header.
        if (in.at >= in.s.size())
            throw std::runtime_error("the PNM file is truncated");
        ++in.at;
        if (in.s.size() - in.at < total)
            throw std::runtime_error("the PNM file is truncated");
        r.data = in.s.substr(in.at, total);
        in.at += total;
    } else {
        r.data = PlainSamples(in, r, bitmap, maxval);
    }
    if (bitmap) {
        r.decode = {1, 0}; // 1 is black
    } else if (maxval != 255 && maxval != 65535) {
        double top = double((1u << bits) - 1) / double(maxval);
        for (int c = 0; c < channels; ++c)
            r.decode.insert(r.decode.end(), {0, top});
    }
    return page;
}

} // namespace

std::vector<ImagePage> ReadPnm(const std::string& bytes)
{
    Scanner in{bytes};
    std::vector<ImagePage> pages;
    PixelBudget budget(bytes.size());
    for (;;) {
        pages.push_back(ReadOne(in));
        const Raster& r = pages.back().raster;
        budget.Claim(PixelBudget::Bytes(std::uint64_t(r.width), std::uint64_t(r.height),
                                        std::uint64_t(Components(r)) * std::uint64_t(r.bitsPerComponent)));
        PackRaster(pages.back().raster);
        in.SkipSpace();
        if (in.at + 2 > bytes.size() || bytes[in.at] != 'P' || bytes[in.at + 1] < '1' || bytes[in.at + 1] > '7')
            break; // the rest is no further image
    }
    return pages;
}
