#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// The largest raster the engine decodes: a bound on memory whatever a file
// claims. The fuzz build sets a smaller one, to stay within the fuzzer's memory.
#ifndef DOCHOST_MAX_RAW_BYTES
#define DOCHOST_MAX_RAW_BYTES (1ull << 31)
#endif
constexpr std::uint64_t MaxRawBytes = DOCHOST_MAX_RAW_BYTES;

inline void CheckRawSize(std::uint64_t width, std::uint64_t height, std::uint64_t bitsPerPixel)
{
    if (width == 0 || height == 0)
        throw std::runtime_error("the image has no pixels");
    if (width > (1u << 24) || height > (1u << 24) || (width * bitsPerPixel + 7) / 8 * height > MaxRawBytes)
        throw std::runtime_error("the image is too large (" + std::to_string(width) + " x " +
                                 std::to_string(height) + ")");
}
