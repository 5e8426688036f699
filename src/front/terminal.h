#pragma once

// Whether standard error is a terminal, and how many columns it has (80 when
// it cannot tell).
bool StandardErrorIsTerminal();
int StandardErrorColumns();
