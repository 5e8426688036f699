// GIF: one page per frame, each composited as a viewer shows it. A single
// frame keeps its palette, with a colour-key mask for its transparent colour.
#include "images/image_import.h"
#include "images/raw_limits.h"

#include <cstring>
#include <gif_lib.h>
#include <stdexcept>

namespace {

struct Input {
    const std::string* bytes;
    std::size_t at;
};

int ReadBytes(GifFileType* gif, GifByteType* out, int length)
{
    Input* in = static_cast<Input*>(gif->UserData);
    std::size_t n = std::min<std::size_t>(std::size_t(std::max(length, 0)), in->bytes->size() - in->at);
    std::memcpy(out, in->bytes->data() + in->at, n);
    in->at += n;
    return int(n);
}

// giflib's text for an error, which it leaves null for codes it does not know.
std::string Reason(int code)
{
    const char* text = GifErrorString(code);
    return text != nullptr ? text : "error " + std::to_string(code);
}

struct GifCloser {
    GifFileType* gif;
    ~GifCloser()
    {
        int error;
        if (gif != nullptr)
            DGifCloseFile(gif, &error);
    }
};

struct FrameControl {
    int disposal = DISPOSAL_UNSPECIFIED;
    int transparent = NO_TRANSPARENT_COLOR;
};

FrameControl ControlOf(const SavedImage& image)
{
    FrameControl control;
    GraphicsControlBlock block;
    for (int i = 0; i < image.ExtensionBlockCount; ++i) {
        const ExtensionBlock& e = image.ExtensionBlocks[i];
        if (e.Function == GRAPHICS_EXT_FUNC_CODE && e.ByteCount >= 4) {
            DGifExtensionToGCB(e.ByteCount, e.Bytes, &block);
            control.disposal = block.DisposalMode;
            control.transparent = block.TransparentColor;
        }
    }
    return control;
}

const ColorMapObject* MapOf(const GifFileType* gif, const SavedImage& image)
{
    const ColorMapObject* map = image.ImageDesc.ColorMap ? image.ImageDesc.ColorMap : gif->SColorMap;
    if (map == nullptr || map->Colors == nullptr || map->ColorCount <= 0)
        throw std::runtime_error("a GIF frame has no colour table");
    return map;
}

void SetAspect(const GifFileType* gif, ImagePage& page)
{
    // The pixel aspect ratio byte: (n + 15) / 64 is a pixel's width over its height.
    if (gif->AspectByte != 0)
        page.xDpi = DefaultDpi * 64.0 / (gif->AspectByte + 15);
}

// A lone frame that covers the screen keeps its palette.
ImagePage IndexedPage(const GifFileType* gif, const SavedImage& image)
{
    const ColorMapObject* map = MapOf(gif, image);
    FrameControl control = ControlOf(image);
    ImagePage page;
    Raster& r = page.raster;
    r.space = Raster::Space::Indexed;
    r.width = image.ImageDesc.Width;
    r.height = image.ImageDesc.Height;
    r.bitsPerComponent = 8;
    for (int i = 0; i < map->ColorCount; ++i) {
        r.palette += char(map->Colors[i].Red);
        r.palette += char(map->Colors[i].Green);
        r.palette += char(map->Colors[i].Blue);
    }
    std::size_t count = std::size_t(r.width) * r.height;
    r.data.assign(reinterpret_cast<const char*>(image.RasterBits), count);
    for (char& index : r.data)
        if (std::uint8_t(index) >= map->ColorCount)
            index = 0; // an index past the table: giflib shows the first colour
    if (control.transparent >= 0 && control.transparent < map->ColorCount)
        r.colorKey = "[" + std::to_string(control.transparent) + " " + std::to_string(control.transparent) + "]";
    SetAspect(gif, page);
    return page;
}

} // namespace

