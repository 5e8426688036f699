#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Images as tests know them: interleaved samples of 8 or 16 bits.
struct Pixels {
    int width = 0, height = 0;
    int channels = 3; // 1 gray, 2 gray+alpha, 3 RGB, 4 RGBA (or CMYK where a test says so)
    int depth = 8;    // 1, 2, 4, 8 or 16 bits a sample (values never above 2^depth - 1)
    std::vector<std::uint16_t> samples;

    std::uint16_t& At(int x, int y, int c) { return samples[(std::size_t(y) * width + x) * channels + c]; }
    std::uint16_t At(int x, int y, int c) const { return samples[(std::size_t(y) * width + x) * channels + c]; }
};

// Content that compresses like a photo or a scan: gradients, edges and noise.
Pixels Pattern(int width, int height, int channels, int depth, unsigned seed);

// Row y packed as image files store it: samples high bit first, 16-bit
// samples big-endian or in the host's order.
std::vector<std::uint8_t> PackRow(const Pixels& pixels, int y, bool bigEndian);

// The samples of one channel alone.
Pixels Channel(const Pixels& pixels, int channel);

// An RGB image of 8 bits a sample, as a reader shows it.
struct Rgb8 {
    int width = 0, height = 0;
    std::string data;
};

// What a reader shows for pixels: gray widened to RGB, 16 bits cut to their
// high byte, alpha composited against white the way cairo does it.
Rgb8 Shown(const Pixels& pixels);

// A page rendered by poppler (pdftocairo) to width x height pixels.
Rgb8 RenderPage(const std::string& pdf, int page, int width, int height);

// The first place two images differ, or "" when they are equal.
std::string Difference(const Rgb8& expected, const Rgb8& actual);
