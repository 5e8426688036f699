#pragma once

#include <string>

// zlib-compressed data as FlateDecode reads it, at zlib's level (1 fastest, 9 smallest).
std::string CompressFlate(const std::string& data, int level = 6);
