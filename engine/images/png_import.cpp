// PNG: image data that PDF's Flate predictors read as they are goes in
// without decoding; interlaced files and those with an alpha channel are
// decoded with libpng and split into colour and a soft mask.
#include "images/byte_cursor.h"
#include "images/image_import.h"
#include "images/raster_alpha.h"
#include "images/raw_limits.h"

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <png.h>
#include <stdexcept>
#include <zlib.h>

namespace {

struct PngFile {
    std::uint32_t width = 0, height = 0;
    int depth = 0, colorType = 0, interlace = 0;
    std::string palette, transparency, idat, icc;
    bool hasPhys = false;
    std::uint32_t ppuX = 0, ppuY = 0;
    int unit = 0;
};

std::string Inflate(const std::string& compressed, std::size_t limit)
{
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        throw std::runtime_error("cannot decompress");
    std::string out;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    z.avail_in = static_cast<uInt>(compressed.size());
    char buffer[16384];
    int status;
    do {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        status = inflate(&z, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - z.avail_out);
        if (out.size() > limit)
            status = Z_DATA_ERROR;
    } while (status == Z_OK);
    inflateEnd(&z);
    if (status != Z_STREAM_END)
        throw std::runtime_error("the embedded ICC profile is damaged");
    return out;
}

PngFile ParseChunks(const std::string& bytes)
{
    PngFile png;
    ByteCursor in(bytes, "the PNG file is truncated");
    in.Seek(8);
    bool sawHeader = false, sawEnd = false;
    while (!sawEnd) {
        if (!in.Has(12))
            throw std::runtime_error("the PNG file is truncated");
        std::size_t start = in.At();
        auto length = std::uint32_t(in.Be(4));
        if (length > in.Left() - 8)
            throw std::runtime_error("the PNG file is truncated");
        std::string type(in.Take(4));
        ByteCursor data(in.Take(length));
        uLong crc = crc32(0, reinterpret_cast<const Bytef*>(bytes.data() + start + 4), length + 4);
        if (crc != in.Be(4))
            throw std::runtime_error("the PNG file is damaged (bad " + type + " checksum)");
        if (!sawHeader && type != "IHDR")
            throw std::runtime_error("the PNG file has no header");
        if (type == "IHDR") {
            if (length != 13)
                throw std::runtime_error("the PNG header is damaged");
            sawHeader = true;
            png.width = std::uint32_t(data.BeAt(0, 4));
            png.height = std::uint32_t(data.BeAt(4, 4));
            png.depth = data.ByteAt(8);
            png.colorType = data.ByteAt(9);
            png.interlace = data.ByteAt(12);
        } else if (type == "PLTE") {
            png.palette = data.Bytes();
        } else if (type == "tRNS") {
            png.transparency = data.Bytes();
        } else if (type == "IDAT") {
            png.idat += data.Bytes();
        } else if (type == "iCCP") {
            std::size_t name = data.Bytes().find('\0');
            if (name != std::string::npos && name + 2 <= data.Size())
                png.icc = Inflate(std::string(data.Bytes().substr(name + 2)), 64u << 20);
        } else if (type == "pHYs" && length == 9) {
            png.hasPhys = true;
            png.ppuX = std::uint32_t(data.BeAt(0, 4));
            png.ppuY = std::uint32_t(data.BeAt(4, 4));
            png.unit = data.ByteAt(8);
        } else if (type == "IEND") {
            sawEnd = true;
        }
    }
    int d = png.depth, c = png.colorType;
    bool valid = (c == 0 && (d == 1 || d == 2 || d == 4 || d == 8 || d == 16)) ||
                 ((c == 2 || c == 4 || c == 6) && (d == 8 || d == 16)) ||
                 (c == 3 && (d == 1 || d == 2 || d == 4 || d == 8));
    if (!valid || png.width == 0 || png.height == 0 || png.interlace > 1)
        throw std::runtime_error("the PNG header is invalid");
    if (c == 3 && (png.palette.empty() || png.palette.size() % 3 != 0 || png.palette.size() > 768))
        throw std::runtime_error("the PNG palette is missing or damaged");
    if (png.idat.empty())
        throw std::runtime_error("the PNG file holds no image data");
    CheckRawSize(png.width, png.height, (c == 2 ? 3 : c == 6 ? 4 : c == 4 ? 2 : 1) * d);
    return png;
}

int Channels(int colorType)
{
    return colorType == 2 ? 3 : colorType == 6 ? 4 : colorType == 4 ? 2 : 1;
}

// Inflates the image data to count its rows: a damaged or truncated stream is
// found here rather than in the reader of the PDF.
void CheckImageData(const PngFile& png)
{
    std::size_t rowBytes = (std::size_t(png.width) * Channels(png.colorType) * png.depth + 7) / 8 + 1;
    std::size_t expected = rowBytes * png.height;
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        throw std::runtime_error("cannot decompress");
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(png.idat.data()));
    z.avail_in = static_cast<uInt>(png.idat.size());
    std::string buffer(1 << 16, '\0');
    std::size_t total = 0;
    bool badFilter = false;
    int status;
    do {
        z.next_out = reinterpret_cast<Bytef*>(buffer.data());
        z.avail_out = static_cast<uInt>(buffer.size());
        status = inflate(&z, Z_NO_FLUSH);
        std::size_t got = buffer.size() - z.avail_out;
        for (std::size_t i = (rowBytes - total % rowBytes) % rowBytes; i < got; i += rowBytes)
            badFilter |= std::uint8_t(buffer[i]) > 4;
        total += got;
    } while (status == Z_OK && total <= expected);
    inflateEnd(&z);
    if (status != Z_STREAM_END || total != expected)
        throw std::runtime_error("the PNG image data is damaged or truncated");
    if (badFilter)
        throw std::runtime_error("the PNG image data is damaged (bad row filter)");
}

