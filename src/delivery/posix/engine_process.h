#pragma once

// What the POSIX launcher hands to the conversation.

// The launcher's end of the conversation, given up to the caller (who then
// owns it); -1 when there is none.
int TakeEngineSocket();

// The engine's process id while it runs, else 0.
int EnginePid();

// How long docjoin waits for the engine to answer what it was sent, before
// an intermediate is removed and at the close (300 seconds unless set).
void SetEngineFinishTimeout(long long milliseconds);
