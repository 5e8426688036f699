#pragma once

#include "file_identity.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

class QPDF;
class QPDFAcroFormDocumentHelper;

// An open document. Pages inserted from other files keep reading their stream
// data from those files until this document is written, so their readers stay
// with it.
struct Document {
    std::shared_ptr<QPDF> pdf;
    std::vector<std::shared_ptr<QPDF>> sources;
    // A PDF read whole from this file, unencrypted and unrepaired, and not
    // changed since: saving it elsewhere is copying the file.
    std::string file;
    FileIdentity identity;
    bool verbatim = false;
    // Its data is read from a file as needed (not held in memory).
    bool fileBacked = false;
    // Its form fields, as read once for all insertions.
    std::shared_ptr<QPDFAcroFormDocumentHelper> forms;
};

// The open documents, keyed by the full path they were opened from.
class DocumentTable {
public:
    // The key of a path: its full path, with "." and ".." steps folded.
    static std::string Key(const std::string& path);

    Document* Find(const std::string& path);
    // The open document of path; throws when there is none.
    Document& Require(const std::string& path);
    void Add(const std::string& path, Document document);
    void Remove(const std::string& path);
    void Clear();
    std::size_t Size() const { return documents_.size(); }

private:
    std::map<std::string, Document> documents_;
};
