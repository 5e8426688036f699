#pragma once

#include <string>

// zlib-compressed data as FlateDecode reads it, at zlib's level (1 fastest, 9
// smallest); with runsOnly, matching runs of one byte only (zlib's Z_RLE),
// which is fast and packs noisy filtered samples as well as any level.
std::string CompressFlate(const std::string& data, int level = 6, bool runsOnly = false);
