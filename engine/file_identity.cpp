#include "file_identity.h"

#include <sys/stat.h>

static FileIdentity FromStat(const struct stat& info)
{
    return {info.st_dev, info.st_ino, info.st_size,
            static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec};
}

FileIdentity IdentifyFile(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? FromStat(info) : FileIdentity();
}

FileIdentity IdentifyDescriptor(int fd)
{
    struct stat info;
    return fstat(fd, &info) == 0 ? FromStat(info) : FileIdentity();
}
