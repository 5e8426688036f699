#pragma once

#include <cstddef>
#include <string>

// Rows filtered as PNG filters them, each row with the filter that leaves
// the smallest sum of absolute differences (libpng's own choice) and its
// filter byte first: what /Predictor 15 undoes. Filtered samples compress
// far better with Flate than raw ones do for photos and drawings.
std::string PngPredict(const std::string& raw, std::size_t rowBytes, std::size_t bytesPerPixel);
