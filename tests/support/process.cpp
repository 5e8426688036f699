#include "support/process.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

std::string BinDir()
{
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        throw std::runtime_error("cannot find the test binary");
    self[length] = '\0';
    std::string path(self);
    return path.substr(0, path.rfind('/'));
}

std::string Docjoin()
{
    return BinDir() + "/docjoin";
}

RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options)
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");

    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e)
        environment.emplace_back(*e);
    for (const std::string& extra : options.extraEnv) {
        std::string name = extra.substr(0, extra.find('=') + 1);
        std::erase_if(environment, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
        environment.push_back(extra);
    }
    std::vector<char*> envp, args;
    for (std::string& e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> words = argv;
    for (std::string& w : words)
        args.push_back(w.data());
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (options.uid >= 0 &&
            (setgroups(0, nullptr) != 0 || setgid(gid_t(options.uid)) != 0 || setuid(uid_t(options.uid)) != 0))
            _exit(125);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
            _exit(126);
        if (options.addressSpaceLimit > 0) {
            rlimit limit{rlim_t(options.addressSpaceLimit), rlim_t(options.addressSpaceLimit)};
            if (setrlimit(RLIMIT_AS, &limit) != 0)
                _exit(124);
        }
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);

    RunResult result;
    std::size_t written = 0;
    int inFd = in[1];
    if (options.input.empty()) {
        close(inFd);
        inFd = -1;
    }
    signal(SIGPIPE, SIG_IGN);
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(static_cast<long long>(options.timeoutSeconds * 1000));
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        // A stream at its end is left out: its hang-up would wake every poll.
        pollfd fds[3] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}, {inFd, POLLOUT, 0}};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, inFd >= 0 ? 3 : 2, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        char buffer[65536];
        for (int i = 0; i < 2; ++i) {
            bool& open = i == 0 ? outOpen : errOpen;
            if (!open || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got <= 0)
                open = false;
            else
                (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(got));
        }
        if (inFd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t sent = write(inFd, options.input.data() + written, options.input.size() - written);
            if (sent > 0)
                written += static_cast<std::size_t>(sent);
            if (sent <= 0 || written == options.input.size()) {
                close(inFd);
                inFd = -1;
            }
        }
    }
    if (inFd >= 0)
        close(inFd);
    close(out[0]);
    close(err[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

ScratchDir::ScratchDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/docjoin-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    // Make folders a test closed to writing removable again.
    for (auto& entry : std::filesystem::recursive_directory_iterator(path, ignored)) {
        if (entry.is_directory(ignored))
            chmod(entry.path().c_str(), 0700);
    }
    chmod(path.c_str(), 0700);
    std::filesystem::remove_all(path, ignored);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file)
        throw std::runtime_error("cannot write " + path);
}

bool Exists(const std::string& path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}
