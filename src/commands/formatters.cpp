#include "commands/formatters.h"

#include "command_text.h"
#include "commands/sink.h"

#include <cstdio>

static std::string Quoted(const std::string& path)
{
    std::string text = "\"";
    for (char c : path) {
        text += c;
        if (c == '"')
            text += '"';
    }
    return text + '"';
}

std::string DocOpenText(const std::string& path)
{
    return "[DocOpen(" + Quoted(path) + ")]";
}

std::string DocCloseText(const std::string& path)
{
    return "[DocClose(" + Quoted(path) + ")]";
}

std::string DocSaveText(const std::string& path)
{
    return "[DocSave(" + Quoted(path) + ")]";
}

std::string DocSaveAsText(const std::string& path, const std::string& target)
{
    return "[DocSaveAs(" + Quoted(path) + "," + Quoted(target) + ")]";
}

std::string DocInsertPagesText(const std::string& target, const std::string& source)
{
    return "[DocInsertPages(" + Quoted(target) + ",PDLastPage," + Quoted(source) + ")]";
}

// The join checks every command's length before the first is sent; this guard
// only keeps a command that slipped past from ever being sent cut short.
static void Send(const std::string& command)
{
    if (command.size() > CommandLimit) {
        std::fprintf(stderr, "docjoin: command longer than %zu characters not sent\n", CommandLimit);
        return;
    }
    SendCommand(command.c_str());
}

void DocOpen(const std::string& path)
{
    Send(DocOpenText(path));
}

void DocClose(const std::string& path)
{
    Send(DocCloseText(path));
}

void DocSave(const std::string& path)
{
    Send(DocSaveText(path));
}

void DocSaveAs(const std::string& path, const std::string& target)
{
    Send(DocSaveAsText(path, target));
}

void DocInsertPages(const std::string& target, const std::string& source)
{
    Send(DocInsertPagesText(target, source));
}
