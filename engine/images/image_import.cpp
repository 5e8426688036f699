#include "images/image_import.h"

#include "images/byte_cursor.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

namespace {

// An ISO media file whose brands name HEIF still images (HEIC, AVIF).
bool IsHeif(std::string_view head)
{
    if (head.size() < 16 || head.substr(4, 4) != "ftyp")
        return false;
    std::size_t box = std::min(std::size_t(ByteCursor(head).BeAt(0, 4)), head.size());
    for (std::size_t at = 8; at + 4 <= box; at += at == 8 ? 8 : 4) {
        std::string_view brand = head.substr(at, 4);
        for (std::string_view known : {"heic", "heix", "hevc", "hevx", "heim", "heis", "mif1", "msf1", "avif", "avis"})
            if (brand == known)
                return true;
    }
    return false;
}

} // namespace

ImageKind SniffImage(std::string_view head)
{
    auto starts = [&](std::string_view magic) { return head.substr(0, magic.size()) == magic; };
    if (starts("II*\0") || starts("MM\0*") || starts("II+\0") || starts("MM\0+"))
        return ImageKind::Tiff;
    if (starts("GIF87a") || starts("GIF89a"))
        return ImageKind::Gif;
    if (starts("\x89PNG\r\n\x1a\n"))
        return ImageKind::Png;
    if (starts("\xff\xd8\xff"))
        return ImageKind::Jpeg;
    if (starts(std::string_view("\0\0\0\x0cjP  \r\n\x87\n", 12)) || starts("\xff\x4f\xff\x51"))
        return ImageKind::Jpx;
    if (starts("BM") && head.size() >= 18)
        return ImageKind::Bmp;
    if (head.size() >= 3 && head[0] == 'P' && head[1] >= '1' && head[1] <= '7' &&
        (head[2] == ' ' || head[2] == '\n' || head[2] == '\r' || head[2] == '\t' || head[2] == '#'))
        return ImageKind::Pnm;
    if (starts("RIFF") && head.size() >= 12 && head.substr(8, 4) == "WEBP")
        return ImageKind::WebP;
    if (IsHeif(head))
        return ImageKind::Heif;
    if (starts("\xff\x0a") || starts(std::string_view("\0\0\0\x0cJXL \r\n\x87\n", 12)))
        return ImageKind::Jxl;
    return ImageKind::None;
}

std::shared_ptr<QPDF> ImportImage(const std::string& bytes)
{
    switch (SniffImage(bytes)) {
    case ImageKind::Tiff:
        return MakeImageDocument(ReadTiff(bytes));
    case ImageKind::Gif:
        return MakeImageDocument(ReadGif(bytes));
    case ImageKind::Png:
        return MakeImageDocument(ReadPng(bytes));
    case ImageKind::Jpeg:
        return MakeImageDocument(ReadJpeg(bytes));
    case ImageKind::Jpx:
        return MakeImageDocument(ReadJpx(bytes));
    case ImageKind::Bmp:
        return MakeImageDocument(ReadBmp(bytes));
    case ImageKind::Pnm:
        return MakeImageDocument(ReadPnm(bytes));
    case ImageKind::WebP:
        return MakeImageDocument(ReadWebP(bytes));
    case ImageKind::Heif:
        return MakeImageDocument(ReadHeif(bytes));
    case ImageKind::Jxl:
        return MakeImageDocument(ReadJxl(bytes));
    case ImageKind::None:
        break;
    }
    throw std::runtime_error("neither a PDF nor an image of a kind dochost reads");
}
