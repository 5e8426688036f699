// WebP, still or animated: libwebp decodes each frame, composited; colour
// goes in losslessly with an alpha soft mask where the frame is not opaque.
// An EXIF chunk turns the pages and gives their resolution, as in JPEG.
#include "images/exif.h"
#include "images/image_import.h"
#include "images/raster_alpha.h"
#include "images/raw_limits.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <webp/demux.h>

namespace {

// The EXIF chunk's TIFF structure, or "" (some writers keep JPEG's "Exif\0\0" before it).
std::string ExifOf(const WebPData& data)
{
    WebPDemuxer* demux = WebPDemux(&data);
    if (demux == nullptr)
        return "";
    std::string exif;
    WebPChunkIterator chunk;
    if ((WebPDemuxGetI(demux, WEBP_FF_FORMAT_FLAGS) & EXIF_FLAG) && WebPDemuxGetChunk(demux, "EXIF", 1, &chunk)) {
        exif.assign(reinterpret_cast<const char*>(chunk.chunk.bytes), chunk.chunk.size);
        WebPDemuxReleaseChunkIterator(&chunk);
    }
    WebPDemuxDelete(demux);
    if (exif.compare(0, 6, std::string("Exif\0\0", 6)) == 0)
        exif.erase(0, 6);
    return exif;
}

} // namespace

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
    PixelBudget budget(bytes.size());
    std::uint64_t pageBytes = PixelBudget::Bytes(info.canvas_width, info.canvas_height, 32);
    budget.Plan(pageBytes * std::max<std::uint64_t>(info.frame_count, 1));
    ExifFacts exif = ReadExif(ExifOf(data));
    std::vector<ImagePage> pages;
    while (WebPAnimDecoderHasMoreFrames(decoder)) {
        std::uint8_t* rgba = nullptr;
        int timestamp = 0;
        if (!WebPAnimDecoderGetNext(decoder, &rgba, &timestamp))
            throw std::runtime_error("the WebP file is damaged or truncated");
        budget.Claim(pageBytes);
        ImagePage page;
        Raster& r = page.raster;
        r.space = Raster::Space::RGB;
        r.width = int(info.canvas_width);
        r.height = int(info.canvas_height);
        SplitAlpha(reinterpret_cast<const char*>(rgba), std::size_t(r.width) * 4, 4, 3, true, r);
        if (exif.xDpi > 0 && exif.yDpi > 0) {
            page.xDpi = exif.xDpi;
            page.yDpi = exif.yDpi;
        }
        ApplyOrientation(exif.orientation, page);
        PackRaster(r);
        pages.push_back(std::move(page));
    }
    if (pages.empty())
        throw std::runtime_error("the WebP file holds no image");
    return pages;
}
