#include "pdf_input.h"

#include "images/image_import.h"
#include "vector/vector_import.h"
#include "office/office_format.h"
#include "office/office_import.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <qpdf/QPDF.hh>
#include <qpdf/BufferInputSource.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFWriter.hh>
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

std::shared_ptr<QPDF> OpenPdf(const std::string& path, std::FILE* file)
{
    std::rewind(file);
    auto pdf = std::make_shared<QPDF>();
    pdf->setSuppressWarnings(true);
    try {
        pdf->processFile(path.c_str(), file, true, "");
    } catch (QPDFExc& e) {
        if (e.getErrorCode() == qpdf_e_password)
            throw std::runtime_error("the file is encrypted and needs a password");
        throw std::runtime_error("not a readable PDF: " + e.getMessageDetail());
    }
    return pdf;
}

} // namespace

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
        document.pdf = OpenPdf(path, file);
        document.fileBacked = true;
        document.verbatim = !document.pdf->isEncrypted();
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
    }
    return document;
}
