#pragma once

#include <string>

// Resolves name against the current directory the way the platform's own
// full-path call does: textually, without consulting the disk, so the file need
// not exist. False when the name cannot be resolved or the result would not
// fit in CommandBufferSize.
bool FullPath(std::string& path, const char* name);

// True when something (a file, a folder, a dangling link) stands at path.
bool PathExists(const std::string& path);

// What identifies the existing file a path names, through links or not (two
// paths name one file when their keys are equal); "" when there is none.
std::string FileKey(const std::string& path);
