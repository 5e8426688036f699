#pragma once

#include "images/image_page.h"

#include <cstdint>
#include <string>

// Gives the raster a soft mask of its size: alpha samples of `bits` bits
// (8 or 16, big-endian), one a pixel.
void SetSoftMask(Raster& raster, std::string alpha, int bits = 8);

// Pixels of `samples` interleaved samples each (whole bytes, as wide as the
// raster's bitsPerComponent), rows `stride` bytes apart, raster.width by
// raster.height of them: the first `colours` samples of each pixel become
// the raster's data; with `alpha`, the next becomes its soft mask, which is
// left off where every pixel is `opaque` (0: the largest sample). Samples
// after those are dropped.
void SplitAlpha(const char* pixels, std::size_t stride, int samples, int colours, bool alpha, Raster& raster,
                std::uint32_t opaque = 0);

// Colour samples premultiplied by alpha (interleaved, colours a pixel, 8 or
// 16 bits big-endian, as the alpha samples are) divided by their alpha again,
// rounded, so that a renderer that multiplies them shows the file's colour
// exactly. The premultiplied value can always be had back: nothing is lost.
void Unpremultiply(std::string& colour, const std::string& alpha, int colours, int bits);
