#include "vector/vector_import.h"

#include "vector/gzip_data.h"

#include <algorithm>
#include <stdexcept>

namespace {

// What a compressed drawing (.svgz) may unpack to: a hundred times its size,
// at least 16 MiB, at most 256 MiB. Drawings compress some ten times; a
// bomb a thousand.
std::size_t CompressedDrawingLimit(std::size_t compressed)
{
    std::size_t floor = std::size_t(16) << 20, ceiling = std::size_t(256) << 20;
    return compressed > ceiling / 100 ? ceiling : std::max(floor, compressed * 100);
}

} // namespace

std::shared_ptr<QPDF> OpenVectorKind(const std::string& path, const std::string& bytes)
{
    if (IsSvg(bytes))
        return ReadSvg(bytes, path);
    if (IsGzip(bytes)) {
        std::string drawing = Gunzip(bytes, CompressedDrawingLimit(bytes.size()));
        if (!IsSvg(drawing))
            throw std::runtime_error("the gzip-compressed file holds no SVG drawing");
        return ReadSvg(drawing, path);
    }
    if (IsPostScript(bytes))
        return ReadPostScript(bytes);
    if (IsXps(bytes))
        return ReadXps(bytes, path);
    return nullptr;
}
