// WebP, still or animated: libwebp decodes each frame, composited; colour
// goes in losslessly with an alpha soft mask where the frame is not opaque.
#include "images/image_import.h"
#include "images/raw_limits.h"

#include <cstring>
#include <stdexcept>
#include <webp/demux.h>

std::vector<ImagePage> ReadWebP(const std::string& bytes)
{
    WebPData data{reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
    WebPAnimDecoderOptions options;
    WebPAnimDecoderOptionsInit(&options);
    options.color_mode = MODE_RGBA;
    options.use_threads = 0;
    WebPAnimDecoder* decoder = WebPAnimDecoderNew(&data, &options);
    if (decoder == nullptr)
        throw std::runtime_error("the WebP file is damaged or truncated");
    struct Closer {
        WebPAnimDecoder* decoder;
        ~Closer() { WebPAnimDecoderDelete(decoder); }
    } closer{decoder};

    WebPAnimInfo info;
    if (!WebPAnimDecoderGetInfo(decoder, &info))
        throw std::runtime_error("the WebP file is damaged");
    CheckRawSize(info.canvas_width, info.canvas_height, 32);
    std::vector<ImagePage> pages;
    while (WebPAnimDecoderHasMoreFrames(decoder)) {
        std::uint8_t* rgba = nullptr;
        int timestamp = 0;
        if (!WebPAnimDecoderGetNext(decoder, &rgba, &timestamp))
            throw std::runtime_error("the WebP file is damaged or truncated");
        ImagePage page;
        Raster& r = page.raster;
        r.space = Raster::Space::RGB;
        r.width = int(info.canvas_width);
        r.height = int(info.canvas_height);
        std::size_t count = std::size_t(r.width) * r.height;
        r.data.resize(count * 3);
        std::string alpha(count, '\0');
        bool opaque = true;
        for (std::size_t i = 0; i < count; ++i) {
            std::memcpy(&r.data[3 * i], rgba + 4 * i, 3);
            alpha[i] = char(rgba[4 * i + 3]);
            opaque &= rgba[4 * i + 3] == 0xff;
        }
        if (!opaque) {
            r.softMask = std::make_shared<Raster>();
            r.softMask->width = r.width;
            r.softMask->height = r.height;
            r.softMask->data = std::move(alpha);
        }
        pages.push_back(std::move(page));
    }
    if (pages.empty())
        throw std::runtime_error("the WebP file holds no image");
    return pages;
}
