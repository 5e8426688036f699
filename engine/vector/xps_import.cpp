// XPS and OpenXPS with libgxps, drawn on cairo's PDF surface: every page of
// every document in the package, its paths and glyphs as vectors and text.
#include "office/zip_reader.h"
#include "vector/gobject_support.h"
#include "vector/rendered_pdf.h"
#include "vector/vector_import.h"

#include <algorithm>
#include <cairo.h>
#include <cmath>
#include <cstdint>
#include <libgxps/gxps.h>
#include <stdexcept>

namespace {

std::uint32_t Little(std::string_view bytes, std::size_t at, int size)
{
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | std::uint8_t(bytes[at + std::size_t(i)]);
    return value;
}

bool EndsWithNoCase(std::string_view name, std::string_view suffix)
{
    if (name.size() < suffix.size())
        return false;
    return std::equal(suffix.begin(), suffix.end(), name.end() - std::ptrdiff_t(suffix.size()),
                      [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

} // namespace

// A zip package is XPS when its central directory names a fixed document
// sequence part (XPS's FixedDocSeq.fdseq, OpenXPS's FixedDocumentSequence.fdseq);
// office packages never hold one.
bool IsXps(std::string_view bytes)
{
    if (bytes.substr(0, 4) != std::string_view("PK\x03\x04", 4) || bytes.size() < 22)
        return false;
    // The end-of-central-directory record, within the last 64 KiB and its own size.
    std::size_t lowest = bytes.size() > 65535 + 22 ? bytes.size() - 65535 - 22 : 0;
    std::size_t end = std::string_view::npos;
    for (std::size_t at = bytes.size() - 22 + 1; at-- > lowest;)
        if (bytes.substr(at, 4) == std::string_view("PK\x05\x06", 4)) {
            end = at;
            break;
        }
    if (end == std::string_view::npos)
        return false;
    std::size_t entries = Little(bytes, end + 10, 2);
    std::size_t at = Little(bytes, end + 16, 4);
    for (std::size_t i = 0; i < entries; ++i) {
        if (at + 46 > bytes.size() || bytes.substr(at, 4) != std::string_view("PK\x01\x02", 4))
            return false;
        std::size_t nameLength = Little(bytes, at + 28, 2);
        std::size_t extra = Little(bytes, at + 30, 2);
        std::size_t comment = Little(bytes, at + 32, 2);
        if (at + 46 + nameLength > bytes.size())
            return false;
        if (EndsWithNoCase(bytes.substr(at + 46, nameLength), ".fdseq"))
            return true;
        at += 46 + nameLength + extra + comment;
    }
    return false;
}

std::shared_ptr<QPDF> ReadXps(const std::string& bytes, const std::string& path)
{
    // libgxps unpacks each part it reads whole: a package whose parts would
    // unpack to far more than documents do (a zip bomb, whatever sizes it
    // declares) is refused first, after a count that keeps nothing.
    std::uint64_t floor = std::uint64_t(64) << 20, ceiling = std::uint64_t(1) << 30;
    std::uint64_t limit = std::min(ceiling, std::max(floor, std::uint64_t(bytes.size()) * 100));
    ZipMeasure measure = MeasureZip(bytes, limit);
    if (!measure.readable)
        throw std::runtime_error("the XPS file is damaged or cut short");
    if (measure.overLimit)
        throw std::runtime_error("the XPS file unpacks to more than " + std::to_string(limit >> 20) +
                                 " MiB; it is refused");
    GObjectRef location{g_file_new_for_path(path.c_str())};
    GError* error = nullptr;
    GObjectRef file{gxps_file_new(G_FILE(location.object), &error)};
    if (file.object == nullptr)
        throw std::runtime_error("the XPS file is damaged: " + Reason(error, "libgxps cannot read it"));
    GXPSFile* xps = GXPS_FILE(file.object);
    guint documents = gxps_file_get_n_documents(xps);
    std::unique_ptr<RenderedPdf> pdf;
    for (guint d = 0; d < documents; ++d) {
        GObjectRef document{gxps_file_get_document(xps, d, &error)};
        if (document.object == nullptr)
            throw std::runtime_error("the XPS file is damaged: " + Reason(error, "a document cannot be read"));
        guint pages = gxps_document_get_n_pages(GXPS_DOCUMENT(document.object));
        for (guint p = 0; p < pages; ++p) {
            GObjectRef page{gxps_document_get_page(GXPS_DOCUMENT(document.object), p, &error)};
            if (page.object == nullptr)
                throw std::runtime_error("the XPS file is damaged: " + Reason(error, "a page cannot be read"));
            gdouble width = 0, height = 0;
            gxps_page_get_size(GXPS_PAGE(page.object), &width, &height);
            // XPS measures in 1/96 inch.
            double scale = 0.75;
            if (!(width > 0) || !(height > 0) || !std::isfinite(width) || !std::isfinite(height))
                throw std::runtime_error("an XPS page has no size");
            scale *= std::min({1.0, MaxPageSide / (width * 0.75), MaxPageSide / (height * 0.75)});
            if (pdf == nullptr)
                pdf = std::make_unique<RenderedPdf>(width * scale, height * scale);
            else
                pdf->SetPageSize(width * scale, height * scale);
            cairo_t* cr = cairo_create(pdf->Surface());
            cairo_scale(cr, scale, scale);
            bool drawn = gxps_page_render(GXPS_PAGE(page.object), cr, &error);
            cairo_show_page(cr);
            cairo_destroy(cr);
            if (!drawn)
                throw std::runtime_error("an XPS page cannot be drawn: " + Reason(error, "libgxps failed"));
        }
    }
    if (pdf == nullptr)
        throw std::runtime_error("the XPS file has no pages");
    return pdf->Finish("XPS document");
}
