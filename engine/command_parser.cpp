#include "command_parser.h"

#include <cerrno>
#include <cstdlib>

namespace {

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

bool IsWordStart(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool IsWordChar(char c)
{
    return IsWordStart(c) || (c >= '0' && c <= '9');
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

struct Reader {
    std::string_view text;
    std::size_t at = 0;

    bool AtEnd() const { return at >= text.size(); }
    char Peek() const { return AtEnd() ? '\0' : text[at]; }
    void SkipSpace()
    {
        while (!AtEnd() && IsSpace(text[at]))
            ++at;
    }
    std::string Word()
    {
        std::size_t start = at;
        while (!AtEnd() && IsWordChar(text[at]))
            ++at;
        return std::string(text.substr(start, at - start));
    }
};

bool Fail(std::string& error, const std::string& reason, const Reader& reader)
{
    error = reason + " at character " + std::to_string(reader.at + 1);
    return false;
}

bool ReadArgument(Reader& r, Argument& argument, std::string& error)
{
    char c = r.Peek();
    if (c == '"') {
        ++r.at;
        argument = {Argument::Quoted, {}, 0};
        for (;;) {
            if (r.AtEnd())
                return Fail(error, "a quoted argument is not closed", r);
            char q = r.text[r.at++];
            if (q == '"') {
                if (r.Peek() != '"')
                    return true;
                ++r.at;
            }
            argument.text += q;
        }
    }
    if (IsWordStart(c)) {
        argument = {Argument::Word, r.Word(), 0};
        return true;
    }
    if (IsDigit(c) || ((c == '-' || c == '+') && r.at + 1 < r.text.size() && IsDigit(r.text[r.at + 1]))) {
        std::size_t start = r.at++;
        while (!r.AtEnd() && IsDigit(r.text[r.at]))
            ++r.at;
        std::string digits(r.text.substr(start, r.at - start));
        errno = 0;
        long long value = std::strtoll(digits.c_str(), nullptr, 10);
        if (errno == ERANGE)
            return Fail(error, "a number is too large", r);
        argument = {Argument::Number, digits, value};
        return true;
    }
    return Fail(error, "an argument was expected", r);
}

bool ReadCommand(Reader& r, ParsedCommand& command, std::string& error)
{
    ++r.at; // '['
    r.SkipSpace();
    if (!IsWordStart(r.Peek()))
        return Fail(error, "a command name was expected", r);
    command.name = r.Word();
    r.SkipSpace();
    if (r.Peek() == '(') {
        ++r.at;
        r.SkipSpace();
        if (r.Peek() != ')') {
            for (;;) {
                Argument argument;
                if (!ReadArgument(r, argument, error))
                    return false;
                command.arguments.push_back(std::move(argument));
                r.SkipSpace();
                if (r.Peek() == ',') {
                    ++r.at;
                    r.SkipSpace();
                    continue;
                }
                if (r.Peek() == ')')
                    break;
                return Fail(error, "',' or ')' was expected", r);
            }
        }
        ++r.at; // ')'
        r.SkipSpace();
    }
    if (r.Peek() != ']')
        return Fail(error, "']' was expected", r);
    ++r.at;
    return true;
}

} // namespace

bool ParseExecute(std::string_view text, std::vector<ParsedCommand>& commands, std::string& error)
{
    commands.clear();
    Reader r{text};
    for (;;) {
        r.SkipSpace();
        if (r.AtEnd())
            return true;
        if (r.Peek() != '[')
            return Fail(error, "'[' was expected", r);
        ParsedCommand command;
        if (!ReadCommand(r, command, error))
            return false;
        commands.push_back(std::move(command));
    }
}

std::string DescribeCommand(const ParsedCommand& command)
{
    std::string text = command.name + "(";
    for (std::size_t i = 0; i < command.arguments.size(); ++i) {
        const Argument& a = command.arguments[i];
        if (i > 0)
            text += ",";
        text += a.kind == Argument::Quoted ? "\"" + a.text + "\"" : a.text;
    }
    return text + ")";
}
