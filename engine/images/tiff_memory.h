#pragma once

#include <string>
#include <tiffio.h>

// libtiff over bytes in memory, with its messages kept instead of printed.
struct TiffMemory {
    const std::string* input = nullptr; // reading
    std::string* output = nullptr;      // writing
    toff_t at = 0;
    std::string error;
};

// Opens bytes for reading ("r") or out for writing ("w"); null on failure,
// with the reason in memory.error.
TIFF* OpenTiffMemory(TiffMemory& memory, const char* mode);
