#pragma once

#include <memory>
#include <string>

class QPDF;
typedef struct _cairo_surface cairo_surface_t;

// A PDF that cairo writes into memory, page by page, for the kinds the
// engine draws itself (SVG, XPS, plain text): what is vector stays vector and
// text stays text.
class RenderedPdf {
public:
    // The first page's size in points.
    RenderedPdf(double width, double height);
    ~RenderedPdf();
    RenderedPdf(const RenderedPdf&) = delete;
    RenderedPdf& operator=(const RenderedPdf&) = delete;

    cairo_surface_t* Surface() const { return surface_; }
    // The size of the pages drawn from now on, in points.
    void SetPageSize(double width, double height);
    // Finishes the PDF and reads it as a document; throws with reason if
    // cairo failed (what: the kind of file, for the message).
    std::shared_ptr<QPDF> Finish(const char* what);

private:
    cairo_surface_t* surface_ = nullptr;
    std::string bytes_;
};

// The largest page side, in points, that readers accept.
constexpr double MaxPageSide = 14400;

// A PDF in memory, read as a document that owns its bytes.
std::shared_ptr<QPDF> ReadPdfBytes(std::string bytes, const char* description);
