#pragma once

class QPDF;
class QPDFOutlineDocumentHelper;

// Appends the bookmarks of source to the outline of target. Call it after the
// source's pages have been copied into target: destinations then point at the
// copies. Named destinations are resolved, since target lacks the source's names.
// sourceOutlines is the source's outline helper (read once per insertion).
void AppendOutlines(QPDF& target, QPDF& source, QPDFOutlineDocumentHelper& sourceOutlines);
