#include "images/flate.h"

#include <stdexcept>
#include <zlib.h>

std::string CompressFlate(const std::string& data, Deflate how)
{
    // Streamed in pieces: the output grows as it is made, never to the
    // input's whole bound at once.
    z_stream z{};
    int level = how == Deflate::Thorough ? 7 : how == Deflate::Quick ? 3 : how == Deflate::Runs ? 1 : 6;
    int strategy = how == Deflate::Predicted ? Z_FILTERED : how == Deflate::Runs ? Z_RLE : Z_DEFAULT_STRATEGY;
    if (deflateInit2(&z, level, Z_DEFLATED, 15, 9, strategy) != Z_OK)
        throw std::runtime_error("cannot compress the image data");
    std::string out;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    char buffer[1 << 16];
    std::size_t left = data.size();
    int flush;
    do {
        uInt piece = static_cast<uInt>(left < (1u << 30) ? left : (1u << 30));
        z.avail_in = piece;
        left -= piece;
        flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = reinterpret_cast<Bytef*>(buffer);
            z.avail_out = sizeof buffer;
            if (deflate(&z, flush) == Z_STREAM_ERROR) {
                deflateEnd(&z);
                throw std::runtime_error("cannot compress the image data");
            }
            out.append(buffer, sizeof buffer - z.avail_out);
        } while (z.avail_out == 0);
    } while (flush != Z_FINISH);
    deflateEnd(&z);
    return out;
}
