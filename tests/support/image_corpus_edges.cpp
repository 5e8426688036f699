// The harder part of the image corpus: files as real-world writers make
// them, each with what a reference decoder shows for it.
#include "support/image_corpus.h"

#include "support/image_writers.h"
#include "support/process.h"

#include <cmath>
#include <cstring>
#include <gif_lib.h>
#include <stdexcept>
#include <tiffio.h>
#include <webp/mux.h>

namespace {

// Premultiplied colour over white: the colour as stored, plus white where alpha leaves room.
CorpusPage OverWhite(const Pixels& premultiplied)
{
    const Pixels& p = premultiplied;
    int colors = p.channels - 1, shift = p.depth - 8;
    Rgb8 out{p.width, p.height, {}};
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            for (int c = 0; c < 3; ++c) {
                int v = p.At(x, y, colors == 1 ? 0 : c) >> shift, a = p.At(x, y, colors) >> shift;
                out.data += char(v + 255 - a);
            }
    CorpusPage page;
    page.shown = out;
    return page;
}

// Colour multiplied by alpha, rounded, as writers of associated alpha store it.
Pixels Premultiplied(const Pixels& p)
{
    Pixels out = p;
    std::uint32_t max = (1u << p.depth) - 1;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            for (int c = 0; c < p.channels - 1; ++c)
                out.At(x, y, c) = std::uint16_t((std::uint32_t(p.At(x, y, c)) * p.At(x, y, p.channels - 1) + max / 2) / max);
    return out;
}

// 16-bit colour and alpha whose premultiplied values are whole numbers, so
// that their sum over white is exact in 8 bits: alpha a multiple of 17, colour of 15.
Pixels ExactPremultiplied16(int width, int height, int channels)
{
    Pixels p{width, height, channels, 16, {}};
    static const int alphas[5] = {0, 51, 85, 170, 255};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            int a = alphas[(x / 3 + y) % 5];
            for (int c = 0; c < channels - 1; ++c) {
                int v = 15 * ((x * 7 + y * 3 + c * 5) % 18);
                p.samples.push_back(std::uint16_t(v * a * 257 / 255));
            }
            p.samples.push_back(std::uint16_t(a * 257));
        }
    return p;
}

// Samples widened to 16 bits as a reader keeps them: v * 65535 / max, rounded.
Pixels Widened16(const Pixels& p)
{
    Pixels out = p;
    std::uint32_t max = (1u << p.depth) - 1;
    out.depth = 16;
    for (auto& v : out.samples)
        v = std::uint16_t((std::uint32_t(v) * 65535 + max / 2) / max);
    return out;
}

// A TIFF page of samples laid out by the caller: rows packed high bit first,
// whole-byte samples in the host's order, as libtiff takes them.
struct RawPage {
    int width = 0, height = 0, samples = 1, bits = 8;
    int format = SAMPLEFORMAT_UINT;
    int photometric = PHOTOMETRIC_MINISBLACK;
    int compression = COMPRESSION_ADOBE_DEFLATE;
    std::string data;
};

void WriteRawTiff(const std::string& path, const std::vector<RawPage>& pages, bool big)
{
    TIFF* tiff = TIFFOpen(path.c_str(), big ? "w8" : "w");
    if (tiff == nullptr)
        throw std::runtime_error("cannot write " + path);
    for (const RawPage& page : pages) {
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, page.width);
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, page.height);
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, page.bits);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, page.samples);
        TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, page.format);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, page.photometric);
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, page.compression);
        TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, page.height);
        if (pages.size() > 1)
            TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        if (TIFFWriteEncodedStrip(tiff, 0, const_cast<char*>(page.data.data()), tmsize_t(page.data.size())) < 0)
            throw std::runtime_error("cannot write " + path);
        TIFFWriteDirectory(tiff);
    }
    TIFFClose(tiff);
}

// Samples of any depth up to 16 packed high bit first, each row to a whole byte.
std::string Packed(const Pixels& p)
{
    std::string out;
    for (int y = 0; y < p.height; ++y) {
        std::string row((std::size_t(p.width) * p.channels * p.depth + 7) / 8, '\0');
        std::size_t bit = 0;
        for (int x = 0; x < p.width; ++x)
            for (int c = 0; c < p.channels; ++c)
                for (int b = p.depth - 1; b >= 0; --b, ++bit)
                    if ((p.At(x, y, c) >> b) & 1)
                        row[bit / 8] = char(row[bit / 8] | (0x80 >> (bit % 8)));
        out += row;
    }
    return out;
}

