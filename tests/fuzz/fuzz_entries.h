#pragma once

#include <cstddef>
#include <cstdint>

// What each fuzz target does with one input; shared by the libFuzzer targets
// and by the regression test that replays the inputs they once broke on.
void FuzzScriptReplay(const std::uint8_t* data, std::size_t size);
void FuzzCommandParser(const std::uint8_t* data, std::size_t size);
void FuzzPdfInsert(const std::uint8_t* data, std::size_t size);
// kind: "tiff", "gif", "png", "jpeg", "jpx", "bmp", "pnm", "webp", "heif", "jxl"
void FuzzImage(const char* kind, const std::uint8_t* data, std::size_t size);
// kind: "svg", "svgz", "xps", "text", "postscript"
void FuzzDrawing(const char* kind, const std::uint8_t* data, std::size_t size);
// Office documents: recognising the kind (zip packages, compound files,
// markup) and the bytes handed to the converter with it.
void FuzzOfficeDetect(const std::uint8_t* data, std::size_t size);
