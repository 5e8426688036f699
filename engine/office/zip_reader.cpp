#include "zip_reader.h"

#include <algorithm>
#include <cstdint>
#include <zlib.h>

namespace {

constexpr std::size_t LocalHeaderSize = 30;
constexpr std::size_t CentralHeaderSize = 46;
constexpr std::size_t EndRecordSize = 22;

std::uint32_t Le(std::string_view bytes, std::size_t at, std::size_t width)
{
    std::uint32_t value = 0;
    for (std::size_t i = width; i-- > 0;)
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

bool HasSignature(std::string_view bytes, std::size_t at, char third, char fourth)
{
    if (at > bytes.size() || bytes.size() - at < 4)
        return false;
    return bytes[at] == 'P' && bytes[at + 1] == 'K' && bytes[at + 2] == third && bytes[at + 3] == fourth;
}

struct Entry {
    std::uint32_t method = 0;
    std::uint32_t compressedSize = 0;
    std::uint32_t size = 0;
    std::size_t data = 0; // offset of the entry's data
};

// The entry whose local header stands at offset, with its data in the archive.
std::optional<Entry> LocalEntry(std::string_view archive, std::size_t offset)
{
    if (!HasSignature(archive, offset, 3, 4) || archive.size() - offset < LocalHeaderSize)
        return std::nullopt;
    Entry entry;
    entry.method = Le(archive, offset + 8, 2);
    entry.compressedSize = Le(archive, offset + 18, 4);
    entry.size = Le(archive, offset + 22, 4);
    std::size_t skip = LocalHeaderSize + Le(archive, offset + 26, 2) + Le(archive, offset + 28, 2);
    if (archive.size() - offset < skip)
        return std::nullopt;
    entry.data = offset + skip;
    return entry;
}

// Inflates raw deflate data that may be followed by other bytes. Keeps at
// most keep bytes of its output and gives up past limit bytes; consumed is
// how much of compressed the deflate stream took, and total how much it made.
std::optional<std::string> Inflate(std::string_view compressed, std::size_t keep, std::size_t limit,
                                   std::size_t& consumed, std::size_t& total)
{
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return std::nullopt;
    std::string out;
    total = 0;
    char buffer[16384];
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(std::min<std::size_t>(compressed.size(), UINT32_MAX));
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        result = inflate(&stream, Z_NO_FLUSH);
        std::size_t made = sizeof buffer - stream.avail_out;
        total += made;
        if (out.size() < keep)
            out.append(buffer, std::min(made, keep - out.size()));
        if (total > limit || (result == Z_BUF_ERROR && stream.avail_in == 0))
            break;
    }
    consumed = compressed.size() - stream.avail_in;
    inflateEnd(&stream);
    if (result != Z_STREAM_END || total > limit)
        return std::nullopt;
    return out;
}

std::optional<std::string> EntryData(std::string_view archive, const Entry& entry, std::size_t limit)
{
    if (entry.data > archive.size() || archive.size() - entry.data < entry.compressedSize)
        return std::nullopt;
    std::string_view data = archive.substr(entry.data, entry.compressedSize);
    if (entry.method == 0)
        return data.size() <= limit ? std::optional<std::string>(std::string(data)) : std::nullopt;
    std::size_t consumed = 0, total = 0;
    if (entry.method == 8)
        return Inflate(data, limit, limit, consumed, total);
    return std::nullopt;
}

// The offset of the end-of-central-directory record, which stands in the
// last 64 KiB and 22 bytes of the archive.
std::optional<std::size_t> EndRecord(std::string_view archive)
{
    if (archive.size() < EndRecordSize)
        return std::nullopt;
    std::size_t lowest = archive.size() > EndRecordSize + 0xFFFF ? archive.size() - EndRecordSize - 0xFFFF : 0;
    for (std::size_t at = archive.size() - EndRecordSize + 1; at-- > lowest;)
        if (HasSignature(archive, at, 5, 6))
            return at;
    return std::nullopt;
}

std::optional<Entry> FromCentralDirectory(std::string_view archive, std::string_view name)
{
    std::optional<std::size_t> end = EndRecord(archive);
    if (!end)
        return std::nullopt;
    std::size_t count = Le(archive, *end + 10, 2);
    std::size_t at = Le(archive, *end + 16, 4);
    for (std::size_t i = 0; i < count; ++i) {
        if (!HasSignature(archive, at, 1, 2) || archive.size() - at < CentralHeaderSize)
            return std::nullopt;
        std::size_t nameLength = Le(archive, at + 28, 2);
        std::size_t length = CentralHeaderSize + nameLength + Le(archive, at + 30, 2) + Le(archive, at + 32, 2);
        if (archive.size() - at < length)
            return std::nullopt;
        if (archive.substr(at + CentralHeaderSize, nameLength) == name) {
            std::optional<Entry> entry = LocalEntry(archive, Le(archive, at + 42, 4));
            if (!entry)
                return std::nullopt;
            // The central directory's sizes are the ones that hold when the
            // local header defers them to a descriptor after the data.
            entry->method = Le(archive, at + 10, 2);
            entry->compressedSize = Le(archive, at + 20, 4);
            entry->size = Le(archive, at + 24, 4);
            return entry;
        }
        at += length;
    }
    return std::nullopt;
}

// How much an archive cut short is inflated, at most, to walk past entries
// whose sizes stand after their data.
constexpr std::size_t WalkLimit = std::size_t{256} << 20;

std::optional<Entry> FromLocalHeaders(std::string_view archive, std::string_view name)
{
    std::size_t at = 0;
    std::size_t walked = 0;
    while (std::optional<Entry> entry = LocalEntry(archive, at)) {
        std::size_t nameLength = Le(archive, at + 26, 2);
        bool deferred = (Le(archive, at + 6, 2) & 8) != 0;
        if (deferred) {
            // Only a deflate stream tells where it ends.
            if (entry->method != 8)
                return std::nullopt;
            entry->compressedSize = static_cast<std::uint32_t>(std::min<std::size_t>(archive.size() - entry->data, UINT32_MAX));
        }
        if (archive.substr(at + LocalHeaderSize, nameLength) == name)
            return entry;
        if (archive.size() - entry->data < entry->compressedSize)
            return std::nullopt;
        std::size_t length = entry->compressedSize;
        if (deferred) {
            std::size_t consumed = 0, made = 0;
            if (!Inflate(archive.substr(entry->data), 0, WalkLimit - walked, consumed, made))
                return std::nullopt;
            walked += made;
            // The data descriptor: an optional signature, the CRC and two sizes.
            length = consumed + (HasSignature(archive, entry->data + consumed, 7, 8) ? 16 : 12);
            if (archive.size() - entry->data < length)
                return std::nullopt;
        }
        at = entry->data + length;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> ReadZipEntry(std::string_view archive, std::string_view name, std::size_t limit)
{
    std::optional<Entry> entry = FromCentralDirectory(archive, name);
    if (!entry && !EndRecord(archive))
        entry = FromLocalHeaders(archive, name);
    if (!entry)
        return std::nullopt;
    return EntryData(archive, *entry, limit);
}

bool HasZipEntry(std::string_view archive, std::string_view name)
{
    return FromCentralDirectory(archive, name) || (!EndRecord(archive) && FromLocalHeaders(archive, name));
}

ZipMeasure MeasureZip(std::string_view archive, std::uint64_t limit)
{
    ZipMeasure measure;
    std::optional<std::size_t> end = EndRecord(archive);
    if (!end)
        return measure;
    std::size_t count = Le(archive, *end + 10, 2);
    std::size_t at = Le(archive, *end + 16, 4);
    for (std::size_t i = 0; i < count; ++i) {
        if (!HasSignature(archive, at, 1, 2) || archive.size() - at < CentralHeaderSize)
            return measure;
        std::size_t length = CentralHeaderSize + Le(archive, at + 28, 2) + Le(archive, at + 30, 2) + Le(archive, at + 32, 2);
        if (archive.size() - at < length)
            return measure;
        std::optional<Entry> entry = LocalEntry(archive, Le(archive, at + 42, 4));
        if (!entry)
            return measure;
        entry->method = Le(archive, at + 10, 2);
        entry->compressedSize = Le(archive, at + 20, 4);
        entry->size = Le(archive, at + 24, 4);
        if (entry->data > archive.size() || archive.size() - entry->data < entry->compressedSize)
            return measure;
        std::uint64_t left = limit - measure.bytes;
        std::uint64_t made = entry->size; // what other methods declare, unchecked
        if (entry->method == 0) {
            made = entry->compressedSize;
        } else if (entry->method == 8) {
            std::size_t consumed = 0, total = 0;
            bool inflated = Inflate(archive.substr(entry->data, entry->compressedSize), 0,
                                    static_cast<std::size_t>(std::min<std::uint64_t>(left, SIZE_MAX - 1)), consumed, total)
                                .has_value();
            made = total;
            if (!inflated && total <= left)
                return measure; // damaged
        }
        if (made > left) {
            measure.readable = true;
            measure.overLimit = true;
            measure.bytes = limit;
            return measure;
        }
        measure.bytes += made;
        at += length;
    }
    measure.readable = true;
    return measure;
}
