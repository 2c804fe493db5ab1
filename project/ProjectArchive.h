#pragma once

// The project's only door to a .vx container. It owns one EfsVolume and offers whole-file
// operations on it; the project's load and save (project/ProjectSave.h) are its users.
//
// A save never writes into the file it replaces: beginReplace() opens a new container in a
// fresh temporary file beside the target, ".<name>.XXXXXX.tmp", and commitReplace() makes
// it durable and renames it over the target in one step (efs/FileReplacement.h). Until that
// rename the target is exactly as it was; a process that dies part way leaves only the
// temporary file, which loads never look at and the next save of the same target removes.
// The temporary file is readable by its owner only until just before the rename, when it
// takes the target's permissions and owner (a new target gets those of any new file: 0666
// less the umask).
//
// Every operation returns an efs::Status: a success, or the failure's kind and its reason
// in words, as a clause that names the stored file where there is one but not the
// container ("ch0_e1.snd cannot be read: Input/output error while reading block 12"); the
// caller, who knows what the container is to the person, puts it into a sentence.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>

#include "efs/EfsVolume.h"
#include "efs/FileReplacement.h"
#include "efs/Status.h"

class ProjectArchive final {
  public:
    ProjectArchive();
    // Host files come from factory (tests inject failing ones); so does the rename of a
    // replacement.
    explicit ProjectArchive(EfsVolume::FileFactory factory);
    // Closes the volume; a replacement still in progress is abandoned and its temporary
    // file removed.
    ~ProjectArchive();
    ProjectArchive(const ProjectArchive&) = delete;
    ProjectArchive& operator=(const ProjectArchive&) = delete;

    // Both opens first abandon a replacement in progress (its temporary file is removed)
    // and close any open volume; both refuse a folder or a file that is not a regular file
    // without changing it.
    // Opens the container at path for reading and writing; a missing or empty file becomes
    // a new, empty container.
    efs::Status open(const QString& path);
    // Opens an existing container without changing it. Never creates a file.
    efs::Status openReadOnly(const QString& path);
    // Closes the volume; harmless when none is open. A failure means the volume could not
    // write back and close cleanly.
    efs::Status close();
    bool isOpen() const;

    // Reads the stored file name whole into out. A stored file that is absent fails as
    // NotFound; one that is empty succeeds with out empty. On failure out is unchanged.
    efs::Status readFile(const char* name, QByteArray& out);
    // readFile of the first count bytes only (all of a shorter file).
    efs::Status readFileHead(const char* name, int32_t count, QByteArray& out);
    // readFile with the bytes written to descriptor fd from its offset 0 on, copied inside
    // the kernel where the files allow it; fd's own offset is not used or moved. Failing
    // to write to fd is a failed read.
    efs::Status copyFileTo(const char* name, int fd);
    // The size of the stored file name as its record gives it, without reading its bytes:
    // lets a reader list a project, or take its sounds one at a time, without holding them
    // all. NotFound when the file is absent; *size is 0 on any failure.
    efs::Status storedSize(const char* name, int64_t* size);
    // Stores data as the stored file name, replacing any earlier content. Sizes are
    // 64-bit: the bytes go to the volume in chunks.
    efs::Status writeFile(const char* name, const QByteArray& data);
    // Stores the size bytes of descriptor fd from its offset 0 on (its own offset is not
    // used or moved), copied inside the kernel where the files allow it, so that the bytes
    // never pass through this process. A descriptor that ends before size bytes fails the
    // store ("cut short"); a failed store keeps nothing of the file.
    efs::Status writeFileFrom(const char* name, int fd, int64_t size);
    // Deletes every stored file. Fails when one of them could not be deleted.
    efs::Status removeAllFiles();

    // Starts replacing target: refuses a target that exists and is not a container (or
    // cannot be written), removes temporary files left by an earlier save of target, and
    // opens a new empty container in a fresh temporary file beside it.
    efs::Status beginReplace(const QString& target);
    // Closes the new container, makes it durable, checks that it opens again and renames
    // it over the target, keeping the target's permissions. On failure the temporary file
    // is removed and the target is left as it was, unless replaced() says otherwise: only
    // the final folder sync failed, and the new file is in place but may not survive a
    // power loss.
    efs::Status commitReplace();
    bool replaced() const { return m_replacement.replaced(); }
    // Closes and removes the new container; the target stays as it was.
    void abortReplace();
    // The temporary file of the replacement in progress; empty when none.
    QString replacementPath() const { return m_replacement.temporaryPath(); }

  private:
    // readFile, readFileHead (head > 0) and copyFileTo (fd >= 0, out null) in one.
    efs::Status readStored(const char* name, QByteArray* out, int fd, int32_t head);
    // writeFile (data) and writeFileFrom (fd >= 0) in one.
    efs::Status store(const char* name, const char* data, int fd, int64_t size);
    // The volume's last failure, after context.
    efs::Status volumeFailure(const QString& context) const;
    // Whether a stored file of size bytes fits the open container, as no sound one can
    // be larger; the container's size is taken again only when it seems too small.
    bool fitsHost(int64_t size);
    void dropReplacement();

    EfsVolume::FileFactory m_factory;
    std::unique_ptr<EfsVolume> m_volume;
    int64_t m_hostBytes = 0;  // the open container's size when last taken
    // The replacement in progress. Its temporary file stays locked for the whole save, so
    // that a concurrent save of the same target never removes it as stale.
    efs::FileReplacement m_replacement;
};
