#pragma once

#include <string>
#include <vector>

// Reads PDFs back the way a user's reader would, to check what was written.

// The text of each page, extracted by poppler's pdftotext, trimmed.
std::vector<std::string> PageTexts(const std::string& pdf);

// True when `qpdf --check` finds no error and no warning.
bool QpdfAccepts(const std::string& pdf);

struct OutlineEntry {
    std::string title;
    int page; // 0-based index of the page it points at, -1 for none
    int depth;
};
std::vector<OutlineEntry> Outline(const std::string& pdf);

// Fully qualified names of the form fields, with the page (0-based) of each widget.
std::vector<std::pair<std::string, int>> FormFields(const std::string& pdf);

// The page label of every page, e.g. "1", "A-2".
std::vector<std::string> PageLabels(const std::string& pdf);

// Every link on every page: (page it is on, page it leads to), 0-based; -1
// where the destination does not resolve to a page of the document.
std::vector<std::pair<int, int>> LinkTargets(const std::string& pdf);

// The subtype of every annotation on every page, in order ("/Link", "/Widget").
std::vector<std::vector<std::string>> AnnotationSubtypes(const std::string& pdf);

// The partial names (/T) of the fields that /AcroForm /Fields lists, in order.
std::vector<std::string> ListedFields(const std::string& pdf);

// The /Count of the page tree's root.
long long PageTreeCount(const std::string& pdf);
