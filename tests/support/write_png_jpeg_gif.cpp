#include "support/image_writers.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>
#include <stdexcept>

namespace {

struct File {
    std::FILE* f;
    explicit File(const std::string& path, const char* mode) : f(std::fopen(path.c_str(), mode))
    {
        if (f == nullptr)
            throw std::runtime_error("cannot open " + path);
    }
    ~File() { std::fclose(f); }
};

void WritePngRows(const std::string& path, int width, int height, int depth, int colorType,
                  const std::vector<std::vector<std::uint8_t>>& rows, const PngOptions& options,
                  const std::string& palette, const std::string& alphas)
{
    File file(path, "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)))
        throw std::runtime_error("libpng failed");
    png_init_io(png, file.f);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), depth, colorType,
                 options.interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> colors;
    for (std::size_t i = 0; i + 2 < palette.size(); i += 3)
        colors.push_back({png_byte(palette[i]), png_byte(palette[i + 1]), png_byte(palette[i + 2])});
    if (!colors.empty())
        png_set_PLTE(png, info, colors.data(), int(colors.size()));
    if (!alphas.empty())
        png_set_tRNS(png, info, reinterpret_cast<png_const_bytep>(alphas.data()), int(alphas.size()), nullptr);
    png_color_16 key{};
    if (options.transparentGray >= 0) {
        key.gray = png_uint_16(options.transparentGray);
        png_set_tRNS(png, info, nullptr, 0, &key);
    }
    if (options.transparentRgb.size() == 3) {
        key.red = png_uint_16(options.transparentRgb[0]);
        key.green = png_uint_16(options.transparentRgb[1]);
        key.blue = png_uint_16(options.transparentRgb[2]);
        png_set_tRNS(png, info, nullptr, 0, &key);
    }
    if (options.xDpi > 0)
        png_set_pHYs(png, info, png_uint_32(options.xDpi / 0.0254 + 0.5), png_uint_32(options.yDpi / 0.0254 + 0.5),
                     PNG_RESOLUTION_METER);
    png_write_info(png, info);
    std::vector<png_bytep> pointers;
    for (auto& row : rows)
        pointers.push_back(const_cast<png_bytep>(row.data()));
    png_write_image(png, pointers.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
}

std::vector<std::vector<std::uint8_t>> BigEndianRows(const Pixels& p)
{
    std::vector<std::vector<std::uint8_t>> rows;
    for (int y = 0; y < p.height; ++y)
        rows.push_back(PackRow(p, y, true));
    return rows;
}

} // namespace

void WritePng(const std::string& path, const Pixels& p, const PngOptions& options)
{
    int type = p.channels == 1 ? PNG_COLOR_TYPE_GRAY
               : p.channels == 2 ? PNG_COLOR_TYPE_GRAY_ALPHA
               : p.channels == 3 ? PNG_COLOR_TYPE_RGB
                                 : PNG_COLOR_TYPE_RGB_ALPHA;
    WritePngRows(path, p.width, p.height, p.depth, type, BigEndianRows(p), options, "", "");
}

void WritePng(const std::string& path, const Indexed& image, const PngOptions& options)
{
    WritePngRows(path, image.indices.width, image.indices.height, image.indices.depth, PNG_COLOR_TYPE_PALETTE,
                 BigEndianRows(image.indices), options, image.palette, image.alphas);
}

void WriteJpeg(const std::string& path, const Pixels& p, const JpegOptions& options)
{
    File file(path, "wb");
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file.f);
    info.image_width = JDIMENSION(p.width);
    info.image_height = JDIMENSION(p.height);
    info.input_components = p.channels;
    info.in_color_space = p.channels == 1 ? JCS_GRAYSCALE : p.channels == 3 ? JCS_RGB : JCS_CMYK;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, options.quality, TRUE);
    if (options.progressive)
        jpeg_simple_progression(&info);
    if (options.dpi > 0) {
        info.density_unit = 1;
        info.X_density = UINT16(options.dpi);
        info.Y_density = UINT16(options.dpi);
    }
    // libjpeg marks CMYK with an Adobe marker; readers take such data as inverted.
    jpeg_start_compress(&info, TRUE);
    if (options.exifOrientation > 0) {
        std::string exif("Exif\0\0II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0", 24);
        exif += char(options.exifOrientation);
        exif += std::string("\0\0\0\0\0\0\0", 7);
        jpeg_write_marker(&info, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(exif.data()),
                          unsigned(exif.size()));
    }
    std::vector<JSAMPLE> row(std::size_t(p.width) * p.channels);
    for (int y = 0; y < p.height; ++y) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            std::uint16_t v = p.samples[std::size_t(y) * row.size() + i];
            row[i] = JSAMPLE(p.channels == 4 && options.adobeInverted ? 255 - v : v);
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
}

Pixels DecodeJpeg(const std::string& path)
{
    File file(path, "rb");
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file.f);
    jpeg_read_header(&info, TRUE);
    bool inverted = info.saw_Adobe_marker && info.num_components == 4;
    jpeg_start_decompress(&info);
    Pixels p{int(info.output_width), int(info.output_height), info.output_components, 8, {}};
    std::vector<JSAMPLE> row(std::size_t(p.width) * p.channels);
    while (info.output_scanline < info.output_height) {
        JSAMPROW rows[1] = {row.data()};
        jpeg_read_scanlines(&info, rows, 1);
        for (JSAMPLE v : row)
            p.samples.push_back(inverted ? 255 - v : v);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return p;
}

void WriteGif(const std::string& path, int width, int height, const std::vector<GifFrame>& frames, bool interlace)
{
    int error = 0;
    GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
    if (gif == nullptr)
        throw std::runtime_error("cannot write " + path);
    EGifSetGifVersion(gif, true);
    auto colorMap = [](const std::string& palette) {
        int count = 2;
        while (count < int(palette.size() / 3))
            count *= 2;
        std::vector<GifColorType> colors(std::size_t(count), GifColorType{0, 0, 0});
        for (std::size_t i = 0; i * 3 + 2 < palette.size(); ++i)
            colors[i] = {GifByteType(palette[3 * i]), GifByteType(palette[3 * i + 1]), GifByteType(palette[3 * i + 2])};
        return GifMakeMapObject(count, colors.data());
    };
    ColorMapObject* global = colorMap(frames.front().image.palette);
    EGifPutScreenDesc(gif, width, height, 8, 0, global);
    for (const GifFrame& frame : frames) {
        GraphicsControlBlock control{frame.disposal, false, 0, frame.transparent};
        GifByteType extension[4];
        EGifGCBToExtension(&control, extension);
        EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, extension);
        const Pixels& p = frame.image.indices;
        ColorMapObject* local = colorMap(frame.image.palette);
        EGifPutImageDesc(gif, frame.left, frame.top, p.width, p.height, interlace, local);
        std::vector<GifPixelType> line(std::size_t(p.width));
        std::vector<int> order;
        if (interlace) {
            for (int pass = 0, start[] = {0, 4, 2, 1}, step[] = {8, 8, 4, 2}; pass < 4; ++pass)
                for (int y = start[pass]; y < p.height; y += step[pass])
                    order.push_back(y);
        } else {
            for (int y = 0; y < p.height; ++y)
                order.push_back(y);
        }
        for (int y : order) {
            for (int x = 0; x < p.width; ++x)
                line[std::size_t(x)] = GifPixelType(p.At(x, y, 0));
            EGifPutLine(gif, line.data(), p.width);
        }
        GifFreeMapObject(local);
    }
    GifFreeMapObject(global);
    EGifCloseFile(gif, &error);
}
