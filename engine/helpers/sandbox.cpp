#include "helpers/sandbox.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::string FindBubblewrap()
{
    std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    path += ":/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos)
            end = path.size();
        std::string folder = path.substr(start, end - start);
        if (!folder.empty() && folder[0] == '/') {
            std::string candidate = folder + "/bwrap";
            if (access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
        start = end + 1;
    }
    throw std::runtime_error("bubblewrap (bwrap) is needed to run converters; install the bubblewrap package");
}

// The files of /etc that programs and libraries read: the dynamic linker's
// cache, fonts, alternatives behind /usr/bin links, the converters' own
// settings, time zone, users and groups (no secrets: no shadow files).
const char* const SystemEtc[] = {
    "/etc/ld.so.cache", "/etc/ld.so.conf", "/etc/ld.so.conf.d", "/etc/fonts", "/etc/alternatives",
    "/etc/libreoffice", "/etc/ghostscript", "/etc/papersize", "/etc/localtime", "/etc/passwd",
    "/etc/group", "/etc/nsswitch.conf", "/etc/mime.types",
};

// The top-level folders of the system's programs and libraries, links into
// /usr on a merged system.
const char* const SystemTop[] = {"/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32"};

std::vector<std::string> SandboxArguments(const std::string& bwrap, const std::vector<std::string>& argv,
                                          const SandboxAccess& allowed)
{
    std::string home = allowed.home.empty() ? "/tmp/home" : allowed.home;
    std::vector<std::string> args = {bwrap, "--unshare-all", "--die-with-parent", "--new-session", "--clearenv",
                                     "--setenv", "PATH", "/usr/bin:/bin", "--setenv", "LANG", "C.UTF-8",
                                     "--setenv", "HOME", home, "--ro-bind", "/usr", "/usr"};
    for (const std::string& variable : allowed.environment) {
        std::size_t equals = variable.find('=');
        if (equals == std::string::npos || equals == 0)
            throw std::invalid_argument("not NAME=value: " + variable);
        args.insert(args.end(), {"--setenv", variable.substr(0, equals), variable.substr(equals + 1)});
    }
    for (const char* top : SystemTop) {
        char target[4096];
        ssize_t length = readlink(top, target, sizeof target - 1);
        if (length > 0)
            args.insert(args.end(), {"--symlink", std::string(target, static_cast<std::size_t>(length)), top});
        else
            args.insert(args.end(), {"--ro-bind-try", top, top});
    }
    for (const char* file : SystemEtc)
        args.insert(args.end(), {"--ro-bind-try", file, file});
    args.insert(args.end(), {"--proc", "/proc", "--dev", "/dev", "--tmpfs", "/tmp"});
    if (allowed.home.empty())
        args.insert(args.end(), {"--dir", home});
    for (const std::string& path : allowed.readOnly)
        args.insert(args.end(), {"--ro-bind", path, path});
    for (const std::string& path : allowed.writable)
        args.insert(args.end(), {"--bind", path, path});
    args.insert(args.end(), {"--chdir", home, "--"});
    args.insert(args.end(), argv.begin(), argv.end());
    return args;
}

void CloseQuietly(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// In the child, between fork and exec: only calls that are safe there.
[[noreturn]] void ExecInChild(char* const* args, int in, int out, int err, int report, std::uint64_t memoryLimit,
                             const std::vector<int>& passed, pid_t parent)
{
    // Tied to the engine: killed when it ends, however it ends.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    // The pipe that reports a failed exec, out of the way of the numbers the
    // files passed on take; it closes by itself when the exec succeeds.
    int keep = fcntl(report, F_DUPFD_CLOEXEC, 100);
    if (keep < 0)
        _exit(127);
    // The files passed on, first out of the way of their numbers, then at them.
    int moved[16];
    std::size_t count = passed.size() < 16 ? passed.size() : 16;
    for (std::size_t i = 0; i < count; ++i)
        if ((moved[i] = fcntl(passed[i], F_DUPFD_CLOEXEC, 200)) < 0)
            _exit(127);
    for (std::size_t i = 0; i < count; ++i)
        if (dup2(moved[i], 3 + static_cast<int>(i)) < 0)
            _exit(127);
    int first = 3 + static_cast<int>(count);
    // Nothing of the engine's (its conversation, its documents' files)
    // reaches the helper but that pipe.
    if (syscall(SYS_close_range, static_cast<unsigned>(first), static_cast<unsigned>(keep - 1), 0U) != 0 ||
        syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0U, 0U) != 0) {
        for (int fd = first; fd < 65536; ++fd)
            if (fd != keep)
                close(fd);
    }
    report = keep;
    struct sigaction defaults;
    std::memset(&defaults, 0, sizeof defaults);
    defaults.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &defaults, nullptr);
    sigaction(SIGXFSZ, &defaults, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (memoryLimit != 0) {
        rlimit limit{memoryLimit, memoryLimit};
        setrlimit(RLIMIT_AS, &limit);
    }
    execv(args[0], args);
    int error = errno;
    if (write(report, &error, sizeof error) < 0)
        _exit(127);
    _exit(127);
}

} // namespace

