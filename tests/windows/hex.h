#pragma once

#include <string>

// Bytes as lower-case hex digits: how the test programs report texts, so that
// line ends and any other byte reach the test as they are.
inline std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}
