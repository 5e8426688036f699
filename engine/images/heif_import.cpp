// HEIF (HEIC photos) and AVIF: libheif decodes every top-level image, the
// primary one first, with the file's rotation, mirroring and cropping applied.
// PDF holds neither HEVC nor AV1 data, so the pixels go in losslessly; deeper
// images stay at 16 bits, alpha becomes a soft mask, an ICC profile is kept.
#include "images/image_import.h"
#include "images/raw_limits.h"

#include <algorithm>
#include <cstring>
#include <libheif/heif.h>
#include <stdexcept>

namespace {

void Check(heif_error error, const char* what)
{
    if (error.code == heif_error_Ok)
        return;
    std::string reason = error.message != nullptr && *error.message != '\0' ? error.message : "unknown error";
    throw std::runtime_error(std::string(what) + ": " + reason);
}

struct Context {
    heif_context* context = heif_context_alloc();
    ~Context() { heif_context_free(context); }
};
struct Handle {
    heif_image_handle* handle = nullptr;
    ~Handle() { heif_image_handle_release(handle); }
};
struct Image {
    heif_image* image = nullptr;
    ~Image() { heif_image_release(image); }
};

// Samples of depth `bits` (up to 16), stored in 16 bits, widened to the full
// 16-bit range by repeating their high bits, big-endian.
inline void Put16(std::string& out, std::size_t at, unsigned value, int bits)
{
    unsigned wide = ((value << (16 - bits)) | (value >> (2 * bits - 16))) & 0xffffu;
    out[at] = char(wide >> 8);
    out[at + 1] = char(wide & 0xff);
}

ImagePage DecodeOne(heif_image_handle* handle)
{
    int width = heif_image_handle_get_width(handle);
    int height = heif_image_handle_get_height(handle);
    bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
    int bits = heif_image_handle_get_luma_bits_per_pixel(handle);
    if (width <= 0 || height <= 0)
        throw std::runtime_error("the HEIF image has no pixels");
    bool deep = bits > 8;
    CheckRawSize(std::uint64_t(width), std::uint64_t(height), (alpha ? 4u : 3u) * (deep ? 16u : 8u));

    heif_chroma chroma = deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_BE : heif_chroma_interleaved_RRGGBB_BE)
                              : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    Image decoded;
    Check(heif_decode_image(handle, &decoded.image, heif_colorspace_RGB, chroma, nullptr), "the HEIF image cannot be decoded");
    int stride = 0;
    const std::uint8_t* plane = heif_image_get_plane_readonly(decoded.image, heif_channel_interleaved, &stride);
    int shownWidth = heif_image_get_width(decoded.image, heif_channel_interleaved);
    int shownHeight = heif_image_get_height(decoded.image, heif_channel_interleaved);
    if (plane == nullptr || shownWidth <= 0 || shownHeight <= 0 || stride <= 0)
        throw std::runtime_error("the HEIF image cannot be decoded");
    CheckRawSize(std::uint64_t(shownWidth), std::uint64_t(shownHeight), (alpha ? 4u : 3u) * (deep ? 16u : 8u));
    int planeBits = deep ? heif_image_get_bits_per_pixel_range(decoded.image, heif_channel_interleaved) : 8;
    if (planeBits <= 8 || planeBits > 16)
        planeBits = 16;

