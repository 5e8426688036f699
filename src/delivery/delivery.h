#pragma once

#include <cstddef>
#include <cstdint>

// The application's side of a live run: starting it, the conversation that
// carries the commands, and its end. One implementation per platform.

// Finds and starts the application hidden. On failure it reports why (a
// message box, or its caption and text on standard error) and leaves the
// process record empty.
void BuildIndex();

// True when BuildIndex started the application.
bool AcrobatStarted();

// Stops the started application without warning.
void TerminateAcrobat();

// Opens the conversation with service "acroview", topic "control": 0 when
// open, -1 on failure.
int DdeOpen();

// Executes one command (its bytes and length, no terminating NUL). Returns the
// transaction's return value (non-zero on success, zero on failure or after
// the 1000 ms time-out) and stores the result word.
int DdeExecute(const char* data, std::size_t length, std::uint32_t* result);

// Waits (bounded) until the application has answered every command sent, also
// those whose answer came after the time-out.
void DdeWaitForAnswers();

// Releases the conversation; the application first finishes every command it
// has received.
void DdeClose();
