#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Runs programs the way a user would and captures what they show.

struct RunResult {
    int status = -1; // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

struct RunOptions {
    std::string cwd;                     // empty: the test's own
    std::string input;                   // written to standard input
    std::vector<std::string> extraEnv;   // NAME=value added to the environment
    double timeoutSeconds = 120;         // the program is killed after this
    int uid = -1;                        // run as this user and group (needs root)
    std::uint64_t addressSpaceLimit = 0; // bytes of address space for it and its children; 0: none
};

// The id of the unprivileged user "nobody".
constexpr int NobodyId = 65534;

RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options = {});

// The folder holding the test binary, docjoin and dochost.
std::string BinDir();
std::string Docjoin();

// A fresh folder, removed with everything in it when the object goes.
struct ScratchDir {
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string path;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);
