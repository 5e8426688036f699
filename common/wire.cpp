#include "wire.h"

void WirePutU32(std::string& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>((value >> shift) & 0xff);
}

std::uint32_t WireGetU32(std::string_view bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

void WireAppendFrame(std::string& out, char kind, std::string_view payload)
{
    WirePutU32(out, static_cast<std::uint32_t>(payload.size()));
    out += kind;
    out += payload;
}

WireTake WireTakeFrame(std::string& buffer, WireFrame& frame)
{
    if (buffer.size() < 5)
        return WireTake::NeedMore;
    std::uint32_t length = WireGetU32(buffer, 0);
    if (length > WireMaxPayload)
        return WireTake::Malformed;
    if (buffer.size() < 5 + static_cast<std::size_t>(length))
        return WireTake::NeedMore;
    frame.kind = buffer[4];
    frame.payload.assign(buffer, 5, length);
    buffer.erase(0, 5 + static_cast<std::size_t>(length));
    return WireTake::Frame;
}