template <typename T>
std::string HostBytes(const std::vector<T>& values)
{
    return std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
}

// A half-precision float of m / 1024 (0 <= m <= 1024), which it holds exactly.
std::uint16_t Half(int m)
{
    if (m == 0)
        return 0;
    int exponent = 0;
    double v = m / 1024.0;
    double mantissa = std::frexp(v, &exponent); // v = mantissa * 2^exponent, mantissa in [0.5, 1)
    int biased = exponent - 1 + 15;
    int fraction = int(std::lround((mantissa * 2 - 1) * 1024));
    return std::uint16_t(biased << 10 | fraction);
}

// An EXIF TIFF structure with orientation and a resolution stored as LONGs,
// as some cameras write it instead of rationals.
std::string ExifWithIntegerResolution(int orientation, int dpi)
{
    std::string s("II*\0\x08\0\0\0", 8);
    auto u16 = [&](int v) { s += char(v & 0xff), s += char((v >> 8) & 0xff); };
    auto u32 = [&](std::uint32_t v) { u16(int(v & 0xffff)), u16(int(v >> 16)); };
    u16(4);
    u16(0x0112), u16(3), u32(1), u16(orientation), u16(0);
    u16(0x011a), u16(4), u32(1), u32(std::uint32_t(dpi));
    u16(0x011b), u16(4), u32(1), u32(std::uint32_t(dpi));
    u16(0x0128), u16(3), u32(1), u16(2), u16(0);
    u32(0);
    return s;
}

std::string WithExifChunk(const std::string& webp, const std::string& exif)
{
    WebPData in{reinterpret_cast<const std::uint8_t*>(webp.data()), webp.size()};
    WebPMux* mux = WebPMuxCreate(&in, 1);
    WebPData chunk{reinterpret_cast<const std::uint8_t*>(exif.data()), exif.size()};
    WebPData out;
    WebPDataInit(&out);
    if (mux == nullptr || WebPMuxSetChunk(mux, "EXIF", &chunk, 1) != WEBP_MUX_OK ||
        WebPMuxAssemble(mux, &out) != WEBP_MUX_OK)
        throw std::runtime_error("libwebpmux could not add an EXIF chunk");
    std::string result(reinterpret_cast<const char*>(out.bytes), out.size);
    WebPDataClear(&out);
    WebPMuxDelete(mux);
    return result;
}

std::uint32_t Be32(const std::string& s, std::size_t at)
{
    return std::uint32_t(std::uint8_t(s[at])) << 24 | std::uint32_t(std::uint8_t(s[at + 1])) << 16 |
           std::uint32_t(std::uint8_t(s[at + 2])) << 8 | std::uint8_t(s[at + 3]);
}

std::string BeBytes(std::uint32_t v, int n)
{
    std::string s;
    for (int i = n - 1; i >= 0; --i)
        s += char((v >> (8 * i)) & 0xff);
    return s;
}

// A JP2 file with a capture resolution box added to its header box, in pixels a metre.
std::string WithResolutionBox(const std::string& jp2, int horizontal, int vertical)
{
    std::string resc = BeBytes(18, 4) + "resc" + BeBytes(std::uint32_t(vertical), 2) + BeBytes(1, 2) +
                       BeBytes(std::uint32_t(horizontal), 2) + BeBytes(1, 2) + std::string(2, '\0');
    std::string res = BeBytes(std::uint32_t(8 + resc.size()), 4) + "res " + resc;
    std::size_t at = 0;
    while (at + 8 <= jp2.size()) {
        std::uint32_t length = Be32(jp2, at);
        if (jp2.compare(at + 4, 4, "jp2h") == 0) {
            std::string out = jp2.substr(0, at) + BeBytes(std::uint32_t(length + res.size()), 4) +
                              jp2.substr(at + 4, length - 4) + res + jp2.substr(at + length);
            return out;
        }
        at += length;
    }
    throw std::runtime_error("no jp2h box");
}

