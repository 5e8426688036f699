// PNM (PBM, PGM, PPM), plain and raw, one page per image in the file. The
// samples go in as they are; a maximum value other than 2^n - 1 is scaled by
// the image's decode array.
#include "images/image_import.h"
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

ImagePage ReadOne(Scanner& in)
{
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

    ImagePage page;
    Raster& r = page.raster;
    r.width = int(width);
    r.height = int(height);
    r.bitsPerComponent = bits;
    r.space = channels == 3 ? Raster::Space::RGB : Raster::Space::Gray;
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
        r.data.assign(total, '\0');
        std::size_t perRow = std::size_t(width) * channels;
        for (std::size_t y = 0; y < height; ++y) {
            for (std::size_t i = 0; i < perRow; ++i) {
                std::uint64_t v;
                if (bitmap) {
                    // Plain PBM digits need no white space between them.
                    in.SkipSpace();
                    if (in.at >= in.s.size() || (in.s[in.at] != '0' && in.s[in.at] != '1'))
                        throw std::runtime_error("the PNM file is truncated or damaged");
                    v = std::uint64_t(in.s[in.at++] - '0');
                    if (v)
                        r.data[y * rowBytes + i / 8] = char(r.data[y * rowBytes + i / 8] | (0x80 >> (i % 8)));
                    continue;
                }
                v = in.Number();
                if (v > maxval)
                    throw std::runtime_error("a PNM sample exceeds the maximum value");
                if (bits == 8) {
                    r.data[y * rowBytes + i] = char(v);
                } else {
                    r.data[y * rowBytes + 2 * i] = char(v >> 8);
                    r.data[y * rowBytes + 2 * i + 1] = char(v & 0xff);
                }
            }
        }
    }
    if (bitmap) {
        r.decode = "[1 0]"; // 1 is black
    } else if (maxval != 255 && maxval != 65535) {
        double top = double((1u << bits) - 1) / double(maxval);
        std::string range = "0 " + std::to_string(top) + " ";
        r.decode = "[";
        for (int c = 0; c < channels; ++c)
            r.decode += range;
        r.decode += "]";
    }
    return page;
}

} // namespace

std::vector<ImagePage> ReadPnm(const std::string& bytes)
{
    Scanner in{bytes};
    std::vector<ImagePage> pages;
    for (;;) {
        pages.push_back(ReadOne(in));
        in.SkipSpace();
        if (in.at + 2 > bytes.size() || bytes[in.at] != 'P' || bytes[in.at + 1] < '1' || bytes[in.at + 1] > '6')
            break; // the rest is no further image
    }
    return pages;
}
