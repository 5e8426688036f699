#include "command_text.h"

#include <cstdio>

std::string PrintableName(const std::string& name)
{
    std::string text;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            text += escaped;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text;
}
