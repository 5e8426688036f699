#pragma once

#include <string>

// Resolves name against the current directory the way the platform's own
// full-path call does: textually, without consulting the disk, so the file need
// not exist. False when the name cannot be resolved or the result would not
// fit in CommandBufferSize.
bool FullPath(std::string& path, const char* name);

// True when something (a file, a folder, a dangling link) stands at path.
bool PathExists(const std::string& path);

// True when both paths name one existing file, through links or not.
bool SameFile(const std::string& a, const std::string& b);
