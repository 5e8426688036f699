#pragma once

#include "support/pixels.h"

#include <string>
#include <vector>

// Files of the kinds dochost decodes or draws beyond the classic images,
// each made with the format's own library or tools.

struct HeifImage {
    Pixels pixels;       // RGB or RGBA, 8 bits or deeper (depth 10 or 12)
    int orientation = 1; // EXIF-style orientation the file records (1: none)
    std::string icc;     // a colour profile to record, if any
};
// A HEIC (HEVC) or AVIF (AV1) file of these images; primary is the index
// of the primary image.
void WriteHeif(const std::string& path, const std::vector<HeifImage>& images, bool avif, int primary = 0);

// What libheif decodes top-level image `index` (primary first) of a file to:
// interleaved RGB or RGBA, 8 bits or 16 bits (big-endian, at the file's depth).
struct HeifDecoded {
    int width = 0, height = 0, bits = 8;
    bool alpha = false;
    std::string samples;
};
HeifDecoded DecodeHeif(const std::string& path, int index);

// A JPEG XL file made by cjxl from a PNG or JPEG file (arguments after the names).
void WriteJxl(const std::string& source, const std::string& path, const std::vector<std::string>& options = {});

// An XPS package (made with zip) of pages, each showing its line of text in
// an embedded font and a red triangle; openXps: the OpenXPS names.
void WriteXps(const std::string& path, const std::vector<std::string>& pageTexts, bool openXps = false);

// An SVG drawing of width x height CSS pixels: a rectangle, a curve and text.
std::string SvgDrawing(int width, int height, const std::string& text, const std::string& extra = "");

// Data compressed as gzip compresses it (zlib's gzip format), as .svgz files hold SVG.
std::string Gzip(const std::string& data);

// A PostScript file of pages, each with its line of text and a filled box;
// an EPS file of one drawing with a bounding box.
std::string PostScriptPages(const std::vector<std::string>& pageTexts);
std::string EpsDrawing(int llx, int lly, int urx, int ury, const std::string& text);

// One of each kind, for the demo and as fuzz seeds: photo.heic, photo.avif,
// photo.jxl, recompressed.jxl, drawing.svg, drawing.eps, pages.ps, pages.xps, notes.txt.
void WriteOtherKinds(const std::string& folder);