HelperProcess StartSandboxed(const std::vector<std::string>& argv, const SandboxAccess& allowed, bool pipes, bool quiet)
{
    if (argv.empty())
        throw std::invalid_argument("no program to start");
    if (allowed.descriptors.size() > 16)
        throw std::invalid_argument("too many files for a helper");
    std::vector<std::string> args = SandboxArguments(FindBubblewrap(), argv, allowed);
    std::vector<char*> pointers;
    for (std::string& arg : args)
        pointers.push_back(arg.data());
    pointers.push_back(nullptr);

    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0)
        throw std::runtime_error(std::string("cannot open /dev/null: ") + std::strerror(errno));
    int toChild[2] = {-1, -1};
    int fromChild[2] = {-1, -1};
    if (pipes && (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)) {
        int error = errno;
        for (int fd : {null, toChild[0], toChild[1], fromChild[0], fromChild[1]})
            if (fd >= 0)
                close(fd);
        throw std::runtime_error(std::string("cannot make pipes for a helper: ") + std::strerror(error));
    }
    int in = pipes ? toChild[0] : null;
    int out = pipes ? fromChild[1] : null;
    int err = quiet ? null : 2;

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        int error = errno;
        for (int fd : {null, toChild[0], toChild[1], fromChild[0], fromChild[1]})
            if (fd >= 0)
                close(fd);
        throw std::runtime_error(std::string("cannot make pipes for a helper: ") + std::strerror(error));
    }

    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0)
        ExecInChild(pointers.data(), in, out, err, report[1], allowed.memoryLimit, allowed.descriptors, parent);
    int error = errno;
    close(null);
    close(report[1]);
    HelperProcess helper;
    if (pipes) {
        close(toChild[0]);
        close(fromChild[1]);
        helper.input = toChild[1];
        helper.output = fromChild[0];
    }
    if (pid < 0) {
        close(report[0]);
        CloseQuietly(helper.input);
        CloseQuietly(helper.output);
        throw std::runtime_error(std::string("cannot start a helper: ") + std::strerror(error));
    }
    helper.pid = pid;
    // The report pipe ends without a word once bubblewrap runs.
    int execError = 0;
    ssize_t got;
    while ((got = read(report[0], &execError, sizeof execError)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    if (got == static_cast<ssize_t>(sizeof execError)) {
        StopHelper(helper);
        throw std::runtime_error(std::string("cannot start bubblewrap: ") + std::strerror(execError));
    }
    return helper;
}

bool WaitOrKill(HelperProcess& helper, std::chrono::milliseconds timeout, int& status)
{
    status = 0;
    if (helper.pid < 0)
        return true;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, helper.pid, 0));
    for (;;) {
        pid_t done = waitpid(helper.pid, &status, WNOHANG);
        if (done == helper.pid || (done < 0 && errno != EINTR)) {
            if (pidfd >= 0)
                close(pidfd);
            helper.pid = -1;
            CloseQuietly(helper.input);
            CloseQuietly(helper.output);
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        if (pidfd >= 0) {
            pollfd wait{pidfd, POLLIN, 0};
            poll(&wait, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        } else {
            std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(10)));
        }
    }
    if (pidfd >= 0)
        close(pidfd);
    StopHelper(helper);
    return false;
}

void StopHelper(HelperProcess& helper)
{
    CloseQuietly(helper.input);
    CloseQuietly(helper.output);
    if (helper.pid < 0)
        return;
    // bubblewrap takes everything in the sandbox with it.
    kill(helper.pid, SIGKILL);
    while (waitpid(helper.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    helper.pid = -1;
}

bool WaitReadable(int fd, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd wait{fd, POLLIN, 0};
        int ready = poll(&wait, 1, static_cast<int>(std::max<long long>(0, std::min<long long>(left.count(), 1 << 30))));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

std::chrono::milliseconds TimeLeft(std::chrono::steady_clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? left : std::chrono::milliseconds(0);
}

HelperIo WriteToHelper(int fd, std::string_view bytes, std::chrono::steady_clock::time_point deadline)
{
    while (!bytes.empty()) {
        ssize_t put = write(fd, bytes.data(), bytes.size());
        if (put > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(put));
            continue;
        }
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0 && errno == EAGAIN) {
            pollfd ready{fd, POLLOUT, 0};
            int polled = poll(&ready, 1, static_cast<int>(TimeLeft(deadline).count()));
            if (polled > 0 || (polled < 0 && errno == EINTR))
                continue;
            return HelperIo::TimedOut;
        }
        return HelperIo::Closed;
    }
    return HelperIo::Done;
}

HelperIo ReadFromHelper(int fd, std::string& pending, std::chrono::steady_clock::time_point deadline)
{
    if (!WaitReadable(fd, TimeLeft(deadline)))
        return HelperIo::TimedOut;
    char buffer[1 << 16];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            pending.append(buffer, static_cast<std::size_t>(got));
            return HelperIo::Done;
        }
        if (got < 0 && errno == EINTR)
            continue;
        return got < 0 && errno == EAGAIN ? HelperIo::Done : HelperIo::Closed;
    }
}