// The colour-key mask that the transparency chunk stands for, if one can.
bool ColorKey(const PngFile& png, std::vector<int>& key)
{
    const std::string& t = png.transparency;
    if (t.empty())
        return true;
    int keyed = png.colorType == 0 ? 1 : png.colorType == 2 ? 3 : 0;
    if (keyed > 0 && t.size() >= 2 * std::size_t(keyed)) {
        ByteCursor values(t);
        for (int i = 0; i < keyed; ++i) {
            int v = int(values.Be(2));
            key.insert(key.end(), {v, v});
        }
        return true;
    }
    if (png.colorType == 3) {
        // Fully transparent entries in one run, all others opaque.
        int first = -1, last = -1;
        for (std::size_t i = 0; i < t.size(); ++i) {
            std::uint8_t a = std::uint8_t(t[i]);
            if (a == 255)
                continue;
            if (a != 0 || (last >= 0 && last != int(i) - 1))
                return false;
            if (first < 0)
                first = int(i);
            last = int(i);
        }
        if (first >= 0)
            key = {first, last};
        return true;
    }
    return true;
}

struct Decoded {
    std::string pixels;
    std::vector<png_bytep> rows;
    std::size_t rowBytes = 0;
    char error[200] = "";
};

void ReadData(png_structp png, png_bytep out, png_size_t length)
{
    ByteCursor* reader = static_cast<ByteCursor*>(png_get_io_ptr(png));
    if (!reader->Has(length))
        png_error(png, "the PNG file is truncated");
    reader->CopyOut(out, length);
}

void OnError(png_structp png, png_const_charp message)
{
    Decoded* decoded = static_cast<Decoded*>(png_get_error_ptr(png));
    std::snprintf(decoded->error, sizeof decoded->error, "%s", message);
    png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

// libpng reports errors by a long jump: nothing here owns memory of its own.
bool Decode(const std::string& bytes, Decoded& decoded)
{
    ByteCursor reader(bytes);
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &decoded, OnError, OnWarning);
    if (png == nullptr)
        return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &reader, ReadData);
    png_read_info(png, info);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    decoded.rowBytes = png_get_rowbytes(png, info);
    png_uint_32 height = png_get_image_height(png, info);
    decoded.pixels.resize(decoded.rowBytes * height);
    decoded.rows.resize(height);
    for (png_uint_32 y = 0; y < height; ++y)
        decoded.rows[y] = reinterpret_cast<png_bytep>(decoded.pixels.data()) + y * decoded.rowBytes;
    png_read_image(png, decoded.rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

// The alpha of each pixel of a palette image, from the transparency chunk.
std::string PaletteAlpha(const PngFile& png, const std::string& indices, std::size_t rowBytes)
{
    std::string alpha(std::size_t(png.width) * png.height, '\xff');
    int perByte = 8 / png.depth;
    for (std::uint32_t y = 0; y < png.height; ++y) {
        for (std::uint32_t x = 0; x < png.width; ++x) {
            std::uint8_t byte = std::uint8_t(indices[y * rowBytes + x / perByte]);
            int shift = 8 - png.depth * (int(x % perByte) + 1);
            std::size_t index = (byte >> shift) & ((1 << png.depth) - 1);
            if (index < png.transparency.size())
                alpha[std::size_t(y) * png.width + x] = png.transparency[index];
        }
    }
    return alpha;
}

} // namespace

std::vector<ImagePage> ReadPng(const std::string& bytes)
{
    PngFile png = ParseChunks(bytes);
    ImagePage page;
    Raster& r = page.raster;
    r.width = int(png.width);
    r.height = int(png.height);
    r.bitsPerComponent = png.depth;
    r.space = png.colorType == 3                         ? Raster::Space::Indexed
              : (png.colorType == 2 || png.colorType == 6) ? Raster::Space::RGB
                                                           : Raster::Space::Gray;
    r.icc = png.icc;
    if (png.colorType == 3) {
        r.palette = png.palette;
        r.icc.clear(); // a palette's profile would describe its RGB base; keep it plain
    }
    if (png.hasPhys && png.ppuX > 0 && png.ppuY > 0) {
        if (png.unit == 1) {
            page.xDpi = png.ppuX * 0.0254;
            page.yDpi = png.ppuY * 0.0254;
        } else {
            page.yDpi = DefaultDpi * double(png.ppuY) / double(png.ppuX);
        }
    }

    std::vector<int> key;
    bool keyable = ColorKey(png, key);
    int channels = Channels(png.colorType);
    if (png.interlace == 0 && png.colorType != 4 && png.colorType != 6 && keyable) {
        CheckImageData(png);
        r.filter = "/FlateDecode";
        r.decodeParms = PngPredictorParms(channels, png.depth, int(png.width));
        r.data = png.idat;
        r.colorKey = key;
        return {page};
    }

    Decoded decoded;
    if (!Decode(bytes, decoded))
        throw std::runtime_error(std::string("the PNG file is damaged: ") + decoded.error);
    if (png.colorType == 4 || png.colorType == 6) {
        SplitAlpha(decoded.pixels.data(), decoded.rowBytes, channels, channels - 1, true, r);
    } else if (png.colorType == 3 && !keyable) {
        SetSoftMask(r, PaletteAlpha(png, decoded.pixels, decoded.rowBytes));
        r.data = std::move(decoded.pixels);
    } else {
        r.colorKey = key;
        r.data = std::move(decoded.pixels);
    }
    return {page};
}
