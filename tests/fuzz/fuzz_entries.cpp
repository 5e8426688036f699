#include "fuzz_entries.h"

#include "command_parser.h"
#include "front/run_settings.h"
#include "images/image_import.h"
#include "office/office_format.h"
#include "office/zip_reader.h"
#include "page_insertion.h"
#include "pdf_input.h"
#include "script/replay.h"
#include "vector/gzip_data.h"
#include "vector/vector_import.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <cstring>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFAcroFormDocumentHelper.hh>
#include <qpdf/QPDFWriter.hh>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

// Writes the document to memory, as a save would, so that every object is used.
void WriteOut(QPDF& pdf)
{
    QPDFWriter writer(pdf);
    writer.setOutputMemory();
    writer.setPreserveEncryption(false);
    writer.write();
}

} // namespace

void FuzzScriptReplay(const std::uint8_t* data, std::size_t size)
{
    static std::FILE* sink = std::fopen("/dev/null", "w");
    std::string copy(reinterpret_cast<const char*>(data), size);
    RunSettings.StoreMode = 1;
    RunSettings.Verbose = 0;
    RunSettings.StoreStream = sink;
    RunSettings.LoadStream = fmemopen(copy.data(), copy.size() + (copy.empty() ? 1 : 0), "r");
    if (RunSettings.LoadStream == nullptr)
        return;
    ReplayScript();
    std::fclose(RunSettings.LoadStream);
}

void FuzzCommandParser(const std::uint8_t* data, std::size_t size)
{
    std::vector<ParsedCommand> commands;
    std::string error;
    if (ParseExecute(std::string_view(reinterpret_cast<const char*>(data), size), commands, error))
        for (const ParsedCommand& command : commands)
            DescribeCommand(command);
}

void FuzzPdfInsert(const std::uint8_t* data, std::size_t size)
{
    try {
        // As the engine opens a file: its page tree read, and rewritten if repaired.
        auto parsed = std::make_shared<QPDF>();
        parsed->setSuppressWarnings(true);
        parsed->processMemoryFile("fuzzed.pdf", reinterpret_cast<const char*>(data), size);
        parsed->getAllPages();
        RepairPageCounts(*parsed);
        std::shared_ptr<QPDF> source = RewriteIfRepaired(parsed);
        parsed.reset();
        QPDF target;
        target.emptyPDF();
        target.setSuppressWarnings(true);
        QPDFAcroFormDocumentHelper forms(target);
        InsertPages(target, forms, *source, 0);
        WriteOut(target);
    } catch (const std::exception&) {
        // Refusing a broken file is the right outcome.
    }
}

void FuzzImage(const char* kind, const std::uint8_t* data, std::size_t size)
{
    std::string bytes(reinterpret_cast<const char*>(data), size);
    try {
        std::vector<ImagePage> pages;
        std::string k = kind;
        pages = k == "tiff"   ? ReadTiff(bytes)
                : k == "gif"  ? ReadGif(bytes)
                : k == "png"  ? ReadPng(bytes)
                : k == "jpeg" ? ReadJpeg(bytes)
                : k == "jpx"  ? ReadJpx(bytes)
                : k == "bmp"  ? ReadBmp(bytes)
                : k == "pnm"  ? ReadPnm(bytes)
                : k == "heif" ? ReadHeif(bytes)
                : k == "jxl"  ? ReadJxl(bytes)
                              : ReadWebP(bytes);
        auto pdf = MakeImageDocument(pages);
        WriteOut(*pdf);
    } catch (const std::exception&) {
    }
}

void FuzzDrawing(const char* kind, const std::uint8_t* data, std::size_t size)
{
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::string k = kind;
    try {
        std::shared_ptr<QPDF> pdf;
        if (k == "svg") {
            if (IsSvg(bytes))
                pdf = ReadSvg(bytes, "/nonexistent/fuzzed.svg");
        } else if (k == "svgz") {
            if (!IsGzip(bytes))
                return;
            std::string drawing = Gunzip(bytes, std::size_t(4) << 20);
            if (IsSvg(drawing))
                pdf = ReadSvg(drawing, "/nonexistent/fuzzed.svgz");
        } else if (k == "xps") {
            // libgxps reads a file: the input goes into one of this process's own.
            static std::string path = [] {
                char name[] = "/tmp/fuzz-xps-XXXXXX";
                int fd = mkstemp(name);
                if (fd >= 0)
                    close(fd);
                return std::string(name);
            }();
            if (!IsXps(bytes))
                return;
            std::FILE* file = std::fopen(path.c_str(), "wb");
            if (file == nullptr)
                return;
            std::fwrite(bytes.data(), 1, bytes.size(), file);
            std::fclose(file);
            pdf = ReadXps(bytes, path);
        } else if (k == "postscript") {
            // Ghostscript runs in its own sandboxed process; what the engine
            // itself reads of a PostScript file is its kind and DOS EPS header.
            if (IsPostScript(bytes))
                PreparePostScript(bytes);
            return;
        } else if (k == "text") {
            if (IsPlainText(bytes))
                pdf = ReadPlainText(bytes);
        }
        if (pdf != nullptr) {
            pdf->getAllPages();
            WriteOut(*pdf);
        }
    } catch (const std::exception&) {
    }
}

void FuzzOfficeDetect(const std::uint8_t* data, std::size_t size)
{
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::string format = OfficeFormat(bytes);
    // What the converter is handed: the kind names a file name extension.
    for (char c : format)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            std::abort();
    for (const char* name : {"[Content_Types].xml", "mimetype", "word/document.xml", "content.xml"}) {
        std::optional<std::string> entry = ReadZipEntry(bytes, name, 1 << 20);
        if (entry && entry->size() > (1 << 20))
            std::abort();
        if (entry && !HasZipEntry(bytes, name))
            std::abort();
    }
}
