// JPEG 2000, as a JP2 file or a bare codestream. The codestream's structure
// is checked (main header, every tile-part's length, the end marker) and
// openjpeg decodes it, so that a damaged file is refused rather than shown
// as a blank page. Then the data goes into the PDF as it is (JPX), except
// where PDF readers would not show it as decoders do: an image with an alpha
// channel, and a codestream of two or four components (grey or RGB with
// alpha), are stored decoded, colour and a soft mask. The JP2 boxes give the
// resolution.
#include "images/byte_cursor.h"
#include "images/image_import.h"
#include "images/raster_alpha.h"
#include "images/raw_limits.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <openjpeg.h>
#include <stdexcept>

namespace {

OPJ_SIZE_T ReadBytes(void* buffer, OPJ_SIZE_T size, void* user)
{
    std::size_t n = static_cast<ByteCursor*>(user)->CopyOut(buffer, size);
    return n == 0 ? OPJ_SIZE_T(-1) : n;
}

OPJ_OFF_T SkipBytes(OPJ_OFF_T count, void* user)
{
    ByteCursor* in = static_cast<ByteCursor*>(user);
    if (count < 0 || !in->Has(std::size_t(count)))
        return -1;
    in->Skip(std::size_t(count));
    return count;
}

OPJ_BOOL SeekTo(OPJ_OFF_T offset, void* user)
{
    ByteCursor* in = static_cast<ByteCursor*>(user);
    if (offset < 0 || !in->Has(std::size_t(offset), 0))
        return OPJ_FALSE;
    in->Seek(std::size_t(offset));
    return OPJ_TRUE;
}

void Quiet(const char*, void*) {}

void KeepError(const char* message, void* user)
{
    std::string* error = static_cast<std::string*>(user);
    if (error->empty()) {
        *error = message;
        while (!error->empty() && (error->back() == '\n' || error->back() == ' '))
            error->pop_back();
    }
}

// A big-endian number of n bytes at offset at; past the end, the codestream is truncated.
std::uint64_t Be(const std::string& s, std::size_t at, int n)
{
    return ByteCursor(s, "the JPEG 2000 codestream is truncated").BeAt(at, n);
}

struct Box {
    std::string type;
    std::size_t start, end; // contents
};

// The boxes between from and to; false when their lengths do not fit.
bool Boxes(const std::string& s, std::size_t from, std::size_t to, std::vector<Box>& boxes)
{
    std::size_t at = from;
    while (at < to) {
        if (to - at < 8)
            return false;
        std::uint64_t length = Be(s, at, 4);
        std::size_t header = 8;
        if (length == 1) {
            if (to - at < 16)
                return false;
            length = Be(s, at + 8, 8);
            header = 16;
        } else if (length == 0) {
            length = to - at;
        }
        if (length < header || length > to - at)
            return false;
        boxes.push_back({s.substr(at + 4, 4), at + header, at + std::size_t(length)});
        at += std::size_t(length);
    }
    return true;
}

// Resolution from the display ('resd') or capture ('resc') box, in pixels a metre.
void JpxResolution(const std::string& s, const std::vector<Box>& top, ImagePage& page)
{
    for (const Box& header : top) {
        if (header.type != "jp2h")
            continue;
        std::vector<Box> inner, resolution;
        if (!Boxes(s, header.start, header.end, inner))
            return;
        for (const Box& res : inner) {
            if (res.type != "res " || !Boxes(s, res.start, res.end, resolution))
                continue;
            for (const char* wanted : {"resd", "resc"}) {
                for (const Box& r : resolution) {
                    if (r.type != wanted || r.end - r.start < 10)
                        continue;
                    // Vertical then horizontal: numerators and denominators, then exponents.
                    auto value = [&](std::size_t at, std::size_t exponentAt) {
                        double num = double(Be(s, at, 2)), den = double(Be(s, at + 2, 2));
                        int exponent = std::int8_t(s[exponentAt]);
                        return den > 0 ? num / den * std::pow(10.0, exponent) : 0.0;
                    };
                    double y = value(r.start, r.start + 8), x = value(r.start + 4, r.start + 9);
                    if (x > 0 && y > 0) {
                        page.xDpi = x * 0.0254;
                        page.yDpi = y * 0.0254;
                        return;
                    }
                }
            }
        }
    }
}


// What the codestream's main header declares.
struct Siz {
    std::uint32_t width = 0, height = 0, components = 0;
    bool eightBit = true; // every component of unsigned 8-bit samples
};

[[noreturn]] void Broken(const std::string& what)
{
    throw std::runtime_error("the JPEG 2000 codestream is " + what);
}

// The length of the marker segment at from.
std::size_t SegmentLength(const std::string& s, std::size_t from)
{
    std::size_t size = s.size();
    if (size - from < 4)
        Broken("truncated");
    std::size_t length = std::size_t(Be(s, from + 2, 2));
    if (length < 2 || length > size - from - 2)
        Broken(size - from - 2 < length ? "truncated" : "damaged (a marker's length is wrong)");
    return length;
}

// The size marker, first in the main header: the image's size and its tiles.
Siz ReadSiz(const std::string& s, std::uint64_t& tiles)
{
    if (s.size() < 4 || Be(s, 0, 2) != 0xff4f || Be(s, 2, 2) != 0xff51)
        Broken("damaged (no main header)");
    std::size_t at = 2, sizLength = SegmentLength(s, at);
    if (sizLength < 41)
        Broken("damaged (its size marker is too short)");
    std::uint64_t xsiz = Be(s, at + 6, 4), ysiz = Be(s, at + 10, 4), xo = Be(s, at + 14, 4), yo = Be(s, at + 18, 4);
    std::uint64_t xt = Be(s, at + 22, 4), yt = Be(s, at + 26, 4), xto = Be(s, at + 30, 4), yto = Be(s, at + 34, 4);
    std::uint64_t components = Be(s, at + 38, 2);
    if (xsiz <= xo || ysiz <= yo || xt == 0 || yt == 0 || xto > xo || yto > yo || xto + xt <= xo || yto + yt <= yo ||
        components == 0 || sizLength != 38 + 3 * components)
        Broken("damaged (its size marker is inconsistent)");
    bool eightBit = true;
    for (std::uint64_t c = 0; c < components; ++c)
        eightBit = eightBit && Be(s, at + 40 + 3 * c, 1) == 7;
    tiles = ((xsiz - xto + xt - 1) / xt) * ((ysiz - yto + yt - 1) / yt);
    if (tiles > 65535)
        Broken("damaged (it declares " + std::to_string(tiles) + " tiles)");
    return {std::uint32_t(xsiz - xo), std::uint32_t(ysiz - yo), std::uint32_t(components), eightBit};
}

// Passes the marker segments from at up to the first `stop` marker (where
// it returns), failing with `where` at one of `wrong` or past `end`, and
// with `ranOut` where fewer than two bytes are left.
std::size_t SkipSegments(const std::string& s, std::size_t at, std::size_t end, std::uint64_t stop,
                         std::initializer_list<std::uint64_t> wrong, const char* where, const char* ranOut)
{
    for (;;) {
        if (end - at < 2 || std::uint8_t(s[at]) != 0xff)
            Broken(end - at < 2 ? ranOut : where);
        std::uint64_t marker = Be(s, at, 2);
        if (marker == stop)
            return at;
        if (std::find(wrong.begin(), wrong.end(), marker) != wrong.end())
            Broken(where);
        at += marker >= 0xff30 && marker <= 0xff3f ? 2 : 2 + SegmentLength(s, at);
        if (at > end)
            Broken(where);
    }
}

// Each tile-part from at by its length, up to the end marker: every tile
// has its parts, in order, as many as they declare.
void CheckTileParts(const std::string& s, std::size_t at, std::uint64_t tiles)
{
    std::size_t size = s.size();
    std::vector<unsigned> parts(std::size_t(tiles), 0), declared(std::size_t(tiles), 0);
    bool ended = false;
    while (!ended) {
        if (size - at < 2)
            Broken("truncated");
        std::uint64_t marker = Be(s, at, 2);
        if (marker == 0xffd9)
            break;
        if (marker != 0xff90 || SegmentLength(s, at) != 10)
            Broken("damaged (a tile-part does not start where the one before ends)");
        std::size_t tile = std::size_t(Be(s, at + 4, 2));
        std::uint64_t length = Be(s, at + 6, 4);
        unsigned index = unsigned(Be(s, at + 10, 1)), count = unsigned(Be(s, at + 11, 1));
        if (tile >= tiles || index != parts[tile] || (count != 0 && index >= count))
            Broken("damaged (tile-part " + std::to_string(index) + " of tile " + std::to_string(tile) + ")");
        if (length == 0) {
            // The last tile-part may run to the end marker.
            if (size - at < 16 || Be(s, size - 2, 2) != 0xffd9)
                Broken("truncated");
            length = size - 2 - at;
            ended = true;
        }
        if (length < 14 || length > size - at)
            Broken(length > size - at ? "truncated" : "damaged (a tile-part's length is wrong)");
        // The tile-part's own header runs to its start of data.
        std::size_t end = at + std::size_t(length);
        const char* wrongHeader = "damaged (a tile-part's header)";
        SkipSegments(s, at + 12, end, 0xff93, {}, wrongHeader, wrongHeader);
        ++parts[tile];
        if (count != 0)
            declared[tile] = count;
        at = end;
    }
    if (size - at < 2 || Be(s, at, 2) != 0xffd9)
        Broken("truncated");
    for (std::size_t t = 0; t < parts.size(); ++t)
        if (parts[t] == 0 || (declared[t] != 0 && parts[t] != declared[t]))
            Broken("truncated (tile " + std::to_string(t) + " is incomplete)");
}

// Walks the codestream's markers: the main header, then each tile-part by
// its length up to the end marker. Throws with what is wrong.
Siz CheckCodestream(const std::string& s)
{
    std::uint64_t tiles = 0;
    Siz siz = ReadSiz(s, tiles);
    std::size_t firstTilePart = SkipSegments(s, 4 + SegmentLength(s, 2), s.size(), 0xff90, {0xff93, 0xffd9},
                                             "damaged (its main header)", "truncated");
    CheckTileParts(s, firstTilePart, tiles);
    return siz;
}

struct OpjImage {
    opj_image_t* image = nullptr;
    ~OpjImage()
    {
        if (image != nullptr)
            opj_image_destroy(image);
    }
};

// Decodes the whole file with openjpeg, which must find no fault in it;
// with a budget, what its header declares is charged before decoding.
void Decode(const std::string& bytes, bool jp2, OpjImage& out, PixelBudget* budget = nullptr)
{
    std::string error;
    ByteCursor input(bytes);
    opj_stream_t* stream = opj_stream_create(1 << 16, OPJ_TRUE);
    opj_stream_set_user_data(stream, &input, nullptr);
    opj_stream_set_user_data_length(stream, bytes.size());
    opj_stream_set_read_function(stream, ReadBytes);
    opj_stream_set_skip_function(stream, SkipBytes);
    opj_stream_set_seek_function(stream, SeekTo);
    opj_codec_t* codec = opj_create_decompress(jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K);
    opj_set_error_handler(codec, KeepError, &error);
    opj_set_warning_handler(codec, Quiet, nullptr);
    opj_set_info_handler(codec, Quiet, nullptr);
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    bool ok = opj_setup_decoder(codec, &parameters) && opj_decoder_set_strict_mode(codec, OPJ_TRUE) &&
              opj_read_header(stream, codec, &out.image) && out.image != nullptr;
    try {
        if (ok && budget != nullptr)
            budget->Claim(PixelBudget::Bytes(out.image->x1 - out.image->x0, out.image->y1 - out.image->y0,
                                             32 * std::uint64_t(out.image->numcomps)));
    } catch (...) {
        opj_destroy_codec(codec);
        opj_stream_destroy(stream);
        throw;
    }
    ok = ok && opj_decode(codec, stream, out.image) && opj_end_decompress(codec, stream);
    opj_destroy_codec(codec);
    opj_stream_destroy(stream);
    if (!ok)
        throw std::runtime_error("the JPEG 2000 file is damaged" + (error.empty() ? "" : ": " + error));
}

// One decoded component as samples of 8 or 16 bits, big-endian.
void PutComponent(const opj_image_comp_t& c, int bits, std::string& out, std::size_t index, std::size_t stride)
{
    std::size_t count = std::size_t(c.w) * c.h;
    int precision = int(c.prec);
    std::int64_t top = (std::int64_t(1) << precision) - 1, outTop = (1 << bits) - 1;
    std::int64_t offset = c.sgnd ? std::int64_t(1) << (precision - 1) : 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::int64_t v = std::clamp<std::int64_t>(std::int64_t(c.data[i]) + offset, 0, top);
        std::int64_t scaled = precision == bits ? v : (v * outTop + top / 2) / top;
        PutSample(out, i * stride + index, std::uint32_t(scaled), bits / 8);
    }
}

