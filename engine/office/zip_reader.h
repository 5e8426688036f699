#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The data of the entry called name in a zip archive held in memory,
// uncompressed (stored or deflated), or nothing when the archive has no such
// entry, it cannot be read, or it would be larger than limit. The entry is
// found through the central directory, or, in an archive cut short before
// it, by walking the entries from the start.
std::optional<std::string> ReadZipEntry(std::string_view archive, std::string_view name, std::size_t limit);

// Whether the archive has an entry called name, found as above, readable or
// not.
bool HasZipEntry(std::string_view archive, std::string_view name);

// What the entries of an archive unpack to, counted by unpacking each one
// (deflated or stored) and keeping nothing, found through the central
// directory. Whether it could be read, and whether it unpacks to more than
// limit bytes (counting stops there).
struct ZipMeasure {
    bool readable = false;
    bool overLimit = false;
    std::uint64_t bytes = 0;
};
ZipMeasure MeasureZip(std::string_view archive, std::uint64_t limit);
