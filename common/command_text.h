#pragma once

#include <cstddef>
#include <string>

// The one size used for a formatted command, a resolved path and a script line:
// a command or path holds at most CommandBufferSize - 1 characters.
constexpr std::size_t CommandBufferSize = 1024;
constexpr std::size_t CommandLimit = CommandBufferSize - 1;

// The text as it can be shown on one line: control bytes written as \xNN.
std::string PrintableName(const std::string& name);
