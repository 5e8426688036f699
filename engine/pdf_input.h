#pragma once

#include "document_table.h"

#include <memory>
#include <string>

class QPDF;

// Opens the document at path: a PDF (damaged files are repaired where qpdf
// can, an empty user password is tried), an image, as one page per image, or
// an office document, as LibreOffice renders it, each recognised by its
// content. Anything else, or a document without pages,
// throws with the reason. Only regular files are read, so a FIFO or a device
// never blocks the engine.
Document OpenDocumentFile(const std::string& path);

// A PDF that qpdf had to repair, written out and read back whole: copying
// pages out of a repaired document can leave qpdf's objects inconsistent,
// while a document qpdf has written itself is sound. Others pass unchanged.
std::shared_ptr<QPDF> RewriteIfRepaired(std::shared_ptr<QPDF> pdf);

// Sets the /Count of every node of the page tree to the number of pages qpdf
// finds below it; true when one was wrong (the document then differs from its
// file). OpenDocumentFile does it for every PDF.
bool RepairPageCounts(QPDF& pdf);
