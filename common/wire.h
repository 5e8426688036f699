#pragma once

// The conversation between docjoin and dochost on POSIX: frames over a
// connected pair of Unix stream sockets. A frame is a 32-bit big-endian payload
// length, one kind byte, then the payload.
//
//   docjoin -> dochost                       dochost -> docjoin
//   'C' service NUL topic  (open)            'A' accepted / 'N' refused
//   'X' seq32 command bytes (execute)        'R' seq32 result32 ok8
//   'Q' (close: finish what was received)    'D' done

#include <cstdint>
#include <string>
#include <string_view>

// The descriptor on which dochost finds its end of the conversation.
constexpr int EngineDescriptor = 3;

// No frame of the conversation is larger; a larger one ends it.
constexpr std::uint32_t WireMaxPayload = 1u << 16;

enum WireKind : char {
    WireConnect = 'C',
    WireExecute = 'X',
    WireClose = 'Q',
    WireAccept = 'A',
    WireRefuse = 'N',
    WireResult = 'R',
    WireDone = 'D',
};

struct WireFrame {
    char kind = 0;
    std::string payload;
};

void WirePutU32(std::string& out, std::uint32_t value);
std::uint32_t WireGetU32(std::string_view bytes, std::size_t at);

// Appends one whole frame to out.
void WireAppendFrame(std::string& out, char kind, std::string_view payload);

enum class WireTake { Frame, NeedMore, Malformed };

// Takes the first whole frame off the front of buffer.
WireTake WireTakeFrame(std::string& buffer, WireFrame& frame);
