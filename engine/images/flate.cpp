#include "images/flate.h"

#include <stdexcept>
#include <zlib.h>

std::string CompressFlate(const std::string& data)
{
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(data.data()),
                  static_cast<uLong>(data.size()), 6) != Z_OK)
        throw std::runtime_error("cannot compress the image data");
    out.resize(size);
    return out;
}
