#pragma once

#include <string>

// zlib-compressed data as FlateDecode reads it.
std::string CompressFlate(const std::string& data);
