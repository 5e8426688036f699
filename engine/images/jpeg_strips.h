#pragma once

#include <optional>
#include <string>
#include <vector>

// The structure of one baseline JPEG stream, as far as joining streams needs it.
struct JpegLayout {
    int width = 0, height = 0, components = 0;
    int maxH = 1, maxV = 1;   // the largest sampling factors
    bool verticalSubsampling = false; // a component has fewer rows than another
    int restartInterval = 0;  // MCUs; 0: none
    bool adobe = false;       // an Adobe APP14 marker is present
    int adobeTransform = -1;  // its transform flag
    bool jfif = false;        // a JFIF APP0 marker is present
    std::size_t sofHeightAt = 0;     // offset of the frame header's height field
    std::size_t scanAt = 0;          // the start-of-scan marker
    std::size_t scanDataAt = 0;      // first byte after the scan header
    std::size_t scanDataEnd = 0;     // the end-of-image marker
    int mcuWidth() const { return components == 1 ? 8 : 8 * maxH; }
    int mcuHeight() const { return components == 1 ? 8 : 8 * maxV; }
};

// A TIFF strip or tile of compression 7 as a whole JPEG stream: the file's
// JPEGTables (when it has them) put in front of the strip's own markers.
std::string WholeJpeg(const std::string& tables, const std::string& strip);

// The layout of a whole JPEG stream that is baseline or extended sequential
// Huffman, 8 bits, one scan holding every component; nothing otherwise.
std::optional<JpegLayout> ParseJpeg(const std::string& jpeg);

// Whole JPEG streams of consecutive strips of one image (each but the last
// `rowsPerStrip` rows high, all with the same tables and components) as one
// stream of the whole height: the first strip's headers, then each strip's
// scan data after a restart marker, with a restart interval of one strip
// (or the strips' own interval, when a strip is a whole number of them).
// Nothing when the strips cannot be joined so that a decoder reads exactly
// what it reads from each strip alone: differing headers, strips that are
// not whole MCU rows, an interval beyond 65535 MCUs, or chroma subsampled
// vertically (whose smoothed upsampling would reach across the joins).
std::optional<std::string> JoinJpegStrips(const std::vector<std::string>& strips, int rowsPerStrip);
