#include "delivery/delivery.h"
#include "delivery/posix/engine_process.h"
#include "wire.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

// The engine started for this run and the launcher's end of its conversation.
struct AcrobatProcessRecord {
    pid_t Pid = 0;
    int Socket = -1;
};

static AcrobatProcessRecord AcrobatProcess;

static const char EngineName[] = "dochost";
static const char Caption[] = "BuildIndex - Error";

// A message box has no place on POSIX: its caption and text go to standard error.
static void ShowMessage(const char* text)
{
    std::fprintf(stderr, "%s: %s\n", Caption, text);
}

static std::string Directory(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// dochost beside the running executable first, then the first executable one on PATH.
static bool FindEngine(std::string& engine)
{
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        self[length] = '\0';
        engine = Directory(self) + "/" + EngineName;
        if (access(engine.c_str(), F_OK) == 0)
            return true;
    }
    const char* path = std::getenv("PATH");
    if (path == nullptr)
        return false;
    std::string entries(path);
    std::size_t start = 0;
    while (start <= entries.size()) {
        std::size_t end = entries.find(':', start);
        if (end == std::string::npos)
            end = entries.size();
        std::string directory = entries.substr(start, end - start);
        engine = (directory.empty() ? std::string(".") : directory) + "/" + EngineName;
        if (access(engine.c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

static int SpawnEngine(const std::string& engine, int engineEnd, pid_t& pid)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, engineEnd, EngineDescriptor);
    // Nothing else of ours (script streams, other descriptors) reaches the engine.
    posix_spawn_file_actions_addclosefrom_np(&actions, EngineDescriptor + 1);

    char* arguments[] = {const_cast<char*>(engine.c_str()), const_cast<char*>("/n"),
                         const_cast<char*>("/s"), const_cast<char*>("/o"), nullptr};
    int error = posix_spawn(&pid, engine.c_str(), &actions, nullptr, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    return error;
}

void BuildIndex()
{
    AcrobatProcess = AcrobatProcessRecord();

    std::string engine;
    if (!FindEngine(engine)) {
        ShowMessage("Acrobat is not installed. Aborting...");
        return;
    }

    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        ShowMessage(std::strerror(errno));
        return;
    }
    // dup2 onto the same number would keep close-on-exec set: keep the
    // engine's end off the number it must arrive on.
    if (ends[1] == EngineDescriptor) {
        int moved = fcntl(ends[1], F_DUPFD_CLOEXEC, EngineDescriptor + 1);
        close(ends[1]);
        ends[1] = moved;
    }

    pid_t pid = 0;
    int error = ends[1] < 0 ? errno : SpawnEngine(engine, ends[1], pid);
    if (ends[1] >= 0)
        close(ends[1]);
    if (error != 0) {
        close(ends[0]);
        ShowMessage(std::strerror(error));
        return;
    }
    // A dead engine must show as a failed command, never stop docjoin.
    std::signal(SIGPIPE, SIG_IGN);
    AcrobatProcess.Pid = pid;
    AcrobatProcess.Socket = ends[0];
}

bool AcrobatStarted()
{
    return AcrobatProcess.Pid != 0;
}

int TakeEngineSocket()
{
    int socket = AcrobatProcess.Socket;
    AcrobatProcess.Socket = -1;
    return socket;
}

int EnginePid()
{
    return AcrobatProcess.Pid;
}

void TerminateAcrobat()
{
    if (AcrobatProcess.Socket >= 0)
        close(TakeEngineSocket());
    if (AcrobatProcess.Pid == 0)
        return;
    kill(AcrobatProcess.Pid, SIGKILL);
    while (waitpid(AcrobatProcess.Pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    AcrobatProcess.Pid = 0;
}
