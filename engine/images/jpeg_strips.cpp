#include "images/jpeg_strips.h"

#include <algorithm>
#include <cstdint>

namespace {

int Byte(const std::string& s, std::size_t at)
{
    return std::uint8_t(s[at]);
}

int Word(const std::string& s, std::size_t at)
{
    return Byte(s, at) << 8 | Byte(s, at + 1);
}

// The markers before a stream's scan data, with the frame's height set to zero, for comparing headers.
std::string HeaderWithoutHeight(const std::string& jpeg, const JpegLayout& layout)
{
    std::string header = jpeg.substr(0, layout.scanDataAt);
    header[layout.sofHeightAt] = header[layout.sofHeightAt + 1] = 0;
    return header;
}

} // namespace

std::string WholeJpeg(const std::string& tables, const std::string& strip)
{
    bool tablesWhole = tables.size() >= 4 && Byte(tables, 0) == 0xff && Byte(tables, 1) == 0xd8 &&
                       Byte(tables, tables.size() - 2) == 0xff && Byte(tables, tables.size() - 1) == 0xd9;
    if (!tablesWhole || strip.size() < 2 || Byte(strip, 0) != 0xff || Byte(strip, 1) != 0xd8)
        return strip;
    std::string whole;
    whole.reserve(tables.size() + strip.size());
    whole.append(tables, 0, tables.size() - 2);
    whole.append(strip, 2, std::string::npos);
    return whole;
}

std::optional<JpegLayout> ParseJpeg(const std::string& jpeg)
{
    if (jpeg.size() < 4 || Byte(jpeg, 0) != 0xff || Byte(jpeg, 1) != 0xd8)
        return std::nullopt;
    JpegLayout layout;
    bool frame = false;
    std::size_t at = 2;
    while (true) {
        if (at + 4 > jpeg.size() || Byte(jpeg, at) != 0xff)
            return std::nullopt;
        int marker = Byte(jpeg, at + 1);
        if (marker == 0xff) { // fill byte
            ++at;
            continue;
        }
        std::size_t length = std::size_t(Word(jpeg, at + 2));
        std::size_t body = at + 4, end = at + 2 + length;
        if (length < 2 || end > jpeg.size())
            return std::nullopt;
        if (marker == 0xc0 || marker == 0xc1) {
            if (frame || length < 8 || Byte(jpeg, body) != 8)
                return std::nullopt;
            layout.sofHeightAt = body + 1;
            layout.height = Word(jpeg, body + 1);
            layout.width = Word(jpeg, body + 3);
            layout.components = Byte(jpeg, body + 5);
            if (layout.height == 0 || layout.width == 0 || layout.components < 1 || layout.components > 4 ||
                length != 8 + 3 * std::size_t(layout.components))
                return std::nullopt;
            int minV = 4;
            for (int c = 0; c < layout.components; ++c) {
                int factors = Byte(jpeg, body + 7 + 3 * std::size_t(c));
                int h = factors >> 4, v = factors & 15;
                if (h < 1 || h > 4 || v < 1 || v > 4)
                    return std::nullopt;
                layout.maxH = std::max(layout.maxH, h);
                layout.maxV = std::max(layout.maxV, v);
                minV = std::min(minV, v);
            }
            layout.verticalSubsampling = layout.components > 1 && minV != layout.maxV;
            frame = true;
        } else if ((marker >= 0xc2 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc) ||
                   marker == 0xd8 || marker == 0xd9 || (marker >= 0xd0 && marker <= 0xd7) || marker == 0x01) {
            return std::nullopt; // progressive, lossless or arithmetic coding, or markers out of place
        } else if (marker == 0xdd) {
            if (length != 4)
                return std::nullopt;
            layout.restartInterval = Word(jpeg, body);
        } else if (marker == 0xee && length >= 14 && jpeg.compare(body, 5, "Adobe") == 0) {
            layout.adobe = true;
            layout.adobeTransform = Byte(jpeg, body + 11);
        } else if (marker == 0xe0 && length >= 7 && jpeg.compare(body, 5, std::string("JFIF\0", 5)) == 0) {
            layout.jfif = true;
        } else if (marker == 0xda) {
            // One scan of every component, the whole spectrum, no successive approximation.
            if (!frame || length < 6 || Byte(jpeg, body) != layout.components ||
                length != 6 + 2 * std::size_t(layout.components))
                return std::nullopt;
            std::size_t tail = body + 1 + 2 * std::size_t(layout.components);
            if (Byte(jpeg, tail) != 0 || Byte(jpeg, tail + 1) != 63 || Byte(jpeg, tail + 2) != 0)
                return std::nullopt;
            layout.scanAt = at;
            layout.scanDataAt = end;
            // The scan data runs to the first marker that is neither a stuffed byte nor a restart.
            for (std::size_t i = end; i + 1 < jpeg.size(); ++i) {
                if (Byte(jpeg, i) != 0xff)
                    continue;
                int next = Byte(jpeg, i + 1);
                if (next == 0 || (next >= 0xd0 && next <= 0xd7) || next == 0xff)
                    continue;
                if (next != 0xd9)
                    return std::nullopt; // a second scan, or the height given at its end
                layout.scanDataEnd = i;
                return layout;
            }
            return std::nullopt;
        }
        at = end;
    }
}

