#include "delivery/delivery.h"
#include "delivery/posix/engine_process.h"
#include "wire.h"
#include "front/run_settings.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

// How long each step may take. An execute waits as long as a DDE transaction,
// unless its result is shown (-e): then it waits for the engine's answer, as
// long as closing would, so that a slow command that succeeds is not shown as
// failed. The engine, once started, must answer the opening within a few
// seconds; and closing waits for the engine to finish what it has received,
// but not forever.
constexpr long long ExecuteTimeoutMs = 1000;
constexpr long long OpenTimeoutMs = 5000;
static long long FinishTimeoutMs = 300000;

struct DdeStateRecord {
    int Conversation = -1;
    bool Lost = false;          // the engine hung up or broke the framing
    std::uint32_t LastSent = 0; // sequence number of the last execute sent
    std::uint32_t LastAnswered = 0;
    std::uint32_t LastResult = 0;
    bool LastOk = false;
    bool Accepted = false;
    bool Refused = false;
    bool Done = false;
    std::string Outgoing; // frames not yet taken by the socket, in order
    std::string Incoming;
};

static DdeStateRecord DdeState;

using Clock = std::chrono::steady_clock;

static Clock::time_point After(long long milliseconds)
{
    return Clock::now() + std::chrono::milliseconds(milliseconds);
}

static void HandleFrame(const WireFrame& frame)
{
    switch (frame.kind) {
    case WireAccept:
        DdeState.Accepted = true;
        return;
    case WireRefuse:
        DdeState.Refused = true;
        return;
    case WireDone:
        DdeState.Done = true;
        return;
    case WireResult:
        if (frame.payload.size() == 9) {
            DdeState.LastAnswered = WireGetU32(frame.payload, 0);
            DdeState.LastResult = WireGetU32(frame.payload, 4);
            DdeState.LastOk = frame.payload[8] != 0;
            return;
        }
        break;
    default:
        break;
    }
    DdeState.Lost = true;
}

static void ReadAvailable()
{
    char buffer[4096];
    for (;;) {
        ssize_t got = recv(DdeState.Conversation, buffer, sizeof buffer, 0);
        if (got > 0) {
            DdeState.Incoming.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            DdeState.Lost = true;
        break;
    }
    WireFrame frame;
    WireTake taken;
    while ((taken = WireTakeFrame(DdeState.Incoming, frame)) == WireTake::Frame)
        HandleFrame(frame);
    if (taken == WireTake::Malformed)
        DdeState.Lost = true;
}

static void WriteAvailable()
{
    while (!DdeState.Outgoing.empty()) {
        ssize_t sent = send(DdeState.Conversation, DdeState.Outgoing.data(),
                            DdeState.Outgoing.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            DdeState.Outgoing.erase(0, static_cast<std::size_t>(sent));
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            DdeState.Lost = true;
        return;
    }
}

// Moves frames both ways until reached() holds, the engine is lost, or the
// deadline passes. Returns reached().
template <typename Reached>
static bool Converse(Clock::time_point deadline, Reached reached)
{
    while (!reached()) {
        if (DdeState.Lost || DdeState.Conversation < 0)
            return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd watch{DdeState.Conversation, POLLIN, 0};
        if (!DdeState.Outgoing.empty())
            watch.events |= POLLOUT;
        int ready = poll(&watch, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR)
            DdeState.Lost = true;
        if (ready <= 0)
            continue;
        if (watch.revents & POLLOUT)
            WriteAvailable();
        if (watch.revents & (POLLIN | POLLHUP | POLLERR))
            ReadAvailable();
    }
    return true;
}

int DdeOpen()
{
    DdeState = DdeStateRecord();
    DdeState.Conversation = TakeEngineSocket();
    if (DdeState.Conversation < 0)
        return -1;
    fcntl(DdeState.Conversation, F_SETFL, fcntl(DdeState.Conversation, F_GETFL) | O_NONBLOCK);

    std::string names = std::string(RunSettings.DdeService) + '\0' + RunSettings.DdeTopic;
    WireAppendFrame(DdeState.Outgoing, WireConnect, names);
    if (!Converse(After(OpenTimeoutMs), [] { return DdeState.Accepted || DdeState.Refused; }) ||
        DdeState.Refused) {
        std::printf("Could not connect to server. -- DdeOpen - Error\n");
        close(DdeState.Conversation);
        DdeState.Conversation = -1;
        return -1;
    }
    return 0;
}

// An engine that stays silent for FinishTimeoutMs is hung: every further
// command fails at once instead of waiting its turn.
static void GiveUpOnSilentEngine()
{
    if (DdeState.Lost)
        return;
    std::fprintf(stderr, "docjoin: the engine has not answered for %lld seconds; giving up on it\n",
                 FinishTimeoutMs / 1000);
    DdeState.Lost = true;
}

int DdeExecute(const char* data, std::size_t length, std::uint32_t* result)
{
    *result = 0;
    if (DdeState.Conversation < 0 || DdeState.Lost)
        return 0;
    std::uint32_t sequence = ++DdeState.LastSent;
    std::string payload;
    WirePutU32(payload, sequence);
    payload.append(data, length);
    WireAppendFrame(DdeState.Outgoing, WireExecute, payload);

    // Answers to earlier commands that came after their time-out are passed over.
    bool waitForAnswer = RunSettings.ShowResults != 0;
    if (!Converse(After(waitForAnswer ? FinishTimeoutMs : ExecuteTimeoutMs),
                  [&] { return DdeState.LastAnswered == sequence; })) {
        if (waitForAnswer)
            GiveUpOnSilentEngine();
        return 0;
    }
    *result = DdeState.LastResult;
    return DdeState.LastOk ? 1 : 0;
}

void SetEngineFinishTimeout(long long milliseconds)
{
    FinishTimeoutMs = milliseconds;
}

void DdeWaitForAnswers()
{
    if (DdeState.Conversation < 0 || DdeState.Lost)
        return;
    if (!Converse(After(FinishTimeoutMs),
                  [] { return DdeState.Outgoing.empty() && DdeState.LastAnswered == DdeState.LastSent; }))
        GiveUpOnSilentEngine();
}

void DdeClose()
{
    if (DdeState.Conversation < 0)
        return;
    WireAppendFrame(DdeState.Outgoing, WireClose, {});
    if (!Converse(After(FinishTimeoutMs), [] { return DdeState.Done; }) && !DdeState.Lost)
        std::fprintf(stderr, "docjoin: the engine did not finish within %lld seconds\n",
                     FinishTimeoutMs / 1000);
    close(DdeState.Conversation);
    DdeState.Conversation = -1;
}
