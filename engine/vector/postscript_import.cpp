// PostScript and EPS with Ghostscript's pdfwrite, run as a sandboxed helper:
// no network, the program read-only in a private folder, the PDF written to
// another, a memory cap and a time limit. Every page of a PostScript file; an
// EPS as one page cropped to its bounding box; vectors and text stay so.
#include "helpers/sandbox.h"
#include "vector/rendered_pdf.h"
#include "vector/vector_import.h"

#include <cerrno>
#include <memory>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <qpdf/Pl_Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::chrono::milliseconds timeLimit = std::chrono::seconds(120);
constexpr std::uint64_t MemoryLimit = std::uint64_t(4) << 30;
constexpr const char* FontCache = "/var/cache/fontconfig";

std::uint32_t Little32(std::string_view bytes, std::size_t at)
{
    return std::uint32_t(std::uint8_t(bytes[at])) | std::uint32_t(std::uint8_t(bytes[at + 1])) << 8 |
           std::uint32_t(std::uint8_t(bytes[at + 2])) << 16 | std::uint32_t(std::uint8_t(bytes[at + 3])) << 24;
}

bool IsDosEps(std::string_view bytes)
{
    return bytes.size() >= 30 && bytes.substr(0, 4) == "\xc5\xd0\xd3\xc6";
}

std::string FindGhostscript()
{
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr && *path != '\0' ? path : "/usr/bin:/bin";
    std::istringstream list(folders);
    for (std::string folder; std::getline(list, folder, ':');) {
        if (folder.empty() || folder[0] != '/')
            continue;
        std::string candidate = folder + "/gs";
        if (access(candidate.c_str(), X_OK) == 0)
            return std::filesystem::canonical(candidate).string();
    }
    throw std::runtime_error("Ghostscript (gs) is needed to open PostScript files; install the ghostscript package");
}

// A private folder, removed with what is in it.
struct PrivateFolder {
    std::string path;
    PrivateFolder()
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + "/dochost-ps-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error(std::string("cannot make a private folder: ") + std::strerror(errno));
        path = pattern;
    }
    ~PrivateFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
};

// Whether a page's content only saves, transforms and restores the state.
bool DrawsNothing(QPDFPageObjectHelper& page)
{
    Pl_Buffer buffer("page content");
    page.pipeContents(&buffer);
    std::unique_ptr<Buffer> content(buffer.getBuffer());
    std::istringstream tokens(std::string(reinterpret_cast<const char*>(content->getBuffer()), content->getSize()));
    for (std::string token; tokens >> token;) {
        bool number = token.find_first_not_of("0123456789.-+") == std::string::npos;
        if (!number && token != "q" && token != "Q" && token != "cm")
            return false;
    }
    return true;
}

} // namespace

void SetPostScriptTimeLimit(std::chrono::milliseconds limit)
{
    timeLimit = limit;
}

bool IsPostScript(std::string_view bytes)
{
    if (IsDosEps(bytes))
        return true;
    if (!bytes.empty() && bytes[0] == '\x04') // a printer's end-of-job mark before the program
        bytes.remove_prefix(1);
    return bytes.substr(0, 4) == "%!PS";
}

PostScriptProgram PreparePostScript(const std::string& bytes)
{
    PostScriptProgram program;
    if (IsDosEps(bytes)) {
        // A binary header with the offset and length of the PostScript
        // section, before previews in TIFF or WMF.
        std::uint64_t offset = Little32(bytes, 4), length = Little32(bytes, 8);
        if (offset < 30 || length == 0 || offset + length > bytes.size())
            throw std::runtime_error("the EPS file is damaged or truncated");
        program.text = bytes.substr(offset, length);
        program.eps = true;
        return program;
    }
    program.text = bytes;
    std::size_t start = !bytes.empty() && bytes[0] == '\x04' ? 1 : 0;
    std::size_t lineEnd = bytes.find_first_of("\r\n", start);
    std::string_view first = std::string_view(bytes).substr(start, lineEnd == std::string::npos ? 256 : lineEnd - start);
    program.eps = first.find(" EPSF-") != std::string_view::npos;
    return program;
}

std::shared_ptr<QPDF> ReadPostScript(const std::string& bytes)
{
    PostScriptProgram program = PreparePostScript(bytes);
    std::string gs = FindGhostscript();
    PrivateFolder folder;
    std::string in = folder.path + "/in", out = folder.path + "/out";
    std::filesystem::create_directory(in);
    std::filesystem::create_directory(out);
    std::string input = in + (program.eps ? "/drawing.eps" : "/document.ps");
    {
        std::ofstream file(input, std::ios::binary);
        file.write(program.text.data(), std::streamsize(program.text.size()));
        if (!file.flush())
            throw std::runtime_error("cannot write the PostScript file to a private folder");
    }
    std::string output = out + "/document.pdf";
    std::vector<std::string> argv = {gs, "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite",
                                     "-dAutoRotatePages=/None", "-sOutputFile=" + output};
    if (program.eps)
        argv.push_back("-dEPSCrop");
    argv.push_back(input);

    SandboxAccess allowed;
    allowed.readOnly = {in};
    // Fontconfig's cache, without which Ghostscript scans every font on each start.
    if (access(FontCache, R_OK) == 0)
        allowed.readOnly.push_back(FontCache);
    allowed.writable = {out};
    allowed.memoryLimit = MemoryLimit;
    HelperProcess helper = StartSandboxed(argv, allowed, false, true);
    int status = 0;
    if (!WaitOrKill(helper, timeLimit, status))
        throw std::runtime_error("Ghostscript did not finish the PostScript file within " +
                                 (timeLimit.count() % 1000 == 0 ? std::to_string(timeLimit.count() / 1000) + " s"
                                                                : std::to_string(timeLimit.count()) + " ms") +
                                 "; it was stopped");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string how = WIFSIGNALED(status) ? "was killed by signal " + std::to_string(WTERMSIG(status))
                                              : "stopped with status " + std::to_string(WEXITSTATUS(status));
        throw std::runtime_error("Ghostscript cannot convert the PostScript file (it " + how +
                                 "): the file is damaged or does what the sandbox forbids");
    }
    std::ifstream file(output, std::ios::binary);
    std::string pdf((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (pdf.empty())
        throw std::runtime_error("the PostScript file has no pages");
    std::shared_ptr<QPDF> document = ReadPdfBytes(std::move(pdf), "PostScript file");
    // pdfwrite makes one empty page of a program that shows none.
    std::vector<QPDFPageObjectHelper> pages = QPDFPageDocumentHelper(*document).getAllPages();
    if (pages.size() == 1 && DrawsNothing(pages[0]))
        throw std::runtime_error("the PostScript file shows no page (empty or cut short)");
    return document;
}
