#include "vector/ghostscript_server.h"

#include "helpers/sandbox.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <filesystem>
#include <poll.h>
#include <random>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t MemoryLimit = std::uint64_t(4) << 30;
constexpr const char* FontCache = "/var/cache/fontconfig";
// The sandbox's own private folder (on its memory file system), where
// pdfwrite writes between jobs.
constexpr const char* Folder = "/tmp/home";

// What Ghostscript is given first: the procedures that run one job.
//   (token) dochost_job
// points pdfwrite at the output file (descriptor 4) and runs the program in
// the input file (descriptor 3) under a save made at the outermost level
// (Ghostscript is started without its own outer save), which restore undoes
// in local and global memory, page device and user parameters included; it
// then closes the output. It answers on standard output, after whatever the
// program printed itself:
//   token error <name>        when the program stopped with an error
//   token done
// What runs after the program takes nothing from the operand stack or from
// a dictionary the program could have changed, only from the procedure it
// runs from.
const char* const Driver = R"PS(
/dochost_in (/dev/fd/3) def
/dochost_out (/dev/fd/4) def
/dochost_idle (/tmp/home/idle.pdf) def
/dochost_run { % -> the name of the error the program stopped with, or null
  $error /newerror false put
  userdict /quit /stop load put
  { dochost_in run } stopped
  { $error /newerror get { $error /errorname get =string cvs dup length string copy } { null } ifelse } { null } ifelse
  userdict /dochost_result 3 -1 roll put clear userdict /dochost_result get
} bind def
/dochost_settle { % count -> ; ends the dictionaries the program left begun
  countdictstack exch sub { end } repeat
} bind def
/dochost_report { % result token ->
  exch dup null eq { pop pop } { exch print ( error ) print print (\n) print } ifelse
} bind def
/dochost_end { % token save ->
  restore
  << /OutputFile dochost_idle >> setpagedevice
  print ( done\n) print flush
} bind def
/dochost_job { % token ->
  /dochost_token exch def
  << /OutputFile dochost_out >> setpagedevice
  [ /dochost_run cvx countdictstack /dochost_settle cvx dochost_token /dochost_report cvx
    dochost_token null /dochost_end cvx ] dup 6 save put cvx readonly exec
} bind def
)PS";

std::string FindGhostscript()
{
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr && *path != '\0' ? path : "/usr/bin:/bin";
    std::istringstream list(folders);
    for (std::string folder; std::getline(list, folder, ':');) {
        if (folder.empty() || folder[0] != '/')
            continue;
        std::string candidate = folder + "/gs";
        if (access(candidate.c_str(), X_OK) == 0)
            return std::filesystem::canonical(candidate).string();
    }
    throw std::runtime_error("Ghostscript (gs) is needed to open PostScript files; install the ghostscript package");
}

std::string Describe(std::chrono::milliseconds limit)
{
    return limit.count() % 1000 == 0 ? std::to_string(limit.count() / 1000) + " s"
                                     : std::to_string(limit.count()) + " ms";
}

// A word no program can guess, which marks the driver's answers for one job.
std::string NewToken()
{
    static std::mt19937_64 generator{std::random_device{}()};
    char text[40];
    std::snprintf(text, sizeof text, "dochost-%016llx", static_cast<unsigned long long>(generator()));
    return text;
}

// Why a job ended without its answer.
struct Overrun {};
struct Died {};

} // namespace

GhostscriptServer::~GhostscriptServer()
{
    Stop();
}

void GhostscriptServer::Stop()
{
    HelperProcess helper;
    helper.pid = pid_;
    helper.input = input_;
    helper.output = output_;
    StopHelper(helper);
    pid_ = input_ = output_ = -1;
    pending_.clear();
    for (int* fd : {&programFile_, &pdfFile_})
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
}

void GhostscriptServer::Start(const std::string& gs)
{
    // A Ghostscript that ends must fail a write, not end the engine.
    std::signal(SIGPIPE, SIG_IGN);
    SandboxAccess allowed;
    // Fontconfig's cache, without which Ghostscript scans every font when it starts.
    if (access(FontCache, R_OK) == 0)
        allowed.readOnly.push_back(FontCache);
    allowed.memoryLimit = MemoryLimit;
    // The program and the PDF pass through two files in memory: the
    // program's is read as a file (a pipe would be read a byte at a time),
    // and pdfwrite needs to seek in its output.
    programFile_ = memfd_create("dochost-postscript", MFD_CLOEXEC);
    pdfFile_ = memfd_create("dochost-pdf", MFD_CLOEXEC);
    if (programFile_ < 0 || pdfFile_ < 0) {
        Stop();
        throw std::runtime_error(std::string("cannot make a file in memory for Ghostscript: ") + std::strerror(errno));
    }
    allowed.descriptors = {programFile_, pdfFile_};
    std::string folder = Folder;
    std::vector<std::string> argv = {gs, "-q", "-dSAFER", "-dNOOUTERSAVE", "-dBATCH", "-dNOPAUSE", "-dEPSCrop",
                                     "-sDEVICE=pdfwrite", "-dAutoRotatePages=/None",
                                     "-sOutputFile=" + folder + "/idle.pdf", "--permit-file-all=" + folder + "/",
                                     "--permit-file-read=/dev/fd/3", "--permit-file-write=/dev/fd/4", "-"};
    HelperProcess helper;
    try {
        helper = StartSandboxed(argv, allowed, true, true);
    } catch (...) {
        Stop();
        throw;
    }
    pid_ = helper.pid;
    input_ = helper.input;
    output_ = helper.output;
    program_ = gs;
    pending_.clear();
    fcntl(input_, F_SETFL, fcntl(input_, F_GETFL) | O_NONBLOCK);
    fcntl(output_, F_SETFL, fcntl(output_, F_GETFL) | O_NONBLOCK);
}

