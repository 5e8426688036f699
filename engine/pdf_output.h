#pragma once

#include <functional>
#include <memory>
#include <string>

class QPDF;

// Writes pdf to path so that a crash or a kill at any moment leaves either the
// old file or the new one: a temporary file in the target's folder, flushed to
// disk, then renamed over the target. A failed write leaves no temporary file.
void WritePdfAtomically(QPDF& pdf, const std::string& path);

// Copies the file at source to target the same way: a temporary file beside
// the target, flushed and renamed over it. The copy shares the source's
// blocks (a reflink) where the file system can.
void CopyFileAtomically(const std::string& source, const std::string& target);

// Gives the file at source a second name, target (a hard link), when target
// does not exist and the file system allows it; false when nothing was done.
// Only for a file nobody writes into in place (the engine never does).
bool LinkFile(const std::string& source, const std::string& target);

// A write of a document made ahead of its save, while the engine has nothing
// else to do: an unnamed file in the target's folder (it vanishes if the
// engine dies or the write is given up), put in place only by Commit.
class PreparedWrite {
public:
    // Writes pdf, as WritePdfAtomically would write it to path, into an
    // unnamed file. stop is asked between pieces of the output; when it says
    // true the write is given up and nullptr returned, as it is when the system
    // offers no unnamed file. A failed write throws.
    static std::unique_ptr<PreparedWrite> Prepare(QPDF& pdf, const std::string& path,
                                                  const std::function<bool()>& stop);
    ~PreparedWrite();
    PreparedWrite(const PreparedWrite&) = delete;
    PreparedWrite& operator=(const PreparedWrite&) = delete;

    // True when path still names the file this write was prepared for.
    bool For(const std::string& path) const;
    // Puts the written file in place of the target, as WritePdfAtomically does.
    void Commit();

private:
    PreparedWrite() = default;
    int fd_ = -1;
    std::string target_, folder_, base_;
    bool synced_ = false;
};
