#pragma once

class Session;

// Serves the conversation on socket until docjoin closes it (or hangs up, or
// AppExit is run). Returns the engine's exit status.
int ServeConversation(int socket, Session& session);

// Ends the converters the engine started (Ghostscript, LibreOffice), so that
// none is left for the kernel to stop once the engine has gone: at the
// conversation's close, before it is answered, and when the engine ends.
void StopConverters();
