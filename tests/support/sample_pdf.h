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
    // How the form leads to the field's widget: listed in /AcroForm /Fields, or
    // not at all (the widget stands on its page, and the catalog has no
    // /AcroForm, or one whose /Fields is not an array).
    enum class Form { Listed, NoAcroForm, FieldsNotArray } form = Form::Listed;
    bool signatureWidget = false; // an unsigned signature widget on the last page that no field leads to
    long long pageCount = -1;     // when >= 0, the /Count written in the page tree, right or not
};

void WriteSamplePdf(const std::string& path, const SamplePdf& sample);
