// dochost: the document engine that docjoin starts and talks to on POSIX.
#include "wire.h"
#include "endpoint.h"
#include "session.h"

#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>

// Pages copied from other files keep those files open until the output is
// written: allow as many open files as the system lets us.
static void RaiseOpenFileLimit()
{
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int main()
{
    // The words docjoin passes ("/n", "/s", "/o": a new, silent instance with
    // no window) describe how dochost always runs; they need no handling.
    struct stat info;
    if (fstat(EngineDescriptor, &info) != 0 || !S_ISSOCK(info.st_mode)) {
        std::fprintf(stderr, "dochost: no conversation on descriptor %d; dochost is started by docjoin\n",
                     EngineDescriptor);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // A file-size limit must fail the write, not kill the engine.
    std::signal(SIGXFSZ, SIG_IGN);
    RaiseOpenFileLimit();
    // A photo's buffers (megabytes of samples, filtered rows, compressed
    // bands) are freed and asked for again with every image: kept by the
    // allocator up to 64 MiB instead of being returned to the system, they
    // are not faulted in page by page once more (half the page faults of a
    // join of photos).
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);

    // The session is never destroyed: the documents still open, or closed
    // and not yet freed, go with the process, and the engine ends at once.
    auto* session = new Session;
    int status = ServeConversation(EngineDescriptor, *session);
    StopConverters();
    std::fflush(nullptr);
    std::_Exit(status);
}
