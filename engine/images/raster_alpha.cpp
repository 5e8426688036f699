#include "images/raster_alpha.h"

#include "images/byte_cursor.h"

#include <algorithm>
#include <cstring>

void SetSoftMask(Raster& raster, std::string alpha, int bits)
{
    auto mask = std::make_shared<Raster>();
    mask->width = raster.width;
    mask->height = raster.height;
    mask->bitsPerComponent = bits;
    mask->data = std::move(alpha);
    raster.softMask = std::move(mask);
}

void SplitAlpha(const char* pixels, std::size_t stride, int samples, int colours, bool alpha, Raster& raster,
                std::uint32_t opaque)
{
    std::size_t bytes = raster.bitsPerComponent == 16 ? 2 : 1;
    std::size_t width = std::size_t(raster.width), height = std::size_t(raster.height);
    std::size_t pixel = std::size_t(samples) * bytes, colour = std::size_t(colours) * bytes;
    if (opaque == 0)
        opaque = bytes == 2 ? 0xffff : 0xff;
    raster.data.resize(width * height * colour);
    std::string mask(alpha ? width * height * bytes : 0, '\0');
    bool translucent = false;
    char* c = raster.data.data();
    char* a = mask.data();
    for (std::size_t y = 0; y < height; ++y) {
        const char* p = pixels + y * stride;
        if (pixel == colour) {
            // Already the samples as stored: the row at once.
            std::memcpy(c, p, width * colour);
            c += width * colour;
            continue;
        }
        for (std::size_t x = 0; x < width; ++x, p += pixel, c += colour) {
            std::memcpy(c, p, colour);
            if (!alpha)
                continue;
            std::uint32_t value = std::uint8_t(p[colour]);
            if (bytes == 2)
                value = value << 8 | std::uint8_t(p[colour + 1]);
            translucent |= value != opaque;
            std::memcpy(a, p + colour, bytes);
            a += bytes;
        }
    }
    if (translucent)
        SetSoftMask(raster, std::move(mask), int(bytes * 8));
}

void Unpremultiply(std::string& colour, const std::string& alpha, int colours, int bits)
{
    int width = bits == 16 ? 2 : 1;
    std::size_t pixels = alpha.size() / std::size_t(width);
    std::uint32_t max = bits == 16 ? 65535 : 255;
    ByteCursor colourIn(colour), alphaIn(alpha);
    for (std::size_t p = 0; p < pixels; ++p) {
        std::uint32_t a = std::uint32_t(alphaIn.BeAt(p * std::size_t(width), width));
        if (a == 0 || a == max)
            continue;
        for (std::size_t c = p * std::size_t(colours); c < (p + 1) * std::size_t(colours); ++c) {
            std::uint64_t premultiplied = colourIn.BeAt(c * std::size_t(width), width);
            PutSample(colour, c, std::min(max, std::uint32_t((premultiplied * max + a / 2) / a)), width);
        }
    }
}
