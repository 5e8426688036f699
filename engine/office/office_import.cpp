#include "office_import.h"

#include "office_converter.h"

#include <qpdf/Buffer.hh>
#include <qpdf/BufferInputSource.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
#include <stdexcept>

std::shared_ptr<QPDF> ImportOfficeDocument(const std::string& document, const std::string& format)
{
    std::string converted = EngineOfficeConverter().Convert(document, format);
    auto buffer = new Buffer(converted.size());
    std::copy(converted.begin(), converted.end(), buffer->getBuffer());
    auto pdf = std::make_shared<QPDF>();
    pdf->setSuppressWarnings(true);
    try {
        // The input source owns the buffer for as long as the document lives.
        pdf->processInputSource(std::make_shared<BufferInputSource>("converted " + format + " document", buffer, true));
    } catch (QPDFExc& e) {
        throw std::runtime_error("LibreOffice made an unreadable PDF: " + e.getMessageDetail());
    }
    return pdf;
}
