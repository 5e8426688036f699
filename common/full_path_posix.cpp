#include "full_path.h"

#include "command_text.h"

#include <cerrno>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

static bool CurrentDirectory(std::string& directory)
{
    std::vector<char> buffer(4096);
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE)
            return false;
        buffer.resize(buffer.size() * 2);
    }
    directory = buffer.data();
    return true;
}

bool FullPath(std::string& path, const char* name)
{
    std::string joined;
    if (name[0] != '/') {
        if (!CurrentDirectory(joined))
            return false;
        joined += '/';
    }
    joined += name;

    // Fold the steps: empty and "." steps vanish, ".." drops the step before it
    // (and stays at the root when there is none).
    std::vector<std::string_view> steps;
    std::string_view rest(joined);
    while (!rest.empty()) {
        std::size_t slash = rest.find('/');
        std::string_view step = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (step.empty() || step == ".")
            continue;
        if (step == "..") {
            if (!steps.empty())
                steps.pop_back();
            continue;
        }
        steps.push_back(step);
    }

    path.clear();
    for (std::string_view step : steps) {
        path += '/';
        path += step;
    }
    if (path.empty())
        path = "/";
    return path.size() <= CommandLimit;
}

bool PathExists(const std::string& path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

std::string FileKey(const std::string& path)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return "";
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}
