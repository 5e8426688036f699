#include "vector/gzip_data.h"

#include <cstdint>
#include <stdexcept>
#include <zlib.h>

namespace {

std::string Megabytes(std::size_t bytes)
{
    return std::to_string(bytes >> 20) + " MiB";
}

} // namespace

bool IsGzip(std::string_view bytes)
{
    return bytes.size() >= 10 && bytes[0] == '\x1f' && bytes[1] == '\x8b' && bytes[2] == '\x08';
}

namespace {

// Unpacks every member of the data onto out, or only counts what it unpacks
// when out is null; returns the count. Throws when the data is damaged or
// cut short, or unpacks to more than limit bytes.
std::size_t Inflate(std::string_view bytes, std::size_t limit, std::string* out)
{
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK)
        throw std::runtime_error("cannot unpack the compressed file");
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    z.avail_in = static_cast<uInt>(bytes.size() < (1u << 30) ? bytes.size() : (1u << 30));
    std::size_t unread = bytes.size() - z.avail_in;
    std::size_t total = 0;
    char buffer[1 << 16];
    const char* failure = nullptr;
    for (;;) {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        int status = inflate(&z, Z_NO_FLUSH);
        std::size_t made = sizeof buffer - z.avail_out;
        if (made > limit - total) {
            inflateEnd(&z);
            throw std::runtime_error("the compressed file unpacks to more than " + Megabytes(limit) + "; it is refused");
        }
        total += made;
        if (out != nullptr)
            out->append(buffer, made);
        if (z.avail_in == 0 && unread > 0) {
            uInt more = static_cast<uInt>(unread < (1u << 30) ? unread : (1u << 30));
            z.avail_in = more;
            unread -= more;
        }
        if (status == Z_STREAM_END) {
            // Another member may follow (gzip files can be joined end to end).
            if (z.avail_in == 0 || std::uint8_t(*z.next_in) != 0x1f)
                break;
            inflateReset(&z);
            continue;
        }
        if (status == Z_BUF_ERROR && z.avail_in == 0) {
            failure = "the compressed file is cut short";
            break;
        }
        if (status != Z_OK && status != Z_BUF_ERROR) {
            failure = "the compressed file is damaged";
            break;
        }
    }
    inflateEnd(&z);
    if (failure != nullptr)
        throw std::runtime_error(failure);
    return total;
}

} // namespace

std::string Gunzip(std::string_view bytes, std::size_t limit)
{
    if (!IsGzip(bytes))
        throw std::runtime_error("the compressed file is damaged");
    // Counted first, holding nothing: a bomb is refused before any memory
    // is spent on it, and the data is then unpacked into what it needs.
    std::string out;
    out.reserve(Inflate(bytes, limit, nullptr));
    Inflate(bytes, limit, &out);
    return out;
}