// The decoded image as colour samples and a soft mask of its alpha channel.
void StoreDecoded(const opj_image_t& image, bool codestream, Raster& r)
{
    std::vector<int> colour;
    int alpha = -1;
    bool premultiplied = false;
    for (int i = 0; i < int(image.numcomps); ++i) {
        if (image.comps[i].alpha != 0 && alpha < 0) {
            alpha = i;
            premultiplied = image.comps[i].alpha == 2;
        } else if (image.comps[i].alpha == 0) {
            colour.push_back(i);
        }
    }
    std::size_t colours = colour.size();
    if (!codestream) {
        if (image.color_space == OPJ_CLRSPC_SRGB)
            colours = 3;
        else if (image.color_space == OPJ_CLRSPC_GRAY)
            colours = 1;
        else if (image.color_space == OPJ_CLRSPC_CMYK)
            colours = 4;
        else if (image.color_space == OPJ_CLRSPC_SYCC || image.color_space == OPJ_CLRSPC_EYCC)
            throw std::runtime_error("a JPEG 2000 image in YCC with an alpha channel is not supported");
        else
            colours = colour.size() >= 4 ? 4 : colour.size() >= 3 ? 3 : 1;
    } else {
        colours = colour.size() >= 3 ? 3 : 1;
    }
    if (colour.size() < colours)
        throw std::runtime_error("the JPEG 2000 image has fewer components than its colour space");
    // A component past the colour space's is its alpha, as decoders take it.
    if (alpha < 0 && colour.size() > colours)
        alpha = colour[colours];
    colour.resize(colours);

    int precision = 0;
    for (int i = 0; i < int(image.numcomps); ++i) {
        const opj_image_comp_t& c = image.comps[i];
        if (int(c.w) != r.width || int(c.h) != r.height || c.data == nullptr || c.prec < 1 || c.prec > 31)
            throw std::runtime_error("a JPEG 2000 image with subsampled components is not supported decoded");
        precision = std::max(precision, int(c.prec));
    }
    int bits = precision <= 8 ? 8 : 16;
    r.space = colours == 1 ? Raster::Space::Gray : colours == 3 ? Raster::Space::RGB : Raster::Space::CMYK;
    r.bitsPerComponent = bits;
    std::size_t pixels = std::size_t(r.width) * std::size_t(r.height);
    r.data.assign(pixels * colours * std::size_t(bits / 8), '\0');
    for (std::size_t i = 0; i < colours; ++i)
        PutComponent(image.comps[colour[i]], bits, r.data, i, colours);
    if (image.icc_profile_buf != nullptr && image.icc_profile_len > 0 && !codestream)
        r.icc.assign(reinterpret_cast<const char*>(image.icc_profile_buf), image.icc_profile_len);
    if (alpha < 0)
        return;
    std::string mask(pixels * std::size_t(bits / 8), '\0');
    PutComponent(image.comps[alpha], bits, mask, 0, 1);
    SetSoftMask(r, std::move(mask), bits);
    if (premultiplied)
        Unpremultiply(r.data, r.softMask->data, int(colours), bits);
}

