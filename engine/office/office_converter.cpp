#include "office_converter.h"

#include "office_profile.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const char* const InstallHint = "opening office documents needs LibreOffice: install libreoffice-writer-nogui, "
                                "libreoffice-calc-nogui, libreoffice-impress-nogui and python3-uno";
const char* const Python = "/usr/bin/python3";
const char* const FontCache = "/var/cache/fontconfig";

std::string FolderOfRunningProgram()
{
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return ".";
    std::string program(path, static_cast<std::size_t>(length));
    return program.substr(0, program.rfind('/'));
}

std::string DescribeStatus(int status)
{
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status));
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    return "status " + std::to_string(status);
}

} // namespace

OfficeSettings DefaultOfficeSettings()
{
    OfficeSettings settings;
    const char* program = std::getenv("DOCHOST_OFFICE_PROGRAM");
    settings.program = program != nullptr && *program != '\0' ? program : "/usr/lib/libreoffice/program";
    settings.helper = FolderOfRunningProgram() + "/dochost-office-helper";
    if (const char* seconds = std::getenv("DOCHOST_OFFICE_SECONDS")) {
        long value = std::strtol(seconds, nullptr, 10);
        if (value > 0)
            settings.documentLimit = std::chrono::seconds(value);
    }
    settings.templates = UserTemplateFolder();
    return settings;
}

OfficeConverter::OfficeConverter(OfficeSettings settings) : settings_(std::move(settings)) {}

OfficeConverter::~OfficeConverter()
{
    // LibreOffice holds nothing worth a clean shutdown: the engine ending
    // need not wait for it.
    StopHelper(helper_);
}

void OfficeConverter::StartHelper()
{
    template_.clear();
    if (access((settings_.program + "/soffice.bin").c_str(), X_OK) != 0 || access(Python, X_OK) != 0)
        throw std::runtime_error(InstallHint);
    if (access(settings_.helper.c_str(), R_OK) != 0)
        throw std::runtime_error("the office converter " + settings_.helper + " is missing");
    // A helper that ends must fail a write, not end the engine.
    std::signal(SIGPIPE, SIG_IGN);
    SandboxAccess allowed;
    allowed.readOnly = {settings_.helper, settings_.program};
    // The system's font caches, without which every start of LibreOffice
    // would scan all the fonts again.
    if (access(FontCache, R_OK) == 0)
        allowed.readOnly.push_back(FontCache);
    allowed.memoryLimit = settings_.memoryLimit;
    std::vector<std::string> argv = {Python, settings_.helper, settings_.program};
    // The clean profile to copy, seen read-only.
    template_ = ReadyProfileTemplate({settings_.templates, settings_.program, Python, settings_.helper,
                                      settings_.startLimit},
                                     allowed);
    if (!template_.empty()) {
        allowed.readOnly.push_back(template_);
        argv.push_back(template_);
    }
    helper_ = StartSandboxed(argv, allowed, true, false);
    fcntl(helper_.input, F_SETFL, fcntl(helper_.input, F_GETFL) | O_NONBLOCK);
    pending_.clear();
    served_ = 0;
    std::string first;
    try {
        first = ReadLine(Clock::now() + settings_.startLimit);
    } catch (std::exception&) {
        Fail(timedOut_ ? "LibreOffice did not start within " +
                             std::to_string(settings_.startLimit.count() / 1000) + " seconds"
                       : "LibreOffice did not start");
    }
    if (first.rfind("error ", 0) == 0)
        Fail(first.substr(6));
    if (first != "ready")
        Fail("LibreOffice did not start: the office converter answered \"" + first + "\"");
}

void OfficeConverter::Start()
{
    try {
        StartHelper();
    } catch (const std::exception&) {
        if (template_.empty() || timedOut_)
            throw;
        // LibreOffice could not start from the profile template (damaged,
        // say): it is made anew, and LibreOffice started once more.
        ForgetProfileTemplate(template_);
        StartHelper();
    }
}

void OfficeConverter::Stop()
{
    if (helper_.pid <= 0)
        return;
    // Closing its input ends the helper, which ends LibreOffice.
    close(helper_.input);
    helper_.input = -1;
    int status = 0;
    WaitOrKill(helper_, std::chrono::seconds(10), status);
    StopHelper(helper_);
    pending_.clear();
}

void OfficeConverter::Kill()
{
    StopHelper(helper_);
    pending_.clear();
}

void OfficeConverter::Fail(const std::string& reason)
{
    Kill();
    throw std::runtime_error(reason);
}

bool OfficeConverter::Fill(Clock::time_point deadline)
{
    HelperIo io = ReadFromHelper(helper_.output, pending_, deadline);
    timedOut_ = io == HelperIo::TimedOut;
    return io == HelperIo::Done;
}

std::string OfficeConverter::ReadLine(Clock::time_point deadline)
{
    std::size_t end;
    while ((end = pending_.find('\n')) == std::string::npos) {
        if (pending_.size() > 4096 || !Fill(deadline))
            throw std::runtime_error("no answer");
    }
    std::string line = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    return line;
}

std::string OfficeConverter::ReadBytes(std::size_t count, Clock::time_point deadline)
{
    while (pending_.size() < count)
        if (!Fill(deadline))
            throw std::runtime_error("no answer");
    std::string bytes = pending_.substr(0, count);
    pending_.erase(0, count);
    return bytes;
}

void OfficeConverter::Write(std::string_view bytes, Clock::time_point deadline)
{
    HelperIo io = WriteToHelper(helper_.input, bytes, deadline);
    timedOut_ = io == HelperIo::TimedOut;
    if (io != HelperIo::Done)
        throw std::runtime_error("no request");
}

std::string OfficeConverter::Convert(std::string_view document, const std::string& format)
{
    if (helper_.pid > 0 && served_ >= settings_.recycleAfter)
        Stop();
    if (helper_.pid <= 0)
        Start();
    ++served_;
    auto deadline = Clock::now() + settings_.documentLimit;
    std::string answer;
    try {
        Write("convert " + format + " " + std::to_string(document.size()) + "\n", deadline);
        Write(document, deadline);
        if (afterRequest)
            afterRequest();
        answer = ReadLine(deadline);
        if (answer.rfind("ok ", 0) == 0)
            return ReadBytes(std::stoul(answer.substr(3)), deadline);
    } catch (std::exception&) {
        if (timedOut_)
            Fail("LibreOffice took more than " + std::to_string(settings_.documentLimit.count() / 1000) +
                 " seconds to convert the document and was stopped");
        int status = 0;
        std::string how = WaitOrKill(helper_, std::chrono::seconds(5), status) ? " (" + DescribeStatus(status) + ")"
                                                                                 : "";
        Fail("LibreOffice stopped while converting the document" + how);
    }
    if (answer.rfind("error ", 0) == 0)
        throw std::runtime_error(answer.substr(6));
    Fail("the office converter answered \"" + answer + "\"");
}

OfficeConverter& EngineOfficeConverter()
{
    static OfficeConverter converter(DefaultOfficeSettings());
    return converter;
}
