// Writes sample documents into a folder, for the demo: a three-page fax scan,
// a GIF, a PNG with transparency, a photo and PDFs with bookmarks and a form.
#include "support/image_writers.h"
#include "support/sample_pdf.h"

#include <cstdio>
#include <string>
#include <tiffio.h>

static Pixels Scan(int width, int height, unsigned seed)
{
    Pixels p = Pattern(width, height, 1, 8, seed);
    Pixels bits{width, height, 1, 1, {}};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            bits.samples.push_back((y / 24) % 3 != 2 && p.At(x, y, 0) > 170 && (x / 4 + y / 6) % 5 != 0 ? 1 : 0);
    return bits;
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    std::string folder = argv[1];
    std::vector<TiffPage> scan;
    for (unsigned page = 0; page < 3; ++page)
        scan.push_back({.pixels = Scan(1275, 1650, page), .compression = COMPRESSION_CCITTFAX4,
                        .photometric = PHOTOMETRIC_MINISWHITE, .xDpi = 150, .yDpi = 150});
    WriteTiff(folder + "/scan.tif", scan);

    Indexed chart;
    chart.indices = Pattern(320, 200, 1, 8, 7);
    for (int i = 0; i < 256; ++i)
        chart.palette += {char(i), char(255 - i), char((i * 7) % 256)};
    WriteGif(folder + "/chart.gif", 320, 200, {{.image = chart}});
    WritePng(folder + "/diagram.png", Pattern(400, 300, 4, 8, 8), {.xDpi = 72, .yDpi = 72});
    WriteJpeg(folder + "/photo.jpg", Pattern(640, 480, 3, 8, 9), {.dpi = 150});

    WriteSamplePdf(folder + "/report.pdf", {.pages = {"Report, page 1", "Report, page 2"}, .bookmarks = true});
    WriteSamplePdf(folder + "/form.pdf", {.pages = {"Application form"}, .fieldName = "applicant"});
    return 0;
}
