#include "office_profile.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char* const Prefix = "libreoffice-profile-";
const char* const Making = ".making-";

// Bumped when what the helper puts into a template changes.
const char* const TemplateFormat = "dochost profile template 1\n";

void Hash(std::uint64_t& hash, const std::string& bytes)
{
    for (unsigned char c : bytes) {
        hash ^= c;
        hash *= 0x100000001b3ULL;
    }
}

// What tells one installed LibreOffice from another: its build's version
// file, and the size and time of its main files (a new package rewrites
// them).
std::string VersionStamp(const std::string& program)
{
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    Hash(hash, TemplateFormat);
    std::ifstream version(program + "/versionrc", std::ios::binary);
    Hash(hash, std::string(std::istreambuf_iterator<char>(version), {}));
    for (const char* name : {"/versionrc", "/soffice.bin", "/libmergedlo.so"}) {
        struct stat info;
        if (stat((program + name).c_str(), &info) == 0)
            Hash(hash, std::to_string(info.st_size) + " " + std::to_string(info.st_mtim.tv_sec) + "." +
                           std::to_string(info.st_mtim.tv_nsec) + "\n");
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

bool IsFolder(const std::string& path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Templates of other versions, and folders left half made an hour ago or
// more (by an engine killed while it made one), go.
void RemoveOthers(const std::string& folder, const std::string& kept)
{
    std::error_code error;
    auto now = std::filesystem::file_time_type::clock::now();
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        std::string name = entry.path().filename().string();
        bool stale = name.rfind(Prefix, 0) == 0 && entry.path().string() != kept;
        bool abandoned = name.rfind(Making, 0) == 0 &&
                         now - entry.last_write_time(error) > std::chrono::hours(1);
        if (stale || abandoned)
            std::filesystem::remove_all(entry.path(), error);
    }
}

} // namespace

std::string UserTemplateFolder()
{
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache != nullptr && cache[0] == '/')
        return std::string(cache) + "/dochost";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/' && home[1] != '\0')
        return std::string(home) + "/.cache/dochost";
    return "";
}

std::string ReadyProfileTemplate(const ProfileTemplateSettings& settings, const SandboxAccess& access)
{
    if (settings.folder.empty())
        return "";
    std::string ready = settings.folder + "/" + Prefix + VersionStamp(settings.program);
    if (IsFolder(ready))
        return ready;

    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(settings.folder).parent_path(), error);
    if (mkdir(settings.folder.c_str(), 0700) != 0 && errno != EEXIST)
        return "";
    std::string making = settings.folder + "/" + Making + "XXXXXX";
    if (mkdtemp(making.data()) == nullptr)
        return "";
    // The start that makes it may write this new folder, and nothing else of
    // the user's.
    SandboxAccess allowed = access;
    allowed.writable.push_back(making);
    bool made = false;
    try {
        HelperProcess maker = StartSandboxed({settings.python, settings.helper, settings.program, "--make-template",
                                              making},
                                             allowed, false, true);
        int status = 0;
        made = WaitOrKill(maker, settings.limit, status) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    } catch (const std::exception&) {
        made = false;
    }
    // Another engine may have put its own in place meanwhile; either is good.
    if (made && rename(making.c_str(), ready.c_str()) == 0) {
        RemoveOthers(settings.folder, ready);
        return ready;
    }
    std::filesystem::remove_all(making, error);
    return IsFolder(ready) ? ready : "";
}

void ForgetProfileTemplate(const std::string& profileTemplate)
{
    if (profileTemplate.empty())
        return;
    std::error_code error;
    std::filesystem::remove_all(profileTemplate, error);
}