    ImagePage page;
    Raster& r = page.raster;
    r.space = Raster::Space::RGB;
    r.width = shownWidth;
    r.height = shownHeight;
    r.bitsPerComponent = deep ? 16 : 8;
    std::size_t count = std::size_t(shownWidth) * std::size_t(shownHeight);
    std::size_t sampleBytes = deep ? 2 : 1;
    std::size_t channels = alpha ? 4 : 3;
    if (std::size_t(stride) < std::size_t(shownWidth) * channels * sampleBytes)
        throw std::runtime_error("the HEIF image cannot be decoded");
    r.data.resize(count * 3 * sampleBytes);
    std::string mask;
    if (alpha)
        mask.resize(count * sampleBytes);
    bool opaque = true;
    unsigned opaqueValue = deep ? (1u << planeBits) - 1 : 255;
    for (int y = 0; y < shownHeight; ++y) {
        const std::uint8_t* row = plane + std::size_t(y) * std::size_t(stride);
        if (!deep && !alpha) {
            // Already the samples as stored: the row at once.
            std::memcpy(r.data.data() + std::size_t(y) * std::size_t(shownWidth) * 3, row, std::size_t(shownWidth) * 3);
            continue;
        }
        for (int x = 0; x < shownWidth; ++x) {
            std::size_t i = std::size_t(y) * std::size_t(shownWidth) + std::size_t(x);
            const std::uint8_t* px = row + std::size_t(x) * channels * sampleBytes;
            if (!deep) {
                r.data[3 * i] = char(px[0]);
                r.data[3 * i + 1] = char(px[1]);
                r.data[3 * i + 2] = char(px[2]);
                if (alpha) {
                    mask[i] = char(px[3]);
                    opaque &= px[3] == 0xff;
                }
                continue;
            }
            for (std::size_t c = 0; c < 3; ++c)
                Put16(r.data, 6 * i + 2 * c, unsigned(px[2 * c] << 8 | px[2 * c + 1]), planeBits);
            if (alpha) {
                unsigned a = unsigned(px[6] << 8 | px[7]);
                Put16(mask, 2 * i, a, planeBits);
                opaque &= a == opaqueValue;
            }
        }
    }
    if (alpha && !opaque) {
        r.softMask = std::make_shared<Raster>();
        r.softMask->width = r.width;
        r.softMask->height = r.height;
        r.softMask->bitsPerComponent = r.bitsPerComponent;
        r.softMask->data = std::move(mask);
        if (heif_image_handle_is_premultiplied_alpha(handle))
            r.softMask->matte = "[0 0 0]";
    }
    if (heif_image_handle_get_color_profile_type(handle) == heif_color_profile_type_prof ||
        heif_image_handle_get_color_profile_type(handle) == heif_color_profile_type_rICC) {
        std::size_t size = heif_image_handle_get_raw_color_profile_size(handle);
        if (size > 0 && size < (64u << 20)) {
            std::string icc(size, '\0');
            if (heif_image_handle_get_raw_color_profile(handle, icc.data()).code == heif_error_Ok)
                r.icc = std::move(icc);
        }
    }
    return page;
}

} // namespace

std::vector<ImagePage> ReadHeif(const std::string& bytes)
{
    Context context;
    if (context.context == nullptr)
        throw std::runtime_error("out of memory");
    // libheif's own bound on each side, below which ours on the whole raster applies.
    heif_context_set_maximum_image_size_limit(context.context, 1 << 16);
    Check(heif_context_read_from_memory_without_copy(context.context, bytes.data(), bytes.size(), nullptr),
          "the HEIF file is damaged or truncated");

    int count = heif_context_get_number_of_top_level_images(context.context);
    if (count <= 0)
        throw std::runtime_error("the HEIF file holds no image");
    std::vector<heif_item_id> ids(std::size_t(count), 0);
    count = heif_context_get_list_of_top_level_image_IDs(context.context, ids.data(), count);
    ids.resize(std::size_t(std::max(count, 0)));
    heif_item_id primary = 0;
    if (heif_context_get_primary_image_ID(context.context, &primary).code == heif_error_Ok) {
        auto found = std::find(ids.begin(), ids.end(), primary);
        if (found != ids.end())
            std::rotate(ids.begin(), found, found + 1);
    }
    std::vector<ImagePage> pages;
    for (heif_item_id id : ids) {
        Handle handle;
        Check(heif_context_get_image_handle(context.context, id, &handle.handle), "the HEIF file is damaged");
        pages.push_back(DecodeOne(handle.handle));
    }
    if (pages.empty())
        throw std::runtime_error("the HEIF file holds no image");
    return pages;
}
