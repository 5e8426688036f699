// JPEG XL with libjxl. A file that holds a losslessly recompressed JPEG gives
// that JPEG back, byte for byte, and goes in as the JPEG reader makes it (DCT
// data as it is); any other is decoded, one page per shown frame, and stored
// losslessly: 8 or 16 bits, alpha as a soft mask, the colour profile kept.
#include "images/image_import.h"
#include "images/raster_alpha.h"
#include "images/raw_limits.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <jxl/decode.h>
#include <stdexcept>
#include <unistd.h>

namespace {

struct Decoder {
    JxlDecoder* decoder = JxlDecoderCreate(nullptr);
    ~Decoder() { JxlDecoderDestroy(decoder); }
};

// libjxl writes its own diagnostics of a damaged file to standard error; the
// engine reports the failure in its one line, so they are kept off it while
// the decoder runs (the engine runs one command at a time).
struct QuietStandardError {
    int saved = -1;
    QuietStandardError()
    {
        std::fflush(stderr);
        saved = fcntl(2, F_DUPFD_CLOEXEC, 3);
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved >= 0 && null >= 0)
            dup2(null, 2);
        if (null >= 0)
            close(null);
    }
    ~QuietStandardError()
    {
        std::fflush(stderr);
        if (saved >= 0) {
            dup2(saved, 2);
            close(saved);
        }
    }
    QuietStandardError(const QuietStandardError&) = delete;
    QuietStandardError& operator=(const QuietStandardError&) = delete;
};

[[noreturn]] void Damaged()
{
    throw std::runtime_error("the JPEG XL file is damaged or truncated");
}

// Whether the decoded pixels are plain sRGB (or grey with sRGB's curve),
// which needs no profile in the PDF.
bool IsSrgb(JxlDecoder* decoder)
{
    JxlColorEncoding encoding;
    if (JxlDecoderGetColorAsEncodedProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &encoding) !=
        JXL_DEC_SUCCESS)
        return false;
    bool curve = encoding.transfer_function == JXL_TRANSFER_FUNCTION_SRGB &&
                 encoding.white_point == JXL_WHITE_POINT_D65 && encoding.rendering_intent != JXL_RENDERING_INTENT_ABSOLUTE;
    if (encoding.color_space == JXL_COLOR_SPACE_GRAY)
        return curve;
    return curve && encoding.color_space == JXL_COLOR_SPACE_RGB && encoding.primaries == JXL_PRIMARIES_SRGB;
}

std::string Profile(JxlDecoder* decoder)
{
    if (IsSrgb(decoder))
        return {};
    std::size_t size = 0;
    if (JxlDecoderGetICCProfileSize(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) != JXL_DEC_SUCCESS ||
        size == 0 || size > (64u << 20))
        return {};
    std::string icc(size, '\0');
    if (JxlDecoderGetColorAsICCProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                       reinterpret_cast<std::uint8_t*>(icc.data()), size) != JXL_DEC_SUCCESS)
        return {};
    return icc;
}

} // namespace

