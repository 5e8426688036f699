#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

class QPDF;

// The kinds the engine draws or converts to PDF itself, each recognised by
// its content. A reader takes the whole file and gives a document of its
// pages, or throws with the reason.

// An SVG drawing: an <svg> root element, after an optional XML declaration,
// comments and a document type.
bool IsSvg(std::string_view bytes);
// One page at the drawing's size, its shapes and text as vectors. Resources
// it links are looked for only as files in path's folder, never fetched.
std::shared_ptr<QPDF> ReadSvg(const std::string& bytes, const std::string& path);

// An XPS or OpenXPS document: a zip package with a fixed document sequence.
bool IsXps(std::string_view bytes);
// Every page of every document of the package (bytes, read from path), as
// vectors. A package whose parts unpack to more than a hundred times its
// size (at least 64 MiB, at most 1 GiB) is refused before libgxps reads it.
std::shared_ptr<QPDF> ReadXps(const std::string& bytes, const std::string& path);

// Plain text: UTF-8, or Latin-1 (Windows-1252) where it is not valid UTF-8,
// with no NUL and no control character but tab, line ends and form feed (and
// a DOS end-of-file mark at its very end).
bool IsPlainText(std::string_view bytes);
// A4 pages in a monospaced font, tabs every eight columns, long lines
// wrapped, a form feed starting a new page.
std::shared_ptr<QPDF> ReadPlainText(const std::string& bytes);

// PostScript ("%!PS") or EPS, also with a DOS EPS binary header.
bool IsPostScript(std::string_view bytes);
struct PostScriptProgram {
    std::string text; // the PostScript to run
    bool eps = false; // one drawing, cropped to its bounding box
};
// The program in a file, out of a DOS EPS header where there is one; throws
// when that header is damaged.
PostScriptProgram PreparePostScript(const std::string& bytes);
// Every page, converted by Ghostscript in the sandbox; stopped at the time limit.
std::shared_ptr<QPDF> ReadPostScript(const std::string& bytes);
// How long one conversion may run (two minutes unless set).
void SetPostScriptTimeLimit(std::chrono::milliseconds limit);

// A drawing (also gzip-compressed, .svgz), PostScript or XPS document in
// bytes (read from path), made into a document; null when bytes are none of
// these.
std::shared_ptr<QPDF> OpenVectorKind(const std::string& path, const std::string& bytes);
