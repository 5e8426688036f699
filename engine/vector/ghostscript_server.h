#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>

// One Ghostscript (pdfwrite) kept running in the sandbox between PostScript
// files, so that only the first file pays for its start. It starts with the
// first file; each file is a job of its own: handed over in a
// file in memory, run under save and restore at the outermost level (so that
// nothing a file defines, in local or global memory, nor its page device,
// reaches the next file), and its PDF read back from another. A job that overruns its time limit, or a Ghostscript that dies, is
// killed, and the next file starts a new one. Nothing of it is on the disk
// outside the sandbox, and the sandbox dies with the engine.
class GhostscriptServer {
public:
    GhostscriptServer() = default;
    ~GhostscriptServer();
    GhostscriptServer(const GhostscriptServer&) = delete;
    GhostscriptServer& operator=(const GhostscriptServer&) = delete;

    // The PDF that pdfwrite makes of a PostScript program (an EPS is cropped
    // to its bounding box). Throws with the reason when Ghostscript is
    // missing, stops the program with an error, dies, or overruns limit.
    std::string Convert(const std::string& program, std::chrono::milliseconds limit);

    // Ends Ghostscript, if it runs (the next file starts another).
    void Stop();

    // The running Ghostscript's process (its sandbox), or -1.
    pid_t ProcessId() const { return pid_; }
    // Called once a job is on its way to Ghostscript (for tests).
    std::function<void()> afterRequest;

private:
    void Start(const std::string& gs);

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int programFile_ = -1; // in memory: the job's program, its descriptor 3
    int pdfFile_ = -1;     // in memory: the job's PDF, its descriptor 4
    std::string program_; // the Ghostscript it runs
    std::string pending_; // read from it, not yet used
};

// The server of this engine, made at its first use.
GhostscriptServer& EngineGhostscript();
