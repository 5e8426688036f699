#include "pdf_output.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFWriter.hh>
#include <random>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::runtime_error SystemError(const std::string& what, int error)
{
    return std::runtime_error(what + ": " + std::strerror(error));
}

// The file a write replaces: through a symbolic link, the file it names.
std::string RealTarget(const std::string& path)
{
    struct stat info;
    if (lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        char real[PATH_MAX];
        if (realpath(path.c_str(), real) != nullptr)
            return real;
    }
    return path;
}

mode_t ModeFor(const std::string& target)
{
    struct stat info;
    if (stat(target.c_str(), &info) == 0 && S_ISREG(info.st_mode))
        return info.st_mode & 07777;
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

std::string TemporaryName(const std::string& folder, const std::string& base)
{
    static std::mt19937_64 random{std::random_device{}()};
    char suffix[20];
    std::snprintf(suffix, sizeof suffix, "%012llx", static_cast<unsigned long long>(random() & 0xffffffffffffULL));
    return folder + "/." + base + ".dochost-" + suffix;
}

void SyncFolder(const std::string& folder)
{
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// An unnamed file in folder where the system offers one (nothing is left
// behind if the engine dies while writing), else a named temporary file.
int CreateTemporary(const std::string& folder, const std::string& base, mode_t mode, std::string& named)
{
#ifdef O_TMPFILE
    int unnamed = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (unnamed >= 0 && access("/proc/self/fd", F_OK) == 0) {
        fchmod(unnamed, mode);
        return unnamed;
    }
    if (unnamed >= 0)
        close(unnamed);
#endif
    for (int attempt = 0; attempt < 100; ++attempt) {
        named = TemporaryName(folder, base);
        int fd = open(named.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            fchmod(fd, mode);
            return fd;
        }
        if (errno != EEXIST)
            break;
    }
    int error = errno;
    named.clear();
    throw SystemError("cannot create a file in " + folder, error);
}

// Gives the unnamed file a temporary name beside the target, ready to be renamed.
std::string NameUnnamed(int fd, const std::string& folder, const std::string& base)
{
    std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = TemporaryName(folder, base);
        if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return name;
        if (errno != EEXIST)
            break;
    }
    throw SystemError("cannot write in " + folder, errno);
}


// Writes path through fill, which writes the content to the stream given.
void WriteAtomically(const std::string& path, const std::function<void(std::FILE*)>& fill)
{
    std::string target = RealTarget(path);
    std::size_t slash = target.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.empty())
        throw std::runtime_error("the path names a folder");

    // A file that replaces another is on disk before the rename, so that not
    // even a power cut can leave neither; a new file (an intermediate, most
    // often) needs no such wait.
    bool replacing = access(target.c_str(), F_OK) == 0;
    std::string temporary;
    int fd = CreateTemporary(folder, base, ModeFor(target), temporary);
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        int error = errno;
        close(fd);
        if (!temporary.empty())
            unlink(temporary.c_str());
        throw SystemError("cannot write", error);
    }

    try {
        errno = 0;
        fill(file);
        // Not every writer reports every failed write (a full disk, a file
        // size limit): the stream's error flag does.
        if (std::fflush(file) != 0 || std::ferror(file) || (replacing && fsync(fd) != 0))
            throw SystemError("cannot write " + target, errno != 0 ? errno : EIO);
        if (temporary.empty())
            temporary = NameUnnamed(fd, folder, base);
    } catch (...) {
        std::fclose(file);
        if (!temporary.empty())
            unlink(temporary.c_str());
        throw;
    }
    if (std::fclose(file) != 0) {
        int error = errno;
        unlink(temporary.c_str());
        throw SystemError("cannot write " + target, error);
    }
    if (rename(temporary.c_str(), target.c_str()) != 0) {
        int error = errno;
        unlink(temporary.c_str());
        throw SystemError("cannot replace " + target, error);
    }
    if (replacing)
        SyncFolder(folder);
}

} // namespace

void WritePdfAtomically(QPDF& pdf, const std::string& path)
{
    WriteAtomically(path, [&](std::FILE* file) {
        QPDFWriter writer(pdf);
        writer.setOutputFile(path.c_str(), file, false);
        writer.setPreserveEncryption(false);
        writer.setDecodeLevel(qpdf_dl_generalized);
        writer.setCompressStreams(true);
        writer.setObjectStreamMode(qpdf_o_generate);
        writer.write();
    });
}

void CopyFileAtomically(const std::string& source, const std::string& target)
{
    int in = open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (in < 0)
        throw SystemError("cannot read " + source, errno);
    try {
        WriteAtomically(target, [&](std::FILE* file) {
            std::fflush(file);
            int out = fileno(file);
            // In the kernel where it can (a reflink on file systems that share
            // blocks), else through a buffer.
            for (;;) {
                ssize_t copied = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
                if (copied > 0)
                    continue;
                if (copied == 0)
                    return;
                if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
                    throw SystemError("cannot copy " + source, errno);
                break;
            }
            char buffer[1 << 16];
            ssize_t got;
            while ((got = read(in, buffer, sizeof buffer)) > 0)
                if (std::fwrite(buffer, 1, std::size_t(got), file) != std::size_t(got))
                    throw SystemError("cannot write " + target, errno);
            if (got < 0)
                throw SystemError("cannot read " + source, errno);
        });
    } catch (...) {
        close(in);
        throw;
    }
    close(in);
}
