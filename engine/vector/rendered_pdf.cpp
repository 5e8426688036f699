#include "vector/rendered_pdf.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <qpdf/BufferInputSource.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
#include <stdexcept>

namespace {

cairo_status_t Append(void* closure, const unsigned char* data, unsigned int length)
{
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

} // namespace

RenderedPdf::RenderedPdf(double width, double height)
{
    surface_ = cairo_pdf_surface_create_for_stream(Append, &bytes_, width, height);
    if (cairo_surface_status(surface_) != CAIRO_STATUS_SUCCESS) {
        std::string reason = cairo_status_to_string(cairo_surface_status(surface_));
        cairo_surface_destroy(surface_);
        throw std::runtime_error("cannot make a PDF: " + reason);
    }
    cairo_pdf_surface_set_metadata(surface_, CAIRO_PDF_METADATA_CREATOR, "dochost");
}

RenderedPdf::~RenderedPdf()
{
    cairo_surface_destroy(surface_);
}

void RenderedPdf::SetPageSize(double width, double height)
{
    cairo_pdf_surface_set_size(surface_, width, height);
}

std::shared_ptr<QPDF> RenderedPdf::Finish(const char* what)
{
    cairo_surface_finish(surface_);
    cairo_status_t status = cairo_surface_status(surface_);
    if (status != CAIRO_STATUS_SUCCESS)
        throw std::runtime_error(std::string("cannot draw the ") + what + ": " + cairo_status_to_string(status));
    return ReadPdfBytes(std::move(bytes_), what);
}

std::shared_ptr<QPDF> ReadPdfBytes(std::string bytes, const char* description)
{
    auto pdf = std::make_shared<QPDF>();
    pdf->setSuppressWarnings(true);
    try {
        // The input source keeps its own copy of the bytes for as long as the document lives.
        pdf->processInputSource(std::make_shared<BufferInputSource>(description, bytes));
    } catch (QPDFExc& e) {
        throw std::runtime_error(std::string("the ") + description + " made no readable PDF: " + e.getMessageDetail());
    }
    return pdf;
}
