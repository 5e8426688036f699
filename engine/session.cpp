#include "session.h"

#include "command_parser.h"
#include "command_text.h"
#include "page_insertion.h"
#include "pdf_input.h"
#include "pdf_output.h"

#include <cstdio>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFAcroFormDocumentHelper.hh>
#include <stdexcept>
#include <strings.h>
#include <sys/stat.h>

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

// The place after which pages go, as a page index to insert at.
std::size_t InsertionIndex(long long after, std::size_t count)
{
    if (after == LastPage)
        return count;
    if (after == BeforeFirstPage)
        return 0;
    if (after >= 0 && static_cast<unsigned long long>(after) < count)
        return static_cast<std::size_t>(after) + 1;
    throw std::runtime_error("the document has no page " + std::to_string(after));
}

void DeleteDocumentPages(Document& document, long long from, long long to)
{
    long long count = static_cast<long long>(document.pdf->getAllPages().size());
    if (from < 0 || to < from || to >= count)
        throw std::runtime_error("pages " + std::to_string(from) + " to " + std::to_string(to) +
                                 " are not all in a document of " + std::to_string(count) + " pages");
    if (from == 0 && to == count - 1)
        throw std::runtime_error("a document cannot lose every page");
    DeletePages(*document.pdf, static_cast<std::size_t>(from), static_cast<std::size_t>(to));
    document.verbatim = false;
    document.forms.reset(); // its fields are read again when next needed
}

} // namespace

Session::Session() = default;

Session::~Session()
{
    Finish();
}

// A second name of an input, made for key, becomes a file of its own (a copy
// renamed over it), while it still is that second name.
void Session::Unlink(PathKey key)
{
    auto linked = linked_.find(key);
    if (linked == linked_.end())
        return;
    FileIdentity identity = linked->second;
    linked_.erase(linked);
    struct stat info;
    if (stat(key.text.c_str(), &info) == 0 && info.st_nlink > 1 && IdentifyFile(key.text) == identity)
        CopyFileAtomically(key.text, key.text);
}

void Session::Finish()
{
    while (!linked_.empty()) {
        PathKey key = linked_.begin()->first;
        try {
            Unlink(key);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "dochost: %s: %s\n", PrintableName(key.text).c_str(), PrintableName(e.what()).c_str());
        }
    }
}

void Session::Changed(const PathKey& key, Document& document)
{
    ++document.revision;
    lastChanged_ = key;
    if (ahead_.pdf == document.pdf.get())
        ahead_ = {};
}

void Session::Close(std::vector<Document> documents)
{
    for (Document& document : documents) {
        if (ahead_.pdf == document.pdf.get())
            ahead_ = {};
        // Held elsewhere too (a file written from it stands for it): let go at
        // once, so that it can still stand for that file.
        if (document.pdf.use_count() > 1)
            document.pdf.reset();
        if (document.pdf != nullptr || !document.sources.empty())
            closed_.push_back(std::move(document));
    }
}

// The document whose save is worth writing ahead: the one changed last, still
// open, changed since its file was read, and not reading files when written.
Document* Session::WriteAheadCandidate()
{
    if (!lastChanged_)
        return nullptr;
    Document* document = documents_.Find(*lastChanged_);
    if (document == nullptr || document->verbatim || document->readsFiles)
        return nullptr;
    if (ahead_.pdf == document->pdf.get() && ahead_.revision == document->revision)
        return nullptr; // written ahead already, or tried
    return document;
}

bool Session::HasIdleWork()
{
    return !closed_.empty() || WriteAheadCandidate() != nullptr;
}

void Session::DoIdleWork(const std::function<bool()>& stop)
{
    bool stopped = false;
    auto asked = [&] { return stopped = stopped || stop(); };
    if (Document* document = WriteAheadCandidate()) {
        ahead_ = {document->pdf.get(), document->revision, nullptr};
        try {
            ahead_.write = PreparedWrite::Prepare(*document->pdf, lastChanged_->text, asked);
        } catch (const std::exception&) {
            // The save will meet the same failure and report it.
        }
        if (stopped) {
            ahead_ = {}; // given up for a command: tried again at the next idle moment
            return;
        }
    }
    while (!closed_.empty() && !asked()) {
        Document& document = closed_.back();
        if (!document.sources.empty())
            document.sources.pop_back(); // one at a time, so that a command waits little
        else
            closed_.pop_back();
    }
}

// Puts the write made ahead for document in place of target, if it describes
// the document as it is and was made for target.
bool Session::CommitWriteAhead(Document& document, const PathKey& target)
{
    if (ahead_.write == nullptr || ahead_.pdf != document.pdf.get() || ahead_.revision != document.revision ||
        !ahead_.write->For(target.text))
        return false;
    std::unique_ptr<PreparedWrite> write = std::move(ahead_.write);
    write->Commit();
    return true;
}

