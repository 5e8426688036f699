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
    // It, or a document whose pages it holds, reads data from its file when
    // written (a PDF too large to be read whole), so a write made ahead of
    // time could differ from one made at the save.
    bool readsFiles = false;
    // Counts the changes made to it.
    unsigned long long revision = 0;
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
    // Removes the document of path (if any) from the table and hands it over.
    std::vector<Document> Take(const std::string& path);
    // Removes every document and hands them over.
    std::vector<Document> TakeAll();
    std::size_t Size() const { return documents_.size(); }

private:
    std::map<std::string, Document> documents_;
};
