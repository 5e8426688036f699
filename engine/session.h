#pragma once

#include "document_table.h"

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
    DocumentTable documents_;
    bool exitRequested_ = false;
};
