#include "images/png_predictor.h"

#include "images/parallel.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

std::uint8_t Paeth(int left, int up, int upLeft)
{
    int p = left + up - upLeft;
    int pa = std::abs(p - left), pb = std::abs(p - up), pc = std::abs(p - upLeft);
    if (pa <= pb && pa <= pc)
        return std::uint8_t(left);
    return std::uint8_t(pb <= pc ? up : upLeft);
}

// Filters one row with filter f into dst; returns the sum of the filtered
// bytes taken as signed values. Each filter has a loop of its own, which
// the compiler can make fast.
unsigned long long Filter(int f, const std::uint8_t* row, const std::uint8_t* up, std::uint8_t* dst,
                          std::size_t rowBytes, std::size_t bpp)
{
    std::size_t head = bpp < rowBytes ? bpp : rowBytes;
    switch (f) {
    case 0:
        for (std::size_t i = 0; i < rowBytes; ++i)
            dst[i] = row[i];
        break;
    case 1:
        for (std::size_t i = 0; i < head; ++i)
            dst[i] = row[i];
        for (std::size_t i = head; i < rowBytes; ++i)
            dst[i] = std::uint8_t(row[i] - row[i - bpp]);
        break;
    case 2:
        for (std::size_t i = 0; i < rowBytes; ++i)
            dst[i] = std::uint8_t(row[i] - up[i]);
        break;
    case 3:
        for (std::size_t i = 0; i < head; ++i)
            dst[i] = std::uint8_t(row[i] - up[i] / 2);
        for (std::size_t i = head; i < rowBytes; ++i)
            dst[i] = std::uint8_t(row[i] - (row[i - bpp] + up[i]) / 2);
        break;
    default:
        for (std::size_t i = 0; i < head; ++i)
            dst[i] = std::uint8_t(row[i] - Paeth(0, up[i], 0));
        for (std::size_t i = head; i < rowBytes; ++i)
            dst[i] = std::uint8_t(row[i] - Paeth(row[i - bpp], up[i], up[i - bpp]));
        break;
    }
    unsigned long long sum = 0;
    for (std::size_t i = 0; i < rowBytes; ++i)
        sum += dst[i] < 128 ? dst[i] : 256u - dst[i];
    return sum;
}

// Filters rows [first, last) of raw into out, each row after its filter byte.
void PredictRows(const std::string& raw, std::size_t rowBytes, std::size_t bpp, std::size_t first, std::size_t last,
                 char* out)
{
    std::string candidate[5];
    for (auto& c : candidate)
        c.resize(rowBytes);
    const std::string zero(rowBytes, '\0');
    for (std::size_t y = first; y < last; ++y) {
        const auto* row = reinterpret_cast<const std::uint8_t*>(raw.data() + y * rowBytes);
        const auto* up = reinterpret_cast<const std::uint8_t*>(y > 0 ? raw.data() + (y - 1) * rowBytes : zero.data());
        std::size_t best = 0;
        unsigned long long bestSum = ~0ull;
        for (int f = 0; f < 5 && bestSum > 0; ++f) {
            // A row that filters to nothing but zeros cannot be beaten: later filters are not tried.
            unsigned long long sum =
                Filter(f, row, up, reinterpret_cast<std::uint8_t*>(candidate[f].data()), rowBytes, bpp);
            if (sum < bestSum) {
                bestSum = sum;
                best = std::size_t(f);
            }
        }
        char* at = out + (y - first) * (rowBytes + 1);
        at[0] = char(best);
        std::memcpy(at + 1, candidate[best].data(), rowBytes);
    }
}

} // namespace

std::string PngPredict(const std::string& raw, std::size_t rowBytes, std::size_t bpp)
{
    std::size_t rows = rowBytes == 0 ? 0 : raw.size() / rowBytes;
    std::string out(rows * (rowBytes + 1), '\0');
    // Each row depends only on itself and the raw row above, so large images
    // are filtered a band of rows per core at once.
    std::size_t bands = PiecesFor(raw.size(), std::size_t(1) << 20);
    RunPieces(bands, [&](std::size_t i) {
        std::size_t first = rows * i / bands, last = rows * (i + 1) / bands;
        PredictRows(raw, rowBytes, bpp, first, last, out.data() + first * (rowBytes + 1));
    });
    return out;
}
