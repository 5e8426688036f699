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

// What the engine knows a file by: the full path of a path a command names,
// with "." and ".." steps folded (a path that cannot be resolved stands for
// itself). Made once for each path of a command, then used for every lookup.
struct PathKey {
    explicit PathKey(const std::string& path);
    std::string text;
    bool operator<(const PathKey& other) const { return text < other.text; }
    bool operator==(const PathKey& other) const { return text == other.text; }
};

// The open documents, by the key of the path they were opened from.
class DocumentTable {
public:
    Document* Find(const PathKey& key);
    // The open document of key; throws when there is none.
    Document& Require(const PathKey& key);
    void Add(const PathKey& key, Document document);
    void Clear();
    // Removes the document of key (if any) from the table and hands it over.
    std::vector<Document> Take(const PathKey& key);
    // Removes every document and hands them over.
    std::vector<Document> TakeAll();
    std::size_t Size() const { return documents_.size(); }

private:
    std::map<PathKey, Document> documents_;
};
