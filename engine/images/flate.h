#pragma once

#include <string>

// How hard zlib works at data, and on what kind of data.
enum class Deflate {
    Plain,     // level 6: profiles, bilevel and other packed samples
    Predicted, // level 6, tuned for rows that PNG predictors filtered (as libpng does)
    Thorough,  // level 7: palette indices, whose long repeats a longer search finds
               // (5 to 10% smaller than at 6; 8 and 9 find a little more at twice the time)
    Quick,     // level 3: decoded scans, large enough for the time to matter
    Runs,      // runs of one byte only (zlib's Z_RLE): fast, and packs noisy
               // filtered samples as well as any level
};
// Every kind with zlib's largest memory level, which finds a little more.

// zlib-compressed data as FlateDecode reads it.
std::string CompressFlate(const std::string& data, Deflate how = Deflate::Plain);
