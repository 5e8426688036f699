#pragma once

#include <string>
#include <vector>

// Small PDFs made with qpdf for tests and the demo: one page per text, the
// text drawn in Helvetica so that any reader can extract it.
struct SamplePdf {
    std::vector<std::string> pages;
    bool bookmarks = false;       // one bookmark per page, titled by its text
    std::string fieldName;        // a text field on the first page
    bool link = false;            // a link annotation on the first page to the last page
    std::string labelPrefix;      // page labels: prefix with decimal numbers
    std::size_t padding = 0;      // bytes of varied filler in each page's content
};

void WriteSamplePdf(const std::string& path, const SamplePdf& sample);
