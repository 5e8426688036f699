#pragma once

class QPDF;

// Appends the bookmarks of source to the outline of target. Call it after the
// source's pages have been copied into target: destinations then point at the
// copies. Named destinations are resolved, since target lacks the source's names.
void AppendOutlines(QPDF& target, QPDF& source);