ImagePage Salvaged(const std::string& bytes, bool jp2, ImagePage page, const std::exception& structure)
{
    OpjImage image;
    try {
        PixelBudget budget(bytes.size());
        Decode(bytes, jp2, image, &budget);
        const opj_image_t& decoded = *image.image;
        std::uint64_t width = decoded.x1 - decoded.x0, height = decoded.y1 - decoded.y0;
        CheckRawSize(width, height, 32);
        page.raster.width = int(width);
        page.raster.height = int(height);
        StoreDecoded(decoded, !jp2, page.raster);
    } catch (const std::exception&) {
        throw std::runtime_error(structure.what());
    }
    return page;
}


// The codestream of a JP2 file (its first), with the resolution its boxes give.
std::string Jp2Codestream(const std::string& bytes, ImagePage& page)
{
    std::vector<Box> top;
    if (!Boxes(bytes, 0, bytes.size(), top))
        throw std::runtime_error("the JPEG 2000 file is truncated or damaged");
    auto box = std::find_if(top.begin(), top.end(), [](const Box& b) { return b.type == "jp2c"; });
    if (box == top.end())
        throw std::runtime_error("the JPEG 2000 file holds no codestream");
    JpxResolution(bytes, top, page);
    return bytes.substr(box->start, box->end - box->start);
}

} // namespace

