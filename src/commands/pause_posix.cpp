#include "commands/pause.h"

#include <cerrno>
#include <ctime>

void PauseMilliseconds(long long milliseconds)
{
    if (milliseconds <= 0)
        return;
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
