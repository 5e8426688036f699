#pragma once

#include "document_table.h"

#include <map>
#include <string_view>

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

private:
    void Run(const struct ParsedCommand& command);
    void Save(Document& document, const std::string& path);
    void Open(const std::string& path);
    void InsertPages(const std::string& target, long long after, const std::string& source);

    DocumentTable documents_;
    bool exitRequested_ = false;
    // Files this session wrote from a document that reads a file of its own,
    // by key, while they stay as written: inserting the pages of one takes
    // them from that document instead of reading the file again.
    struct Written {
        FileIdentity identity;
        std::shared_ptr<QPDF> pdf;
    };
    std::map<std::string, Written> written_;
};
