#pragma once

#include <memory>
#include <string>

class QPDF;

// The document's pages as LibreOffice renders them to PDF, read into a
// document in memory. format is the document's kind from OfficeFormat.
// Throws with the reason when it cannot be converted.
std::shared_ptr<QPDF> ImportOfficeDocument(const std::string& document, const std::string& format);