std::vector<ImagePage> ReadJxl(const std::string& bytes)
{
    Decoder d;
    JxlDecoder* decoder = d.decoder;
    if (decoder == nullptr)
        throw std::runtime_error("out of memory");
    if (JxlDecoderSubscribeEvents(decoder, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_JPEG_RECONSTRUCTION |
                                               JXL_DEC_FULL_IMAGE) != JXL_DEC_SUCCESS)
        throw std::runtime_error("libjxl refused its settings");
    JxlDecoderSetInput(decoder, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    JxlDecoderCloseInput(decoder);

    JxlBasicInfo info{};
    JxlPixelFormat format{};
    std::uint64_t width = 0, height = 0, spent = 0;
    int colors = 0;
    bool alpha = false, deep = false, haveInfo = false;
    std::string icc;
    std::string jpeg; // the reconstructed JPEG, when the file holds one
    bool reconstructing = false;
    std::vector<ImagePage> pages;
    std::string pixels;

    for (;;) {
        JxlDecoderStatus status;
        {
            QuietStandardError quiet;
            status = JxlDecoderProcessInput(decoder);
        }
        switch (status) {
        case JXL_DEC_ERROR:
        case JXL_DEC_NEED_MORE_INPUT:
            Damaged();
        case JXL_DEC_BASIC_INFO: {
            if (JxlDecoderGetBasicInfo(decoder, &info) != JXL_DEC_SUCCESS)
                Damaged();
            // Orientations 5 to 8 swap the sides, and the decoder applies them.
            bool sideways = info.orientation >= JXL_ORIENT_TRANSPOSE;
            width = sideways ? info.ysize : info.xsize;
            height = sideways ? info.xsize : info.ysize;
            colors = info.num_color_channels == 1 ? 1 : 3;
            alpha = info.alpha_bits > 0;
            deep = info.bits_per_sample > 8;
            CheckRawSize(width, height, std::uint64_t(colors + (alpha ? 1 : 0)) * (deep ? 16u : 8u));
            format = {std::uint32_t(colors + (alpha ? 1 : 0)), deep ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8,
                      JXL_BIG_ENDIAN, 0};
            haveInfo = true;
            break;
        }
        case JXL_DEC_COLOR_ENCODING:
            icc = Profile(decoder);
            break;
        case JXL_DEC_JPEG_RECONSTRUCTION:
            reconstructing = true;
            jpeg.resize(std::max<std::size_t>(bytes.size() * 2, 1 << 16));
            if (JxlDecoderSetJPEGBuffer(decoder, reinterpret_cast<std::uint8_t*>(jpeg.data()), jpeg.size()) !=
                JXL_DEC_SUCCESS)
                Damaged();
            break;
        case JXL_DEC_JPEG_NEED_MORE_OUTPUT: {
            std::size_t unused = JxlDecoderReleaseJPEGBuffer(decoder);
            std::size_t used = jpeg.size() - unused;
            if (jpeg.size() * 2 > MaxRawBytes)
                throw std::runtime_error("the JPEG XL file's JPEG is too large");
            jpeg.resize(jpeg.size() * 2);
            if (JxlDecoderSetJPEGBuffer(decoder, reinterpret_cast<std::uint8_t*>(jpeg.data()) + used,
                                        jpeg.size() - used) != JXL_DEC_SUCCESS)
                Damaged();
            break;
        }
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
            if (!haveInfo)
                Damaged();
            std::size_t size = 0;
            if (JxlDecoderImageOutBufferSize(decoder, &format, &size) != JXL_DEC_SUCCESS)
                Damaged();
            std::uint64_t expected = width * height * format.num_channels * (deep ? 2 : 1);
            if (size != expected)
                Damaged();
            spent += size;
            if (spent > MaxRawBytes)
                throw std::runtime_error("the JPEG XL file's frames are too large together");
            pixels.assign(size, '\0');
            if (JxlDecoderSetImageOutBuffer(decoder, &format, pixels.data(), size) != JXL_DEC_SUCCESS)
                Damaged();
            break;
        }
        case JXL_DEC_FULL_IMAGE: {
            if (reconstructing) {
                std::size_t unused = JxlDecoderReleaseJPEGBuffer(decoder);
                jpeg.resize(jpeg.size() - unused);
                return ReadJpeg(jpeg);
            }
            ImagePage page;
            Raster& r = page.raster;
            r.space = colors == 1 ? Raster::Space::Gray : Raster::Space::RGB;
            r.width = int(width);
            r.height = int(height);
            r.bitsPerComponent = deep ? 16 : 8;
            r.icc = icc;
            std::size_t sample = deep ? 2 : 1;
            if (!alpha) {
                r.data = std::move(pixels);
            } else {
                SplitAlpha(pixels.data(), std::size_t(width) * std::size_t(colors + 1) * sample, colors + 1, colors,
                           true, r);
                if (r.softMask != nullptr && info.alpha_premultiplied)
                    r.softMask->matte.assign(std::size_t(colors), 0.0);
            }
            pixels.clear();
            pages.push_back(std::move(page));
            break;
        }
        case JXL_DEC_SUCCESS:
            if (pages.empty())
                throw std::runtime_error("the JPEG XL file holds no image");
            return pages;
        default:
            // Events not subscribed to, or a preview asking for its buffer.
            Damaged();
        }
    }
}
