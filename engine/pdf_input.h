#pragma once

#include <memory>
#include <string>

class QPDF;

// Opens the PDF file at path: damaged files are repaired where qpdf can, an
// empty user password is tried, and anything that is not a readable PDF with
// at least one page throws with the reason. Only regular files are read, so a
// FIFO or a device never blocks the engine.
std::shared_ptr<QPDF> OpenPdfFile(const std::string& path);
