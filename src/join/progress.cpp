#include "join/progress.h"

#include "command_text.h"
#include "front/terminal.h"

#include <cstdio>

namespace {

// Joins of this many inputs or fewer end too soon to need a progress line.
constexpr std::size_t FewInputs = 3;

struct ProgressRecord {
    bool Shown = false;
    std::size_t Inputs = 0;
};

ProgressRecord Progress;

} // namespace

void ProgressBegin(std::size_t inputs, bool echoing)
{
    Progress = ProgressRecord{inputs > FewInputs && !echoing && StandardErrorIsTerminal(), inputs};
}

void ProgressStep(std::size_t number, const std::string& name)
{
    if (!Progress.Shown)
        return;
    std::string line = std::to_string(number) + " of " + std::to_string(Progress.Inputs) + ": " + PrintableName(name);
    int columns = StandardErrorColumns();
    std::size_t room = std::size_t(columns > 1 ? columns - 1 : 1);
    if (line.size() > room)
        line = line.substr(0, room);
    // Back to the start of the line, the new text, and the rest of the old one cleared.
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    std::fflush(stderr);
}

void ProgressEnd()
{
    if (!Progress.Shown)
        return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    Progress.Shown = false;
}
