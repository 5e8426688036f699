#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// The largest raster the engine decodes, and the most that all the pages of
// one file may decode to together: a bound on memory and time whatever a
// file claims. The fuzz build sets a smaller one, to stay within the
// fuzzer's memory.
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

// The decoded bytes of one file, all its pages together. A reader states
// what the file declares before it decodes anything (Plan), and claims each
// page as it makes it (Claim); either throws once the file is over the
// budget, so that a small file cannot make the engine spend gigabytes.
class PixelBudget {
public:
    void Plan(std::uint64_t bytes) { Add(planned_, bytes); }
    void Claim(std::uint64_t bytes) { Add(used_, bytes); }
    // Whether bytes more would still be within the budget.
    bool Allows(std::uint64_t bytes) const { return bytes <= MaxRawBytes && used_ + bytes <= MaxRawBytes; }

    // What a page of width x height with bitsPerPixel (rows padded to bytes)
    // is charged: its samples, and at least what a page of the document
    // costs whatever its size, so that a file of a million tiny frames is
    // over the budget too.
    static std::uint64_t Bytes(std::uint64_t width, std::uint64_t height, std::uint64_t bitsPerPixel)
    {
        if (width > (1u << 24) || height > (1u << 24) || bitsPerPixel > 1024)
            return MaxRawBytes + 1;
        std::uint64_t bytes = (width * bitsPerPixel + 7) / 8 * height;
        return bytes > PageCost ? bytes : PageCost;
    }
    static constexpr std::uint64_t PageCost = 1 << 16;

private:
    static void Add(std::uint64_t& total, std::uint64_t bytes)
    {
        total = bytes > MaxRawBytes ? MaxRawBytes + 1 : total + bytes;
        if (total > MaxRawBytes)
            throw std::runtime_error("the file's pages together decode to more than " +
                                     std::to_string(MaxRawBytes >> 20) + " MB, the most one file may take");
    }
    std::uint64_t planned_ = 0, used_ = 0;
};
