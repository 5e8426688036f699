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

// The decoded bytes of one file, all its pages together: at most the larger
// of MaxRawBytes and BudgetPerFileByte times the file's size, so that a
// large multi-page scan goes in while a small file cannot make the engine
// spend gigabytes. A reader states what the file declares before it decodes
// anything (Plan), and claims each page as it makes it (Claim); either
// throws once the file is over its budget.
class PixelBudget {
public:
    explicit PixelBudget(std::uint64_t fileBytes)
        : limit_(fileBytes > MaxRawBytes / BudgetPerFileByte ? fileBytes * BudgetPerFileByte : MaxRawBytes)
    {
        if (fileBytes > (std::uint64_t(1) << 40))
            limit_ = std::uint64_t(1) << 46;
    }

    void Plan(std::uint64_t bytes) { Add(planned_, bytes); }
    void Claim(std::uint64_t bytes) { Add(used_, bytes); }
    // Whether bytes more would still be within the budget.
    bool Allows(std::uint64_t bytes) const { return bytes <= limit_ && used_ + bytes <= limit_; }

    // What a page of width x height with bitsPerPixel (rows padded to bytes)
    // is charged: its samples, and at least what a page of the document
    // costs whatever its size, so that a file of a million tiny frames is
    // over the budget too. A single raster beyond MaxRawBytes is never
    // decoded.
    static std::uint64_t Bytes(std::uint64_t width, std::uint64_t height, std::uint64_t bitsPerPixel)
    {
        if (width > (1u << 24) || height > (1u << 24) || bitsPerPixel > 1024)
            return std::uint64_t(1) << 62;
        std::uint64_t bytes = (width * bitsPerPixel + 7) / 8 * height;
        if (bytes > MaxRawBytes)
            return std::uint64_t(1) << 62;
        return bytes > PageCost ? bytes : PageCost;
    }
    static constexpr std::uint64_t PageCost = 1 << 16;
    // Scans compress their pages well, but not as well as this.
    static constexpr std::uint64_t BudgetPerFileByte = 64;

private:
    void Add(std::uint64_t& total, std::uint64_t bytes)
    {
        total = bytes > limit_ ? limit_ + 1 : total + bytes;
        if (total > limit_)
            throw std::runtime_error("the file's pages together decode to more than " +
                                     std::to_string(limit_ >> 20) + " MB, the most a file of its size may take");
    }
    std::uint64_t limit_;
    std::uint64_t planned_ = 0, used_ = 0;
};
