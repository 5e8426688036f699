#include "support/image_writers.h"

#include "support/process.h"

#include <cstring>
#include <openjpeg.h>
#include <stdexcept>
#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

void WriteJpx(const std::string& path, const Pixels& p, bool codestream)
{
    std::vector<opj_image_cmptparm_t> parameters(std::size_t(p.channels));
    for (auto& c : parameters) {
        std::memset(&c, 0, sizeof c);
        c.dx = c.dy = 1;
        c.w = OPJ_UINT32(p.width);
        c.h = OPJ_UINT32(p.height);
        c.prec = OPJ_UINT32(p.depth);
        c.sgnd = 0;
    }
    opj_image_t* image = opj_image_create(OPJ_UINT32(p.channels), parameters.data(),
                                          p.channels >= 3 ? OPJ_CLRSPC_SRGB : OPJ_CLRSPC_GRAY);
    image->x1 = OPJ_UINT32(p.width);
    image->y1 = OPJ_UINT32(p.height);
    // Grey or RGB with one more channel: that channel is alpha (a JP2 file says so in its cdef box).
    if (p.channels == 2 || p.channels == 4)
        image->comps[p.channels - 1].alpha = 1;
    for (int c = 0; c < p.channels; ++c)
        for (std::size_t i = 0; i < std::size_t(p.width) * p.height; ++i)
            image->comps[c].data[i] = p.samples[i * p.channels + c];
    opj_cparameters_t settings;
    opj_set_default_encoder_parameters(&settings);
    settings.tcp_numlayers = 1;
    settings.tcp_rates[0] = 0; // lossless
    settings.cp_disto_alloc = 1;
    settings.irreversible = 0;
    settings.numresolution = 3; // small images have room for few levels
    opj_codec_t* codec = opj_create_compress(codestream ? OPJ_CODEC_J2K : OPJ_CODEC_JP2);
    opj_setup_encoder(codec, &settings, image);
    opj_stream_t* stream = opj_stream_create_default_file_stream(path.c_str(), OPJ_FALSE);
    bool ok = stream && opj_start_compress(codec, image, stream) && opj_encode(codec, stream) &&
              opj_end_compress(codec, stream);
    opj_stream_destroy(stream);
    opj_destroy_codec(codec);
    opj_image_destroy(image);
    if (!ok)
        throw std::runtime_error("openjpeg could not write " + path);
}

Pixels DecodeJpx(const std::string& path)
{
    bool codestream = ReadFile(path).compare(0, 2, "\xff\x4f") == 0;
    opj_stream_t* stream = opj_stream_create_default_file_stream(path.c_str(), OPJ_TRUE);
    opj_codec_t* codec = opj_create_decompress(codestream ? OPJ_CODEC_J2K : OPJ_CODEC_JP2);
    opj_dparameters_t settings;
    opj_set_default_decoder_parameters(&settings);
    opj_setup_decoder(codec, &settings);
    opj_image_t* image = nullptr;
    if (!opj_read_header(stream, codec, &image) || !opj_decode(codec, stream, image))
        throw std::runtime_error("openjpeg could not read " + path);
    Pixels p{int(image->x1 - image->x0), int(image->y1 - image->y0), int(image->numcomps),
             int(image->comps[0].prec), {}};
    for (std::size_t i = 0; i < std::size_t(p.width) * p.height; ++i)
        for (int c = 0; c < p.channels; ++c)
            p.samples.push_back(std::uint16_t(image->comps[c].data[i]));
    opj_image_destroy(image);
    opj_destroy_codec(codec);
    opj_stream_destroy(stream);
    return p;
}

static std::vector<std::uint8_t> Rgba(const Pixels& p)
{
    std::vector<std::uint8_t> out;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            for (int c = 0; c < 4; ++c)
                out.push_back(c < 3 ? std::uint8_t(p.At(x, y, c)) : p.channels == 4 ? std::uint8_t(p.At(x, y, 3)) : 255);
    return out;
}