void Session::Open(const PathKey& key)
{
    if (documents_.Find(key) != nullptr)
        return; // already open: nothing to do
    Unlink(key);
    auto written = written_.find(key);
    FileIdentity identity = IdentifyFile(key.text);
    if (written != written_.end() && written->second.pdf.use_count() == 1 && identity == written->second.identity) {
        // The file is what this session wrote from a document now closed
        // (the join's output after its first input): that document is it,
        // already read. The file holds it as it is, so it counts as unchanged.
        Document document;
        document.pdf = written->second.pdf;
        document.file = key.text;
        document.identity = identity;
        document.fileBacked = true;
        document.verbatim = true;
        document.readsFiles = written->second.readsFiles;
        documents_.Add(key, std::move(document));
    } else {
        documents_.Add(key, OpenDocumentFile(key.text));
    }
    written_.erase(key); // open as a document now
}

void Session::Save(Document& document, const PathKey& target)
{
    // An unchanged PDF is its file (opened by its key): saving it is copying
    // that file, or nothing at all when the file is the target and still as
    // it was read.
    bool unchanged = document.verbatim && IdentifyFile(document.file) == document.identity;
    if (unchanged && document.file == target.text)
        return;
    // An intermediate of a join (the file's name with .pdf appended, new)
    // is a second name of the file; anything else a copy.
    if (unchanged && target.text == document.file + ".pdf" && LinkFile(document.file, target.text))
        linked_[target] = IdentifyFile(target.text);
    else if (unchanged)
        CopyFileAtomically(document.file, target.text);
    else if (!CommitWriteAhead(document, target))
        WritePdfAtomically(*document.pdf, target.text);
    if (linked_.count(target) > 0 && !(unchanged && IdentifyFile(target.text) == linked_[target]))
        linked_.erase(target); // replaced by a file of its own
    written_.erase(target);
    if (document.fileBacked)
        written_[target] = {IdentifyFile(target.text), document.pdf, document.readsFiles};
}

void Session::InsertPages(const PathKey& targetKey, long long after, const PathKey& sourceKey)
{
    Document& target = documents_.Require(targetKey);
    std::size_t at = InsertionIndex(after, target.pdf->getAllPages().size());
    std::shared_ptr<QPDF> source;
    bool sourceReadsFiles;
    auto written = written_.find(sourceKey);
    // The document a file was written from stands for the file while nothing
    // else holds it (inserting changes it a little) and the file is unchanged.
    if (written != written_.end() && written->second.pdf.use_count() == 1 &&
        written->second.pdf != target.pdf && IdentifyFile(sourceKey.text) == written->second.identity) {
        source = written->second.pdf;
        sourceReadsFiles = written->second.readsFiles;
    } else {
        Document opened = OpenDocumentFile(sourceKey.text);
        source = opened.pdf;
        sourceReadsFiles = opened.readsFiles;
    }
    if (written != written_.end())
        written_.erase(written);
    if (target.forms == nullptr)
        target.forms = std::make_shared<QPDFAcroFormDocumentHelper>(*target.pdf);
    Changed(targetKey, target);
    try {
        ::InsertPages(*target.pdf, *target.forms, *source, at);
    } catch (...) {
        target.forms.reset();
        throw;
    }
    target.sources.push_back(source);
    target.verbatim = false;
    target.readsFiles = target.readsFiles || sourceReadsFiles;
}

void Session::Run(const ParsedCommand& command)
{
    // The key of a path argument, made once for all the command does with it.
    auto key = [&](std::size_t index) { return PathKey(PathArgument(command, index)); };
    if (Named(command, "DocOpen")) {
        RequireArguments(command, 1);
        Open(key(0));
    } else if (Named(command, "DocClose")) {
        RequireArguments(command, 1);
        Close(documents_.Take(key(0)));
    } else if (Named(command, "DocSave")) {
        RequireArguments(command, 1);
        PathKey path = key(0);
        Save(documents_.Require(path), path);
    } else if (Named(command, "DocSaveAs")) {
        RequireArguments(command, 2);
        Save(documents_.Require(key(0)), key(1));
    } else if (Named(command, "DocInsertPages")) {
        RequireArguments(command, 3);
        InsertPages(key(0), PageArgument(command, 1), key(2));
    } else if (Named(command, "DocDeletePages")) {
        RequireArguments(command, 3);
        PathKey path = key(0);
        Document& document = documents_.Require(path);
        Changed(path, document);
        DeleteDocumentPages(document, PageArgument(command, 1), PageArgument(command, 2));
    } else if (Named(command, "CloseAllDocs")) {
        RequireArguments(command, 0);
        Close(documents_.TakeAll());
    } else if (Named(command, "AppExit")) {
        RequireArguments(command, 0);
        Close(documents_.TakeAll());
        Finish();
        exitRequested_ = true;
    } else {
        throw std::runtime_error("unknown command");
    }
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
            Run(command);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "dochost: %s: %s\n", PrintableName(DescribeCommand(command)).c_str(),
                         PrintableName(e.what()).c_str());
            return false;
        }
    }
    return true;
}
