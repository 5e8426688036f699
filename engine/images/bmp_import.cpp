// BMP: Windows and OS/2 (versions 1 and 2) bitmaps of 1, 4, 8, 16, 24 and 32
// bits, plain, with bit fields or run-length encoded. Palette images keep
// their palette.
#include "images/image_import.h"
#include "images/raw_limits.h"

#include <cstdint>
#include <stdexcept>

namespace {

std::uint32_t Le(const std::string& s, std::size_t at, int n)
{
    std::uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = (v << 8) | std::uint8_t(s[at + std::size_t(i)]);
    return v;
}

[[noreturn]] void Damaged(const char* what)
{
    throw std::runtime_error(std::string("the BMP file is ") + what);
}

// One channel of a bit-field pixel, scaled to 8 bits.
struct Field {
    std::uint32_t mask = 0;
    int shift = 0;
    std::uint32_t max = 0;

    explicit Field(std::uint32_t m = 0) : mask(m)
    {
        if (mask == 0)
            return;
        while (!((mask >> shift) & 1))
            ++shift;
        max = mask >> shift;
    }
    std::uint8_t Of(std::uint32_t pixel) const
    {
        if (max == 0)
            return 0;
        return std::uint8_t((std::uint64_t((pixel & mask) >> shift) * 255 + max / 2) / max);
    }
};

// Run-length encoded indices, 8 or 4 bits; pixels a run skips stay index 0.
std::string DecodeRle(const std::string& s, std::size_t at, std::size_t end, int width, int height, int bits)
{
    std::string indices(std::size_t(width) * height, '\0');
    long x = 0, y = height - 1; // rows run bottom up
    auto put = [&](int index) {
        if (x < width && y >= 0)
            indices[std::size_t(y) * width + std::size_t(x)] = char(index);
        ++x;
    };
    while (at + 1 < end && y >= 0) {
        std::uint8_t count = std::uint8_t(s[at]), value = std::uint8_t(s[at + 1]);
        at += 2;
        if (count > 0) {
            for (int i = 0; i < count; ++i)
                put(bits == 8 ? value : (i % 2 == 0 ? value >> 4 : value & 15));
        } else if (value == 0) {
            x = 0;
            --y;
        } else if (value == 1) {
            return indices;
        } else if (value == 2) {
            if (at + 1 >= end)
                Damaged("truncated");
            x += std::uint8_t(s[at]);
            y -= std::uint8_t(s[at + 1]);
            at += 2;
        } else {
            std::size_t bytes = bits == 8 ? value : (value + 1u) / 2;
            if (end - at < bytes)
                Damaged("truncated");
            for (int i = 0; i < value; ++i) {
                std::uint8_t b = std::uint8_t(s[at + (bits == 8 ? std::size_t(i) : std::size_t(i) / 2)]);
                put(bits == 8 ? b : (i % 2 == 0 ? b >> 4 : b & 15));
            }
            at += (bytes + 1) & ~std::size_t(1); // runs are padded to 16 bits
        }
    }
    if (y >= 0)
        Damaged("truncated");
    return indices;
}

} // namespace

