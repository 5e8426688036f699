#include "images/flate.h"

#include "images/parallel.h"

#include <stdexcept>
#include <vector>
#include <zlib.h>

namespace {

// Below this much data, one thread compresses it all.
constexpr std::size_t PieceSize = std::size_t(1) << 20;
constexpr std::size_t Window = std::size_t(1) << 15;

struct Settings {
    int level;
    int strategy;
};

Settings SettingsOf(Deflate how)
{
    switch (how) {
    case Deflate::Predicted:
        return {6, Z_FILTERED};
    case Deflate::Thorough:
        return {7, Z_DEFAULT_STRATEGY};
    case Deflate::Quick:
        return {3, Z_DEFAULT_STRATEGY};
    case Deflate::Runs:
        return {1, Z_RLE};
    case Deflate::Plain:
        break;
    }
    return {6, Z_DEFAULT_STRATEGY};
}

// The zlib header of a stream made with these settings (its level field says
// how hard the compressor worked).
std::string ZlibHeader(Settings settings)
{
    if (settings.strategy == Z_RLE || settings.level < 2)
        return "\x78\x01";
    if (settings.level < 6)
        return "\x78\x5e";
    return settings.level == 6 ? "\x78\x9c" : "\x78\xda";
}

// Deflates data[begin, end) onto out: as a zlib stream (header and
// checksum) when whole, else as raw deflate blocks that see the 32 KiB
// before begin as their history and end on a byte boundary (a sync flush),
// or with the final block when last. Every kind uses zlib's largest memory
// level, which finds a little more.
void DeflateRange(const std::string& data, std::size_t begin, std::size_t end, bool whole, bool last,
                  Settings settings, std::string& out)
{
    z_stream z{};
    if (deflateInit2(&z, settings.level, Z_DEFLATED, whole ? 15 : -15, 9, settings.strategy) != Z_OK)
        throw std::runtime_error("cannot compress the image data");
    if (!whole && begin > 0) {
        std::size_t from = begin > Window ? begin - Window : 0;
        deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(data.data() + from), static_cast<uInt>(begin - from));
    }
    // Streamed in pieces: the output grows as it is made, never to the
    // input's whole bound at once.
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + begin));
    char buffer[1 << 16];
    std::size_t left = end - begin;
    int flush;
    do {
        uInt piece = static_cast<uInt>(left < (1u << 30) ? left : (1u << 30));
        z.avail_in = piece;
        left -= piece;
        flush = left != 0 ? Z_NO_FLUSH : last ? Z_FINISH : Z_SYNC_FLUSH;
        do {
            z.next_out = reinterpret_cast<Bytef*>(buffer);
            z.avail_out = sizeof buffer;
            if (deflate(&z, flush) == Z_STREAM_ERROR) {
                deflateEnd(&z);
                throw std::runtime_error("cannot compress the image data");
            }
            out.append(buffer, sizeof buffer - z.avail_out);
        } while (z.avail_out == 0);
    } while (left != 0);
    deflateEnd(&z);
}

} // namespace

std::string CompressFlate(const std::string& data, Deflate how)
{
    Settings settings = SettingsOf(how);
    std::size_t pieces = PiecesFor(data.size(), PieceSize);
    std::string out;
    if (pieces <= 1) {
        DeflateRange(data, 0, data.size(), true, true, settings, out);
        return out;
    }
    // Large data is cut into one piece per core, compressed at once, each
    // with the end of the piece before as its history, and joined into one
    // zlib stream: a few bytes larger than one thread's, in a fraction of
    // its time.
    std::vector<std::string> parts(pieces);
    std::vector<uLong> sums(pieces);
    RunPieces(pieces, [&](std::size_t i) {
        std::size_t begin = data.size() * i / pieces, end = data.size() * (i + 1) / pieces;
        DeflateRange(data, begin, end, false, i + 1 == pieces, settings, parts[i]);
        sums[i] = adler32_z(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(data.data() + begin), end - begin);
    });
    uLong sum = sums[0];
    std::size_t size = 6;
    for (std::size_t i = 0; i < pieces; ++i) {
        if (i > 0) {
            std::size_t length = data.size() * (i + 1) / pieces - data.size() * i / pieces;
            sum = adler32_combine(sum, sums[i], static_cast<z_off_t>(length));
        }
        size += parts[i].size();
    }
    out.reserve(size);
    out += ZlibHeader(settings);
    for (std::string& part : parts) {
        out += part;
        std::string().swap(part);
    }
    for (int shift = 24; shift >= 0; shift -= 8)
        out += char((sum >> shift) & 0xff);
    return out;
}
