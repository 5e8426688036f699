#pragma once

#include "document_table.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

class PreparedWrite;

// What one conversation does with the commands it receives.
class Session {
public:
    // Runs the commands of one execute in order, stopping at the first that
    // fails; each failure is reported as one line on standard error. True when
    // every command succeeded.
    bool Execute(std::string_view text);

    // True once AppExit was run: the engine stops after answering.
    bool ExitRequested() const { return exitRequested_; }

    DocumentTable& Documents() { return documents_; }

    // Work the engine does while no command waits: the save of the document
    // changed last is written ahead into an unnamed file, which its DocSave
    // (or a DocSaveAs onto its own file) then puts in place if the document
    // has not changed since; and closed documents are freed. stop is asked
    // now and then: when it says true (a command came), the work is put off
    // to the next idle moment.
    bool HasIdleWork();
    void DoIdleWork(const std::function<bool()>& stop);

    // Gives every file this session made a second name of (below) a file of
    // its own. Run when the conversation ends, and at AppExit.
    void Finish();

    Session();
    ~Session();

private:
    void Run(const struct ParsedCommand& command);
    void Save(Document& document, const PathKey& target);
    void Open(const PathKey& key);
    void InsertPages(const PathKey& target, long long after, const PathKey& source);
    void Changed(const PathKey& key, Document& document);
    void Close(std::vector<Document> documents);
    bool CommitWriteAhead(Document& document, const PathKey& target);
    Document* WriteAheadCandidate();

    DocumentTable documents_;
    bool exitRequested_ = false;
    // Files this session wrote from a document that reads a file of its own,
    // by key, while they stay as written: inserting the pages of one takes
    // them from that document instead of reading the file again.
    struct Written {
        FileIdentity identity;
        std::shared_ptr<QPDF> pdf;
        bool readsFiles;
    };
    std::map<PathKey, Written> written_;

    // Intermediates saved from an unchanged PDF as a second name of its file
    // (a hard link), by key, as linked. One is given a file of its own when it
    // is opened as a document or when the session ends, so that no output is
    // ever a second name of an input.
    std::map<PathKey, FileIdentity> linked_;
    void Unlink(PathKey key);

    // The document changed last, by key, and the write made ahead of its save:
    // of which document, at which revision (done, or tried and failed).
    std::optional<PathKey> lastChanged_;
    struct WriteAhead {
        const QPDF* pdf = nullptr;
        unsigned long long revision = 0;
        std::unique_ptr<PreparedWrite> write;
    } ahead_;
    // Closed documents, freed while the engine is idle (or never, when the
    // engine ends first: its memory goes with it).
    std::vector<Document> closed_;
};
