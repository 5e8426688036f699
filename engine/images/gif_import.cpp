// GIF: one page per frame, each composited as a viewer shows it. A single
// frame that covers the screen keeps its palette, with a colour-key mask for
// its transparent colour.
//
// The file is read twice, record by record: first without decoding, to count
// its frames and check what they would decode to against the file's budget;
// then frame by frame, each drawn on the one screen and stored as its page
// before the next is read, so that no more than one page is ever held raw.
#include "images/image_import.h"
#include "images/raw_limits.h"

#include <algorithm>
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

[[noreturn]] void Damaged(const GifFileType* gif)
{
    throw std::runtime_error("the GIF file is damaged or truncated: " + Reason(gif->Error));
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

GifCloser Open(Input& input)
{
    int error = 0;
    GifCloser closer{DGifOpen(&input, ReadBytes, &error)};
    if (closer.gif == nullptr)
        throw std::runtime_error("not a readable GIF file: " + Reason(error));
    if (closer.gif->SWidth <= 0 || closer.gif->SHeight <= 0)
        throw std::runtime_error("the GIF screen has no pixels");
    return closer;
}

struct FrameControl {
    int disposal = DISPOSAL_UNSPECIFIED;
    int transparent = NO_TRANSPARENT_COLOR;
};

// Reads an extension whatever its kind and length; a graphic control
// extension sets how the next frame is drawn.
void ReadExtension(GifFileType* gif, FrameControl& control)
{
    int code = 0;
    GifByteType* block = nullptr;
    if (DGifGetExtension(gif, &code, &block) != GIF_OK)
        Damaged(gif);
    bool first = true;
    while (block != nullptr) {
        if (first && code == GRAPHICS_EXT_FUNC_CODE && block[0] >= 4) {
            GraphicsControlBlock gcb;
            DGifExtensionToGCB(4, block + 1, &gcb);
            control.disposal = gcb.DisposalMode;
            control.transparent = gcb.TransparentColor;
        }
        first = false;
        if (DGifGetExtensionNext(gif, &block) != GIF_OK)
            Damaged(gif);
    }
}

// The colour table of the frame just described: its own, else the file's,
// else (a file may have none) grey levels, as a table of the decoder's own.
struct Palette {
    GifColorType colors[256];
    int count = 0;
};

Palette PaletteOf(const GifFileType* gif)
{
    Palette p;
    const ColorMapObject* map = gif->Image.ColorMap != nullptr ? gif->Image.ColorMap : gif->SColorMap;
    if (map != nullptr && map->Colors != nullptr && map->ColorCount > 0) {
        p.count = std::min(map->ColorCount, 256);
        std::copy(map->Colors, map->Colors + p.count, p.colors);
    } else {
        p.count = 256;
        for (int i = 0; i < 256; ++i)
            p.colors[i] = {GifByteType(i), GifByteType(i), GifByteType(i)};
    }
    return p;
}

// The frames' count, and whether the only frame covers the screen, without decoding them.
struct Survey {
    int frames = 0;
    bool lone = false;
};

// Charges the budget as it goes: frame by frame, each page at what a
// composited page costs, so that a file of endless frames stops early.
Survey SurveyFrames(GifFileType* gif, PixelBudget& budget, std::uint64_t compositeBytes)
{
    Survey survey;
    FrameControl ignored;
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(gif, &type) != GIF_OK)
            Damaged(gif);
        if (type == TERMINATE_RECORD_TYPE)
            break;
        if (type == EXTENSION_RECORD_TYPE) {
            ReadExtension(gif, ignored);
            continue;
        }
        if (type != IMAGE_DESC_RECORD_TYPE)
            continue;
        if (DGifGetImageDesc(gif) != GIF_OK)
            Damaged(gif);
        const GifImageDesc& desc = gif->Image;
        if (desc.Width <= 0 || desc.Height <= 0)
            throw std::runtime_error("a GIF frame has no pixels");
        survey.lone = survey.frames == 0 && desc.Left == 0 && desc.Top == 0 && desc.Width == gif->SWidth &&
                      desc.Height == gif->SHeight;
        ++survey.frames;
        // Frames far larger than the screen cost their decoding too.
        std::uint64_t indices = std::uint64_t(desc.Width) * std::uint64_t(desc.Height);
        budget.Plan(indices + (survey.frames > 1 ? compositeBytes : 0));
        int codeSize = 0;
        GifByteType* block = nullptr;
        if (DGifGetCode(gif, &codeSize, &block) != GIF_OK)
            Damaged(gif);
        while (block != nullptr)
            if (DGifGetCodeNext(gif, &block) != GIF_OK)
                Damaged(gif);
    }
    if (survey.frames == 0)
        throw std::runtime_error("the GIF file holds no image");
    survey.lone = survey.lone && survey.frames == 1;
    return survey;
}

void SetAspect(const GifFileType* gif, ImagePage& page)
{
    // The pixel aspect ratio byte: (n + 15) / 64 is a pixel's width over its height.
    if (gif->AspectByte != 0)
        page.xDpi = DefaultDpi * 64.0 / (gif->AspectByte + 15);
}

// Calls row(y, indices) for each row of the frame just described, in the
// frame's own row order (interlaced frames come in four passes).
template <typename Row>
void DecodeFrame(GifFileType* gif, std::string& line, Row row)
{
    const GifImageDesc& desc = gif->Image;
    line.resize(std::size_t(desc.Width));
    auto one = [&](int y) {
        if (DGifGetLine(gif, reinterpret_cast<GifPixelType*>(line.data()), desc.Width) != GIF_OK)
            Damaged(gif);
        row(y, reinterpret_cast<const std::uint8_t*>(line.data()));
    };
    if (desc.Interlace) {
        static const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
        for (int pass = 0; pass < 4; ++pass)
            for (int y = start[pass]; y < desc.Height; y += step[pass])
                one(y);
    } else {
        for (int y = 0; y < desc.Height; ++y)
            one(y);
    }
}

