// SVG with librsvg, drawn on cairo's PDF surface: paths stay paths, text stays
// text. librsvg loads only data: URLs and files in the drawing's own folder (or
// below it); it never fetches anything from the network.
#include "vector/gobject_support.h"
#include "vector/rendered_pdf.h"
#include "vector/vector_import.h"

#include <algorithm>
#include <cairo.h>
#include <cctype>
#include <cmath>
#include <librsvg/rsvg.h>
#include <stdexcept>

namespace {

// Skips space, comments, processing instructions and the document type.
std::size_t SkipProlog(std::string_view text)
{
    std::size_t at = 0;
    if (text.substr(0, 3) == "\xef\xbb\xbf")
        at = 3;
    for (;;) {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
            ++at;
        std::string_view rest = text.substr(at);
        std::size_t end;
        if (rest.substr(0, 4) == "<!--")
            end = rest.find("-->", 4), end = end == std::string_view::npos ? end : end + 3;
        else if (rest.substr(0, 2) == "<?")
            end = rest.find("?>", 2), end = end == std::string_view::npos ? end : end + 2;
        else if (rest.substr(0, 9) == "<!DOCTYPE") {
            // An internal subset in brackets may hold '>' of its own.
            std::size_t bracket = rest.find('[');
            std::size_t close = rest.find('>');
            if (bracket != std::string_view::npos && bracket < close) {
                std::size_t subsetEnd = rest.find(']', bracket);
                close = subsetEnd == std::string_view::npos ? subsetEnd : rest.find('>', subsetEnd);
            }
            end = close == std::string_view::npos ? close : close + 1;
        } else
            return at;
        if (end == std::string_view::npos)
            return std::string_view::npos;
        at += end;
    }
}

} // namespace

bool IsSvg(std::string_view bytes)
{
    std::size_t at = SkipProlog(bytes.substr(0, std::min<std::size_t>(bytes.size(), 1 << 16)));
    if (at == std::string_view::npos)
        return false;
    std::string_view root = bytes.substr(at);
    for (std::string_view open : {"<svg", "<svg:svg"})
        if (root.substr(0, open.size()) == open && root.size() > open.size()) {
            char next = root[open.size()];
            if (std::isspace(static_cast<unsigned char>(next)) || next == '>' || next == '/')
                return true;
        }
    return false;
}

std::shared_ptr<QPDF> ReadSvg(const std::string& bytes, const std::string& path)
{
    GObjectRef stream{g_memory_input_stream_new_from_data(bytes.data(), gssize(bytes.size()), nullptr)};
    // Relative references resolve against the file, and only within its folder.
    GObjectRef base{g_file_new_for_path(path.c_str())};
    GError* error = nullptr;
    GObjectRef handle{rsvg_handle_new_from_stream_sync(G_INPUT_STREAM(stream.object), G_FILE(base.object),
                                                        RSVG_HANDLE_FLAGS_NONE, nullptr, &error)};
    if (handle.object == nullptr)
        throw std::runtime_error("the SVG file is damaged: " + Reason(error, "librsvg cannot read it"));
    RsvgHandle* svg = RSVG_HANDLE(handle.object);
    // CSS pixels: 96 to the inch, 0.75 points each.
    rsvg_handle_set_dpi(svg, 96);

    double width = 0, height = 0;
    if (!rsvg_handle_get_intrinsic_size_in_pixels(svg, &width, &height)) {
        gboolean hasWidth, hasHeight, hasViewBox;
        RsvgLength w, h;
        RsvgRectangle viewBox;
        rsvg_handle_get_intrinsic_dimensions(svg, &hasWidth, &w, &hasHeight, &h, &hasViewBox, &viewBox);
        if (hasViewBox) {
            width = viewBox.width;
            height = viewBox.height;
        } else {
            // Neither a size nor a view box: the page is what the drawing covers.
            RsvgRectangle ink, logical;
            if (rsvg_handle_get_geometry_for_element(svg, nullptr, &ink, &logical, nullptr)) {
                width = logical.x + logical.width;
                height = logical.y + logical.height;
            }
        }
    }
    if (!(width > 0) || !(height > 0) || !std::isfinite(width) || !std::isfinite(height))
        throw std::runtime_error("the SVG drawing has no size");
    double points = 0.75;
    // A drawing larger than a page may be is scaled down to fit.
    double fit = std::min({1.0, MaxPageSide / (width * points), MaxPageSide / (height * points)});
    double pageWidth = width * points * fit, pageHeight = height * points * fit;

    RenderedPdf pdf(pageWidth, pageHeight);
    cairo_t* cr = cairo_create(pdf.Surface());
    cairo_scale(cr, points * fit, points * fit);
    RsvgRectangle viewport{0, 0, width, height};
    bool drawn = rsvg_handle_render_document(svg, cr, &viewport, &error);
    cairo_destroy(cr);
    if (!drawn)
        throw std::runtime_error("the SVG drawing cannot be drawn: " + Reason(error, "librsvg failed"));
    return pdf.Finish("SVG drawing");
}
