#pragma once

#include <cstddef>

// The one size used for a formatted command, a resolved path and a script line:
// a command or path holds at most CommandBufferSize - 1 characters.
constexpr std::size_t CommandBufferSize = 1024;
constexpr std::size_t CommandLimit = CommandBufferSize - 1;
