// JPEG 2000, as a JP2 file or a bare codestream: the data goes into the PDF as
// it is (JPX). openjpeg reads the header; the JP2 boxes give the resolution.
#include "images/image_import.h"

#include <cmath>
#include <cstring>
#include <openjpeg.h>
#include <stdexcept>

namespace {

struct Input {
    const std::string* bytes;
    std::size_t at;
};

OPJ_SIZE_T ReadBytes(void* buffer, OPJ_SIZE_T size, void* user)
{
    Input* in = static_cast<Input*>(user);
    std::size_t n = std::min<std::size_t>(size, in->bytes->size() - in->at);
    if (n == 0)
        return OPJ_SIZE_T(-1);
    std::memcpy(buffer, in->bytes->data() + in->at, n);
    in->at += n;
    return n;
}

OPJ_OFF_T SkipBytes(OPJ_OFF_T count, void* user)
{
    Input* in = static_cast<Input*>(user);
    if (count < 0 || std::size_t(count) > in->bytes->size() - in->at)
        return -1;
    in->at += std::size_t(count);
    return count;
}

OPJ_BOOL SeekTo(OPJ_OFF_T offset, void* user)
{
    Input* in = static_cast<Input*>(user);
    if (offset < 0 || std::size_t(offset) > in->bytes->size())
        return OPJ_FALSE;
    in->at = std::size_t(offset);
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

std::uint64_t Be(const std::string& s, std::size_t at, int n)
{
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | std::uint8_t(s[at + std::size_t(i)]);
    return v;
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

} // namespace

std::vector<ImagePage> ReadJpx(const std::string& bytes)
{
    bool jp2 = bytes.compare(0, 4, std::string("\0\0\0\x0c", 4)) == 0;
    ImagePage page;
    std::string codestream = bytes;
    if (jp2) {
        std::vector<Box> top;
        if (!Boxes(bytes, 0, bytes.size(), top))
            throw std::runtime_error("the JPEG 2000 file is truncated or damaged");
        bool found = false;
        for (const Box& box : top) {
            if (box.type == "jp2c") {
                codestream = bytes.substr(box.start, box.end - box.start);
                found = true;
            }
        }
        if (!found)
            throw std::runtime_error("the JPEG 2000 file holds no codestream");
        JpxResolution(bytes, top, page);
    }
    if (codestream.size() < 4 || codestream.compare(codestream.size() - 2, 2, "\xff\xd9") != 0)
        throw std::runtime_error("the JPEG 2000 codestream is truncated");

    std::string error;
    Input input{&bytes, 0};
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
    opj_image_t* image = nullptr;
    bool ok = opj_setup_decoder(codec, &parameters) && opj_read_header(stream, codec, &image) && image != nullptr;
    int width = 0, height = 0, components = 0;
    if (ok) {
        width = int(image->x1 - image->x0);
        height = int(image->y1 - image->y0);
        components = int(image->numcomps);
    }
    if (image != nullptr)
        opj_image_destroy(image);
    opj_destroy_codec(codec);
    opj_stream_destroy(stream);
    if (!ok)
        throw std::runtime_error("the JPEG 2000 file is damaged" + (error.empty() ? "" : ": " + error));
    if (width <= 0 || height <= 0 || components < 1 || components > 4)
        throw std::runtime_error("the JPEG 2000 image has an unsupported layout");

    Raster& r = page.raster;
    r.width = width;
    r.height = height;
    r.filter = "/JPXDecode";
    r.data = bytes;
    if (jp2) {
        // The file's own colour space (and any alpha channel) stands.
        r.jpxOwnSpace = true;
    } else {
        // A bare codestream says nothing of colour: name it from the components.
        r.space = components >= 3 ? (components == 4 ? Raster::Space::CMYK : Raster::Space::RGB) : Raster::Space::Gray;
        if (components == 2)
            throw std::runtime_error("a JPEG 2000 codestream of two components is not supported");
    }
    return {page};
}
