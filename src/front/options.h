#pragma once

// Reads the options into RunSettings. On return argv[1] is the first file name
// and argc is one more than the number of words left. Does not return on a
// command-line error.
void ParseOptions(int& argc, char**& argv);

// Writes the usage text to standard output and ends the process with status 1.
[[noreturn]] void PrintUsage(const char* program);

// Reads a decimal number the way atoi does, but saturates instead of overflowing.
int ReadDecimal(const char* word);
