#include "commands/sink.h"

#include "delivery/delivery.h"
#include "front/run_settings.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

void SendCommand(const char* command)
{
    if (RunSettings.Verbose)
        std::printf("%s\n", command);
    if (RunSettings.StoreMode) {
        std::fprintf(RunSettings.StoreStream, "%s\n", command);
        return;
    }
    std::uint32_t result = 0;
    int returned = DdeExecute(command, std::strlen(command), &result);
    if (RunSettings.ShowResults)
        std::printf("%s = %d e=%d\n", command, static_cast<int>(result), returned);
}