std::vector<ImagePage> ReadJpx(const std::string& bytes)
{
    bool jp2 = bytes.compare(0, 4, std::string("\0\0\0\x0c", 4)) == 0;
    ImagePage page;
    std::string codestream = jp2 ? Jp2Codestream(bytes, page) : bytes;
    Siz siz;
    try {
        siz = CheckCodestream(codestream);
    } catch (const std::exception& structure) {
        // A codestream whose structure is wrong goes in only as openjpeg
        // decodes it, strictly; else the structure's fault is the reason.
        return {Salvaged(bytes, jp2, page, structure)};
    }
    codestream.clear();
    CheckRawSize(siz.width, siz.height, 1);

    Raster& r = page.raster;
    r.width = int(siz.width);
    r.height = int(siz.height);
    // openjpeg holds each decoded sample in 4 bytes.
    PixelBudget budget(bytes.size());
    std::uint64_t decodedBytes = PixelBudget::Bytes(siz.width, siz.height, 32 * std::uint64_t(siz.components));
    bool needsDecoding = !jp2 && (siz.components == 2 || siz.components == 4);
    OpjImage image;
    if (needsDecoding || budget.Allows(decodedBytes)) {
        budget.Claim(decodedBytes);
        Decode(bytes, jp2, image);
        needsDecoding = needsDecoding || std::any_of(image.image->comps, image.image->comps + image.image->numcomps,
                                                     [](const opj_image_comp_t& c) { return c.alpha != 0; });
        if (jp2 && !needsDecoding) {
            // Components past the colour space's are alpha, as decoders take them.
            OPJ_COLOR_SPACE space = image.image->color_space;
            std::uint32_t colours = space == OPJ_CLRSPC_GRAY ? 1 : space == OPJ_CLRSPC_CMYK ? 4 : 3;
            needsDecoding = (space == OPJ_CLRSPC_SRGB || space == OPJ_CLRSPC_GRAY || space == OPJ_CLRSPC_CMYK) &&
                            image.image->numcomps > colours;
        }
    }
    // Beyond the budget, a file that needs no decoding passes on its structure alone.
    // Samples of other than 8 bits are stored decoded too where that can be
    // done, since renderers scale them differently.
    if (needsDecoding || (!siz.eightBit && image.image != nullptr)) {
        if (int(image.image->x1 - image.image->x0) != r.width || int(image.image->y1 - image.image->y0) != r.height)
            throw std::runtime_error("the JPEG 2000 file is damaged: its header and its codestream disagree");
        try {
            StoreDecoded(*image.image, !jp2, r);
            return {page};
        } catch (const std::exception&) {
            if (needsDecoding)
                throw;
            r = Raster();
            r.width = int(siz.width);
            r.height = int(siz.height);
        }
    }
    if (siz.components > 4 && !jp2)
        throw std::runtime_error("a JPEG 2000 codestream of " + std::to_string(siz.components) +
                                 " components is not supported");
    r.filter = "/JPXDecode";
    r.data = bytes;
    if (jp2) {
        // The file's own colour space stands.
        r.jpxOwnSpace = true;
    } else {
        // A bare codestream says nothing of colour: name it from the components.
        r.space = siz.components >= 3 ? Raster::Space::RGB : Raster::Space::Gray;
    }
    return {page};
}
