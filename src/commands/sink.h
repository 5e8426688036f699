#pragma once

// The one way out for every command: echoes it (-v), stores it (-s) or
// executes it on the conversation and prints the outcome (-e).
void SendCommand(const char* command);
