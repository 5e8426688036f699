#include "script/replay.h"

#include "command_text.h"
#include "commands/sink.h"
#include "front/run_settings.h"

#include <cstdio>

void ReplayScript()
{
    char line[CommandBufferSize];
    while (std::fgets(line, sizeof line, RunSettings.LoadStream) != nullptr) {
        if (line[0] == '\0' || line[0] == '#')
            continue;
        SendCommand(line);
    }
}
