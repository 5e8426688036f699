// The sandbox that converters run in: what a helper can see, reach and
// outlive.
#include "helpers/sandbox.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct TempFolder {
    fs::path path;
    TempFolder()
    {
        char name[] = "/tmp/sandbox-test-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempFolder() { fs::remove_all(path); }
};

std::string ReadAll(int fd)
{
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(got));
    return text;
}

// Runs a shell script in the sandbox and returns what it printed.
std::string RunScript(const std::string& script, const SandboxAccess& allowed, const std::vector<std::string>& args = {})
{
    std::vector<std::string> argv = {"/bin/sh", "-c", script, "sh"};
    argv.insert(argv.end(), args.begin(), args.end());
    HelperProcess helper = StartSandboxed(argv, allowed, true, true);
    close(helper.input);
    helper.input = -1;
    std::string output = ReadAll(helper.output);
    int status;
    EXPECT_TRUE(WaitOrKill(helper, 30s, status));
    return output;
}

// Whether a process whose command line holds text runs (or, with start,
// begins with it).
bool ProcessRuns(const std::string& text, bool start = false)
{
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::ifstream in(entry.path() / "cmdline", std::ios::binary);
        std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::size_t at = cmdline.find(text);
        if (at != std::string::npos && (!start || at == 0))
            return true;
    }
    return false;
}

} // namespace

TEST(Sandbox, SeesOnlyWhatItIsGiven)
{
    TempFolder input, output, hidden;
    std::ofstream(input.path / "in.txt") << "the input\n";
    std::ofstream(hidden.path / "secret.txt") << "not for converters\n";
    setenv("DOCJOIN_TEST_SECRET", "1", 1);
    SandboxAccess allowed;
    allowed.readOnly = {(input.path / "in.txt").string()};
    allowed.writable = {output.path.string()};
    allowed.environment = {"CONVERTER_MODE=batch"};
    std::string printed = RunScript("cat \"$1\"; "
                                    "(echo changed > \"$1\") 2>/dev/null && echo wrote-input; "
                                    "echo made > \"$2/out.txt\"; "
                                    "test -e \"$3\" && echo sees-hidden; "
                                    "test -e \"$4\" && echo sees-engine-home; "
                                    "echo \"home=$HOME mode=$CONVERTER_MODE secret=${DOCJOIN_TEST_SECRET:-none}\"",
                                    allowed,
                                    {(input.path / "in.txt").string(), output.path.string(),
                                     (hidden.path / "secret.txt").string(),
                                     std::getenv("HOME") != nullptr ? std::getenv("HOME") : "/root"});
    unsetenv("DOCJOIN_TEST_SECRET");
    EXPECT_EQ(printed, "the input\nhome=/tmp/home mode=batch secret=none\n");
    std::ifstream made(output.path / "out.txt");
    std::string line;
    std::getline(made, line);
    EXPECT_EQ(line, "made");
    std::ifstream kept(input.path / "in.txt");
    std::getline(kept, line);
    EXPECT_EQ(line, "the input");
}

// Files the engine hands over are the helper's descriptors 3, 4, ... in
// order, whatever numbers they have in the engine; nothing else of its is.
TEST(Sandbox, FilesHandedOverAreTheHelpersThirdAndOn)
{
    int first = memfd_create("first", MFD_CLOEXEC), second = memfd_create("second", MFD_CLOEXEC);
    int other = memfd_create("other", 0); // not handed over, and not closed on exec
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    ASSERT_GE(other, 0);
    ASSERT_EQ(write(first, "one\n", 4), 4);
    ASSERT_EQ(write(second, "two\n", 4), 4);
    SandboxAccess allowed;
    allowed.descriptors = {second, first};
    std::string printed = RunScript("cat /dev/fd/3 /dev/fd/4; echo written >> /dev/fd/4; "
                                    "test -e /dev/fd/5 && echo more; test -e \"/dev/fd/$1\" && echo other",
                                    allowed, {std::to_string(other)});
    EXPECT_EQ(printed, "two\none\n");
    char back[32] = {};
    EXPECT_EQ(pread(first, back, sizeof back - 1, 0), 12);
    EXPECT_STREQ(back, "one\nwritten\n");
    for (int fd : {first, second, other})
        close(fd);
}

TEST(Sandbox, HasNoNetwork)
{
    int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(server, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(server, 4), 0);
    socklen_t length = sizeof address;
    getsockname(server, reinterpret_cast<sockaddr*>(&address), &length);
    std::string port = std::to_string(ntohs(address.sin_port));

    // The same request from outside the sandbox reaches the server.
    std::string outside = "bash -c 'echo hello > /dev/tcp/127.0.0.1/" + port + "'";
    ASSERT_EQ(std::system(outside.c_str()), 0);
    int first = accept(server, nullptr, nullptr);
    ASSERT_GE(first, 0);
    close(first);

    SandboxAccess allowed;
    std::string printed = RunScript("bash -c \"echo hello > /dev/tcp/127.0.0.1/$1\" 2>/dev/null && echo connected; "
                                    "cat /proc/net/dev | tail -n +3 | cut -d: -f1 | tr -d ' '",
                                    allowed, {port});
    EXPECT_EQ(printed, "lo\n") << "only a loopback of its own";
    pollfd pending{server, POLLIN, 0};
    EXPECT_EQ(poll(&pending, 1, 0), 0) << "the server got a connection from the sandbox";
    close(server);
}

TEST(Sandbox, MemoryIsCapped)
{
    SandboxAccess allowed;
    allowed.memoryLimit = 512ull << 20;
    EXPECT_EQ(RunScript("ulimit -v", allowed), "524288\n");
}

TEST(Sandbox, HelperOverItsTimeIsKilled)
{
    SandboxAccess allowed;
    HelperProcess helper = StartSandboxed({"/bin/sleep", "60"}, allowed, true, true);
    pid_t pid = helper.pid;
    int status;
    EXPECT_FALSE(WaitOrKill(helper, 200ms, status));
    EXPECT_EQ(helper.pid, -1);
    EXPECT_EQ(helper.input, -1);
    EXPECT_EQ(kill(pid, 0), -1) << "killed and reaped";

    HelperProcess quick = StartSandboxed({"/bin/sh", "-c", "exit 3"}, allowed, false, true);
    ASSERT_TRUE(WaitOrKill(quick, 30s, status));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    StopHelper(quick); // twice is harmless
}

TEST(Sandbox, HelperDiesWithTheEngine)
{
    // A stand-in engine starts a helper and is killed; the helper must go too.
    std::string marker = std::to_string(1000 + getpid() % 1000) + ".25";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t engine = fork();
    if (engine == 0) {
        SandboxAccess allowed;
        HelperProcess helper = StartSandboxed({"/bin/sleep", marker}, allowed, false, true);
        (void)helper;
        char byte = 1;
        if (write(ready[1], &byte, 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    // The helper itself, not bubblewrap setting its sandbox up.
    std::string helper = std::string("/bin/sleep") + '\0' + marker;
    for (int i = 0; i < 1000 && !ProcessRuns(helper, true); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(ProcessRuns(helper, true)) << "the helper never ran";
    kill(engine, SIGKILL);
    waitpid(engine, nullptr, 0);
    bool gone = false;
    for (int i = 0; i < 1000 && !gone; ++i) {
        gone = !ProcessRuns(marker);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(gone) << "the helper outlived the engine";
}

TEST(Sandbox, WaitReadableSeesDataAndSilence)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_FALSE(WaitReadable(fds[0], 10ms));
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    EXPECT_TRUE(WaitReadable(fds[0], 10ms));
    close(fds[0]);
    close(fds[1]);
}
