// Replacing a file in one step, the one way every writer of whole files does it (the
// volume's compact, the project save, vxtool's project.json):
//   1. a private temporary file (mode 0600, created exclusively) beside the target, in the
//      same folder, so that the rename stays within one file system;
//   2. the caller writes the complete new content into it;
//   3. commit: fsync the temporary file, give it the target's owner and mode (a new target
//      gets those of any new file: 0666 less the umask), rename it over the target, and
//      sync the folder so that the rename itself survives a power loss.
// Until the rename the target is exactly as it was. A failure at any step removes the
// temporary file and says why; so does abandon(), and so does the destructor of a
// replacement that was not committed.
//
// The temporary file is made, synced and given its mode with the system's own calls; the
// rename goes through the host-file layer (EfsFile::move), so that a test can fail it and
// the crash model of the reliability tests sees it.
#pragma once

#include <QString>
#include <cstdint>

#include "efs/EfsFile.h"
#include "efs/Status.h"

namespace efs {

class FileReplacement final {
  public:
    enum class Naming {
        // ".<name>.XXXXXX.tmp" (six random letters and digits), locked for as long as this
        // object holds it: a later replacement of the same target removes the ones nobody
        // holds, left by a process that died part way.
        Hidden,
        // "<target>~N~", N = 0, 1, 2, ... in lower-case hexadecimal, the first one free.
        Numbered,
    };

    // Renames go through a host file made by factory (a POSIX one when it is empty).
    explicit FileReplacement(Naming naming, EfsFileFactory factory = {});
    // Abandons a replacement that was begun and not committed.
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // Starts replacing target (through a symbolic link, the file it points to). Refuses a
    // target that is a folder, not a regular file, marked read-only or not writable, and a
    // folder that does not exist; keeps the target's owner and mode; creates the temporary
    // file. An earlier replacement still in progress is abandoned first.
    Status begin(const QString& target);
    // The file that will be replaced (the link resolved), and whether it exists.
    const QString& target() const { return m_target; }
    bool targetExists() const { return m_targetMode >= 0; }
    // The target's size when begin() looked; 0 for a new target.
    int64_t targetSize() const { return m_targetSize; }
    // The temporary file, open for reading and writing, while a replacement is in progress;
    // empty and -1 otherwise. The descriptor stays this object's own.
    const QString& temporaryPath() const { return m_tempPath; }
    int descriptor() const { return m_fd; }
    bool inProgress() const { return m_fd >= 0; }

    // Makes the temporary file durable and renames it over the target (see above). On
    // failure before the rename, the temporary file is removed and the target is as it was.
    // A failure of the folder sync alone comes after the rename: replaced() then says that
    // the new content is in place, though it may not survive a power loss.
    Status commit();
    bool replaced() const { return m_replaced; }
    // Removes the temporary file; the target stays as it was.
    void abandon();

    // Replaces target with a file holding exactly bytes, by the steps above (Hidden naming).
    static Status writeWhole(const QString& target, const QByteArray& bytes,
                             EfsFileFactory factory = {});

    // The folder-local prefix and the suffix of the Hidden temporary files of target.
    static QString hiddenPrefix(const QString& target);
    static constexpr const char* kHiddenSuffix = ".tmp";

  private:
    Status createTemporary(const QString& folder);
    void removeStaleTemporaries(const QString& folder);

    Naming m_naming;
    EfsFileFactory m_factory;
    QString m_target;
    QString m_tempPath;
    int m_fd = -1;
    bool m_replaced = false;
    // The target's permission bits, owner and group; -1 when it did not exist.
    int m_targetMode = -1;
    uint32_t m_targetUid = 0;
    uint32_t m_targetGid = 0;
    int64_t m_targetSize = 0;
};

}  // namespace efs
