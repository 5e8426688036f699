#pragma once

#include "images/image_page.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QPDF;

enum class ImageKind { None, Tiff, Gif, Png, Jpeg, Jpx, Bmp, Pnm, WebP, Heif, Jxl };

// What kind of image the first bytes of a file announce.
ImageKind SniffImage(std::string_view head);

// Each reader turns a whole file into pages, or throws with the reason.
std::vector<ImagePage> ReadTiff(const std::string& bytes);
std::vector<ImagePage> ReadGif(const std::string& bytes);
std::vector<ImagePage> ReadPng(const std::string& bytes);
std::vector<ImagePage> ReadJpeg(const std::string& bytes);
std::vector<ImagePage> ReadJpx(const std::string& bytes);
std::vector<ImagePage> ReadBmp(const std::string& bytes);
std::vector<ImagePage> ReadPnm(const std::string& bytes);
std::vector<ImagePage> ReadWebP(const std::string& bytes);
std::vector<ImagePage> ReadHeif(const std::string& bytes); // HEIC and AVIF
std::vector<ImagePage> ReadJxl(const std::string& bytes);

// A document of one page per image in bytes; throws when it is no image of a
// kind dochost reads, or a broken one.
std::shared_ptr<QPDF> ImportImage(const std::string& bytes);
