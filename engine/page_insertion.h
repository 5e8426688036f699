#pragma once

#include <cstddef>

class QPDF;

// Inserts every page of source into target so that the first of them becomes
// page number `at` (0-based; the target's page count appends). The pages keep
// their annotations, links and form fields (fields renamed where they clash),
// the source's bookmarks are appended to the target's outline, and page labels
// are carried over. On failure the target is left as it was.
void InsertPages(QPDF& target, QPDF& source, std::size_t at);

// Removes pages from .. to (0-based, inclusive) of pdf.
void DeletePages(QPDF& pdf, std::size_t from, std::size_t to);
