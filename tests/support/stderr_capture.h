#pragma once

#include <string>

// What this process writes to its standard error between CaptureStderr()
// and CapturedStderr(): the engine reports each failed command as one line
// there, and the tests read that line. Captures do not nest.
void CaptureStderr();
std::string CapturedStderr();
