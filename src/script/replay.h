#pragma once

// Passes every line of LoadStream but comments (a '#' first) to SendCommand,
// with its line end, in pieces of at most 1023 characters.
void ReplayScript();
