#include "pdf_input.h"

#include "images/image_import.h"
#include "vector/vector_import.h"
#include "office/office_format.h"
#include "office/office_import.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/BufferInputSource.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFWriter.hh>
#include <set>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::runtime_error SystemError(const char* what)
{
    return std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

// Opens path for reading, refusing anything but a regular file.
std::FILE* OpenRegularFile(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        throw SystemError("cannot open the file");
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        throw std::runtime_error("not a regular file");
    }
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        close(fd);
        throw SystemError("cannot read the file");
    }
    return file;
}

bool HasPdfHeader(std::string_view head)
{
    return head.find("%PDF-") != std::string_view::npos;
}

std::string ReadRest(std::FILE* file, std::string bytes)
{
    char buffer[1 << 16];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, got);
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed)
        throw std::runtime_error("cannot read the file");
    return bytes;
}

// PDFs up to this size are read whole into memory: qpdf then reads their
// objects and stream data without a seek and a read for each, and the file
// needs no descriptor while the document lives. Larger ones are read from
// their file as needed.
constexpr off_t WholeFileLimit = 64 << 20;
// A join keeps every input until the output is written: past this many bytes
// read whole over the engine's life, PDFs are read from their files again, so
// that a join of many large PDFs does not hold them all in memory.
constexpr std::uint64_t WholeFilesBudget = std::uint64_t(1) << 30;
std::uint64_t wholeBytesRead = 0;

// The whole of file, or nothing when it is larger than the limit or the
// budget is spent.
std::unique_ptr<Buffer> ReadWhole(std::FILE* file)
{
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || info.st_size > WholeFileLimit || info.st_size <= 0 ||
        wholeBytesRead + static_cast<std::uint64_t>(info.st_size) > WholeFilesBudget)
        return nullptr;
    auto buffer = std::make_unique<Buffer>(static_cast<std::size_t>(info.st_size));
    std::size_t got = 0, size = buffer->getSize();
    while (got < size) {
        ssize_t n = pread(fileno(file), buffer->getBuffer() + got, size - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return nullptr; // shorter than it said, or unreadable: let qpdf read it as it is
        got += static_cast<std::size_t>(n);
    }
    wholeBytesRead += size;
    return buffer;
}

// readsFile: the document will read from the file when written.
std::shared_ptr<QPDF> OpenPdf(const std::string& path, std::FILE* file, bool& readsFile)
{
    std::rewind(file);
    auto pdf = std::make_shared<QPDF>();
    pdf->setSuppressWarnings(true);
    try {
        if (std::unique_ptr<Buffer> whole = ReadWhole(file)) {
            std::fclose(file);
            file = nullptr;
            // The input source owns the bytes for as long as the document lives.
            pdf->processInputSource(std::make_shared<BufferInputSource>(path, whole.release(), true));
        } else {
            readsFile = true;
            pdf->processFile(path.c_str(), file, true, "");
        }
    } catch (QPDFExc& e) {
        if (e.getErrorCode() == qpdf_e_password)
            throw std::runtime_error("the file is encrypted and needs a password");
        throw std::runtime_error("not a readable PDF: " + e.getMessageDetail());
    }
    return pdf;
}

} // namespace

// Other readers trust /Count, and qpdf refuses to insert pages into a tree
// whose root count is wrong.
bool RepairPageCounts(QPDF& pdf)
{
    std::set<QPDFObjGen> pages;
    for (const QPDFObjectHandle& page : pdf.getAllPages())
        pages.insert(page.getObjGen());
    std::map<QPDFObjGen, long long> counted; // nodes already counted, for trees that share or loop
    bool repaired = false;
    // Depth-limited, like qpdf's own walk: a hostile file must not exhaust the stack.
    std::function<long long(QPDFObjectHandle, int)> count = [&](QPDFObjectHandle node, int depth) -> long long {
        if (pages.count(node.getObjGen()) > 0)
            return 1;
        QPDFObjectHandle kids = node.isDictionary() ? node.getKey("/Kids") : QPDFObjectHandle();
        if (depth > 100 || !kids.isArray())
            return 0;
        auto seen = counted.find(node.getObjGen());
        if (node.isIndirect() && seen != counted.end())
            return seen->second;
        counted[node.getObjGen()] = 0;
        long long below = 0;
        for (int i = 0; i < kids.getArrayNItems(); ++i)
            below += count(kids.getArrayItem(i), depth + 1);
        QPDFObjectHandle written = node.getKey("/Count");
        if (!written.isInteger() || written.getIntValue() != below) {
            node.replaceKey("/Count", QPDFObjectHandle::newInteger(below));
            repaired = true;
        }
        counted[node.getObjGen()] = below;
        return below;
    };
    count(pdf.getRoot().getKey("/Pages"), 0);
    return repaired;
}

std::shared_ptr<QPDF> RewriteIfRepaired(std::shared_ptr<QPDF> pdf)
{
    if (!pdf->anyWarnings())
        return pdf;
    QPDFWriter writer(*pdf);
    writer.setOutputMemory();
    writer.setPreserveEncryption(false);
    writer.write();
    auto sound = std::make_shared<QPDF>();
    sound->setSuppressWarnings(true);
    // The input source owns the written bytes for as long as the document lives.
    sound->processInputSource(std::make_shared<BufferInputSource>("repaired document", writer.getBuffer(), true));
    return sound;
}

Document OpenDocumentFile(const std::string& path)
{
    std::FILE* file = OpenRegularFile(path);
    Document document;
    document.file = path;
    document.identity = IdentifyDescriptor(fileno(file));
    char head[1024];
    std::size_t got = std::fread(head, 1, sizeof head, file);
    std::string_view start(head, got);
    // An image's signature stands at its first byte; a PDF header may come later.
    if (SniffImage(start) != ImageKind::None) {
        document.pdf = ImportImage(ReadRest(file, std::string(start)));
    } else if (HasPdfHeader(start)) {
        document.pdf = OpenPdf(path, file, document.readsFiles);
        document.fileBacked = true;
        document.verbatim = !document.pdf->isEncrypted();
        if (RepairPageCounts(*document.pdf))
            document.verbatim = false; // saved with the counts put right, not copied
    } else {
        std::string bytes = ReadRest(file, std::string(start));
        if (std::string office = OfficeFormat(bytes); !office.empty())
            document.pdf = ImportOfficeDocument(bytes, office);
        else
            document.pdf = OpenVectorKind(path, bytes);
        // Plain text is what is left when every other kind has been ruled out.
        if (document.pdf == nullptr && IsPlainText(bytes))
            document.pdf = ReadPlainText(bytes);
        if (document.pdf == nullptr)
            throw std::runtime_error("neither a PDF nor an image of a kind dochost reads");
    }
    if (document.pdf->getAllPages().empty())
        throw std::runtime_error("the document has no pages");
    // Reading the file or its page tree may have needed repairs.
    document.verbatim = document.verbatim && !document.pdf->anyWarnings();
    if (document.fileBacked && document.pdf->anyWarnings()) {
        document.pdf = RewriteIfRepaired(document.pdf);
        document.fileBacked = false; // it lives in memory now
        document.readsFiles = false;
    }
    return document;
}