// Raw GIF blocks, for the extensions giflib's writer cannot make.
struct GifBytes {
    std::string s;
    void Screen(int width, int height, const std::string& globalPalette)
    {
        s = "GIF89a";
        Word(width), Word(height);
        s += char(globalPalette.empty() ? 0 : 0x80 | 0x70 | 7);
        s += '\0', s += '\0';
        s += globalPalette;
    }
    void Word(int v) { s += char(v & 0xff), s += char((v >> 8) & 0xff); }
    // An extension of the given label and data sub-blocks (possibly none at all).
    void Extension(int label, const std::vector<std::string>& blocks)
    {
        s += '\x21', s += char(label);
        for (const std::string& b : blocks)
            s += char(b.size()) + b;
        s += '\0';
    }
    // A frame of 8-bit indices, LZW-coded by giflib's own encoder through a scratch file.
    void Frame(const std::string& folder, int left, int top, const Indexed& image, bool localPalette)
    {
        std::string scratch = folder + "/frame-scratch.gif";
        WriteGif(scratch, image.indices.width, image.indices.height, {{.image = image}});
        std::string one = ReadFile(scratch);
        std::remove(scratch.c_str());
        // Skip the scratch file's header, palette and control extension: its image follows.
        std::size_t at = 13 + 3 * 256;
        at += 8; // graphic control extension
        std::string descriptor = one.substr(at, 10), data;
        std::size_t local = (std::uint8_t(descriptor[9]) & 0x80) ? 3u << ((std::uint8_t(descriptor[9]) & 7) + 1) : 0;
        std::string palette = one.substr(at + 10, local);
        data = one.substr(at + 10 + local);
        data.pop_back(); // the trailer
        descriptor[1] = char(left & 0xff), descriptor[2] = char(left >> 8);
        descriptor[3] = char(top & 0xff), descriptor[4] = char(top >> 8);
        if (!localPalette) {
            descriptor[9] = char(descriptor[9] & ~0x87);
            palette.clear();
        }
        s += descriptor + palette + data;
    }
};

// A BMP written with Windows' 40-byte header, given OS/2's second header
// instead: 64 bytes (the Windows fields, then OS/2's own, zero) or 16 (the
// size, the dimensions, planes and depth alone).
std::string AsOs2(const std::string& bmp, int headerSize)
{
    auto le = [](std::uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
    std::string header = bmp.substr(14, 40), rest = bmp.substr(54);
    header.replace(0, 4, le(std::uint32_t(headerSize)));
    header = headerSize <= 40 ? header.substr(0, std::size_t(headerSize)) : header + std::string(std::size_t(headerSize) - 40, '\0');
    std::uint32_t offset = 14 + std::uint32_t(headerSize) + (std::uint32_t(std::uint8_t(bmp[10])) | std::uint32_t(std::uint8_t(bmp[11])) << 8) - 54;
    std::string out = "BM" + le(std::uint32_t(14 + header.size() + rest.size())) + le(0) + le(offset);
    return out + header + rest;
}

} // namespace

