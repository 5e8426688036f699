#pragma once

#include "support/pixels.h"

#include <string>
#include <vector>

// Encoders for the test corpus, each through the format's own library (BMP
// and PNM, which have none here, by hand).

// Palette images: indices into RGB triples, with an optional alpha per entry.
struct Indexed {
    Pixels indices; // channels 1, depth = bits per index
    std::string palette;
    std::string alphas; // empty: all opaque
};
Pixels Expand(const Indexed& image); // RGB, or RGBA when alphas are given

struct TiffPage {
    Pixels pixels;
    int compression = 1; // COMPRESSION_*
    int photometric = -1; // -1: from the channels
    bool separate = false;
    int rowsPerStrip = 0; // 0: one strip
    int tile = 0;         // tile width and height; 0: strips
    bool lsbFirst = false;
    double xDpi = 0, yDpi = 0;
    int unit = 2;
    int predictor = 1;
    int extra = -1;        // EXTRASAMPLE_* for the last channel of 2 or 4
    int orientation = 1;
    unsigned g3Options = 0;
    std::string palette;   // photometric palette: RGB triples of 8 bits
};
void WriteTiff(const std::string& path, const std::vector<TiffPage>& pages);

// What libtiff's own RGBA reading makes of the first page of a file.
Pixels TiffRgba(const std::string& path);

struct PngOptions {
    bool interlace = false;
    int transparentGray = -1;         // tRNS of a gray image
    std::vector<int> transparentRgb;  // tRNS of an RGB image
    double xDpi = 0, yDpi = 0;
};
void WritePng(const std::string& path, const Pixels& pixels, const PngOptions& options = {});
void WritePng(const std::string& path, const Indexed& image, const PngOptions& options = {});

struct JpegOptions {
    bool progressive = false;
    bool adobeInverted = false; // CMYK stored inverted, as Adobe's applications write it
    int exifOrientation = 0;    // 0: no EXIF
    int dpi = 0;                // JFIF density
    int quality = 90;
};
void WriteJpeg(const std::string& path, const Pixels& pixels, const JpegOptions& options = {});
// What libjpeg decodes the file to, as the reader shows it (CMYK un-inverted).
Pixels DecodeJpeg(const std::string& path);

struct GifFrame {
    Indexed image; // 8-bit indices
    int left = 0, top = 0;
    int disposal = 0;
    int transparent = -1;
};
void WriteGif(const std::string& path, int width, int height, const std::vector<GifFrame>& frames,
              bool interlace = false);

void WriteJpx(const std::string& path, const Pixels& pixels, bool codestream);
Pixels DecodeJpx(const std::string& path);

void WriteWebP(const std::string& path, const std::vector<Pixels>& frames, bool lossless);
std::vector<Pixels> DecodeWebP(const std::string& path);

struct BmpOptions {
    int bits = 24;       // 1, 4, 8 (from Indexed), 16, 24, 32
    bool rle = false;    // 8-bit run-length encoding
    bool topDown = false;
    bool alpha = false;  // 32 bits with an alpha bit field (V5 header)
    int ppm = 0;         // pixels a metre
};
void WriteBmp(const std::string& path, const Pixels& pixels, const BmpOptions& options = {});
void WriteBmp(const std::string& path, const Indexed& image, const BmpOptions& options = {});

// P1-P6 by kind; several images in one file when given several.
void WritePnm(const std::string& path, const std::vector<Pixels>& images, char kind, int maxval);
