#include "pdf_output.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <functional>
#include <qpdf/Pipeline.hh>
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


// The file a write of path replaces, its folder and its name in the folder.
void SplitTarget(const std::string& path, std::string& target, std::string& folder, std::string& base)
{
    target = RealTarget(path);
    std::size_t slash = target.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.empty())
        throw std::runtime_error("the path names a folder");
}

// How QPDFWriter writes every PDF the engine saves.
void Configure(QPDFWriter& writer, QPDF& pdf)
{
    // Pages in larger units (pages beyond 200 inches) are read so from PDF
    // 1.6 on; qpdf raises the version for what it writes itself.
    for (QPDFObjectHandle page : pdf.getAllPages())
        if (page.hasKey("/UserUnit")) {
            writer.setMinimumPDFVersion("1.6");
            break;
        }
    writer.setPreserveEncryption(false);
    writer.setDecodeLevel(qpdf_dl_generalized);
    writer.setCompressStreams(true);
    writer.setObjectStreamMode(qpdf_o_generate);
}

struct WriteGivenUp {};

// The output of a write ahead: to a stream, asking stop now and then (every
// 256 KiB) whether to give up.
class StoppableOutput : public Pipeline {
public:
    StoppableOutput(std::FILE* file, const std::function<bool()>& stop)
        : Pipeline("write ahead", nullptr), file_(file), stop_(stop)
    {
    }
    void write(unsigned char const* data, size_t length) override
    {
        if (std::fwrite(data, 1, length, file_) != length)
            throw SystemError("cannot write", errno != 0 ? errno : EIO);
        sinceAsked_ += length;
        if (sinceAsked_ >= (256 << 10)) {
            sinceAsked_ = 0;
            if (stop_())
                throw WriteGivenUp();
        }
    }
    void finish() override
    {
        if (std::fflush(file_) != 0)
            throw SystemError("cannot write", errno != 0 ? errno : EIO);
    }

private:
    std::FILE* file_;
    const std::function<bool()>& stop_;
    std::size_t sinceAsked_ = 0;
};

// Writes path through fill, which writes the content to the stream given.
void WriteAtomically(const std::string& path, const std::function<void(std::FILE*)>& fill)
{
    std::string target, folder, base;
    SplitTarget(path, target, folder, base);

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
        Configure(writer, pdf);
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
#ifdef FICLONE
            // The same blocks, shared, on file systems that can (Btrfs, XFS).
            if (ioctl(out, FICLONE, in) == 0)
                return;
#endif
            // In the kernel where it can, else through a buffer.
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

bool LinkFile(const std::string& source, const std::string& target)
{
    return linkat(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

std::unique_ptr<PreparedWrite> PreparedWrite::Prepare(QPDF& pdf, const std::string& path,
                                                      const std::function<bool()>& stop)
{
#ifndef O_TMPFILE
    return nullptr;
#else
    std::unique_ptr<PreparedWrite> prepared(new PreparedWrite);
    SplitTarget(path, prepared->target_, prepared->folder_, prepared->base_);
    // Only an unnamed file: a named one would be left behind by a kill.
    int fd = open(prepared->folder_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0 || access("/proc/self/fd", F_OK) != 0) {
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        close(fd);
        return nullptr;
    }
    try {
        errno = 0;
        StoppableOutput output(file, stop);
        QPDFWriter writer(pdf);
        writer.setOutputPipeline(&output);
        Configure(writer, pdf);
        writer.write();
        if (std::fflush(file) != 0 || std::ferror(file))
            throw SystemError("cannot write " + prepared->target_, errno != 0 ? errno : EIO);
        // A file that will replace another is on disk before its rename; the
        // wait is taken now, while nothing else is to be done.
        if (access(prepared->target_.c_str(), F_OK) == 0 && !stop()) {
            if (fsync(fd) != 0)
                throw SystemError("cannot write " + prepared->target_, errno);
            prepared->synced_ = true;
        }
    } catch (const WriteGivenUp&) {
        std::fclose(file);
        return nullptr;
    } catch (...) {
        std::fclose(file);
        throw;
    }
    prepared->fd_ = dup(fd);
    std::fclose(file);
    if (prepared->fd_ < 0)
        return nullptr;
    return prepared;
#endif
}

PreparedWrite::~PreparedWrite()
{
    if (fd_ >= 0)
        close(fd_);
}

bool PreparedWrite::For(const std::string& path) const
{
    std::string target, folder, base;
    try {
        SplitTarget(path, target, folder, base);
    } catch (const std::exception&) {
        return false;
    }
    return target == target_;
}

void PreparedWrite::Commit()
{
    bool replacing = access(target_.c_str(), F_OK) == 0;
    fchmod(fd_, ModeFor(target_));
    if (replacing && !synced_ && fsync(fd_) != 0)
        throw SystemError("cannot write " + target_, errno);
    std::string temporary = NameUnnamed(fd_, folder_, base_);
    if (rename(temporary.c_str(), target_.c_str()) != 0) {
        int error = errno;
        unlink(temporary.c_str());
        throw SystemError("cannot replace " + target_, error);
    }
    close(fd_);
    fd_ = -1;
    if (replacing)
        SyncFolder(folder_);
}
