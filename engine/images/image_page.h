#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

class QPDF;

// The parameters of a stream's filter, each written only where it is set.
struct DecodeParms {
    std::optional<int> predictor, colors, bitsPerComponent, columns; // Flate's predictors
    std::optional<int> k, rows;                                      // CCITT fax
    bool encodedByteAlign = false, blackIs1 = false;                 // CCITT fax
    std::optional<int> colorTransform;                               // DCT
};

// The parameters of PNG predictors (each row with its own filter) over rows
// of `columns` pixels of `colors` samples of `bits` bits.
DecodeParms PngPredictorParms(int colors, int bits, int columns);

// The parameters of CCITT fax data of K `k` (-1 for G4) and the given size.
DecodeParms CcittParms(int k, int columns, int rows, bool encodedByteAlign = false);

// One raster as it goes into the PDF: either raw samples (rows packed to
// whole bytes, high bit first, 16-bit samples big-endian), which are stored
// with Flate, or data already in a form PDF decodes itself.
struct Raster {
    enum class Space { Gray, RGB, CMYK, Indexed } space = Space::Gray;
    int width = 0;
    int height = 0;
    int bitsPerComponent = 8;
    std::string palette; // Indexed: RGB triples
    std::string icc;     // an ICC profile for the colour space, when the file has one

    // "" for raw samples; otherwise "/DCTDecode", "/JPXDecode", "/CCITTFaxDecode"
    // or "/FlateDecode" (with decodeParms), taken as they are.
    std::string filter;
    DecodeParms decodeParms;
    std::vector<double> decode; // /Decode: a low and a high value a component; empty for the default
    std::vector<int> colorKey;  // /Mask: the range of each component that is not drawn; empty for none
    bool jpxOwnSpace = false;   // JPX data that carries its own colour space (and alpha)
    std::string data;

    std::shared_ptr<Raster> softMask; // 8- or 16-bit Gray alpha, same size
    std::vector<double> matte;        // of a soft mask: the colour its raster's colour was premultiplied with
};

// A raster placed at a pixel offset within a page's raster.
struct ImagePiece {
    Raster raster;
    int x = 0, y = 0; // from the top left corner
};

// A page showing one raster at its resolution, each axis on its own.
struct ImagePage {
    Raster raster;
    // When not empty, the page shows these in the raster's place, each at its
    // offset and cut at the raster's edges (JPEG strips or tiles kept as they
    // are); the raster then gives the size alone and holds no data.
    std::vector<ImagePiece> pieces;
    double xDpi = 96;
    double yDpi = 96;
    int rotate = 0;      // clockwise degrees the page is turned to be shown
    bool mirror = false; // flipped left to right (before the rotation)
};

// The resolution used where a file records none.
constexpr double DefaultDpi = 96;

// A document of the given pages, ready to be saved or inserted from.
std::shared_ptr<QPDF> MakeImageDocument(const std::vector<ImagePage>& pages);

// Compresses raw samples (and those of the soft mask) as they will be
// stored, so that a reader of many pages holds each page's raw samples only
// while it makes that page. Data already in a PDF filter is left alone.
void PackRaster(Raster& raster);

// Bytes of one row of raw samples.
std::size_t RowBytes(const Raster& raster);
int Components(const Raster& raster);
