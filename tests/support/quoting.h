#pragma once

#include <string>

// A path as a command's quoted argument.
inline std::string Q(const std::string& path)
{
    return "\"" + path + "\"";
}
