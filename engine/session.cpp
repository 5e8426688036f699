#include "session.h"

#include "command_parser.h"
#include "commands/command_text.h"
#include "page_insertion.h"
#include "pdf_input.h"
#include "pdf_output.h"

#include <cstdio>
#include <qpdf/QPDF.hh>
#include <stdexcept>
#include <strings.h>

namespace {

// The value given for "after which page" in DocInsertPages.
constexpr long long BeforeFirstPage = -1;
constexpr long long LastPage = -2;

const std::string& PathArgument(const ParsedCommand& command, std::size_t index)
{
    const Argument& argument = command.arguments[index];
    if (argument.kind != Argument::Quoted)
        throw std::runtime_error("argument " + std::to_string(index + 1) + " must be a quoted path");
    return argument.text;
}

long long PageArgument(const ParsedCommand& command, std::size_t index)
{
    const Argument& argument = command.arguments[index];
    if (argument.kind == Argument::Number)
        return argument.number;
    if (argument.kind == Argument::Word && argument.text == "PDLastPage")
        return LastPage;
    if (argument.kind == Argument::Word && argument.text == "PDBeforeFirstPage")
        return BeforeFirstPage;
    throw std::runtime_error("argument " + std::to_string(index + 1) +
                             " must be a page number, PDLastPage or PDBeforeFirstPage");
}

void RequireArguments(const ParsedCommand& command, std::size_t count)
{
    if (command.arguments.size() != count)
        throw std::runtime_error("takes " + std::to_string(count) + " argument" + (count == 1 ? "" : "s") +
                                 ", not " + std::to_string(command.arguments.size()));
}

bool Named(const ParsedCommand& command, const char* name)
{
    return strcasecmp(command.name.c_str(), name) == 0;
}

void DocOpen(DocumentTable& documents, const std::string& path)
{
    if (documents.Find(path) != nullptr)
        return; // already open: nothing to do
    documents.Add(path, Document{OpenDocumentFile(path), {}});
}

void DocInsertPages(DocumentTable& documents, const std::string& targetPath, long long after,
                    const std::string& sourcePath)
{
    Document& target = documents.Require(targetPath);
    std::size_t count = target.pdf->getAllPages().size();
    std::size_t at;
    if (after == LastPage)
        at = count;
    else if (after == BeforeFirstPage)
        at = 0;
    else if (after >= 0 && static_cast<unsigned long long>(after) < count)
        at = static_cast<std::size_t>(after) + 1;
    else
        throw std::runtime_error("the document has no page " + std::to_string(after));
    std::shared_ptr<QPDF> source = OpenDocumentFile(sourcePath);
    InsertPages(*target.pdf, *source, at);
    target.sources.push_back(source);
}

void DocDeletePages(DocumentTable& documents, const std::string& path, long long from, long long to)
{
    Document& document = documents.Require(path);
    long long count = static_cast<long long>(document.pdf->getAllPages().size());
    if (from < 0 || to < from || to >= count)
        throw std::runtime_error("pages " + std::to_string(from) + " to " + std::to_string(to) +
                                 " are not all in a document of " + std::to_string(count) + " pages");
    if (from == 0 && to == count - 1)
        throw std::runtime_error("a document cannot lose every page");
    DeletePages(*document.pdf, static_cast<std::size_t>(from), static_cast<std::size_t>(to));
}

} // namespace

static bool Run(const ParsedCommand& command, DocumentTable& documents, bool& exitRequested)
{
    if (Named(command, "DocOpen")) {
        RequireArguments(command, 1);
        DocOpen(documents, PathArgument(command, 0));
    } else if (Named(command, "DocClose")) {
        RequireArguments(command, 1);
        documents.Remove(PathArgument(command, 0));
    } else if (Named(command, "DocSave")) {
        RequireArguments(command, 1);
        const std::string& path = PathArgument(command, 0);
        WritePdfAtomically(*documents.Require(path).pdf, DocumentTable::Key(path));
    } else if (Named(command, "DocSaveAs")) {
        RequireArguments(command, 2);
        Document& document = documents.Require(PathArgument(command, 0));
        WritePdfAtomically(*document.pdf, DocumentTable::Key(PathArgument(command, 1)));
    } else if (Named(command, "DocInsertPages")) {
        RequireArguments(command, 3);
        DocInsertPages(documents, PathArgument(command, 0), PageArgument(command, 1), PathArgument(command, 2));
    } else if (Named(command, "DocDeletePages")) {
        RequireArguments(command, 3);
        DocDeletePages(documents, PathArgument(command, 0), PageArgument(command, 1), PageArgument(command, 2));
    } else if (Named(command, "CloseAllDocs")) {
        RequireArguments(command, 0);
        documents.Clear();
    } else if (Named(command, "AppExit")) {
        RequireArguments(command, 0);
        documents.Clear();
        exitRequested = true;
    } else {
        throw std::runtime_error("unknown command");
    }
    return true;
}

bool Session::Execute(std::string_view text)
{
    std::vector<ParsedCommand> commands;
    std::string error;
    if (!ParseExecute(text, commands, error)) {
        // A hostile script may send anything: show no more than a line of it.
        std::string shown = PrintableName(std::string(text.substr(0, 200)));
        std::fprintf(stderr, "dochost: cannot read the command \"%s%s\": %s\n", shown.c_str(),
                     text.size() > 200 ? "..." : "", error.c_str());
        return false;
    }
    for (const ParsedCommand& command : commands) {
        try {
            Run(command, documents_, exitRequested_);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "dochost: %s: %s\n", PrintableName(DescribeCommand(command)).c_str(),
                         PrintableName(e.what()).c_str());
            return false;
        }
    }
    return true;
}