void WriteWebP(const std::string& path, const std::vector<Pixels>& frames, bool lossless)
{
    const Pixels& first = frames.front();
    WebPAnimEncoderOptions animation;
    WebPAnimEncoderOptionsInit(&animation);
    WebPAnimEncoder* encoder = WebPAnimEncoderNew(first.width, first.height, &animation);
    WebPConfig config;
    WebPConfigInit(&config);
    config.lossless = lossless ? 1 : 0;
    config.quality = 80;
    int timestamp = 0;
    for (const Pixels& frame : frames) {
        WebPPicture picture;
        WebPPictureInit(&picture);
        picture.width = frame.width;
        picture.height = frame.height;
        picture.use_argb = 1;
        std::vector<std::uint8_t> rgba = Rgba(frame);
        WebPPictureImportRGBA(&picture, rgba.data(), frame.width * 4);
        WebPAnimEncoderAdd(encoder, &picture, timestamp, &config);
        WebPPictureFree(&picture);
        timestamp += 100;
    }
    WebPAnimEncoderAdd(encoder, nullptr, timestamp, nullptr);
    WebPData data;
    WebPDataInit(&data);
    WebPAnimEncoderAssemble(encoder, &data);
    WriteFile(path, std::string(reinterpret_cast<const char*>(data.bytes), data.size));
    WebPDataClear(&data);
    WebPAnimEncoderDelete(encoder);
}