void AddEdgeCases(const std::string& dir, std::vector<CorpusFile>& corpus)
{
    auto add = [&](const std::string& name, std::vector<CorpusPage> pages) {
        corpus.push_back({name, std::move(pages)});
    };

    // TIFF with associated (premultiplied) alpha, 8 and 16 bits, RGB and grey.
    {
        Pixels rgba8 = Premultiplied(Pattern(60, 40, 4, 8, 400)), ga8 = Premultiplied(Pattern(50, 30, 2, 8, 401));
        Pixels rgba16 = ExactPremultiplied16(45, 30, 4), ga16 = ExactPremultiplied16(40, 25, 2);
        WriteTiff(dir + "/premultiplied.tif",
                  {{.pixels = rgba8, .compression = COMPRESSION_LZW, .extra = EXTRASAMPLE_ASSOCALPHA},
                   {.pixels = ga8, .compression = COMPRESSION_ADOBE_DEFLATE, .extra = EXTRASAMPLE_ASSOCALPHA},
                   {.pixels = rgba16, .compression = COMPRESSION_ADOBE_DEFLATE, .extra = EXTRASAMPLE_ASSOCALPHA},
                   {.pixels = ga16, .compression = COMPRESSION_NONE, .separate = true,
                    .extra = EXTRASAMPLE_ASSOCALPHA}});
        add("premultiplied.tif", {OverWhite(rgba8), OverWhite(ga8), OverWhite(rgba16), OverWhite(ga16)});
    }
    // TIFF whose RowsPerStrip is far beyond its height, in several layouts.
    {
        Pixels gray = Pattern(50, 33, 1, 8, 402), rgb16 = Pattern(30, 21, 3, 16, 403), gray4 = Pattern(27, 19, 1, 4, 404);
        const int huge = 0x7fffffff;
        WriteTiff(dir + "/rows-per-strip.tif",
                  {{.pixels = gray, .compression = COMPRESSION_LZW, .rowsPerStrip = huge},
                   {.pixels = rgb16, .compression = COMPRESSION_ADOBE_DEFLATE, .separate = true, .rowsPerStrip = huge},
                   {.pixels = gray4, .compression = COMPRESSION_NONE, .rowsPerStrip = huge}});
        add("rows-per-strip.tif", {Page(gray), Page(rgb16), Page(gray4)});
    }
    // TIFF of float samples (16-, 32- and 64-bit) and of 12-bit samples; a BigTIFF.
    {
        Pixels levels = Pattern(30, 20, 1, 16, 405);
        std::vector<float> singles;
        std::vector<double> doubles;
        for (std::uint16_t v : levels.samples) {
            singles.push_back(float(v) / 65535.0f);
            doubles.push_back(v / 65535.0);
        }
        Pixels halves = Pattern(24, 16, 3, 10, 406); // m / 1024, which a half float holds exactly
        std::vector<std::uint16_t> halfSamples;
        for (auto& v : halves.samples) {
            v = std::uint16_t(std::min<int>(v, 1024));
            halfSamples.push_back(Half(v));
        }
        Pixels halfShown = halves;
        halfShown.depth = 16;
        for (auto& v : halfShown.samples)
            v = std::uint16_t(std::lround(v / 1024.0 * 65535));
        Pixels twelve = Pattern(35, 22, 3, 12, 407), twelveGray = Pattern(33, 20, 1, 12, 408);
        WriteRawTiff(dir + "/float-and-12-bit.tif",
                     {{30, 20, 1, 32, SAMPLEFORMAT_IEEEFP, PHOTOMETRIC_MINISBLACK, COMPRESSION_ADOBE_DEFLATE,
                       HostBytes(singles)},
                      {30, 20, 1, 64, SAMPLEFORMAT_IEEEFP, PHOTOMETRIC_MINISBLACK, COMPRESSION_LZW, HostBytes(doubles)},
                      {24, 16, 3, 16, SAMPLEFORMAT_IEEEFP, PHOTOMETRIC_RGB, COMPRESSION_NONE, HostBytes(halfSamples)},
                      {35, 22, 3, 12, SAMPLEFORMAT_UINT, PHOTOMETRIC_RGB, COMPRESSION_LZW, Packed(twelve)},
                      {33, 20, 1, 12, SAMPLEFORMAT_UINT, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE, Packed(twelveGray)}},
                     false);
        add("float-and-12-bit.tif", {Page(levels), Page(levels), Page(halfShown), Page(Widened16(twelve)),
                                     Page(Widened16(twelveGray))});

        Pixels big1 = Pattern(40, 28, 3, 8, 409), big2 = Pattern(31, 23, 1, 8, 410);
        std::vector<std::uint8_t> b1(big1.samples.begin(), big1.samples.end()), b2(big2.samples.begin(), big2.samples.end());
        WriteRawTiff(dir + "/bigtiff.tif",
                     {{40, 28, 3, 8, SAMPLEFORMAT_UINT, PHOTOMETRIC_RGB, COMPRESSION_LZW, HostBytes(b1)},
                      {31, 23, 1, 8, SAMPLEFORMAT_UINT, PHOTOMETRIC_MINISBLACK, COMPRESSION_ADOBE_DEFLATE, HostBytes(b2)}},
                     true);
        add("bigtiff.tif", {Page(big1), Page(big2)});
    }
    // PAM, hand-written: grey, grey and alpha (16 bits), RGB, RGB and alpha, black and white.
    {
        Pixels gray = Pattern(30, 20, 1, 8, 411), ga = Pattern(28, 18, 2, 16, 412), rgb = Pattern(26, 17, 3, 8, 413),
               rgba = Pattern(32, 21, 4, 8, 414), bw = Pattern(25, 15, 1, 1, 415);
        auto pam = [](const Pixels& p, const char* tuple, int maxval) {
            std::string s = "P7\nWIDTH " + std::to_string(p.width) + "\nHEIGHT " + std::to_string(p.height) +
                            "\n# a comment\nDEPTH " + std::to_string(p.channels) + "\nMAXVAL " + std::to_string(maxval) +
                            "\nTUPLTYPE " + tuple + "\nENDHDR\n";
            for (std::uint16_t v : p.samples) {
                if (maxval > 255)
                    s += char(v >> 8);
                s += char(v & 0xff);
            }
            return s;
        };
        WriteFile(dir + "/tuples.pam", pam(gray, "GRAYSCALE", 255) + pam(ga, "GRAYSCALE_ALPHA", 65535) +
                                           pam(rgb, "RGB", 255) + pam(rgba, "RGB_ALPHA", 255) +
                                           pam(bw, "BLACKANDWHITE", 1));
        add("tuples.pam", {Page(gray), Page(ga), Page(rgb), Page(rgba), Page(bw)});
    }
    // WebP and JPEG with their orientation and resolution in EXIF, the resolution as integers.
    {
        Pixels photo = Pattern(40, 26, 3, 8, 416);
        WriteWebP(dir + "/exif-scratch.webp", {photo}, true);
        std::string plain = ReadFile(dir + "/exif-scratch.webp");
        std::remove((dir + "/exif-scratch.webp").c_str());
        WriteFile(dir + "/exif-rotated.webp", WithExifChunk(plain, ExifWithIntegerResolution(6, 150)));
        CorpusPage turned = Page(photo, 150, 150);
        turned.shown = Turned(turned.shown, 90, false);
        turned.rotate = 90;
        add("exif-rotated.webp", {turned});
        // Some writers keep JPEG's "Exif\0\0" before the structure.
        WriteFile(dir + "/exif-mirrored.webp",
                  WithExifChunk(plain, std::string("Exif\0\0", 6) + ExifWithIntegerResolution(4, 72)));
        CorpusPage mirrored = Page(photo, 72, 72);
        mirrored.shown = Turned(mirrored.shown, 180, true);
        mirrored.rotate = 180;
        add("exif-mirrored.webp", {mirrored});

        Pixels jpegPhoto = Pattern(48, 32, 3, 8, 417);
        WriteJpeg(dir + "/exif-scratch.jpg", jpegPhoto);
        std::string jpeg = ReadFile(dir + "/exif-scratch.jpg");
        std::remove((dir + "/exif-scratch.jpg").c_str());
        std::string app1 = std::string("Exif\0\0", 6) + ExifWithIntegerResolution(1, 200);
        std::string marker = std::string("\xff\xe1", 2) + char((app1.size() + 2) >> 8) + char((app1.size() + 2) & 0xff);
        std::size_t afterJfif = 4 + (std::size_t(std::uint8_t(jpeg[4])) << 8 | std::uint8_t(jpeg[5]));
        jpeg.insert(afterJfif, marker + app1);
        WriteFile(dir + "/exif-integer-dpi.jpg", jpeg);
        CorpusPage page = Page(DecodeJpeg(dir + "/exif-integer-dpi.jpg"), 200, 200);
        page.filter = "/DCTDecode";
        page.passedBytes = jpeg;
        add("exif-integer-dpi.jpg", {page});
    }
    // JPEG 2000: RGB and grey with alpha (a JP2 and codestreams of four and two
    // components), 9-bit samples, and a JP2 whose resolution box sets its size.
    {
        Pixels rgba = Pattern(40, 30, 4, 8, 418), ga = Pattern(30, 22, 2, 8, 419), nine = Pattern(33, 25, 1, 9, 420);
        WriteJpx(dir + "/alpha.jp2", rgba, false);
        WriteJpx(dir + "/rgba.j2k", rgba, true);
        WriteJpx(dir + "/gray-alpha.j2k", ga, true);
        WriteJpx(dir + "/nine-bit.j2k", nine, true);
        add("alpha.jp2", {Page(DecodeJpx(dir + "/alpha.jp2"))});
        add("rgba.j2k", {Page(DecodeJpx(dir + "/rgba.j2k"))});
        add("gray-alpha.j2k", {Page(DecodeJpx(dir + "/gray-alpha.j2k"))});
        add("nine-bit.j2k", {Page(Widened16(DecodeJpx(dir + "/nine-bit.j2k")))});

        Pixels photo = Pattern(36, 24, 3, 8, 421);
        WriteJpx(dir + "/resolution.jp2", photo, false);
        // 5000 pixels a metre across (127 dpi), 10000 down (254 dpi).
        std::string jp2 = WithResolutionBox(ReadFile(dir + "/resolution.jp2"), 5000, 10000);
        WriteFile(dir + "/resolution.jp2", jp2);
        CorpusPage page = Page(DecodeJpx(dir + "/resolution.jp2"), 127, 254);
        page.filter = "/JPXDecode";
        page.passedBytes = jp2;
        add("resolution.jp2", {page});
    }
    // GIF: local colour tables without a global one, no table at all (grey
    // levels), and extensions of every kind, some with no data at all.
    {
        Indexed full;
        full.indices = Pattern(30, 20, 1, 8, 422);
        Indexed part;
        part.indices = Pattern(12, 8, 1, 8, 423);
        for (int i = 0; i < 256; ++i) {
            full.palette += {char(i), char(255 - i), char(i * 3)};
            part.palette += {char(i * 5), char(i), char(128)};
        }
        GifBytes g;
        g.Screen(30, 20, "");
        g.Frame(dir, 0, 0, full, true);
        g.Frame(dir, 9, 6, part, true);
        g.s += ';';
        WriteFile(dir + "/local-tables.gif", g.s);
        Pixels one = Expand(full), two = one, small = Expand(part);
        for (auto* p : {&one, &two}) {
            Pixels rgba{p->width, p->height, 4, 8, {}};
            for (std::size_t i = 0; i < p->samples.size(); i += 3)
                rgba.samples.insert(rgba.samples.end(), {p->samples[i], p->samples[i + 1], p->samples[i + 2], 255});
            *p = rgba;
        }
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 12; ++x)
                for (int c = 0; c < 3; ++c)
                    two.At(9 + x, 6 + y, c) = small.At(x, y, c);
        add("local-tables.gif", {Page(one), Page(two)});

        GifBytes bare;
        bare.Screen(30, 20, "");
        bare.Extension(0xfe, {});                                  // a comment with no data
        bare.Extension(0xff, {"NETSCAPE2.0", std::string("\x01\0\0", 3)}); // looping
        bare.Extension(0x01, {std::string("\0\0\0\0\x1e\0\x14\0\x08\x08\x01\0", 12), "text"}); // plain text
        bare.Extension(0xfe, {"made by hand", "in two blocks"});
        bare.Frame(dir, 0, 0, full, false);
        bare.Extension(0xfe, {"after the image"});
        bare.s += ';';
        WriteFile(dir + "/no-colour-table.gif", bare.s);
        Pixels grey{30, 20, 1, 8, full.indices.samples};
        add("no-colour-table.gif", {Page(grey)});
    }
    // OS/2 bitmaps of the second version: a 64-byte header over a palette,
    // a 16-byte one over 24-bit pixels.
    {
        Indexed pal;
        pal.indices = Pattern(29, 17, 1, 8, 424);
        for (int i = 0; i < 256; ++i)
            pal.palette += {char(i * 7), char(i), char(255 - i)};
        Pixels rgb = Pattern(27, 15, 3, 8, 425);
        WriteBmp(dir + "/os2-scratch.bmp", pal, {.bits = 8});
        WriteFile(dir + "/os2v2-64.bmp", AsOs2(ReadFile(dir + "/os2-scratch.bmp"), 64));
        WriteBmp(dir + "/os2-scratch.bmp", rgb, {.bits = 24});
        WriteFile(dir + "/os2v2-16.bmp", AsOs2(ReadFile(dir + "/os2-scratch.bmp"), 16));
        std::remove((dir + "/os2-scratch.bmp").c_str());
        add("os2v2-64.bmp", {Page(Expand(pal))});
        add("os2v2-16.bmp", {Page(rgb)});
    }
    // A page wider than the 200 inches readers show: 20000 pixels at 96 dpi.
    {
        Indexed wide;
        wide.indices = Pattern(20000, 2, 1, 2, 426);
        wide.palette = std::string("\0\0\0\xff\xff\xff\x80\x40\x20\x10\xc0\x90", 12);
        WriteGif(dir + "/wide.gif", 20000, 2, {{.image = wide}});
        add("wide.gif", {Page(Expand(wide))});
    }
}
