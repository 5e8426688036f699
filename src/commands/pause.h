#pragma once

// Sleeps for the given time; zero or a negative time returns at once.
void PauseMilliseconds(long long milliseconds);
