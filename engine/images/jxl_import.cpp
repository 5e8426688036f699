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

// Destroyed with its owner, even when the owner's construction fails.
struct Decoder {
    JxlDecoder* decoder = JxlDecoderCreate(nullptr);
    ~Decoder() { JxlDecoderDestroy(decoder); }
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

// One file being decoded: what its events have told so far.
class JxlReading {
public:
    explicit JxlReading(const std::string& bytes) : bytes_(bytes)
    {
        if (decoder_ == nullptr)
            throw std::runtime_error("out of memory");
        if (JxlDecoderSubscribeEvents(decoder_, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING |
                                                    JXL_DEC_JPEG_RECONSTRUCTION | JXL_DEC_FULL_IMAGE) !=
            JXL_DEC_SUCCESS)
            throw std::runtime_error("libjxl refused its settings");
        JxlDecoderSetInput(decoder_, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        JxlDecoderCloseInput(decoder_);
    }
    JxlReading(const JxlReading&) = delete;
    JxlReading& operator=(const JxlReading&) = delete;

    JxlDecoderStatus Next()
    {
        QuietStandardError quiet;
        return JxlDecoderProcessInput(decoder_);
    }

    // The image's size (as shown: the decoder applies the orientation), its
    // channels and depth.
    void TakeBasicInfo()
    {
        if (JxlDecoderGetBasicInfo(decoder_, &info_) != JXL_DEC_SUCCESS)
            Damaged();
        // Orientations 5 to 8 swap the sides.
        bool sideways = info_.orientation >= JXL_ORIENT_TRANSPOSE;
        width_ = sideways ? info_.ysize : info_.xsize;
        height_ = sideways ? info_.xsize : info_.ysize;
        colors_ = info_.num_color_channels == 1 ? 1 : 3;
        alpha_ = info_.alpha_bits > 0;
        deep_ = info_.bits_per_sample > 8;
        CheckRawSize(width_, height_, std::uint64_t(colors_ + (alpha_ ? 1 : 0)) * (deep_ ? 16u : 8u));
        format_ = {std::uint32_t(colors_ + (alpha_ ? 1 : 0)), deep_ ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8,
                   JXL_BIG_ENDIAN, 0};
        haveInfo_ = true;
    }

    void TakeColourEncoding() { icc_ = Profile(decoder_); }

    // The file holds a recompressed JPEG: a buffer for it, grown as the
    // decoder asks, up to the largest raster the engine takes.
    void StartJpeg()
    {
        reconstructing_ = true;
        jpeg_.resize(std::max<std::size_t>(bytes_.size() * 2, 1 << 16));
        if (JxlDecoderSetJPEGBuffer(decoder_, reinterpret_cast<std::uint8_t*>(jpeg_.data()), jpeg_.size()) !=
            JXL_DEC_SUCCESS)
            Damaged();
    }
    void GrowJpeg()
    {
        std::size_t used = jpeg_.size() - JxlDecoderReleaseJPEGBuffer(decoder_);
        if (jpeg_.size() * 2 > MaxRawBytes)
            throw std::runtime_error("the JPEG XL file's JPEG is too large");
        jpeg_.resize(jpeg_.size() * 2);
        if (JxlDecoderSetJPEGBuffer(decoder_, reinterpret_cast<std::uint8_t*>(jpeg_.data()) + used,
                                    jpeg_.size() - used) != JXL_DEC_SUCCESS)
            Damaged();
    }
    bool Reconstructing() const { return reconstructing_; }
    std::string TakeJpeg()
    {
        jpeg_.resize(jpeg_.size() - JxlDecoderReleaseJPEGBuffer(decoder_));
        return std::move(jpeg_);
    }

    // A buffer for the next frame's pixels, counted against the file's budget.
    void GivePixelBuffer()
    {
        if (!haveInfo_)
            Damaged();
        std::size_t size = 0;
        if (JxlDecoderImageOutBufferSize(decoder_, &format_, &size) != JXL_DEC_SUCCESS)
            Damaged();
        if (size != width_ * height_ * format_.num_channels * (deep_ ? 2 : 1))
            Damaged();
        spent_ += size;
        if (spent_ > MaxRawBytes)
            throw std::runtime_error("the JPEG XL file's frames are too large together");
        pixels_.assign(size, '\0');
        if (JxlDecoderSetImageOutBuffer(decoder_, &format_, pixels_.data(), size) != JXL_DEC_SUCCESS)
            Damaged();
    }

    // The frame just decoded as a page: its colour, and its alpha as a soft mask.
    ImagePage TakePage()
    {
        ImagePage page;
        Raster& r = page.raster;
        r.space = colors_ == 1 ? Raster::Space::Gray : Raster::Space::RGB;
        r.width = int(width_);
        r.height = int(height_);
        r.bitsPerComponent = deep_ ? 16 : 8;
        r.icc = icc_;
        if (!alpha_) {
            r.data = std::move(pixels_);
        } else {
            std::size_t sample = deep_ ? 2 : 1;
            SplitAlpha(pixels_.data(), std::size_t(width_) * std::size_t(colors_ + 1) * sample, colors_ + 1,
                       colors_, true, r);
            if (r.softMask != nullptr && info_.alpha_premultiplied)
                r.softMask->matte.assign(std::size_t(colors_), 0.0);
        }
        pixels_.clear();
        return page;
    }

private:
    const std::string& bytes_;
    Decoder owner_;
    JxlDecoder* decoder_ = owner_.decoder;
    JxlBasicInfo info_{};
    JxlPixelFormat format_{};
    std::uint64_t width_ = 0, height_ = 0, spent_ = 0;
    int colors_ = 0;
    bool alpha_ = false, deep_ = false, haveInfo_ = false, reconstructing_ = false;
    std::string icc_;
    std::string jpeg_; // the reconstructed JPEG, when the file holds one
    std::string pixels_;
};

} // namespace

std::vector<ImagePage> ReadJxl(const std::string& bytes)
{
    JxlReading reading(bytes);
    std::vector<ImagePage> pages;
    for (;;) {
        switch (reading.Next()) {
        case JXL_DEC_BASIC_INFO:
            reading.TakeBasicInfo();
            break;
        case JXL_DEC_COLOR_ENCODING:
            reading.TakeColourEncoding();
            break;
        case JXL_DEC_JPEG_RECONSTRUCTION:
            reading.StartJpeg();
            break;
        case JXL_DEC_JPEG_NEED_MORE_OUTPUT:
            reading.GrowJpeg();
            break;
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
            reading.GivePixelBuffer();
            break;
        case JXL_DEC_FULL_IMAGE:
            if (reading.Reconstructing())
                return ReadJpeg(reading.TakeJpeg());
            pages.push_back(reading.TakePage());
            break;
        case JXL_DEC_SUCCESS:
            if (pages.empty())
                throw std::runtime_error("the JPEG XL file holds no image");
            return pages;
        default:
            // An error, input cut short, events not subscribed to, or a
            // preview asking for its buffer.
            Damaged();
        }
    }
}
