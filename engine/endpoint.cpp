#include "endpoint.h"

#include "office/office_converter.h"
#include "session.h"
#include "vector/ghostscript_server.h"
#include "wire.h"

#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr char Service[] = "acroview";
constexpr char Topic[] = "control";

bool SendAll(int socket, const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool Answer(int socket, char kind, const std::string& payload = {})
{
    std::string frame;
    WireAppendFrame(frame, kind, payload);
    return SendAll(socket, frame);
}

// How long the conversation stays silent before the engine counts as idle:
// longer than docjoin takes between the commands of a join, shorter than the
// pause before its final save.
constexpr int IdleAfterMs = 20;

// True when something (a frame, or the end of the conversation) arrives
// within ms milliseconds.
bool InputWithin(int socket, int ms)
{
    pollfd watch{socket, POLLIN, 0};
    int ready;
    while ((ready = poll(&watch, 1, ms)) < 0 && errno == EINTR) {
    }
    return ready != 0;
}

} // namespace

void StopConverters()
{
    EngineGhostscript().Stop();
    EngineOfficeConverter().Kill();
}

int ServeConversation(int socket, Session& session)
{
    std::string incoming;
    bool connected = false;
    char buffer[65536];
    for (;;) {
        WireFrame frame;
        WireTake taken = WireTakeFrame(incoming, frame);
        if (taken == WireTake::Malformed) {
            std::fprintf(stderr, "dochost: the conversation broke its framing\n");
            return 1;
        }
        if (taken == WireTake::NeedMore) {
            if (session.HasIdleWork() && !InputWithin(socket, IdleAfterMs)) {
                session.DoIdleWork([socket] { return InputWithin(socket, 0); });
                continue;
            }
            ssize_t got = recv(socket, buffer, sizeof buffer, 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                session.Finish();
                return 0; // docjoin is gone: nothing more will come
            }
            incoming.append(buffer, static_cast<std::size_t>(got));
            continue;
        }

        switch (frame.kind) {
        case WireConnect: {
            connected = frame.payload == std::string(Service) + '\0' + Topic;
            if (!Answer(socket, connected ? WireAccept : WireRefuse))
                return 0;
            break;
        }
        case WireExecute: {
            if (frame.payload.size() < 4)
                return 1;
            std::string answer = frame.payload.substr(0, 4);
            bool ok = connected && session.Execute(std::string_view(frame.payload).substr(4));
            // The result word of an acknowledged execute, as DDE reports it.
            WirePutU32(answer, ok ? 0x8000u : 0u);
            answer += static_cast<char>(ok ? 1 : 0);
            if (!Answer(socket, WireResult, answer))
                return 0;
            if (session.ExitRequested())
                return 0;
            break;
        }
        case WireClose:
            // Every command received before the close has been run by now.
            session.Finish();
            StopConverters();
            Answer(socket, WireDone);
            return 0;
        default:
            std::fprintf(stderr, "dochost: unknown frame in the conversation\n");
            return 1;
        }
    }
}
