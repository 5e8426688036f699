#include "commands/pause.h"
#include "delivery/delivery.h"
#include "front/options.h"
#include "front/run_settings.h"
#include "join/join_plan.h"
#include "script/replay.h"

#include <cstdio>

int main(int argc, char** argv)
{
    const char* program = argv[0];
    ParseOptions(argc, argv);

    // Every name of a join is checked before anything is stored, sent or started.
    JoinPaths paths;
    if (!RunSettings.LoadMode) {
        if (argc < 2)
            PrintUsage(program);
        if (!ResolveJoin(argc, argv, RunSettings.OutputFile, paths))
            return 1;
        if (!RunSettings.StoreMode && !CheckJoinTargets(paths))
            return 1;
    }

    if (!RunSettings.StoreMode) {
        BuildIndex();
        if (!AcrobatStarted())
            return -1;
        PauseMilliseconds(static_cast<long long>(RunSettings.WaitSeconds) * 1000);
        if (DdeOpen() < 0) {
            std::printf("Failed to initialize DDE. - DdeOpen - Error\n");
            // The application started for this run is not left running hidden.
            TerminateAcrobat();
            return -1;
        }
    }

    if (RunSettings.LoadMode)
        ReplayScript();
    else
        JoinFiles(paths);

    if (!RunSettings.StoreMode) {
        DdeClose();
        TerminateAcrobat();
    }
    return 1;
}
