#include "images/png_predictor.h"

#include <cstdint>
#include <cstdlib>

namespace {

std::uint8_t Paeth(int left, int up, int upLeft)
{
    int p = left + up - upLeft;
    int pa = std::abs(p - left), pb = std::abs(p - up), pc = std::abs(p - upLeft);
    if (pa <= pb && pa <= pc)
        return std::uint8_t(left);
    return std::uint8_t(pb <= pc ? up : upLeft);
}

} // namespace

std::string PngPredict(const std::string& raw, std::size_t rowBytes, std::size_t bpp)
{
    std::size_t rows = rowBytes == 0 ? 0 : raw.size() / rowBytes;
    std::string out;
    out.reserve(rows * (rowBytes + 1));
    std::string candidate[5];
    for (auto& c : candidate)
        c.resize(rowBytes);
    const std::string zero(rowBytes, '\0');
    for (std::size_t y = 0; y < rows; ++y) {
        const auto* row = reinterpret_cast<const std::uint8_t*>(raw.data() + y * rowBytes);
        const auto* up = reinterpret_cast<const std::uint8_t*>(y > 0 ? raw.data() + (y - 1) * rowBytes : zero.data());
        std::size_t best = 0;
        unsigned long long bestSum = ~0ull;
        for (int f = 0; f < 5; ++f) {
            unsigned long long sum = 0;
            auto* dst = reinterpret_cast<std::uint8_t*>(candidate[f].data());
            for (std::size_t i = 0; i < rowBytes; ++i) {
                int left = i >= bpp ? row[i - bpp] : 0, above = up[i], upLeft = i >= bpp ? up[i - bpp] : 0;
                int predicted = f == 0 ? 0 : f == 1 ? left : f == 2 ? above : f == 3 ? (left + above) / 2
                                                                                   : Paeth(left, above, upLeft);
                dst[i] = std::uint8_t(row[i] - predicted);
                sum += dst[i] < 128 ? dst[i] : 256 - dst[i];
            }
            if (sum < bestSum) {
                bestSum = sum;
                best = std::size_t(f);
            }
        }
        out += char(best);
        out += candidate[best];
    }
    return out;
}
