#include "support/image_corpus.h"

#include "support/image_writers.h"
#include "support/process.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>
#include <cmath>
#include <cstring>
#include <gif_lib.h>
#include <tiffio.h>

namespace {

Pixels Bilevel(int width, int height, unsigned seed)
{
    // A scan: text-like strokes on white (1 = black, as the writers take it).
    Pixels p = Pattern(width, height, 1, 8, seed);
    Pixels out{width, height, 1, 1, {}};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            out.samples.push_back((p.At(x, y, 0) > 150 && (x / 3 + y / 5) % 4 != 0) ? 1 : 0);
    return out;
}

// What a min-is-white bilevel or gray image shows: 0 white.
Pixels Inverted(const Pixels& p)
{
    Pixels out = p;
    std::uint16_t max = std::uint16_t((1u << p.depth) - 1);
    for (auto& v : out.samples)
        v = std::uint16_t(max - v);
    return out;
}

Indexed Palette(int width, int height, int depth, unsigned seed)
{
    Indexed image;
    image.indices = Pattern(width, height, 1, depth, seed);
    int entries = 1 << depth;
    for (int i = 0; i < entries; ++i) {
        image.palette += char((i * 67 + int(seed)) % 256);
        image.palette += char((i * 151 + 40) % 256);
        image.palette += char((255 - i * 29) % 256);
    }
    return image;
}

std::string StripOf(const std::string& path)
{
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    std::string raw(std::size_t(TIFFRawStripSize(tiff, 0)), '\0');
    TIFFReadRawStrip(tiff, 0, raw.data(), tmsize_t(raw.size()));
    TIFFClose(tiff);
    return raw;
}

// A PDF showing CMYK samples as a plain DeviceCMYK image, for poppler to
// render beside the engine's page.
std::string CmykReference(const std::string& path, const Pixels& cmyk, double xDpi, double yDpi)
{
    QPDF pdf;
    pdf.emptyPDF();
    std::string samples;
    for (std::uint16_t v : cmyk.samples)
        samples += char(v);
    QPDFObjectHandle image = QPDFObjectHandle::newStream(&pdf, samples);
    image.getDict().replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
    image.getDict().replaceKey("/Subtype", QPDFObjectHandle::newName("/Image"));
    image.getDict().replaceKey("/Width", QPDFObjectHandle::newInteger(cmyk.width));
    image.getDict().replaceKey("/Height", QPDFObjectHandle::newInteger(cmyk.height));
    image.getDict().replaceKey("/ColorSpace", QPDFObjectHandle::newName("/DeviceCMYK"));
    image.getDict().replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(8));
    double w = cmyk.width * 72.0 / xDpi, h = cmyk.height * 72.0 / yDpi;
    QPDFObjectHandle page = pdf.makeIndirectObject(QPDFObjectHandle::newDictionary());
    page.replaceKey("/Type", QPDFObjectHandle::newName("/Page"));
    page.replaceKey("/MediaBox", QPDFObjectHandle::newArray(QPDFObjectHandle::Rectangle(0, 0, w, h)));
    QPDFObjectHandle resources = QPDFObjectHandle::parse("<< /XObject << >> >>");
    resources.getKey("/XObject").replaceKey("/Im0", image);
    page.replaceKey("/Resources", resources);
    page.replaceKey("/Contents", QPDFObjectHandle::newStream(&pdf, "q " + std::to_string(w) + " 0 0 " +
                                                                       std::to_string(h) + " 0 0 cm /Im0 Do Q"));
    QPDFPageDocumentHelper(pdf).addPage(QPDFPageObjectHelper(page), false);
    QPDFWriter writer(pdf, path.c_str());
    writer.write();
    return path;
}

} // namespace