// Moves to the next frame's description, reading the extensions before it.
FrameControl NextFrame(GifFileType* gif)
{
    FrameControl control;
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(gif, &type) != GIF_OK)
            Damaged(gif);
        if (type == EXTENSION_RECORD_TYPE) {
            ReadExtension(gif, control);
        } else if (type == IMAGE_DESC_RECORD_TYPE) {
            if (DGifGetImageDesc(gif) != GIF_OK)
                Damaged(gif);
            return control;
        } else if (type == TERMINATE_RECORD_TYPE) {
            throw std::runtime_error("the GIF file changed while it was read");
        }
    }
}

ImagePage IndexedPage(GifFileType* gif)
{
    FrameControl control = NextFrame(gif);
    Palette palette = PaletteOf(gif);
    ImagePage page;
    Raster& r = page.raster;
    r.space = Raster::Space::Indexed;
    r.width = gif->SWidth;
    r.height = gif->SHeight;
    r.bitsPerComponent = 8;
    for (int i = 0; i < palette.count; ++i) {
        r.palette += char(palette.colors[i].Red);
        r.palette += char(palette.colors[i].Green);
        r.palette += char(palette.colors[i].Blue);
    }
    std::size_t width = std::size_t(r.width);
    r.data.assign(width * std::size_t(r.height), '\0');
    std::string line;
    DecodeFrame(gif, line, [&](int y, const std::uint8_t* indices) {
        for (std::size_t x = 0; x < width; ++x)
            // An index past the table shows the table's first colour.
            r.data[std::size_t(y) * width + x] = char(indices[x] < palette.count ? indices[x] : 0);
    });
    if (control.transparent >= 0 && control.transparent < palette.count)
        r.colorKey = "[" + std::to_string(control.transparent) + " " + std::to_string(control.transparent) + "]";
    SetAspect(gif, page);
    return page;
}

} // namespace

std::vector<ImagePage> ReadGif(const std::string& bytes)
{
    Survey survey;
    std::size_t width = 0, height = 0;
    PixelBudget budget(bytes.size());
    std::uint64_t pageBytes = 0;
    {
        Input input{&bytes, 0};
        GifCloser closer = Open(input);
        width = std::size_t(closer.gif->SWidth);
        height = std::size_t(closer.gif->SHeight);
        CheckRawSize(width, height, 32);
        // Every composited page is colour and alpha; a lone frame is its indices.
        std::uint64_t compositeBytes = PixelBudget::Bytes(width, height, 32);
        survey = SurveyFrames(closer.gif, budget, compositeBytes);
        pageBytes = survey.lone ? PixelBudget::Bytes(width, height, 8) : compositeBytes;
        budget.Plan(pageBytes); // the first frame's page
    }

    Input input{&bytes, 0};
    GifCloser closer = Open(input);
    GifFileType* gif = closer.gif;
    if (survey.lone) {
        budget.Claim(pageBytes);
        return {IndexedPage(gif)};
    }

    // Frames are drawn on a screen of RGBA, transparent where nothing was drawn.
    std::string screen(width * height * 4, '\0'), saved, line;
    std::vector<ImagePage> pages;
    for (int f = 0; f < survey.frames; ++f) {
        FrameControl control = NextFrame(gif);
        const GifImageDesc desc = gif->Image;
        Palette palette = PaletteOf(gif);
        // The part of the screen the frame covers.
        std::size_t left = std::size_t(std::clamp<long>(desc.Left, 0, long(width)));
        std::size_t right = std::size_t(std::clamp<long>(long(desc.Left) + desc.Width, 0, long(width)));
        std::size_t top = std::size_t(std::clamp<long>(desc.Top, 0, long(height)));
        std::size_t bottom = std::size_t(std::clamp<long>(long(desc.Top) + desc.Height, 0, long(height)));
        if (control.disposal == DISPOSE_PREVIOUS) {
            saved.clear();
            for (std::size_t y = top; y < bottom; ++y)
                saved.append(screen, (y * width + left) * 4, (right - left) * 4);
        }
        DecodeFrame(gif, line, [&](int y, const std::uint8_t* indices) {
            long sy = long(desc.Top) + y;
            if (sy < 0 || sy >= long(height))
                return;
            for (int x = 0; x < desc.Width; ++x) {
                long sx = long(desc.Left) + x;
                int index = indices[x];
                if (sx < 0 || sx >= long(width) || index == control.transparent)
                    continue;
                if (index >= palette.count)
                    index = 0;
                char* p = &screen[(std::size_t(sy) * width + std::size_t(sx)) * 4];
                p[0] = char(palette.colors[index].Red);
                p[1] = char(palette.colors[index].Green);
                p[2] = char(palette.colors[index].Blue);
                p[3] = char(0xff);
            }
        });

        budget.Claim(pageBytes);
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
        PackRaster(r);
        pages.push_back(std::move(page));

        if (control.disposal == DISPOSE_BACKGROUND) {
            // The frame's area goes back to the background, which viewers show as transparent.
            for (std::size_t y = top; y < bottom; ++y)
                std::memset(&screen[(y * width + left) * 4], 0, (right - left) * 4);
        } else if (control.disposal == DISPOSE_PREVIOUS) {
            for (std::size_t y = top, at = 0; y < bottom; ++y, at += (right - left) * 4)
                std::memcpy(&screen[(y * width + left) * 4], saved.data() + at, (right - left) * 4);
        }
    }
    return pages;
}