std::vector<Pixels> DecodeWebP(const std::string& path)
{
    std::string bytes = ReadFile(path);
    WebPData data{reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
    WebPAnimDecoderOptions options;
    WebPAnimDecoderOptionsInit(&options);
    options.color_mode = MODE_RGBA;
    WebPAnimDecoder* decoder = WebPAnimDecoderNew(&data, &options);
    WebPAnimInfo info;
    WebPAnimDecoderGetInfo(decoder, &info);
    std::vector<Pixels> frames;
    while (WebPAnimDecoderHasMoreFrames(decoder)) {
        std::uint8_t* rgba;
        int timestamp;
        WebPAnimDecoderGetNext(decoder, &rgba, &timestamp);
        Pixels p{int(info.canvas_width), int(info.canvas_height), 4, 8, {}};
        p.samples.assign(rgba, rgba + std::size_t(p.width) * p.height * 4);
        frames.push_back(p);
    }
    WebPAnimDecoderDelete(decoder);
    return frames;
}

namespace {

void Le(std::string& s, std::uint32_t v, int n)
{
    for (int i = 0; i < n; ++i)
        s += char((v >> (8 * i)) & 0xff);
}

std::string BmpHeaders(int width, int height, int bits, std::uint32_t compression, std::size_t paletteBytes,
                       std::size_t imageBytes, const BmpOptions& o, bool v5)
{
    std::uint32_t infoSize = v5 ? 124 : 40;
    std::uint32_t offset = 14 + infoSize + std::uint32_t(paletteBytes);
    std::string s = "BM";
    Le(s, offset + std::uint32_t(imageBytes), 4);
    Le(s, 0, 4);
    Le(s, offset, 4);
    Le(s, infoSize, 4);
    Le(s, std::uint32_t(width), 4);
    Le(s, std::uint32_t(o.topDown ? -height : height), 4);
    Le(s, 1, 2);
    Le(s, std::uint32_t(bits), 2);
    Le(s, compression, 4);
    Le(s, std::uint32_t(imageBytes), 4);
    Le(s, std::uint32_t(o.ppm), 4);
    Le(s, std::uint32_t(o.ppm), 4);
    Le(s, std::uint32_t(paletteBytes / 4), 4);
    Le(s, 0, 4);
    if (v5) {
        std::uint32_t masks[4] = {0x00ff0000, 0x0000ff00, 0x000000ff, 0xff000000};
        if (bits == 16)
            masks[0] = 0xf800, masks[1] = 0x07e0, masks[2] = 0x001f, masks[3] = 0;
        for (std::uint32_t m : masks)
            Le(s, m, 4);
        Le(s, 0x73524742, 4); // 'sRGB'
        s.append(124 - 60, '\0');
    }
    return s;
}

} // namespace

void WriteBmp(const std::string& path, const Pixels& p, const BmpOptions& o)
{
    int bits = o.bits;
    std::size_t stride = (std::size_t(p.width) * bits + 31) / 32 * 4;
    std::string image(stride * p.height, '\0');
    for (int y = 0; y < p.height; ++y) {
        std::size_t row = stride * std::size_t(o.topDown ? y : p.height - 1 - y);
        for (int x = 0; x < p.width; ++x) {
            std::uint32_t r = p.At(x, y, 0), g = p.At(x, y, 1), b = p.At(x, y, 2);
            std::uint32_t a = p.channels == 4 ? p.At(x, y, 3) : 255;
            std::string pixel;
            if (bits == 16)
                Le(pixel, (r >> 3) << 11 | (g >> 2) << 5 | (b >> 3), 2);
            else if (bits == 24)
                Le(pixel, r << 16 | g << 8 | b, 3);
            else
                Le(pixel, a << 24 | r << 16 | g << 8 | b, 4);
            image.replace(row + std::size_t(x) * (bits / 8), pixel.size(), pixel);
        }
    }
    bool v5 = bits == 16 || o.alpha;
    WriteFile(path, BmpHeaders(p.width, p.height, bits, v5 ? 3 : 0, 0, image.size(), o, v5) + image);
}

void WriteBmp(const std::string& path, const Indexed& indexed, const BmpOptions& o)
{
    const Pixels& p = indexed.indices;
    std::string palette;
    for (std::size_t i = 0; i + 2 < indexed.palette.size(); i += 3) {
        palette += indexed.palette[i + 2];
        palette += indexed.palette[i + 1];
        palette += indexed.palette[i];
        palette += '\0';
    }
    std::string image;
    if (o.rle) {
        for (int y = p.height - 1; y >= 0; --y) {
            int x = 0;
            while (x < p.width) {
                int run = 1;
                while (x + run < p.width && run < 255 && p.At(x + run, y, 0) == p.At(x, y, 0))
                    ++run;
                if (run >= 3 || x + run == p.width) {
                    image += char(run);
                    image += char(p.At(x, y, 0));
                    x += run;
                } else {
                    int literal = std::min(p.width - x, 250);
                    if (literal < 3) {
                        image += char(1);
                        image += char(p.At(x, y, 0));
                        ++x;
                        continue;
                    }
                    image += '\0';
                    image += char(literal);
                    for (int i = 0; i < literal; ++i)
                        image += char(p.At(x + i, y, 0));
                    if (literal % 2)
                        image += '\0';
                    x += literal;
                }
            }
            image += std::string("\0\0", 2);
        }
        image += std::string("\0\1", 2);
    } else {
        std::size_t stride = (std::size_t(p.width) * p.depth + 31) / 32 * 4;
        image.assign(stride * p.height, '\0');
        for (int y = 0; y < p.height; ++y) {
            std::size_t row = stride * std::size_t(o.topDown ? y : p.height - 1 - y);
            for (int x = 0; x < p.width; ++x) {
                std::size_t bit = std::size_t(x) * p.depth;
                image[row + bit / 8] = char(image[row + bit / 8] | (p.At(x, y, 0) << (8 - p.depth - bit % 8)));
            }
        }
    }
    WriteFile(path, BmpHeaders(p.width, p.height, p.depth, o.rle ? 1 : 0, palette.size(), image.size(), o, false) +
                        palette + image);
}

void WritePnm(const std::string& path, const std::vector<Pixels>& images, char kind, int maxval)
{
    std::string out;
    for (const Pixels& p : images) {
        out += std::string("P") + kind + "\n# made for a test\n" + std::to_string(p.width) + " " +
               std::to_string(p.height) + "\n";
        if (kind != '1' && kind != '4')
            out += std::to_string(maxval) + "\n";
        bool plain = kind <= '3';
        for (int y = 0; y < p.height; ++y) {
            std::string bits((std::size_t(p.width) + 7) / 8, '\0');
            for (int x = 0; x < p.width; ++x)
                for (int c = 0; c < p.channels; ++c) {
                    std::uint16_t v = p.At(x, y, c);
                    if (kind == '1')
                        out += v ? "1" : "0";
                    else if (kind == '4')
                        bits[std::size_t(x) / 8] = char(bits[std::size_t(x) / 8] | (v ? 0x80 >> (x % 8) : 0));
                    else if (plain)
                        out += std::to_string(v) + (x % 8 == 7 ? "\n" : " ");
                    else if (maxval > 255)
                        out += std::string{char(v >> 8), char(v & 0xff)};
                    else
                        out += char(v);
                }
            if (kind == '4')
                out += bits;
            else if (plain)
                out += "\n";
        }
    }
    WriteFile(path, out);
}