namespace {

void WriteAll(int fd, std::string_view bytes, Clock::time_point deadline)
{
    HelperIo io = WriteToHelper(fd, bytes, deadline);
    if (io == HelperIo::TimedOut)
        throw Overrun{};
    if (io == HelperIo::Closed)
        throw Died{};
}

// Reads what is there into pending, waiting until deadline for something.
void Fill(int fd, std::string& pending, Clock::time_point deadline)
{
    HelperIo io = ReadFromHelper(fd, pending, deadline);
    if (io == HelperIo::TimedOut)
        throw Overrun{};
    if (io == HelperIo::Closed)
        throw Died{};
}

bool WriteFileAt(int fd, std::string_view bytes)
{
    off_t at = 0;
    while (!bytes.empty()) {
        ssize_t put = pwrite(fd, bytes.data(), bytes.size(), at);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(put));
        at += put;
    }
    return true;
}

std::string ReadWholeFile(int fd)
{
    struct stat info;
    if (fstat(fd, &info) != 0)
        throw std::runtime_error(std::string("cannot read Ghostscript's PDF: ") + std::strerror(errno));
    std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t got = pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return bytes;
}

} // namespace

std::string GhostscriptServer::Convert(const std::string& program, std::chrono::milliseconds limit)
{
    // Looked for each time, so that a Ghostscript removed or replaced is noticed.
    std::string gs = FindGhostscript();
    if (pid_ > 0 && gs != program_)
        Stop();
    if (pid_ <= 0) {
        Start(gs);
        try {
            WriteAll(input_, Driver, Clock::now() + limit);
        } catch (...) {
            Stop();
            throw std::runtime_error("Ghostscript did not start");
        }
    }
    auto deadline = Clock::now() + limit;
    std::string token = NewToken();
    std::string error;
    if (ftruncate(programFile_, 0) != 0 || ftruncate(pdfFile_, 0) != 0 ||
        !WriteFileAt(programFile_, program))
        throw std::runtime_error(std::string("cannot hand the PostScript file to Ghostscript: ") + std::strerror(errno));
    try {
        WriteAll(input_, "(" + token + ") dochost_job\n", deadline);
        if (afterRequest)
            afterRequest();
        for (;;) {
            // What the program printed itself comes before the answer, and is dropped.
            std::size_t at;
            while ((at = pending_.find(token + " ")) == std::string::npos) {
                if (pending_.size() > token.size())
                    pending_.erase(0, pending_.size() - token.size());
                Fill(output_, pending_, deadline);
            }
            pending_.erase(0, at + token.size() + 1);
            std::size_t end;
            while ((end = pending_.find('\n')) == std::string::npos) {
                if (pending_.size() > 256)
                    throw Died{};
                Fill(output_, pending_, deadline);
            }
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            if (line == "done")
                break;
            if (line.rfind("error ", 0) == 0)
                error = line.substr(6);
        }
    } catch (Overrun&) {
        Stop();
        throw std::runtime_error("Ghostscript did not finish the PostScript file within " + Describe(limit) +
                                 "; it was stopped");
    } catch (Died&) {
        HelperProcess helper{pid_, input_, output_};
        int status = 0;
        std::string how = "stopped";
        if (WaitOrKill(helper, std::chrono::seconds(2), status))
            how = WIFSIGNALED(status) ? "was killed by signal " + std::to_string(WTERMSIG(status))
                                      : "stopped with status " + std::to_string(WEXITSTATUS(status));
        pid_ = input_ = output_ = -1;
        Stop();
        throw std::runtime_error("Ghostscript cannot convert the PostScript file (it " + how +
                                 "): the file is damaged or does what the sandbox forbids");
    }
    std::string pdf = ReadWholeFile(pdfFile_);
    // Neither file keeps its memory until the next job.
    if (ftruncate(programFile_, 0) != 0 || ftruncate(pdfFile_, 0) != 0)
        throw std::runtime_error(std::string("cannot clear Ghostscript's files: ") + std::strerror(errno));
    if (!error.empty())
        throw std::runtime_error("Ghostscript stopped the PostScript program with the error /" + error +
                                 ": the file is damaged or cut short");
    if (pdf.empty())
        throw std::runtime_error("the PostScript file has no pages");
    return pdf;
}

GhostscriptServer& EngineGhostscript()
{
    static GhostscriptServer server;
    return server;
}
