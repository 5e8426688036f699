#pragma once

class Session;

// Serves the conversation on socket until docjoin closes it (or hangs up, or
// AppExit is run). Returns the engine's exit status.
int ServeConversation(int socket, Session& session);
