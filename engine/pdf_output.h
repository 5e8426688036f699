#pragma once

#include <string>

class QPDF;

// Writes pdf to path so that a crash or a kill at any moment leaves either the
// old file or the new one: a temporary file in the target's folder, flushed to
// disk, then renamed over the target. A failed write leaves no temporary file.
void WritePdfAtomically(QPDF& pdf, const std::string& path);

// Copies the file at source to target the same way: a temporary file beside
// the target, flushed and renamed over it.
void CopyFileAtomically(const std::string& source, const std::string& target);
