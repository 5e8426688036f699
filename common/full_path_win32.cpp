#include "full_path.h"

#include "command_text.h"

#include <windows.h>

bool FullPath(std::string& path, const char* name)
{
    // The system folds ".", ".." and forward slashes itself, without looking at
    // the disk. A result that does not fit is reported as its needed size.
    char buffer[CommandBufferSize];
    DWORD length = GetFullPathNameA(name, sizeof buffer, buffer, nullptr);
    if (length == 0 || length >= sizeof buffer)
        return false;
    path.assign(buffer, length);
    return path.size() <= CommandLimit;
}

bool PathExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string FileKey(const std::string& path)
{
    // No access is asked for: the file's identity can be read even while
    // another program holds it open.
    HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "";
    BY_HANDLE_FILE_INFORMATION info;
    BOOL known = GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    if (!known)
        return "";
    return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) + ":" +
           std::to_string(info.nFileIndexLow);
}
