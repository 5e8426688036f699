#pragma once

#include <string>
#include <string_view>
#include <vector>

// One argument of a command: a quoted string (doubled quotes folded), a bare
// word such as PDLastPage, or a whole number.
struct Argument {
    enum Kind { Quoted, Word, Number } kind;
    std::string text;
    long long number = 0;
};

struct ParsedCommand {
    std::string name;
    std::vector<Argument> arguments;
};

// Reads the text of one execute: one or more bracketed commands, with white
// space (a trailing line end among it) between and around them. Returns false,
// with the reason in error, when the text is not well formed; nothing of it is
// then to be run.
bool ParseExecute(std::string_view text, std::vector<ParsedCommand>& commands, std::string& error);

// The command as it would be written, for messages.
std::string DescribeCommand(const ParsedCommand& command);