std::vector<ImagePage> ReadBmp(const std::string& s)
{
    if (s.size() < 26)
        Damaged("truncated");
    std::uint32_t offset = Le(s, 10, 4), headerSize = Le(s, 14, 4);
    if (headerSize != 12 && (headerSize < 16 || headerSize > 1024))
        Damaged("of an unknown version");
    if (s.size() < 14 + std::size_t(headerSize))
        Damaged("truncated");
    bool core = headerSize == 12;
    // OS/2's second version has a header of 16 to 64 bytes whose first 40
    // bytes are laid out as Windows' are; the fields it leaves out are zero.
    bool os2 = !core && headerSize <= 64 && headerSize != 40 && headerSize != 52 && headerSize != 56;
    auto field = [&](std::size_t at, int n) -> std::uint32_t {
        return at + std::size_t(n) <= 14 + std::size_t(headerSize) ? Le(s, at, n) : 0;
    };
    long width = core ? long(Le(s, 18, 2)) : long(std::int32_t(Le(s, 18, 4)));
    long rawHeight = core ? long(Le(s, 20, 2)) : long(std::int32_t(Le(s, 22, 4)));
    int bits = int(Le(s, core ? 24 : 28, 2));
    std::uint32_t compression = core ? 0 : field(30, 4);
    if (os2 && compression > 2)
        Damaged("compressed in a way that is not supported"); // OS/2's Huffman and 24-bit run lengths
    bool topDown = rawHeight < 0;
    long height = topDown ? -rawHeight : rawHeight;
    if (width <= 0 || height <= 0)
        Damaged("without pixels");
    CheckRawSize(std::uint64_t(width), std::uint64_t(height), 32);

    ImagePage page;
    Raster& r = page.raster;
    r.width = int(width);
    r.height = int(height);
    if (!core) {
        std::uint32_t xPpm = field(38, 4), yPpm = field(42, 4);
        if (xPpm > 0 && yPpm > 0) {
            page.xDpi = xPpm * 0.0254;
            page.yDpi = yPpm * 0.0254;
        }
    }

    std::size_t paletteAt = 14 + headerSize;
    if (compression == 3 && headerSize == 40)
        paletteAt += 12; // the three masks follow a plain header
    else if (compression == 6 && headerSize == 40)
        paletteAt += 16;
    std::uint32_t masks[4] = {0, 0, 0, 0};
    if (compression == 3 || compression == 6) {
        std::size_t at = headerSize >= 52 ? 54 : 14 + headerSize;
        int count = compression == 6 || headerSize >= 56 ? 4 : 3;
        if (s.size() < at + 4 * std::size_t(count))
            Damaged("truncated");
        for (int i = 0; i < count; ++i)
            masks[i] = Le(s, at + 4 * std::size_t(i), 4);
    } else if (headerSize >= 56 && !os2 && compression == 0 && bits == 32) {
        masks[3] = Le(s, 66, 4); // a V4/V5 header may name an alpha channel
        masks[0] = 0xff0000, masks[1] = 0xff00, masks[2] = 0xff;
    }

    if (offset > s.size())
        Damaged("truncated");
    if (bits <= 8) {
        if (bits != 1 && bits != 4 && bits != 8)
            Damaged("of an unsupported depth");
        std::uint32_t used = core ? 0 : field(46, 4);
        std::size_t entries = used > 0 && used <= (1u << bits) ? used : (1u << bits);
        std::size_t entryBytes = core ? 3 : 4;
        entries = std::min(entries, (offset > paletteAt ? offset - paletteAt : 0) / entryBytes);
        if (entries == 0)
            Damaged("without a palette");
        r.space = Raster::Space::Indexed;
        for (std::size_t i = 0; i < entries; ++i) {
            std::size_t at = paletteAt + i * entryBytes;
            r.palette += s[at + 2];
            r.palette += s[at + 1];
            r.palette += s[at];
        }
        if (compression == 1 || compression == 2) {
            if ((compression == 1 && bits != 8) || (compression == 2 && bits != 4) || topDown)
                Damaged("run-length encoded in a way that is not valid");
            r.bitsPerComponent = 8;
            r.data = DecodeRle(s, offset, s.size(), r.width, r.height, bits);
        } else if (compression == 0) {
            r.bitsPerComponent = bits;
            std::size_t stride = (std::size_t(width) * bits + 31) / 32 * 4, rowBytes = RowBytes(r);
            if (s.size() - offset < stride * std::size_t(height))
                Damaged("truncated");
            r.data.resize(rowBytes * std::size_t(height));
            for (long y = 0; y < height; ++y) {
                std::size_t from = offset + stride * std::size_t(topDown ? y : height - 1 - y);
                r.data.replace(std::size_t(y) * rowBytes, rowBytes, s, from, rowBytes);
            }
        } else {
            Damaged("compressed in a way that is not supported");
        }
        // Indices past the palette show its first colour.
        if (r.bitsPerComponent == 8)
            for (char& index : r.data)
                if (std::uint8_t(index) >= entries)
                    index = 0;
        return {page};
    }

    if (bits != 16 && bits != 24 && bits != 32)
        Damaged("of an unsupported depth");
    if (compression != 0 && compression != 3 && compression != 6)
        Damaged("compressed in a way that is not supported");
    if (compression == 0) {
        if (bits == 16)
            masks[0] = 0x7c00, masks[1] = 0x3e0, masks[2] = 0x1f;
        else if (masks[0] == 0)
            masks[0] = 0xff0000, masks[1] = 0xff00, masks[2] = 0xff;
    }
    Field red(masks[0]), green(masks[1]), blue(masks[2]), alpha(masks[3]);
    std::size_t stride = (std::size_t(width) * bits + 31) / 32 * 4;
    if (s.size() - offset < stride * std::size_t(height))
        Damaged("truncated");
    r.space = Raster::Space::RGB;
    std::size_t count = std::size_t(width) * height;
    r.data.resize(count * 3);
    std::string mask(count, '\xff');
    bool anyAlpha = false;
    int bytes = bits / 8;
    for (long y = 0; y < height; ++y) {
        std::size_t row = offset + stride * std::size_t(topDown ? y : height - 1 - y);
        for (long x = 0; x < width; ++x) {
            std::uint32_t pixel = Le(s, row + std::size_t(x) * bytes, bytes);
            std::size_t i = std::size_t(y) * width + std::size_t(x);
            r.data[3 * i] = char(red.Of(pixel));
            r.data[3 * i + 1] = char(green.Of(pixel));
            r.data[3 * i + 2] = char(blue.Of(pixel));
            if (alpha.mask != 0) {
                mask[i] = char(alpha.Of(pixel));
                anyAlpha |= mask[i] != '\0';
            }
        }
    }
    // Many writers leave the alpha bits zero: an all-zero alpha means opaque.
    bool translucent = false;
    for (std::size_t i = 0; anyAlpha && i < count && !translucent; ++i)
        translucent = mask[i] != '\xff';
    if (anyAlpha && translucent) {
        r.softMask = std::make_shared<Raster>();
        r.softMask->width = r.width;
        r.softMask->height = r.height;
        r.softMask->data = std::move(mask);
    }
    return {page};
}
