// PostScript and EPS with Ghostscript's pdfwrite, run as a sandboxed helper
// kept running between files (vector/ghostscript_server.h): no network, a
// memory cap and a time limit per file. Every page of a PostScript file; an
// EPS as one page cropped to its bounding box; vectors and text stay so.
#include "vector/ghostscript_server.h"
#include "vector/rendered_pdf.h"
#include "vector/vector_import.h"

#include <memory>
#include <cstdint>
#include <qpdf/Pl_Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <sstream>
#include <stdexcept>

namespace {

std::chrono::milliseconds timeLimit = std::chrono::seconds(120);

std::uint32_t Little32(std::string_view bytes, std::size_t at)
{
    return std::uint32_t(std::uint8_t(bytes[at])) | std::uint32_t(std::uint8_t(bytes[at + 1])) << 8 |
           std::uint32_t(std::uint8_t(bytes[at + 2])) << 16 | std::uint32_t(std::uint8_t(bytes[at + 3])) << 24;
}

bool IsDosEps(std::string_view bytes)
{
    return bytes.size() >= 30 && bytes.substr(0, 4) == "\xc5\xd0\xd3\xc6";
}

// Whether a page's content only saves, transforms and restores the state.
bool DrawsNothing(QPDFPageObjectHelper& page)
{
    Pl_Buffer buffer("page content");
    page.pipeContents(&buffer);
    std::unique_ptr<Buffer> content(buffer.getBuffer());
    std::istringstream tokens(std::string(reinterpret_cast<const char*>(content->getBuffer()), content->getSize()));
    for (std::string token; tokens >> token;) {
        bool number = token.find_first_not_of("0123456789.-+") == std::string::npos;
        if (!number && token != "q" && token != "Q" && token != "cm")
            return false;
    }
    return true;
}

} // namespace

void SetPostScriptTimeLimit(std::chrono::milliseconds limit)
{
    timeLimit = limit;
}

bool IsPostScript(std::string_view bytes)
{
    if (IsDosEps(bytes))
        return true;
    if (!bytes.empty() && bytes[0] == '\x04') // a printer's end-of-job mark before the program
        bytes.remove_prefix(1);
    return bytes.substr(0, 4) == "%!PS";
}

PostScriptProgram PreparePostScript(const std::string& bytes)
{
    PostScriptProgram program;
    if (IsDosEps(bytes)) {
        // A binary header with the offset and length of the PostScript
        // section, before previews in TIFF or WMF.
        std::uint64_t offset = Little32(bytes, 4), length = Little32(bytes, 8);
        if (offset < 30 || length == 0 || offset + length > bytes.size())
            throw std::runtime_error("the EPS file is damaged or truncated");
        program.text = bytes.substr(offset, length);
        program.eps = true;
        return program;
    }
    program.text = bytes;
    std::size_t start = !bytes.empty() && bytes[0] == '\x04' ? 1 : 0;
    std::size_t lineEnd = bytes.find_first_of("\r\n", start);
    std::string_view first = std::string_view(bytes).substr(start, lineEnd == std::string::npos ? 256 : lineEnd - start);
    program.eps = first.find(" EPSF-") != std::string_view::npos;
    return program;
}

std::shared_ptr<QPDF> ReadPostScript(const std::string& bytes)
{
    PostScriptProgram program = PreparePostScript(bytes);
    // Ghostscript crops a program whose first line names it EPSF to its
    // bounding box, as it does for a file it is given.
    std::string pdf = EngineGhostscript().Convert(program.text, timeLimit);
    std::shared_ptr<QPDF> document = ReadPdfBytes(std::move(pdf), "PostScript file");
    // pdfwrite makes one empty page of a program that shows none.
    std::vector<QPDFPageObjectHelper> pages = QPDFPageDocumentHelper(*document).getAllPages();
    if (pages.size() == 1 && DrawsNothing(pages[0]))
        throw std::runtime_error("the PostScript file shows no page (empty or cut short)");
    return document;
}
