#pragma once

#include <string>
#include <utility>
#include <vector>

// Office documents for tests and the demo, written as the formats' own flat
// XML (or zip packages made here), and converted to other formats by
// LibreOffice where a test needs them.

// A zip package whose entries are stored uncompressed, in the given order.
void WriteStoredZip(const std::string& path, const std::vector<std::pair<std::string, std::string>>& entries);

std::string Base64(const std::string& bytes);

// A letter: the heading "Chapter One" (outline level 1), a paragraph with
// body, a link to https://example.org/ and, when png is not empty, that PNG
// file's bytes as an embedded picture.
void WriteLetterFodt(const std::string& path, const std::string& body, const std::string& png = "");
// A spreadsheet of sheets named and filled with the given words, in order.
void WriteTableFods(const std::string& path, const std::vector<std::string>& sheets);
// A presentation of one slide per title; hidden slides when hidden.
void WriteDeckFodp(const std::string& path, const std::vector<std::string>& titles, bool hidden = false);
// A text document whose picture is only linked, at url, not embedded.
void WriteLinkedImageFodt(const std::string& path, const std::vector<std::string>& urls);
// A text document with form controls: a text box "FullName" holding "Ada
// Lovelace" and a ticked check box "Agreed".
void WriteFormFodt(const std::string& path);
// A packaged text document (ODT) that says text and holds a Basic library
// and a load event bound to it (a seed for the fuzz target; LibreOffice makes
// the document whose macro it would run: make_macro_document.py).
void WriteAutoMacroOdt(const std::string& path, const std::string& text);
// An ODT whose content is encrypted, as one saved with a password is.
void WritePasswordOdt(const std::string& path);

// Converts each file to the format (e.g. "docx", "pdf") into folder with one
// LibreOffice run; true when it made every file.
bool ConvertWithLibreOffice(const std::vector<std::string>& files, const std::string& format,
                            const std::string& folder);