std::vector<ImagePage> ReadGif(const std::string& bytes)
{
    Input input{&bytes, 0};
    int error = 0;
    GifCloser closer{DGifOpen(&input, ReadBytes, &error)};
    GifFileType* gif = closer.gif;
    if (gif == nullptr)
        throw std::runtime_error("not a readable GIF file: " + Reason(error));
    if (gif->SWidth <= 0 || gif->SHeight <= 0)
        throw std::runtime_error("the GIF screen has no pixels");
    CheckRawSize(std::uint64_t(gif->SWidth), std::uint64_t(gif->SHeight), 32);
    if (DGifSlurp(gif) != GIF_OK)
        throw std::runtime_error("the GIF file is damaged or truncated: " + Reason(gif->Error));
    if (gif->ImageCount <= 0)
        throw std::runtime_error("the GIF file holds no image");

    const SavedImage& first = gif->SavedImages[0];
    if (gif->ImageCount == 1 && first.ImageDesc.Left == 0 && first.ImageDesc.Top == 0 &&
        first.ImageDesc.Width == gif->SWidth && first.ImageDesc.Height == gif->SHeight)
        return {IndexedPage(gif, first)};

    // Compose frames on a screen of RGBA, transparent where nothing was drawn.
    std::size_t width = std::size_t(gif->SWidth), height = std::size_t(gif->SHeight);
    std::string screen(width * height * 4, '\0'), previous;
    std::vector<ImagePage> pages;
    for (int f = 0; f < gif->ImageCount; ++f) {
        const SavedImage& image = gif->SavedImages[f];
        const GifImageDesc& desc = image.ImageDesc;
        const ColorMapObject* map = MapOf(gif, image);
        FrameControl control = ControlOf(image);
        if (control.disposal == DISPOSE_PREVIOUS)
            previous = screen;
        for (int y = 0; y < desc.Height; ++y) {
            long sy = long(desc.Top) + y;
            if (sy < 0 || sy >= long(height))
                continue;
            for (int x = 0; x < desc.Width; ++x) {
                long sx = long(desc.Left) + x;
                int index = image.RasterBits[std::size_t(y) * desc.Width + x];
                if (sx < 0 || sx >= long(width) || index == control.transparent)
                    continue;
                if (index >= map->ColorCount)
                    index = 0;
                char* p = &screen[(std::size_t(sy) * width + std::size_t(sx)) * 4];
                p[0] = char(map->Colors[index].Red);
                p[1] = char(map->Colors[index].Green);
                p[2] = char(map->Colors[index].Blue);
                p[3] = char(0xff);
            }
        }

        ImagePage page;
        Raster& r = page.raster;
        r.space = Raster::Space::RGB;
        r.width = int(width);
        r.height = int(height);
        r.data.resize(width * height * 3);
        std::string alpha(width * height, '\0');
        bool transparent = false;
        for (std::size_t i = 0; i < width * height; ++i) {
            std::memcpy(&r.data[3 * i], &screen[4 * i], 3);
            alpha[i] = screen[4 * i + 3];
            transparent |= alpha[i] == 0;
        }
        if (transparent) {
            r.softMask = std::make_shared<Raster>();
            r.softMask->width = r.width;
            r.softMask->height = r.height;
            r.softMask->data = std::move(alpha);
        }
        SetAspect(gif, page);
        pages.push_back(std::move(page));

        if (control.disposal == DISPOSE_BACKGROUND) {
            // Restore the frame's area to the background, which viewers show as transparent.
            for (int y = 0; y < desc.Height; ++y) {
                long sy = long(desc.Top) + y;
                for (int x = 0; x < desc.Width && sy >= 0 && sy < long(height); ++x) {
                    long sx = long(desc.Left) + x;
                    if (sx >= 0 && sx < long(width))
                        std::memset(&screen[(std::size_t(sy) * width + std::size_t(sx)) * 4], 0, 4);
                }
            }
        } else if (control.disposal == DISPOSE_PREVIOUS) {
            screen = previous;
        }
    }
    return pages;
}
