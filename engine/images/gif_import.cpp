// GIF: one page per frame, each composited as a viewer shows it. A single
// frame that covers the screen keeps its palette, with a colour-key mask for
// its transparent colour; a composited frame of at most 256 colours (what is
// not drawn counting as one, keyed out) is stored with a palette of its own,
// else as RGB with a soft mask.
//
// The file is read twice, record by record: first without decoding, to count
// its frames and check what they would decode to against the file's budget;
// then frame by frame, each drawn on the one screen and stored as its page
// before the next is read, so that no more than one page is ever held raw.
#include "images/byte_cursor.h"
#include "images/image_import.h"
#include "images/raster_alpha.h"
#include "images/raw_limits.h"

#include <algorithm>
#include <cstring>
#include <gif_lib.h>
#include <stdexcept>

namespace {

int ReadBytes(GifFileType* gif, GifByteType* out, int length)
{
    return int(static_cast<ByteCursor*>(gif->UserData)->CopyOut(out, std::size_t(std::max(length, 0))));
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

GifCloser Open(ByteCursor& input)
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
        r.colorKey = {control.transparent, control.transparent};
    SetAspect(gif, page);
    return page;
}

// The first pass: the screen's size, the frames' count, what a page costs.
struct Plan {
    std::size_t width = 0, height = 0;
    Survey survey;
    std::uint64_t pageBytes = 0;
};

Plan PlanPages(const std::string& bytes, PixelBudget& budget)
{
    Plan plan;
    ByteCursor input(bytes);
    GifCloser closer = Open(input);
    plan.width = std::size_t(closer.gif->SWidth);
    plan.height = std::size_t(closer.gif->SHeight);
    CheckRawSize(plan.width, plan.height, 32);
    // Every composited page is colour and alpha; a lone frame is its indices.
    std::uint64_t compositeBytes = PixelBudget::Bytes(plan.width, plan.height, 32);
    plan.survey = SurveyFrames(closer.gif, budget, compositeBytes);
    plan.pageBytes = plan.survey.lone ? PixelBudget::Bytes(plan.width, plan.height, 8) : compositeBytes;
    budget.Plan(plan.pageBytes); // the first frame's page
    return plan;
}

// The screen frames are drawn on: a pixel is 0 where nothing was drawn
// (transparent), else 0xff000000 | RGB.
struct Screen {
    std::size_t width, height;
    std::vector<std::uint32_t> pixels;
};

// The part of the screen a frame covers.
struct Area {
    std::size_t left, right, top, bottom;
};

Area Covered(const GifImageDesc& desc, const Screen& screen)
{
    auto clamp = [](long v, std::size_t most) { return std::size_t(std::clamp<long>(v, 0, long(most))); };
    return {clamp(desc.Left, screen.width), clamp(long(desc.Left) + desc.Width, screen.width),
            clamp(desc.Top, screen.height), clamp(long(desc.Top) + desc.Height, screen.height)};
}

// The screen's pixels in the area, row after row.
std::vector<std::uint32_t> SaveArea(const Screen& screen, const Area& area)
{
    std::vector<std::uint32_t> saved;
    for (std::size_t y = area.top; y < area.bottom; ++y) {
        auto row = screen.pixels.begin() + std::ptrdiff_t(y * screen.width);
        saved.insert(saved.end(), row + std::ptrdiff_t(area.left), row + std::ptrdiff_t(area.right));
    }
    return saved;
}

// Draws the frame just described over the screen, leaving its transparent pixels.
void DrawFrame(GifFileType* gif, const FrameControl& control, Screen& screen, std::string& line)
{
    const GifImageDesc desc = gif->Image;
    Palette palette = PaletteOf(gif);
    std::uint32_t colours[256];
    for (int i = 0; i < 256; ++i) {
        // An index past the table shows the table's first colour.
        const GifColorType& c = palette.colors[i < palette.count ? i : 0];
        colours[i] = 0xff000000u | std::uint32_t(c.Red) << 16 | std::uint32_t(c.Green) << 8 | c.Blue;
    }
    DecodeFrame(gif, line, [&](int y, const std::uint8_t* indices) {
        long sy = long(desc.Top) + y;
        if (sy < 0 || sy >= long(screen.height))
            return;
        std::uint32_t* row = screen.pixels.data() + std::size_t(sy) * screen.width;
        for (int x = 0; x < desc.Width; ++x) {
            long sx = long(desc.Left) + x;
            if (sx >= 0 && sx < long(screen.width) && indices[x] != control.transparent)
                row[sx] = colours[indices[x]];
        }
    });
}

// What the frame leaves behind for the next: the background (which viewers
// show as transparent), the screen as it was before the frame, or the frame.
void Dispose(int disposal, const Area& area, const std::vector<std::uint32_t>& saved, Screen& screen)
{
    std::size_t width = area.right - area.left;
    for (std::size_t y = area.top, at = 0; y < area.bottom; ++y, at += width) {
        std::uint32_t* row = screen.pixels.data() + y * screen.width + area.left;
        if (disposal == DISPOSE_BACKGROUND)
            std::fill(row, row + width, 0u);
        else if (disposal == DISPOSE_PREVIOUS)
            std::copy(saved.begin() + std::ptrdiff_t(at), saved.begin() + std::ptrdiff_t(at + width), row);
    }
}

// The indices of up to 256 colours, found by open addressing.
class ColourIndex {
public:
    // The colour's index, a new one if need be; -1 once there would be more than 256.
    int Of(std::uint32_t colour)
    {
        std::size_t slot = (colour * 2654435761u) >> (32 - Bits);
        while (used_[slot]) {
            if (keys_[slot] == colour)
                return indices_[slot];
            slot = (slot + 1) & (Slots - 1);
        }
        if (colours.size() == 256)
            return -1;
        used_[slot] = true;
        keys_[slot] = colour;
        indices_[slot] = std::uint8_t(colours.size());
        colours.push_back(colour);
        return int(colours.size() - 1);
    }
    std::vector<std::uint32_t> colours; // in the order they were met

private:
    static constexpr int Bits = 10;
    static constexpr std::size_t Slots = std::size_t(1) << Bits;
    bool used_[Slots] = {};
    std::uint32_t keys_[Slots] = {};
    std::uint8_t indices_[Slots] = {};
};

// The screen as indices into a palette of its own, false where it shows more than 256 colours.
bool IndexedScreen(const Screen& screen, Raster& r)
{
    auto index = std::make_unique<ColourIndex>();
    std::string indices(screen.pixels.size(), '\0');
    std::uint32_t last = 0;
    int lastIndex = -1;
    for (std::size_t i = 0; i < screen.pixels.size(); ++i) {
        std::uint32_t pixel = screen.pixels[i];
        if (pixel != last || lastIndex < 0) {
            lastIndex = index->Of(pixel);
            if (lastIndex < 0)
                return false;
            last = pixel;
        }
        indices[i] = char(lastIndex);
    }
    r.space = Raster::Space::Indexed;
    r.bitsPerComponent = 8;
    r.data = std::move(indices);
    for (std::size_t i = 0; i < index->colours.size(); ++i) {
        std::uint32_t colour = index->colours[i];
        r.palette += {char(colour >> 16), char(colour >> 8), char(colour)};
        if (colour == 0) // nothing drawn: keyed out
            r.colorKey = {int(i), int(i)};
    }
    return true;
}

// The screen as RGB, with a soft mask where anything is transparent.
void RgbScreen(const Screen& screen, Raster& r)
{
    std::string rgba(screen.pixels.size() * 4, '\0');
    for (std::size_t i = 0; i < screen.pixels.size(); ++i) {
        std::uint32_t pixel = screen.pixels[i];
        rgba[4 * i] = char(pixel >> 16);
        rgba[4 * i + 1] = char(pixel >> 8);
        rgba[4 * i + 2] = char(pixel);
        rgba[4 * i + 3] = char(pixel >> 24);
    }
    r.space = Raster::Space::RGB;
    SplitAlpha(rgba.data(), screen.width * 4, 4, 3, true, r);
}

// Each frame drawn on the screen as the ones before left it, and stored as its page.
std::vector<ImagePage> CompositePages(GifFileType* gif, const Plan& plan, PixelBudget& budget)
{
    Screen screen{plan.width, plan.height, std::vector<std::uint32_t>(plan.width * plan.height, 0u)};
    std::string line;
    std::vector<ImagePage> pages;
    for (int f = 0; f < plan.survey.frames; ++f) {
        FrameControl control = NextFrame(gif);
        Area area = Covered(gif->Image, screen);
        std::vector<std::uint32_t> saved;
        if (control.disposal == DISPOSE_PREVIOUS)
            saved = SaveArea(screen, area);
        DrawFrame(gif, control, screen, line);

        budget.Claim(plan.pageBytes);
        ImagePage page;
        page.raster.width = int(screen.width);
        page.raster.height = int(screen.height);
        if (!IndexedScreen(screen, page.raster))
            RgbScreen(screen, page.raster);
        SetAspect(gif, page);
        PackRaster(page.raster);
        pages.push_back(std::move(page));
        Dispose(control.disposal, area, saved, screen);
    }
    return pages;
}

} // namespace

std::vector<ImagePage> ReadGif(const std::string& bytes)
{
    PixelBudget budget(bytes.size());
    Plan plan = PlanPages(bytes, budget);
    ByteCursor input(bytes);
    GifCloser closer = Open(input);
    if (plan.survey.lone) {
        budget.Claim(plan.pageBytes);
        return {IndexedPage(closer.gif)};
    }
    return CompositePages(closer.gif, plan, budget);
}