Rgb8 Turned(const Rgb8& in, int degrees, bool mirror)
{
    Rgb8 m = in;
    if (mirror)
        for (int y = 0; y < in.height; ++y)
            for (int x = 0; x < in.width; ++x)
                std::memcpy(&m.data[(std::size_t(y) * in.width + x) * 3],
                            &in.data[(std::size_t(y) * in.width + (in.width - 1 - x)) * 3], 3);
    Rgb8 out = m;
    for (int turn = 0; turn < degrees / 90; ++turn) {
        Rgb8 next{out.height, out.width, std::string(out.data.size(), '\0')};
        for (int y = 0; y < out.height; ++y)
            for (int x = 0; x < out.width; ++x)
                std::memcpy(&next.data[(std::size_t(x) * next.width + (out.height - 1 - y)) * 3],
                            &out.data[(std::size_t(y) * out.width + x) * 3], 3);
        out = next;
    }
    return out;
}

std::vector<CorpusFile> WriteImageCorpus(const std::string& dir)
{
    std::vector<CorpusFile> corpus;
    auto add = [&](const std::string& name, std::vector<CorpusPage> pages) {
        corpus.push_back({name, std::move(pages)});
    };

    // TIFF: fax and scans.
    {
        Pixels scan = Bilevel(203, 96, 1);
        WriteTiff(dir + "/g4.tif", {{.pixels = scan, .compression = COMPRESSION_CCITTFAX4,
                                     .photometric = PHOTOMETRIC_MINISWHITE, .xDpi = 300, .yDpi = 300}});
        CorpusPage page = Page(Inverted(scan), 300, 300);
        page.filter = "/CCITTFaxDecode";
        page.passedBytes = StripOf(dir + "/g4.tif");
        add("g4.tif", {page});

        Pixels fax = Bilevel(173, 80, 2);
        WriteTiff(dir + "/fax-g3.tif", {{.pixels = fax, .compression = COMPRESSION_CCITTFAX3,
                                         .photometric = PHOTOMETRIC_MINISWHITE, .lsbFirst = true, .xDpi = 204,
                                         .yDpi = 196}});
        page = Page(Inverted(fax), 204, 196);
        page.filter = "/CCITTFaxDecode";
        add("fax-g3.tif", {page});

        Pixels twoD = Bilevel(120, 64, 3);
        WriteTiff(dir + "/g3-2d.tif",
                  {{.pixels = twoD, .compression = COMPRESSION_CCITTFAX3, .photometric = PHOTOMETRIC_MINISWHITE,
                    .g3Options = GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS}});
        page = Page(Inverted(twoD));
        page.filter = "/CCITTFaxDecode";
        add("g3-2d.tif", {page});

        Pixels strips = Bilevel(99, 70, 4);
        WriteTiff(dir + "/g4-strips-minisblack.tif",
                  {{.pixels = strips, .compression = COMPRESSION_CCITTFAX4, .photometric = PHOTOMETRIC_MINISBLACK,
                    .rowsPerStrip = 16}});
        page = Page(strips);
        page.filter = "/CCITTFaxDecode";
        add("g4-strips-minisblack.tif", {page});

        Pixels packed = Bilevel(77, 40, 5);
        WriteTiff(dir + "/bilevel.tif",
                  {{.pixels = packed, .compression = COMPRESSION_PACKBITS, .photometric = PHOTOMETRIC_MINISWHITE},
                   {.pixels = packed, .compression = COMPRESSION_NONE, .photometric = PHOTOMETRIC_MINISBLACK,
                    .rowsPerStrip = 7}});
        add("bilevel.tif", {Page(Inverted(packed)), Page(packed)});
    }
    // TIFF: grey, palette, colour, alpha, tiles, planes, orientation.
    {
        Pixels gray8 = Pattern(90, 60, 1, 8, 6), gray16 = Pattern(50, 40, 1, 16, 7), gray4 = Pattern(33, 20, 1, 4, 8);
        WriteTiff(dir + "/gray.tif", {{.pixels = gray8, .compression = COMPRESSION_LZW, .rowsPerStrip = 9,
                                       .xDpi = 100, .yDpi = 50, .predictor = 2},
                                      {.pixels = gray16, .compression = COMPRESSION_ADOBE_DEFLATE, .xDpi = 40,
                                       .yDpi = 40, .unit = 3},
                                      {.pixels = gray4, .photometric = PHOTOMETRIC_MINISWHITE}});
        add("gray.tif", {Page(gray8, 100, 50), Page(gray16, 101.6, 101.6), Page(Inverted(gray4))});

        Indexed pal4 = Palette(45, 30, 4, 9), pal8 = Palette(64, 64, 8, 10);
        WriteTiff(dir + "/palette.tif",
                  {{.pixels = pal4.indices, .compression = COMPRESSION_LZW, .photometric = PHOTOMETRIC_PALETTE,
                    .palette = pal4.palette},
                   {.pixels = pal8.indices, .compression = COMPRESSION_PACKBITS, .photometric = PHOTOMETRIC_PALETTE,
                    .palette = pal8.palette}});
        add("palette.tif", {Page(Expand(pal4)), Page(Expand(pal8))});

        Pixels rgb8 = Pattern(80, 50, 3, 8, 11), rgb16 = Pattern(40, 30, 3, 16, 12), tiled = Pattern(70, 45, 3, 8, 13);
        WriteTiff(dir + "/rgb.tif", {{.pixels = rgb8, .compression = COMPRESSION_LZW, .predictor = 2},
                                     {.pixels = rgb16, .compression = COMPRESSION_ADOBE_DEFLATE, .separate = true},
                                     {.pixels = tiled, .compression = COMPRESSION_ADOBE_DEFLATE, .tile = 32},
                                     {.pixels = tiled, .compression = COMPRESSION_NONE, .separate = true, .tile = 16}});
        add("rgb.tif", {Page(rgb8), Page(rgb16), Page(tiled), Page(tiled)});

        Pixels rgba = Pattern(60, 40, 4, 8, 14), graya = Pattern(50, 30, 2, 16, 15);
        WriteTiff(dir + "/alpha.tif",
                  {{.pixels = rgba, .compression = COMPRESSION_LZW, .extra = EXTRASAMPLE_UNASSALPHA},
                   {.pixels = graya, .compression = COMPRESSION_ADOBE_DEFLATE, .extra = EXTRASAMPLE_UNASSALPHA}});
        add("alpha.tif", {Page(rgba), Page(graya)});

        Pixels turned = Pattern(40, 24, 3, 8, 16);
        WriteTiff(dir + "/orientation.tif", {{.pixels = turned, .compression = COMPRESSION_LZW, .orientation = 6}});
        CorpusPage page = Page(turned);
        page.shown = Turned(page.shown, 90, false);
        page.rotate = 90;
        add("orientation.tif", {page});

        Pixels cmyk = Pattern(48, 32, 4, 8, 17);
        WriteTiff(dir + "/cmyk.tif", {{.pixels = cmyk, .compression = COMPRESSION_LZW,
                                       .photometric = PHOTOMETRIC_SEPARATED}});
        page = CorpusPage();
        page.cmykReference = CmykReference(dir + "/cmyk-tif-reference.pdf", cmyk, 96, 96);
        page.shown = {cmyk.width, cmyk.height, {}};
        add("cmyk.tif", {page});
    }
    // TIFF with JPEG inside: one strip passes through, several are decoded.
    {
        Pixels photo = Pattern(64, 48, 3, 8, 18);
        WriteTiff(dir + "/jpeg-in-tiff.tif", {{.pixels = photo, .compression = COMPRESSION_JPEG,
                                               .photometric = PHOTOMETRIC_YCBCR, .rowsPerStrip = 48}});
        WriteTiff(dir + "/jpeg-in-tiff-strips.tif", {{.pixels = photo, .compression = COMPRESSION_JPEG,
                                                      .photometric = PHOTOMETRIC_YCBCR, .rowsPerStrip = 16}});
        CorpusPage passed = Page(TiffRgba(dir + "/jpeg-in-tiff.tif"));
        passed.filter = "/DCTDecode";
        add("jpeg-in-tiff.tif", {passed});
        add("jpeg-in-tiff-strips.tif", {Page(TiffRgba(dir + "/jpeg-in-tiff-strips.tif"))});
    }
    // PNG of every colour type and depth.
    {
        for (int depth : {1, 2, 4, 8, 16}) {
            Pixels gray = Pattern(37, 21, 1, depth, unsigned(20 + depth));
            std::string name = "gray" + std::to_string(depth) + ".png";
            WritePng(dir + "/" + name, gray, {.xDpi = 150, .yDpi = 150});
            // pHYs holds whole pixels a metre.
            double dpi = std::round(150 / 0.0254) * 0.0254;
            CorpusPage page = Page(gray, dpi, dpi);
            page.filter = "/FlateDecode";
            add(name, {page});
        }
        for (int depth : {8, 16}) {
            Pixels rgb = Pattern(41, 27, 3, depth, unsigned(30 + depth)), rgba = Pattern(41, 27, 4, depth, 31),
                   ga = Pattern(30, 20, 2, depth, 32);
            std::string d = std::to_string(depth);
            WritePng(dir + "/rgb" + d + ".png", rgb);
            WritePng(dir + "/rgba" + d + ".png", rgba);
            WritePng(dir + "/graya" + d + ".png", ga);
            WritePng(dir + "/rgb" + d + "-interlaced.png", rgb, {.interlace = true});
            add("rgb" + d + ".png", {Page(rgb)});
            add("rgba" + d + ".png", {Page(rgba)});
            add("graya" + d + ".png", {Page(ga)});
            add("rgb" + d + "-interlaced.png", {Page(rgb)});
        }
        for (int depth : {1, 2, 4, 8}) {
            Indexed pal = Palette(35, 22, depth, unsigned(40 + depth));
            std::string name = "palette" + std::to_string(depth) + ".png";
            WritePng(dir + "/" + name, pal);
            add(name, {Page(Expand(pal))});
        }
        Indexed keyed = Palette(40, 30, 8, 50);
        keyed.alphas = std::string(1, '\xff') + std::string(1, '\0');
        WritePng(dir + "/palette-key.png", keyed);
        add("palette-key.png", {Page(Expand(keyed))});
        Indexed faded = Palette(40, 30, 4, 51);
        faded.alphas = std::string("\x00\x40\x80\xc0\xff\x10", 6);
        WritePng(dir + "/palette-alpha.png", faded, {.interlace = true});
        add("palette-alpha.png", {Page(Expand(faded))});

        Pixels gray = Pattern(30, 20, 1, 8, 52);
        int key = gray.At(3, 3, 0);
        WritePng(dir + "/gray-key.png", gray, {.transparentGray = key});
        Pixels grayKeyed{gray.width, gray.height, 2, 8, {}};
        for (std::uint16_t v : gray.samples) {
            grayKeyed.samples.push_back(v);
            grayKeyed.samples.push_back(v == key ? 0 : 255);
        }
        add("gray-key.png", {Page(grayKeyed)});
    }
    // JPEG: passed through as they are.
    {
        struct Jpeg {
            const char* name;
            Pixels pixels;
            JpegOptions options;
            int rotate;
            bool mirror;
        };
        for (Jpeg j : {Jpeg{"baseline.jpg", Pattern(64, 40, 3, 8, 60), {.dpi = 150}, 0, false},
                       Jpeg{"progressive.jpg", Pattern(50, 50, 3, 8, 61), {.progressive = true}, 0, false},
                       Jpeg{"gray.jpg", Pattern(45, 30, 1, 8, 62), {}, 0, false},
                       Jpeg{"exif-rotated.jpg", Pattern(48, 32, 3, 8, 63), {.exifOrientation = 6}, 90, false},
                       Jpeg{"exif-upside-down.jpg", Pattern(48, 32, 3, 8, 64), {.exifOrientation = 3}, 180, false},
                       Jpeg{"exif-mirrored.jpg", Pattern(48, 32, 3, 8, 65), {.exifOrientation = 2}, 0, true}}) {
            WriteJpeg(dir + "/" + j.name, j.pixels, j.options);
            CorpusPage page = Page(DecodeJpeg(dir + "/" + j.name), j.options.dpi ? j.options.dpi : 96,
                                   j.options.dpi ? j.options.dpi : 96);
            page.shown = Turned(page.shown, j.rotate, j.mirror);
            page.rotate = j.rotate;
            page.filter = "/DCTDecode";
            page.passedBytes = ReadFile(dir + "/" + j.name);
            add(j.name, {page});
        }
        WriteJpeg(dir + "/cmyk.jpg", Pattern(40, 30, 4, 8, 66), {.adobeInverted = true});
        CorpusPage page;
        page.cmykReference = CmykReference(dir + "/cmyk-jpg-reference.pdf", DecodeJpeg(dir + "/cmyk.jpg"), 96, 96);
        page.shown = {40, 30, {}};
        page.filter = "/DCTDecode";
        page.passedBytes = ReadFile(dir + "/cmyk.jpg");
        add("cmyk.jpg", {page});
    }
    // GIF: a lone frame with a transparent colour, an animation, interlacing.
    {
        Indexed still = Palette(50, 30, 8, 70);
        WriteGif(dir + "/still.gif", 50, 30, {{.image = still, .transparent = 3}});
        Indexed stillKeyed = still;
        stillKeyed.alphas = std::string(256, '\xff');
        stillKeyed.alphas[3] = '\0';
        add("still.gif", {Page(Expand(stillKeyed))});
        WriteGif(dir + "/interlaced.gif", 50, 30, {{.image = still}}, true);
        add("interlaced.gif", {Page(Expand(still))});

        // Three frames: a full one, a partial one that is then cleared to the
        // background, and a partial one drawn over what was there before.
        Indexed full = Palette(40, 30, 8, 71), middle = Palette(20, 10, 8, 72), corner = Palette(10, 10, 8, 73);
        WriteGif(dir + "/animated.gif", 40, 30,
                 {{.image = full, .disposal = DISPOSE_DO_NOT},
                  {.image = middle, .left = 10, .top = 10, .disposal = DISPOSE_BACKGROUND, .transparent = 0},
                  {.image = corner, .left = 30, .top = 20, .disposal = DISPOSE_PREVIOUS}});
        Pixels one = Expand(full), two = one, three;
        for (auto* p : {&one, &two}) {
            Pixels rgba{p->width, p->height, 4, 8, {}};
            for (std::size_t i = 0; i < p->samples.size(); i += 3)
                rgba.samples.insert(rgba.samples.end(), {p->samples[i], p->samples[i + 1], p->samples[i + 2], 255});
            *p = rgba;
        }
        Pixels mid = Expand(middle);
        for (int y = 0; y < 10; ++y)
            for (int x = 0; x < 20; ++x)
                if (middle.indices.At(x, y, 0) != 0)
                    for (int c = 0; c < 3; ++c)
                        two.At(10 + x, 10 + y, c) = mid.At(x, y, c);
        three = one;
        for (int y = 10; y < 20; ++y)
            for (int x = 10; x < 30; ++x)
                three.At(x, y, 3) = 0; // cleared to the background
        Pixels small = Expand(corner);
        for (int y = 0; y < 10; ++y)
            for (int x = 0; x < 10; ++x)
                for (int c = 0; c < 3; ++c)
                    three.At(30 + x, 20 + y, c) = small.At(x, y, c);
        add("animated.gif", {Page(one), Page(two), Page(three)});
    }
    // JPEG 2000, BMP, PNM, WebP.
    {
        Pixels rgb = Pattern(40, 30, 3, 8, 80), gray = Pattern(33, 25, 1, 8, 81);
        WriteJpx(dir + "/photo.jp2", rgb, false);
        WriteJpx(dir + "/scan.j2k", gray, true);
        CorpusPage jp2 = Page(DecodeJpx(dir + "/photo.jp2"));
        jp2.filter = "/JPXDecode";
        jp2.passedBytes = ReadFile(dir + "/photo.jp2");
        CorpusPage j2k = Page(DecodeJpx(dir + "/scan.j2k"));
        j2k.filter = "/JPXDecode";
        j2k.passedBytes = ReadFile(dir + "/scan.j2k");
        add("photo.jp2", {jp2});
        add("scan.j2k", {j2k});

        Pixels bmp24 = Pattern(31, 17, 3, 8, 82), bmp32 = Pattern(30, 20, 4, 8, 83);
        WriteBmp(dir + "/rgb24.bmp", bmp24, {.ppm = 3937});
        WriteBmp(dir + "/rgba32.bmp", bmp32, {.bits = 32, .topDown = true, .alpha = true});
        Pixels bmp16 = Pattern(25, 15, 3, 8, 84);
        for (std::size_t i = 0; i < bmp16.samples.size(); ++i) {
            int bits = i % 3 == 1 ? 6 : 5; // what 5-6-5 keeps, widened again
            int v = bmp16.samples[i] >> (8 - bits);
            bmp16.samples[i] = std::uint16_t((v * 255 + ((1 << bits) - 1) / 2) / ((1 << bits) - 1));
        }
        WriteBmp(dir + "/rgb565.bmp", bmp16, {.bits = 16});
        Indexed bmp8 = Palette(29, 19, 8, 85), bmp4 = Palette(27, 13, 4, 86), bmp1 = Palette(35, 9, 1, 87);
        WriteBmp(dir + "/palette8.bmp", bmp8, {.bits = 8});
        WriteBmp(dir + "/palette8-rle.bmp", bmp8, {.bits = 8, .rle = true});
        WriteBmp(dir + "/palette4.bmp", bmp4, {.bits = 4, .topDown = true});
        WriteBmp(dir + "/palette1.bmp", bmp1, {.bits = 1});
        add("rgb24.bmp", {Page(bmp24, 3937 * 0.0254, 3937 * 0.0254)});
        add("rgba32.bmp", {Page(bmp32)});
        add("rgb565.bmp", {Page(bmp16)});
        add("palette8.bmp", {Page(Expand(bmp8))});
        add("palette8-rle.bmp", {Page(Expand(bmp8))});
        add("palette4.bmp", {Page(Expand(bmp4))});
        add("palette1.bmp", {Page(Expand(bmp1))});

        Pixels bits = Bilevel(21, 11, 88), g8 = Pattern(20, 10, 1, 8, 89), g16 = Pattern(20, 10, 1, 16, 90),
               c8 = Pattern(22, 12, 3, 8, 91);
        WritePnm(dir + "/plain.pbm", {bits}, '1', 1);
        WritePnm(dir + "/raw.pbm", {bits}, '4', 1);
        WritePnm(dir + "/plain.pgm", {g8}, '2', 255);
        WritePnm(dir + "/raw16.pgm", {g16}, '5', 65535);
        WritePnm(dir + "/two.ppm", {c8, c8}, '6', 255);
        WritePnm(dir + "/plain.ppm", {c8}, '3', 255);
        add("plain.pbm", {Page(Inverted(bits))});
        add("raw.pbm", {Page(Inverted(bits))});
        add("plain.pgm", {Page(g8)});
        add("raw16.pgm", {Page(g16)});
        add("two.ppm", {Page(c8), Page(c8)});
        add("plain.ppm", {Page(c8)});

        Pixels w1 = Pattern(40, 24, 4, 8, 92), w2 = Pattern(40, 24, 4, 8, 93);
        WriteWebP(dir + "/lossless.webp", {w1}, true);
        WriteWebP(dir + "/lossy.webp", {Pattern(40, 24, 3, 8, 94)}, false);
        WriteWebP(dir + "/animated.webp", {w1, w2}, true);
        add("lossless.webp", {Page(w1)});
        add("lossy.webp", {Page(DecodeWebP(dir + "/lossy.webp").front())});
        auto frames = DecodeWebP(dir + "/animated.webp");
        add("animated.webp", {Page(frames.at(0)), Page(frames.at(1))});
    }
    AddEdgeCases(dir, corpus);
    return corpus;
}

CorpusPage Page(const Pixels& shown, double xDpi, double yDpi)
{
    CorpusPage page;
    page.shown = Shown(shown);
    page.xDpi = xDpi;
    page.yDpi = yDpi;
    return page;
}