std::optional<std::string> JoinJpegStrips(const std::vector<std::string>& strips, int rowsPerStrip)
{
    if (strips.empty())
        return std::nullopt;
    std::vector<JpegLayout> layouts;
    for (const std::string& strip : strips) {
        std::optional<JpegLayout> layout = ParseJpeg(strip);
        if (!layout)
            return std::nullopt;
        layouts.push_back(*layout);
    }
    const JpegLayout& first = layouts.front();
    if (first.verticalSubsampling || rowsPerStrip <= 0 || rowsPerStrip % first.mcuHeight() != 0)
        return std::nullopt;
    long mcusPerRow = (first.width + first.mcuWidth() - 1) / first.mcuWidth();
    long perStrip = mcusPerRow * (rowsPerStrip / first.mcuHeight());
    long interval = first.restartInterval == 0 ? perStrip : first.restartInterval;
    if (interval > 65535 || perStrip % interval != 0)
        return std::nullopt;
    long intervalsPerStrip = perStrip / interval;
    std::string header = HeaderWithoutHeight(strips.front(), first);
    long height = 0;
    for (std::size_t i = 0; i < strips.size(); ++i) {
        const JpegLayout& layout = layouts[i];
        bool last = i + 1 == strips.size();
        if (layout.width != first.width || (last ? layout.height > rowsPerStrip : layout.height != rowsPerStrip) ||
            HeaderWithoutHeight(strips[i], layout) != header)
            return std::nullopt;
        height += layout.height;
    }
    if (height > 65535)
        return std::nullopt;

    std::string joined;
    std::size_t total = 0;
    for (std::size_t i = 0; i < strips.size(); ++i)
        total += layouts[i].scanDataEnd - layouts[i].scanDataAt + 2;
    joined.reserve(first.scanDataAt + total + 8);
    joined.append(strips.front(), 0, first.scanAt);
    joined[first.sofHeightAt] = char(height >> 8);
    joined[first.sofHeightAt + 1] = char(height & 0xff);
    if (first.restartInterval == 0)
        joined += {char(0xff), char(0xdd), 0, 4, char(interval >> 8), char(interval & 0xff)};
    joined.append(strips.front(), first.scanAt, first.scanDataAt - first.scanAt);
    for (std::size_t i = 0; i < strips.size(); ++i) {
        long before = long(i) * intervalsPerStrip; // intervals in the strips before this one
        if (i > 0)
            joined += {char(0xff), char(0xd0 + (before - 1) % 8)};
        const std::string& strip = strips[i];
        std::size_t from = layouts[i].scanDataAt, end = layouts[i].scanDataEnd;
        if (first.restartInterval == 0) {
            joined.append(strip, from, end - from);
            continue;
        }
        // The strip's own restart markers, numbered on from the strips before it.
        long seen = 0;
        for (std::size_t at = from; at < end; ++at) {
            joined += strip[at];
            if (Byte(strip, at) == 0xff && at + 1 < end && Byte(strip, at + 1) >= 0xd0 && Byte(strip, at + 1) <= 0xd7) {
                joined += char(0xd0 + (before + seen) % 8);
                ++seen;
                ++at;
            }
        }
    }
    joined += {char(0xff), char(0xd9)};
    return joined;
}
