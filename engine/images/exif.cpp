#include "images/exif.h"

#include "images/byte_cursor.h"

#include <cstdint>

namespace {

// Numbers of the byte order the TIFF header names; every read is checked before it is made.
struct TiffReader {
    ByteCursor data;
    bool little;

    bool Has(std::size_t at, std::size_t n) const { return data.Has(at, n); }
    std::uint32_t U16(std::size_t at) const { return std::uint32_t(data.NumberAt(at, 2, little)); }
    std::uint32_t U32(std::size_t at) const { return std::uint32_t(data.NumberAt(at, 4, little)); }
};

} // namespace

ExifFacts ReadExif(const std::string& data)
{
    ExifFacts facts;
    if (data.size() < 8 || !(data.compare(0, 4, "II*\0", 4) == 0 || data.compare(0, 4, "MM\0*", 4) == 0))
        return facts;
    TiffReader r{ByteCursor(data), data[0] == 'I'};
    std::size_t ifd = r.U32(4);
    if (!r.Has(ifd, 2))
        return facts;
    std::uint32_t count = r.U16(ifd);
    double xRes = 0, yRes = 0;
    int unit = 2;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::size_t entry = ifd + 2 + 12 * std::size_t(i);
        if (!r.Has(entry, 12))
            break;
        std::uint32_t tag = r.U16(entry), type = r.U16(entry + 2);
        // One value of a count-1 entry, whichever numeric type the writer chose:
        // resolutions are rationals by the standard, but some write integers.
        auto value = [&]() -> double {
            switch (type) {
            case 3: // SHORT
                return double(r.U16(entry + 8));
            case 4: // LONG
                return double(r.U32(entry + 8));
            case 9: // SLONG
                return double(std::int32_t(r.U32(entry + 8)));
            case 5:    // RATIONAL
            case 10: { // SRATIONAL
                std::size_t at = r.U32(entry + 8);
                if (!r.Has(at, 8) || r.U32(at + 4) == 0)
                    return 0;
                if (type == 10)
                    return double(std::int32_t(r.U32(at))) / double(std::int32_t(r.U32(at + 4)));
                return double(r.U32(at)) / double(r.U32(at + 4));
            }
            default:
                return 0;
            }
        };
        auto small = [](double v) { return v >= 0 && v <= 1000 ? int(v) : 0; };
        if (tag == 0x0112)
            facts.orientation = small(value());
        else if (tag == 0x011a)
            xRes = value();
        else if (tag == 0x011b)
            yRes = value();
        else if (tag == 0x0128)
            unit = small(value());
    }
    if (xRes > 0 && yRes > 0 && (unit == 2 || unit == 3)) {
        double scale = unit == 3 ? 2.54 : 1.0;
        facts.xDpi = xRes * scale;
        facts.yDpi = yRes * scale;
    }
    if (facts.orientation < 1 || facts.orientation > 8)
        facts.orientation = 1;
    return facts;
}

void ApplyOrientation(int orientation, ImagePage& page)
{
    // 1 as stored, 2 mirrored, 3 turned 180, 4 mirrored then turned 180,
    // 5 mirrored then turned 270, 6 turned 90, 7 mirrored then turned 90, 8 turned 270.
    static const int rotate[9] = {0, 0, 0, 180, 180, 270, 90, 90, 270};
    static const bool mirror[9] = {false, false, true, false, true, true, false, true, false};
    if (orientation < 1 || orientation > 8)
        return;
    page.rotate = rotate[orientation];
    page.mirror = mirror[orientation];
}
