#include "pdf_input.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
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

bool HasPdfHeader(std::FILE* file)
{
    char head[1024];
    std::size_t got = std::fread(head, 1, sizeof head, file);
    std::rewind(file);
    std::string_view text(head, got);
    return text.find("%PDF-") != std::string_view::npos;
}

} // namespace

std::shared_ptr<QPDF> OpenPdfFile(const std::string& path)
{
    std::FILE* file = OpenRegularFile(path);
    if (!HasPdfHeader(file)) {
        std::fclose(file);
        throw std::runtime_error("not a PDF file");
    }
    auto pdf = std::make_shared<QPDF>();
    pdf->setSuppressWarnings(true);
    try {
        pdf->processFile(path.c_str(), file, true, "");
    } catch (QPDFExc& e) {
        if (e.getErrorCode() == qpdf_e_password)
            throw std::runtime_error("the file is encrypted and needs a password");
        throw std::runtime_error("not a readable PDF: " + e.getMessageDetail());
    }
    if (pdf->getAllPages().empty())
        throw std::runtime_error("the document has no pages");
    return pdf;
}
