#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// Makes this test process the reaper of orphans, so that an engine left
// behind by a docjoin that has exited becomes visible as our child.
void BecomeReaper();

// Processes (zombies included) whose parent is this test process; reaps them.
std::vector<pid_t> TakeOrphans();

// True while a process with this id exists (zombies excluded).
bool ProcessAlive(pid_t pid);

// A folder holding a copy of docjoin and, when given, an executable `dochost`
// script beside it, for runs that must meet a stand-in engine (or none).
std::string DocjoinWithEngine(const std::string& folder, const std::string& engineScript);

// A PDF made by pdflatex with hyperref: sections as bookmarks and a form.
void WriteLatexPdf(const std::string& folder, const std::string& name);
