#include "commands/pause.h"

#include <windows.h>

void PauseMilliseconds(long long milliseconds)
{
    // Sleep takes at most INFINITE - 1 milliseconds at a time; INFINITE itself
    // would never return.
    const long long longest = INFINITE - 1;
    while (milliseconds > 0) {
        long long step = milliseconds < longest ? milliseconds : longest;
        Sleep(static_cast<DWORD>(step));
        milliseconds -= step;
    }
}
