#pragma once

#include <string>
#include <sys/types.h>

// Which file a path names, and in what state: a file replaced, rewritten or
// touched since no longer matches.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    long long modifiedNs = -1;

    bool operator==(const FileIdentity& other) const
    {
        return device == other.device && inode == other.inode && size == other.size &&
               modifiedNs == other.modifiedNs;
    }
};

// The identity of what stands at path now; an empty identity when nothing does.
FileIdentity IdentifyFile(const std::string& path);
FileIdentity IdentifyDescriptor(int fd);
