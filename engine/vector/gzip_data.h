#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Whether bytes begin as gzip data does (as a compressed SVG drawing, .svgz).
bool IsGzip(std::string_view bytes);

// The data unpacked, every member of it. Throws with the reason when it is
// damaged or cut short, or when it would unpack to more than limit bytes
// (found by unpacking it once without keeping anything, so that a bomb
// costs time up to the limit but no memory).
std::string Gunzip(std::string_view bytes, std::size_t limit);
