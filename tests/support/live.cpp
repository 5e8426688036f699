#include "support/live.h"

#include "support/process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

void BecomeReaper()
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
}

void LeadOwnProcessGroup()
{
    if (getpgrp() != getpid() && setpgid(0, 0) != 0)
        throw std::runtime_error(std::string("setpgid failed: ") + std::strerror(errno));
}

std::vector<pid_t> TakeOrphans()
{
    // A task that never ran a program of its own (PF_FORKNOEXEC) is no engine:
    // LeakSanitizer's tracer, cloned by a sanitized dochost at its exit, lands
    // here when docjoin kills that dochost. It is reaped, not reported.
    constexpr unsigned long ForkedWithoutExec = 0x40;
    std::vector<pid_t> orphans, children;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc ? readdir(proc) : nullptr) {
        pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0)
            continue;
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string line;
        std::getline(stat, line);
        std::size_t close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        char state;
        int parent, group, session, tty, terminalGroup;
        unsigned long flags;
        if (std::sscanf(line.c_str() + close + 1, " %c %d %d %d %d %d %lu", &state, &parent, &group, &session, &tty,
                        &terminalGroup, &flags) == 7 &&
            parent == getpid()) {
            children.push_back(pid);
            if (!(flags & ForkedWithoutExec))
                orphans.push_back(pid);
        }
    }
    if (proc)
        closedir(proc);
    for (pid_t child : children) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    return orphans;
}

bool ProcessAlive(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    std::size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

std::string DocjoinWithEngine(const std::string& folder, const std::string& engineScript)
{
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(Docjoin(), folder + "/docjoin", std::filesystem::copy_options::overwrite_existing);
    if (!engineScript.empty()) {
        WriteFile(folder + "/dochost", engineScript);
        chmod((folder + "/dochost").c_str(), 0755);
    }
    return folder + "/docjoin";
}

void WriteLatexPdf(const std::string& folder, const std::string& name)
{
    WriteFile(folder + "/" + name + ".tex", R"(\documentclass{article}
\usepackage{hyperref}
\begin{document}
\section{Introduction}
This document was made by pdflatex.
\newpage
\section{The form}
\begin{Form}
\TextField[name=applicant,width=5cm]{Applicant:}

\TextField[name=city,width=5cm]{City:}
\end{Form}
\subsection{Details}
See section \ref{last} on the last page.
\newpage
\section{Closing words}\label{last}
The end.
\end{document}
)");
    for (int pass = 0; pass < 2; ++pass) {
        RunResult r = RunProgram({"/usr/bin/pdflatex", "-interaction=batchmode", "-halt-on-error", name + ".tex"},
                                 {.cwd = folder, .timeoutSeconds = 120});
        if (r.status != 0)
            throw std::runtime_error("pdflatex failed: " + r.out + r.err);
    }
}
