#pragma once

#include <string>
#include <vector>

// The full paths a join works on, resolved once before the first command.
struct JoinPaths {
    std::vector<std::string> names; // the file names as given, for the progress line
    std::string output;
    std::vector<std::string> inputs;        // in command-line order
    std::vector<std::string> intermediates; // input + ".pdf"; none for the first input
};

// Resolves the file names argv[1] .. argv[argc - 1] and the output name. A name
// with a control character, or one whose path or commands would not fit a
// command, is refused with one line on standard error, and false is returned.
bool ResolveJoin(int argc, char** argv, const char* outputName, JoinPaths& paths);

// For a live join: refuses (one line on standard error, false) a join that
// would overwrite or delete a file the user did not name as the output.
bool CheckJoinTargets(const JoinPaths& paths);

// Emits the join sequence; in a live run each intermediate is removed once the
// application is done with it.
void JoinFiles(const JoinPaths& paths);
