#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// Makes this test process the reaper of orphans, so that an engine left
// behind by a docjoin that has exited becomes visible as our child.
void BecomeReaper();

// Puts this test process at the head of a process group of its own. The
// kernel sends SIGHUP to the stopped processes of a group that no member
// links to a parent outside it (a background job whose shell has ended);
// tests that stop an engine on purpose keep their group linked this way.
void LeadOwnProcessGroup();

// Processes (zombies included) whose parent is this test process; reaps them.
std::vector<pid_t> TakeOrphans();

// True while a process with this id exists (zombies excluded).
bool ProcessAlive(pid_t pid);

// A folder holding a copy of docjoin and, when given, an executable `dochost`
// script beside it, for runs that must meet a stand-in engine (or none).
std::string DocjoinWithEngine(const std::string& folder, const std::string& engineScript);

// A PDF made by pdflatex with hyperref: sections as bookmarks and a form.
void WriteLatexPdf(const std::string& folder, const std::string& name);
