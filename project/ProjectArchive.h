#pragma once

// The project's only door to a .vx container. It owns one EfsVolume and offers whole-file
// operations on it; Project::load and Project::save are its only users.
//
// A save never writes into the file it replaces: beginReplace() opens a new container in a
// fresh temporary file beside the target, ".<name>.XXXXXX.tmp", and commitReplace() makes
// it durable and renames it over the target in one step. Until that rename the target is
// exactly as it was; a process that dies part way leaves only the temporary file, which
// loads never look at and the next save of the same target removes. The temporary file
// is readable by its owner only until just before the rename, when it takes the target's
// permissions (a new target gets those of any new file: 0666 less the umask).
//
// Every operation reports failure through its result and leaves a reason in words in
// errorString() (the file and why), for the window's warning box.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>

#include "efs/EfsVolume.h"

class ProjectArchive final {
  public:
    // What the last readFile found.
    enum class ReadOutcome { Read, Missing, Empty, Failed };

    ProjectArchive();
    // Host files come from factory (tests inject failing ones).
    explicit ProjectArchive(EfsVolume::FileFactory factory);
    // Closes the volume; a replacement still in progress is abandoned and its temporary
    // file removed.
    ~ProjectArchive();
    ProjectArchive(const ProjectArchive&) = delete;
    ProjectArchive& operator=(const ProjectArchive&) = delete;

    // Both opens first abandon a replacement in progress (its temporary file is removed),
    // and both refuse at once a path that is not a regular file (a folder, a FIFO, a
    // device, a socket), saying so, without opening it.
    // Closes any open volume, then opens the container at path for reading and writing;
    // a missing or empty file becomes a new, empty container.
    bool open(const QString& path);
    // Closes any open volume, then opens an existing container without changing it.
    // Never creates a file.
    bool openReadOnly(const QString& path);
    // Closes the volume; harmless when none is open. False when the volume could not
    // write back and close cleanly.
    bool close();
    bool isOpen() const;

    // Reads the stored file name whole into out. False, with out unchanged, when the
    // file is absent, empty or cannot be read; readOutcome() tells which.
    bool readFile(const char* name, QByteArray& out);
    // readFile of the first count bytes only (all of a shorter file).
    bool readFileHead(const char* name, int32_t count, QByteArray& out);
    // readFile with the bytes written to descriptor fd from its offset 0 on, copied inside
    // the kernel where the files allow it; fd's own offset is not used or moved. Failing
    // to write to fd is a failed read.
    bool copyFileTo(const char* name, int fd);
    // The size of the stored file name as its record gives it, without reading its bytes:
    // lets a reader list a project, or take its sounds one at a time, without holding them
    // all. -1 when the file is absent or its record cannot be read; readOutcome() tells which
    // (Missing or Failed; Empty for a size of 0, Read otherwise) and errorString() why.
    int64_t storedSize(const char* name);
    ReadOutcome readOutcome() const { return m_readOutcome; }
    // Stores data as the stored file name, replacing any earlier content. Sizes are
    // 64-bit: the bytes go to the volume in chunks.
    bool writeFile(const char* name, const QByteArray& data);
    // Deletes every stored file. False when one of them could not be deleted.
    bool removeAllFiles();

    // Starts replacing target: refuses a target that exists and is not a container (or
    // cannot be written), removes temporary files left by an earlier save of target, and
    // opens a new empty container in a fresh temporary file beside it.
    bool beginReplace(const QString& target);
    // Closes the new container, makes it durable and renames it over the target, keeping
    // the target's permissions. On failure the temporary file is removed and the target
    // is left as it was (unless only the final folder sync failed: the new file is then
    // in place but may not survive a power loss, and the result is false).
    bool commitReplace();
    // Closes and removes the new container; the target stays as it was.
    void abortReplace();
    // The temporary file of the replacement in progress; empty when none.
    QString replacementPath() const { return m_tempPath; }

    // Why the last failing operation failed; empty after a success.
    QString errorString() const { return m_error; }

    // The volume error code in words.
    static QString volumeErrorText(int32_t code);
    // The folder-local prefix and suffix of the temporary files of target.
    static QString temporaryPrefix(const QString& target);
    static constexpr const char* kTemporarySuffix = ".tmp";

  private:
    // readFile, readFileHead (head > 0) and copyFileTo (fd >= 0, out null) in one.
    bool readStored(const char* name, QByteArray* out, int fd, int32_t head);
    bool fail(const QString& message);
    QString volumeReason() const;
    // Whether a stored file of size bytes fits the open container, as no sound one can
    // be larger; the container's size is taken again only when it seems too small.
    bool fitsHost(int64_t size);
    void removeStaleTemporaries(const QString& target);
    void dropTemporary();

    EfsVolume::FileFactory m_factory;
    std::unique_ptr<EfsVolume> m_volume;
    QString m_path;  // the container the volume was opened on, for messages
    QString m_error;
    ReadOutcome m_readOutcome = ReadOutcome::Missing;
    int64_t m_hostBytes = 0;  // the open container's size when last taken

    // The replacement in progress: target, temporary file, and a descriptor of the
    // temporary file that holds an exclusive lock on it for the whole save, so that a
    // concurrent save of the same target never removes it as stale. -1 when none.
    QString m_target;
    QString m_tempPath;
    int m_tempFd = -1;
    // The replaced file's permission bits, owner and group; m_targetMode is -1 when the
    // target did not exist.
    int m_targetMode = -1;
    uint32_t m_targetUid = 0;
    uint32_t m_targetGid = 0;
};
