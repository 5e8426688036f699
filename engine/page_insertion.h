#pragma once

#include <cstddef>

class QPDF;
class QPDFAcroFormDocumentHelper;

// Inserts every page of source into target so that the first of them becomes
// page number `at` (0-based; the target's page count appends). The pages keep
// their annotations, links and form fields (fields renamed where they clash),
// the source's bookmarks are appended to the target's outline, and page labels
// are carried over. targetForms is the target's form helper, kept from one
// insertion to the next so that the target's fields are read once. On
// failure the target's pages are as they were (the helper must then go).
void InsertPages(QPDF& target, QPDFAcroFormDocumentHelper& targetForms, QPDF& source, std::size_t at);

// Removes pages from .. to (0-based, inclusive) of pdf.
void DeletePages(QPDF& pdf, std::size_t from, std::size_t to);
