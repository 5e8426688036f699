#pragma once

// Outside programs that the engine runs on untrusted documents (converters)
// run inside a bubblewrap sandbox: no network, a fresh /tmp, their own
// process namespace, the system's programs and libraries read-only, and of
// the user's files only what the caller names. They die with the engine,
// even when the engine is killed.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// What a sandboxed helper may see besides the system's programs and
// libraries (/usr and the few files of /etc they read).
struct SandboxAccess {
    std::vector<std::string> readOnly; // files or folders, seen read-only at their own paths
    std::vector<std::string> writable; // folders, seen writable at their own paths
    std::uint64_t memoryLimit = 0;     // bytes of address space (RLIMIT_AS); 0: no limit
    std::string home;                  // HOME inside the sandbox (one of the writable folders), or empty for an empty private one
    std::vector<std::string> environment; // NAME=value set inside, besides PATH, LANG and HOME (nothing else is passed)
    std::vector<int> descriptors;         // the engine's files the helper gets, as its descriptors 3, 4, ... in order
};

// A helper started in the sandbox.
struct HelperProcess {
    pid_t pid = -1;
    int input = -1;  // writes go to the helper's standard input (-1 when not asked for)
    int output = -1; // reads come from the helper's standard output (-1 when not asked for)
};

// Starts argv (argv[0] a full path, under /usr or named in allowed) in the
// sandbox. With pipes, its standard input and output are pipes to the engine,
// else /dev/null; its standard error is the engine's own unless quiet. Throws
// std::runtime_error with the reason when it cannot be started. Call it from
// the engine's main thread: the helper is tied to the life of the thread that
// starts it. (An engine killed in the few milliseconds while bubblewrap sets
// the sandbox up can leave it behind; once the helper runs, it cannot.)
HelperProcess StartSandboxed(const std::vector<std::string>& argv, const SandboxAccess& allowed, bool pipes, bool quiet);

// Waits up to timeout for the helper to end: true with its wait status; false
// when it was still running, after which it has been killed and reaped.
// Either way its pipes are closed and it is no longer running.
bool WaitOrKill(HelperProcess& helper, std::chrono::milliseconds timeout, int& status);

// Writing to the input of a helper that has ended raises SIGPIPE, which the
// engine ignores (the write fails with EPIPE).

// Kills the helper and its whole sandbox, reaps it and closes its pipes; safe
// to call twice.
void StopHelper(HelperProcess& helper);

// Whether fd becomes readable (or reaches its end) within timeout.
bool WaitReadable(int fd, std::chrono::milliseconds timeout);

// The time from now to deadline, none once it has passed.
std::chrono::milliseconds TimeLeft(std::chrono::steady_clock::time_point deadline);

// How an exchange with a helper over its pipes ended.
enum class HelperIo { Done, TimedOut, Closed };
// Writes all of bytes to fd (blocking or not) by deadline.
HelperIo WriteToHelper(int fd, std::string_view bytes, std::chrono::steady_clock::time_point deadline);
// Appends what fd holds to pending, once it holds something, waiting for
// that until deadline (Done with nothing appended when the wake was spurious).
HelperIo ReadFromHelper(int fd, std::string& pending, std::chrono::steady_clock::time_point deadline);
