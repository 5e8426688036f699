#include "support/stderr_capture.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

#include "support/process.h"

namespace {

// Standard error as it was before the capture, and the file it goes to now.
int saved = -1;
std::string capturePath;

} // namespace

void CaptureStderr()
{
    if (saved >= 0)
        throw std::logic_error("standard error is captured already");
    const char* tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/stderr-XXXXXX";
    int fd = mkstemp(path.data());
    if (fd < 0)
        throw std::runtime_error("cannot make a file to capture standard error in");
    std::fflush(stderr);
    saved = dup(STDERR_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
    capturePath = path;
}

std::string CapturedStderr()
{
    if (saved < 0)
        throw std::logic_error("standard error is not captured");
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    saved = -1;
    std::string text = ReadFile(capturePath);
    unlink(capturePath.c_str());
    return text;
}
