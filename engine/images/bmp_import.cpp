// BMP: Windows and OS/2 (versions 1 and 2) bitmaps of 1, 4, 8, 16, 24 and 32
// bits, plain, with bit fields or run-length encoded. Palette images keep
// their palette.
#include "images/byte_cursor.h"
#include "images/image_import.h"
#include "images/raster_alpha.h"
#include "images/raw_limits.h"

#include <cstdint>
#include <stdexcept>

namespace {

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

// What the file and bitmap headers say.
struct Header {
    std::uint32_t offset = 0, headerSize = 0, compression = 0;
    bool core = false, os2 = false, topDown = false;
    long width = 0, height = 0;
    int bits = 0;
    std::size_t paletteAt = 0;
    std::uint32_t masks[4] = {0, 0, 0, 0};

    // A field of the bitmap header; zero where the header is too short to hold it.
    std::uint32_t Field(const ByteCursor& in, std::size_t at, int n) const
    {
        return at + std::size_t(n) <= 14 + std::size_t(headerSize) ? std::uint32_t(in.LeAt(at, n)) : 0;
    }
    // Bytes from one row to the next: rows are padded to 32 bits.
    std::size_t Stride() const { return (std::size_t(width) * std::size_t(bits) + 31) / 32 * 4; }
    // Where row y (top down) starts.
    std::size_t RowAt(long y) const { return offset + Stride() * std::size_t(topDown ? y : height - 1 - y); }
};

// The bit-field masks: after the header, in it, or a V4/V5 header's alpha.
void ReadMasks(const ByteCursor& in, Header& h)
{
    std::uint32_t* masks = h.masks;
    if (h.compression == 3 || h.compression == 6) {
        std::size_t at = h.headerSize >= 52 ? 54 : 14 + h.headerSize;
        int count = h.compression == 6 || h.headerSize >= 56 ? 4 : 3;
        for (int i = 0; i < count; ++i)
            masks[i] = std::uint32_t(in.LeAt(at + 4 * std::size_t(i), 4));
    } else if (h.headerSize >= 56 && !h.os2 && h.compression == 0 && h.bits == 32) {
        masks[3] = std::uint32_t(in.LeAt(66, 4)); // a V4/V5 header may name an alpha channel
        masks[0] = 0xff0000, masks[1] = 0xff00, masks[2] = 0xff;
    }
}

Header ReadHeader(const ByteCursor& in)
{
    if (in.Size() < 26)
        Damaged("truncated");
    Header h;
    h.offset = std::uint32_t(in.LeAt(10, 4));
    h.headerSize = std::uint32_t(in.LeAt(14, 4));
    if (h.headerSize != 12 && (h.headerSize < 16 || h.headerSize > 1024))
        Damaged("of an unknown version");
    if (in.Size() < 14 + std::size_t(h.headerSize))
        Damaged("truncated");
    h.core = h.headerSize == 12;
    // OS/2's second version has a header of 16 to 64 bytes whose first 40
    // bytes are laid out as Windows' are; the fields it leaves out are zero.
    h.os2 = !h.core && h.headerSize <= 64 && h.headerSize != 40 && h.headerSize != 52 && h.headerSize != 56;
    h.width = h.core ? long(in.LeAt(18, 2)) : long(std::int32_t(in.LeAt(18, 4)));
    long rawHeight = h.core ? long(in.LeAt(20, 2)) : long(std::int32_t(in.LeAt(22, 4)));
    h.bits = int(in.LeAt(h.core ? 24 : 28, 2));
    h.compression = h.core ? 0 : h.Field(in, 30, 4);
    if (h.os2 && h.compression > 2)
        Damaged("compressed in a way that is not supported"); // OS/2's Huffman and 24-bit run lengths
    h.topDown = rawHeight < 0;
    h.height = h.topDown ? -rawHeight : rawHeight;
    if (h.width <= 0 || h.height <= 0)
        Damaged("without pixels");
    CheckRawSize(std::uint64_t(h.width), std::uint64_t(h.height), 32);

    h.paletteAt = 14 + h.headerSize;
    if (h.compression == 3 && h.headerSize == 40)
        h.paletteAt += 12; // the three masks follow a plain header
    else if (h.compression == 6 && h.headerSize == 40)
        h.paletteAt += 16;
    ReadMasks(in, h);
    if (h.offset > in.Size())
        Damaged("truncated");
    return h;
}

// Run-length encoded indices, 8 or 4 bits; pixels a run skips stay index 0.
std::string DecodeRle(ByteCursor in, int width, int height, int bits)
{
    std::string indices(std::size_t(width) * std::size_t(height), '\0');
    long x = 0, y = height - 1; // rows run bottom up
    auto put = [&](int index) {
        if (x < width && y >= 0)
            indices[std::size_t(y) * std::size_t(width) + std::size_t(x)] = char(index);
        ++x;
    };
    auto nibbles = [&](int i, std::uint8_t b) { return bits == 8 ? b : (i % 2 == 0 ? b >> 4 : b & 15); };
    while (in.Has(2) && y >= 0) {
        std::uint8_t count = std::uint8_t(in.Be(1)), value = std::uint8_t(in.Be(1));
        if (count > 0) {
            for (int i = 0; i < count; ++i)
                put(nibbles(i, value));
        } else if (value == 0) {
            x = 0;
            --y;
        } else if (value == 1) {
            return indices;
        } else if (value == 2) {
            x += std::uint8_t(in.Be(1));
            y -= std::uint8_t(in.Be(1));
        } else {
            std::size_t bytes = bits == 8 ? value : (value + 1u) / 2;
            std::string_view run = in.Take(bytes);
            for (int i = 0; i < value; ++i)
                put(nibbles(i, std::uint8_t(run[bits == 8 ? std::size_t(i) : std::size_t(i) / 2])));
            in.Skip(bytes % 2); // runs are padded to 16 bits
        }
    }
    if (y >= 0)
        Damaged("truncated");
    return indices;
}

// The colour table, of as many entries as the header says and the file holds.
void ReadPalette(const ByteCursor& in, const Header& h, Raster& r)
{
    std::uint32_t used = h.core ? 0 : h.Field(in, 46, 4);
    std::size_t entries = used > 0 && used <= (1u << h.bits) ? used : (1u << h.bits);
    std::size_t entryBytes = h.core ? 3 : 4;
    entries = std::min(entries, (h.offset > h.paletteAt ? h.offset - h.paletteAt : 0) / entryBytes);
    if (entries == 0)
        Damaged("without a palette");
    r.space = Raster::Space::Indexed;
    for (std::size_t i = 0; i < entries; ++i) {
        std::size_t at = h.paletteAt + i * entryBytes;
        for (std::size_t c : {2, 1, 0}) // stored blue, green, red
            r.palette += char(in.ByteAt(at + c));
    }
}

// Rows of 1, 4 or 8 bits an index, plain or run-length encoded.
void ReadIndices(const ByteCursor& in, const Header& h, Raster& r)
{
    if (h.bits != 1 && h.bits != 4 && h.bits != 8)
        Damaged("of an unsupported depth");
    ReadPalette(in, h, r);
    if (h.compression == 1 || h.compression == 2) {
        if ((h.compression == 1 && h.bits != 8) || (h.compression == 2 && h.bits != 4) || h.topDown)
            Damaged("run-length encoded in a way that is not valid");
        r.bitsPerComponent = 8;
        ByteCursor runs(in.Bytes(), "the BMP file is truncated");
        runs.Seek(h.offset);
        r.data = DecodeRle(runs, r.width, r.height, h.bits);
    } else if (h.compression == 0) {
        r.bitsPerComponent = h.bits;
        std::size_t rowBytes = RowBytes(r);
        if (in.Size() - h.offset < h.Stride() * std::size_t(h.height))
            Damaged("truncated");
        r.data.resize(rowBytes * std::size_t(h.height));
        for (long y = 0; y < h.height; ++y)
            r.data.replace(std::size_t(y) * rowBytes, rowBytes, in.Bytes().substr(h.RowAt(y), rowBytes));
    } else {
        Damaged("compressed in a way that is not supported");
    }
    // Indices past the palette show its first colour.
    std::size_t entries = r.palette.size() / 3;
    if (r.bitsPerComponent == 8)
        for (char& index : r.data)
            if (std::uint8_t(index) >= entries)
                index = 0;
}

// Pixels of 16, 24 or 32 bits, their channels picked out by bit fields.
void ReadBitFields(const ByteCursor& in, Header& h, Raster& r)
{
    if (h.bits != 16 && h.bits != 24 && h.bits != 32)
        Damaged("of an unsupported depth");
    if (h.compression != 0 && h.compression != 3 && h.compression != 6)
        Damaged("compressed in a way that is not supported");
    std::uint32_t* masks = h.masks;
    if (h.compression == 0) {
        if (h.bits == 16)
            masks[0] = 0x7c00, masks[1] = 0x3e0, masks[2] = 0x1f;
        else if (masks[0] == 0)
            masks[0] = 0xff0000, masks[1] = 0xff00, masks[2] = 0xff;
    }
    const Field fields[4] = {Field(masks[0]), Field(masks[1]), Field(masks[2]), Field(masks[3])};
    if (in.Size() - h.offset < h.Stride() * std::size_t(h.height))
        Damaged("truncated");
    r.space = Raster::Space::RGB;
    // Colour and alpha interleaved, then split.
    std::size_t width = std::size_t(h.width);
    std::string pixels(width * std::size_t(h.height) * 4, '\0');
    bool anyAlpha = false;
    int bytes = h.bits / 8;
    for (long y = 0; y < h.height; ++y) {
        std::size_t row = h.RowAt(y);
        char* out = &pixels[std::size_t(y) * width * 4];
        for (std::size_t x = 0; x < width; ++x) {
            std::uint32_t pixel = std::uint32_t(in.LeAt(row + x * std::size_t(bytes), bytes));
            for (int c = 0; c < 4; ++c)
                *out++ = char(fields[c].Of(pixel));
            anyAlpha |= out[-1] != '\0';
        }
    }
    // Many writers leave the alpha bits zero: an all-zero alpha means opaque.
    SplitAlpha(pixels.data(), width * 4, 4, 3, anyAlpha, r);
}

} // namespace

std::vector<ImagePage> ReadBmp(const std::string& s)
{
    ByteCursor in(s, "the BMP file is truncated");
    Header h = ReadHeader(in);
    ImagePage page;
    Raster& r = page.raster;
    r.width = int(h.width);
    r.height = int(h.height);
    std::uint32_t xPpm = h.core ? 0 : h.Field(in, 38, 4), yPpm = h.core ? 0 : h.Field(in, 42, 4);
    if (xPpm > 0 && yPpm > 0) {
        page.xDpi = xPpm * 0.0254;
        page.yDpi = yPpm * 0.0254;
    }
    if (h.bits <= 8)
        ReadIndices(in, h, r);
    else
        ReadBitFields(in, h, r);
    return {page};
}
