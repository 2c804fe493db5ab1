#include "project/ProjectArchive.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "project/FileMappings.h"

namespace {

// Stored files move between memory and the volume in pieces of this size, so no count
// handed to the volume's 32-bit calls ever overflows.
constexpr int32_t kChunk = 4 * 1024 * 1024;
// Random characters in a temporary file name.
constexpr int kRandomLength = 6;
// The temporary name keeps at most this many characters of the target's name, so that
// it stays within the folder's name length limit.
constexpr int kNameKept = 80;

QString tr(const char* text) { return QCoreApplication::translate("ProjectArchive", text); }

QString shown(const QString& path) { return QDir::toNativeSeparators(path); }

QString systemError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

QByteArray encoded(const QString& path) { return QFile::encodeName(path); }

int openNoIntr(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);  // GCOVR_EXCL_BR_LINE: interrupted calls come from signals
    return fd;
}

bool syncNoIntr(int fd) {
    int r;
    do {
        r = ::fsync(fd);
    } while (r != 0 && errno == EINTR);  // GCOVR_EXCL_BR_LINE: interrupted calls come from signals
    return r == 0;
}

// The process's file mode creation mask. Read from /proc where it can be, because the
// only portable way, umask() set and set back, briefly changes it for every thread.
mode_t currentUmask() {
    // GCOVR_EXCL_BR_START: the fallbacks serve systems without /proc
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
            if (!line.startsWith("Umask:")) continue;
            bool ok = false;
            const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
            if (ok && mask <= 0777) return static_cast<mode_t>(mask);
            break;
        }
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
    // GCOVR_EXCL_BR_STOP
}

// A short note to add when a write failure may come from a full disk.
QString diskFullNote(const QString& folder) {
    // GCOVR_EXCL_BR_START: only a disk that is really full takes these branches
    struct statvfs vfs {};
    if (::statvfs(encoded(folder).constData(), &vfs) != 0) return {};
    const unsigned long long freeBytes = static_cast<unsigned long long>(vfs.f_bavail) *
                                         static_cast<unsigned long long>(vfs.f_frsize);
    if (freeBytes >= 16ull * 1024 * 1024) return {};
    return tr(" The disk is full or nearly full.");
    // GCOVR_EXCL_BR_STOP
}

}  // namespace

ProjectArchive::ProjectArchive() : ProjectArchive(EfsVolume::FileFactory()) {}

ProjectArchive::ProjectArchive(EfsVolume::FileFactory factory)
    : m_factory(std::move(factory)),
      m_volume(m_factory ? std::make_unique<EfsVolume>(m_factory) : std::make_unique<EfsVolume>()) {
}

ProjectArchive::~ProjectArchive() {
    if (m_tempFd >= 0)
        abortReplace();
    else
        m_volume->closeVolume();
}

bool ProjectArchive::fail(const QString& message) {
    m_error = message;
    return false;
}

QString ProjectArchive::volumeErrorText(int32_t code) {
    switch (code) {  // GCOVR_EXCL_BR_LINE: one text per code; a test would restate the table
        case EfsVolume::ErrorNone:
            return tr("no error");
        case EfsVolume::ErrorHostOpen:
            return tr("the file cannot be opened");
        case EfsVolume::ErrorVersion:
            return tr("the file was written by a newer version of the program");
        case EfsVolume::ErrorBlockSize:
            return tr("the file has an unsupported block size");
        case EfsVolume::ErrorState:
            return tr("the operation is not possible in the container's current state");
        case EfsVolume::ErrorNoSpace:
            return tr("there is no room left for the container");
        case EfsVolume::ErrorArgument:
            return tr("an invalid request was made to the container");
        case EfsVolume::ErrorNotFound:
            return tr("a stored file was not found");
        case EfsVolume::ErrorIo:
            return tr(
                "the file is not a voxtrail project, is damaged, or cannot be read or "
                "written");
        case EfsVolume::ErrorTempVolume:
            return tr("a temporary container cannot be created");
        default:
            return tr("unknown container error %1").arg(code);  // GCOVR_EXCL_BR_LINE: no such code
    }
}

QString ProjectArchive::volumeReason() const {
    const int32_t code = m_volume->lastError();
    QString reason = volumeErrorText(code);
    if (code == EfsVolume::ErrorIo || code == EfsVolume::ErrorNoSpace)
        reason += diskFullNote(QFileInfo(m_path).absolutePath());
    return reason;
}

bool ProjectArchive::isOpen() const { return m_volume->isOpen(); }

namespace {

// Why the file at path cannot hold a container, judged by its kind alone; empty when it
// is missing or a regular file. Asked before any open, so that a FIFO, a device or a
// socket is refused with its reason instead of being opened.
QString hostFileProblem(const QString& path) {
    struct stat st {};
    if (::stat(encoded(path).constData(), &st) != 0) return {};
    if (S_ISDIR(st.st_mode)) return tr("it is a folder");
    if (!S_ISREG(st.st_mode)) return tr("it is not a regular file");
    return {};
}

// The system's own words for why path cannot be opened for reading (no such file,
// permission denied), or the kind of file it is; empty when it opens.
QString openProblem(const QString& path) {
    const QString problem = hostFileProblem(path);
    if (!problem.isEmpty()) return problem;
    // Without waiting: whatever appeared at path since must not hang the caller.
    const int fd = openNoIntr(encoded(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return systemError(errno);
    ::close(fd);  // GCOVR_EXCL_BR_LINE: the file became openable since the volume failed
    return {};
}

}  // namespace

bool ProjectArchive::open(const QString& path) {
    // A replacement still in progress is abandoned: its temporary file goes.
    if (m_tempFd >= 0) dropTemporary();
    m_volume->closeVolume();
    m_error.clear();
    m_path = path;
    if (path.isEmpty()) return fail(tr("No file name was given."));
    const QString problem = hostFileProblem(path);
    if (!problem.isEmpty()) return fail(tr("Cannot open %1: %2.").arg(shown(path), problem));
    m_hostBytes = 0;
    if (!m_volume->openVolume(path)) {
        QString reason = volumeReason();
        if (m_volume->lastError() == EfsVolume::ErrorHostOpen) {
            const QString why = openProblem(path);
            if (!why.isEmpty()) reason = why;
        }
        return fail(tr("Cannot open %1: %2.").arg(shown(path), reason));
    }
    return true;
}

bool ProjectArchive::openReadOnly(const QString& path) {
    // A replacement still in progress is abandoned: its temporary file goes.
    if (m_tempFd >= 0) dropTemporary();
    m_volume->closeVolume();
    m_error.clear();
    m_path = path;
    if (path.isEmpty()) return fail(tr("No file name was given."));
    const QString problem = hostFileProblem(path);
    if (!problem.isEmpty()) return fail(tr("Cannot open %1: %2.").arg(shown(path), problem));
    m_hostBytes = 0;
    if (m_volume->openVolumeReadOnly(path)) return true;
    QString reason = volumeReason();
    if (m_volume->lastError() == EfsVolume::ErrorHostOpen) {
        const QString why = openProblem(path);
        if (!why.isEmpty()) reason = why;
    } else if (QFileInfo(path).size() == 0) {
        reason = tr("the file is empty");
    }
    return fail(tr("Cannot open %1: %2.").arg(shown(path), reason));
}

bool ProjectArchive::close() {
    if (!m_volume->isOpen()) return true;
    m_volume->closeVolume();
    if (m_volume->lastError() != EfsVolume::ErrorNone)
        return fail(tr("Cannot finish writing %1: %2.").arg(shown(m_path), volumeReason()));
    return true;
}

bool ProjectArchive::fitsHost(int64_t size) {
    if (size <= m_hostBytes) return true;
    VolumeStatistics stats;
    m_volume->volumeStatistics(&stats);
    m_hostBytes = stats.hostSize;
    return size <= m_hostBytes;
}

bool ProjectArchive::readFile(const char* name, QByteArray& out) {
    return readStored(name, &out, -1, 0);
}

bool ProjectArchive::readFileHead(const char* name, int32_t count, QByteArray& out) {
    return readStored(name, &out, -1, count);
}

bool ProjectArchive::copyFileTo(const char* name, int fd) {
    return readStored(name, nullptr, fd, 0);
}

bool ProjectArchive::readStored(const char* name, QByteArray* out, int fd, int32_t head) {
    m_error.clear();
    m_readOutcome = ReadOutcome::Failed;
    const QString what = QString::fromLatin1(name ? name : "");
    if (!m_volume->isOpen()) return fail(tr("Cannot read %1: no container is open.").arg(what));
    const int32_t h = m_volume->openFile(name, EfsVolume::AccessRead, EfsVolume::OpenExisting);
    if (h == 0) {
        if (m_volume->lastError() == EfsVolume::ErrorState) {
            m_readOutcome = ReadOutcome::Missing;
            return fail(tr("%1 holds no stored file %2.").arg(shown(m_path), what));
        }
        return fail(tr("Cannot read %1 in %2: %3.").arg(what, shown(m_path), volumeReason()));
    }
    auto failAndClose = [&](const QString& message) {
        m_volume->closeFile(h);
        return fail(message);
    };
    const int64_t size = m_volume->fileSize(h);
    if (size <= 0) {
        m_volume->closeFile(h);
        m_readOutcome = ReadOutcome::Empty;
        return fail(tr("The stored file %1 in %2 is empty.").arg(what, shown(m_path)));
    }
    // A stored file's bytes all lie inside the host file; a larger size is damage and
    // must not drive an allocation.
    // GCOVR_EXCL_BR_START: the volume refuses such a record first; kept as a second guard
    if (!fitsHost(size)) {
        return failAndClose(tr("The stored file %1 in %2 is damaged: it claims %3 bytes, more "
                               "than the whole file holds.")
                                .arg(what, shown(m_path))
                                .arg(size));
    }
    const int64_t wanted = head > 0 ? std::min<int64_t>(head, size) : size;
    // The host file's size bounds the allocation; running out of memory below it is not
    // brought about in a test.
    QByteArray buffer;
    if (fd < 0) {
        try {
            buffer = QByteArray(static_cast<qsizetype>(wanted), Qt::Uninitialized);
        } catch (const std::bad_alloc&) {
            return failAndClose(tr("Not enough memory to read %1 (%2 bytes) from %3.")
                                    .arg(what)
                                    .arg(wanted)
                                    .arg(shown(m_path)));
        }
    }
    // GCOVR_EXCL_BR_STOP
    char* data = buffer.data();
    for (int64_t done = 0; done < wanted;) {
        const auto n = static_cast<int32_t>(std::min<int64_t>(kChunk, wanted - done));
        const int32_t got =
            fd >= 0 ? m_volume->readFileTo(h, fd, done, n) : m_volume->readFile(h, data + done, n);
        if (got != n) {
            const QString reason = m_volume->lastError() != EfsVolume::ErrorNone
                                       ? volumeReason()
                                       : tr("the stored file ended early");
            return failAndClose(tr("Cannot read %1 in %2: %3.").arg(what, shown(m_path), reason));
        }
        done += n;
    }
    m_volume->closeFile(h);
    if (out != nullptr) *out = std::move(buffer);
    m_readOutcome = ReadOutcome::Read;
    return true;
}

int64_t ProjectArchive::storedSize(const char* name) {
    m_error.clear();
    m_readOutcome = ReadOutcome::Failed;
    const QString what = QString::fromLatin1(name ? name : "");
    if (!m_volume->isOpen()) {
        fail(tr("Cannot read %1: no container is open.").arg(what));
        return -1;
    }
    const int32_t h = m_volume->openFile(name, EfsVolume::AccessRead, EfsVolume::OpenExisting);
    if (h == 0) {
        if (m_volume->lastError() == EfsVolume::ErrorState) {
            m_readOutcome = ReadOutcome::Missing;
            fail(tr("%1 holds no stored file %2.").arg(shown(m_path), what));
        } else {
            fail(tr("Cannot read %1 in %2: %3.").arg(what, shown(m_path), volumeReason()));
        }
        return -1;
    }
    const int64_t size = m_volume->fileSize(h);
    m_volume->closeFile(h);
    // As in readFile: a size beyond what the host file holds is damage.
    // GCOVR_EXCL_BR_START: the volume refuses such a record first; kept as a second guard
    if (size < 0 || !fitsHost(size)) {
        fail(tr("The stored file %1 in %2 is damaged: it claims %3 bytes, more than the whole "
                "file holds.")
                 .arg(what, shown(m_path))
                 .arg(size));
        return -1;
    }
    // GCOVR_EXCL_BR_STOP
    m_readOutcome = size == 0 ? ReadOutcome::Empty : ReadOutcome::Read;
    return size;
}

bool ProjectArchive::writeFile(const char* name, const QByteArray& data) {
    m_error.clear();
    const QString what = QString::fromLatin1(name ? name : "");
    if (!m_volume->isOpen()) return fail(tr("Cannot store %1: no container is open.").arg(what));
    // CreateAlways: the stored file holds exactly data, whatever it held before.
    const int32_t h = m_volume->openFile(name, EfsVolume::AccessWrite, EfsVolume::CreateAlways);
    if (h == 0)
        return fail(tr("Cannot store %1 in %2: %3.").arg(what, shown(m_path), volumeReason()));
    const char* bytes = data.constData();
    const qsizetype size = data.size();
    // Bytes that are a whole mapped file come from the file, copied inside the kernel; the
    // stored blocks are the same either way.
    const int source = FileMappings::descriptorOf(bytes, size);
    for (qsizetype done = 0; done < size;) {
        const auto n = static_cast<int32_t>(std::min<qsizetype>(kChunk, size - done));
        const bool written = source >= 0 ? m_volume->writeFileFrom(h, source, done, n)
                                         : m_volume->writeFile(h, bytes + done, n);
        if (!written) {
            struct stat st {};
            const bool cutShort = source >= 0 && ::fstat(source, &st) == 0 && st.st_size < done + n;
            const QString reason =
                cutShort ? tr("its file was cut short by another program while it was copied")
                         : volumeReason();
            m_volume->closeFile(h);
            m_volume->removeFile(name);
            return fail(tr("Cannot store %1 in %2: %3.").arg(what, shown(m_path), reason));
        }
        done += n;
    }
    m_volume->closeFile(h);
    if (m_volume->lastError() != EfsVolume::ErrorNone) {
        const QString reason = volumeReason();
        m_volume->removeFile(name);
        return fail(tr("Cannot store %1 in %2: %3.").arg(what, shown(m_path), reason));
    }
    return true;
}

bool ProjectArchive::removeAllFiles() {
    m_error.clear();
    if (!m_volume->isOpen()) return fail(tr("Cannot empty the container: none is open."));
    QList<QByteArray> names;
    m_volume->listFiles(&names);
    bool ok = true;
    for (const QByteArray& name : names) {
        if (!m_volume->removeFile(name.constData()) && ok) {
            ok = fail(tr("Cannot delete %1 in %2: %3.")
                          .arg(QString::fromLatin1(name), shown(m_path), volumeReason()));
        }
    }
    return ok;
}

// ---- Replacing a container -------------------------------------------------------------

QString ProjectArchive::temporaryPrefix(const QString& target) {
    return "." + QFileInfo(target).fileName().left(kNameKept) + ".";
}

void ProjectArchive::removeStaleTemporaries(const QString& target) {
    const QFileInfo info(target);
    const QDir folder = info.absoluteDir();
    const QString prefix = temporaryPrefix(target);
    const QString suffix = QString::fromLatin1(kTemporarySuffix);
    // Matched by hand: the target's name may hold characters that are wildcards to a
    // name filter.
    const QStringList names = folder.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        if (name.size() != prefix.size() + kRandomLength + suffix.size() ||
            !name.startsWith(prefix) || !name.endsWith(suffix))
            continue;
        const QByteArray path = encoded(folder.filePath(name));
        const int fd = openNoIntr(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        // A save in progress holds its lock; only files nobody holds are stale.
        struct stat held {};
        struct stat now {};
        // GCOVR_EXCL_BR_START: fstat and lstat fail, or the name moves, only in a race
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 &&
            ::lstat(path.constData(), &now) == 0 && held.st_ino == now.st_ino &&
            held.st_dev == now.st_dev) {
            // GCOVR_EXCL_BR_STOP
            ::unlink(path.constData());
        }
        ::close(fd);
    }
}

bool ProjectArchive::beginReplace(const QString& target) {
    if (m_tempFd >= 0) abortReplace();
    m_volume->closeVolume();
    // A volume keeps the parameters of the container it opened last (a loaded file may
    // carry any growth step); a new container starts from the defaults.
    m_volume = m_factory ? std::make_unique<EfsVolume>(m_factory) : std::make_unique<EfsVolume>();
    m_error.clear();
    if (target.isEmpty()) return fail(tr("No file name was given."));

    // Saving through a symbolic link replaces the file it points to, not the link.
    QString resolved = QFileInfo(target).absoluteFilePath();
    const QFileInfo linkInfo(resolved);
    if (linkInfo.isSymLink()) {
        const QString canonical = linkInfo.canonicalFilePath();
        resolved = canonical.isEmpty() ? linkInfo.symLinkTarget() : canonical;
    }

    struct stat st {};
    const QByteArray resolvedName = encoded(resolved);
    m_targetMode = -1;
    if (::stat(resolvedName.constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return fail(tr("Cannot save to %1: it is a folder.").arg(shown(target)));
        if (!S_ISREG(st.st_mode))
            return fail(tr("Cannot save to %1: it is not a regular file.").arg(shown(target)));
        // A file marked read-only is not replaced, even by a user the system would let.
        if ((st.st_mode & 0222) == 0)
            return fail(tr("Cannot save to %1: the file is read-only.").arg(shown(target)));
        // Refused only for a user other than root (a branch the tests as root never take).
        if (::access(resolvedName.constData(), W_OK) != 0)  // GCOVR_EXCL_BR_LINE
            return fail(tr("Cannot save to %1: %2.").arg(shown(target), systemError(errno)));
        if (st.st_size > 0) {
            // Only a container may be replaced: anything else could be someone's work.
            m_path = resolved;
            m_hostBytes = 0;
            if (!m_volume->openVolumeReadOnly(resolved)) {
                return fail(tr("Cannot save to %1: the existing file is not a readable voxtrail "
                               "project (%2), so it was not overwritten.")
                                .arg(shown(target), volumeReason()));
            }
            m_volume->closeVolume();
        }
        m_targetMode = static_cast<int>(st.st_mode & 07777);
        m_targetUid = st.st_uid;
        m_targetGid = st.st_gid;
    } else if (errno != ENOENT) {  // GCOVR_EXCL_BR_LINE: only a damaged file system
        return fail(tr("Cannot save to %1: %2.").arg(shown(target), systemError(errno)));
    }

    const QFileInfo resolvedInfo(resolved);
    const QDir folder = resolvedInfo.absoluteDir();
    if (!folder.exists())
        return fail(tr("Cannot save to %1: the folder %2 does not exist.")
                        .arg(shown(target), shown(folder.absolutePath())));
    removeStaleTemporaries(resolved);

    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const QString prefix = temporaryPrefix(resolved);
    // GCOVR_EXCL_BR_START: name collisions and a file taken away between creation and
    // locking are races a test does not bring about
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString random;
        for (int i = 0; i < kRandomLength; ++i)
            random += QChar::fromLatin1(
                kAlphabet[QRandomGenerator::global()->bounded(int(sizeof kAlphabet - 1))]);
        const QString temp = folder.filePath(prefix + random + kTemporarySuffix);
        const QByteArray tempName = encoded(temp);
        // Private while it is written: the project may be someone's private file. It gets
        // its final permissions only just before it takes the target's place.
        const int fd =
            openNoIntr(tempName.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return fail(tr("Cannot save to %1: cannot create a file in %2: %3.")
                            .arg(shown(target), shown(folder.absolutePath()), systemError(errno)));
        }
        struct stat mine {};
        struct stat there {};
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &mine) != 0 ||
            ::lstat(tempName.constData(), &there) != 0 || mine.st_ino != there.st_ino ||
            mine.st_dev != there.st_dev) {
            // Taken away between creation and locking: try another name.
            ::close(fd);
            continue;
        }
        m_tempFd = fd;
        m_tempPath = temp;
        break;
    }
    if (m_tempFd < 0)
        return fail(tr("Cannot save to %1: no temporary file could be created in %2.")
                        .arg(shown(target), shown(folder.absolutePath())));
    // GCOVR_EXCL_BR_STOP

    m_target = resolved;
    m_path = m_tempPath;
    m_hostBytes = 0;
    if (!m_volume->openVolume(m_tempPath)) {
        const QString reason = volumeReason();
        dropTemporary();
        return fail(tr("Cannot save to %1: %2.").arg(shown(target), reason));
    }
    // The temporary file counts only once it is closed, synced and checked: until then
    // its blocks may wait in memory and go out together.
    m_volume->setDeferredWrites(true);
    return true;
}

void ProjectArchive::dropTemporary() {
    m_volume->closeVolume();
    m_volume->setDeferredWrites(false);
    if (!m_tempPath.isEmpty()) ::unlink(encoded(m_tempPath).constData());
    if (m_tempFd >= 0) ::close(m_tempFd);
    m_tempFd = -1;
    m_tempPath.clear();
    m_target.clear();
}

void ProjectArchive::abortReplace() {
    const QString error = m_error;
    dropTemporary();
    m_error = error;
}

bool ProjectArchive::commitReplace() {
    m_error.clear();
    if (m_tempFd < 0) return fail(tr("Cannot finish saving: no save is in progress."));
    const QString target = m_target;
    auto failAndDrop = [&](const QString& message) {
        dropTemporary();
        return fail(message);
    };

    m_volume->closeVolume();
    if (m_volume->lastError() != EfsVolume::ErrorNone) {
        return failAndDrop(tr("Cannot save to %1: writing %2 failed: %3.")
                               .arg(shown(target), shown(m_tempPath), volumeReason()));
    }
    m_volume->setDeferredWrites(false);
    if (!syncNoIntr(m_tempFd)) {
        return failAndDrop(tr("Cannot save to %1: %2.").arg(shown(target), systemError(errno)));
    }
    // The new container must open before it takes the target's place: a file that the
    // next load would refuse must never replace one that loads.
    m_hostBytes = 0;
    if (!m_volume->openVolumeReadOnly(m_tempPath)) {
        const QString reason = volumeReason();
        m_volume->closeVolume();
        return failAndDrop(tr("Cannot save to %1: the new file %2 does not open again: %3.")
                               .arg(shown(target), shown(m_tempPath), reason));
    }
    m_volume->closeVolume();
    // The replaced file's permissions, or those of any new file of the user.
    const mode_t mode =
        m_targetMode >= 0 ? static_cast<mode_t>(m_targetMode) : (0666 & ~currentUmask());
    // GCOVR_EXCL_BR_START: fchmod, fchown and rename of our own new file fail only on a
    // damaged file system or for another owner, which needs a second user
    if (::fchmod(m_tempFd, mode) != 0) {
        return failAndDrop(tr("Cannot save to %1: cannot set its permissions: %2.")
                               .arg(shown(target), systemError(errno)));
    }
    if (m_targetMode >= 0) {
        // Keep the replaced file's group and owner where allowed.
        struct stat mine {};
        if (::fstat(m_tempFd, &mine) == 0 &&
            (mine.st_uid != m_targetUid || mine.st_gid != m_targetGid)) {
            if (::fchown(m_tempFd, m_targetUid, m_targetGid) != 0)
                (void)!::fchown(m_tempFd, static_cast<uid_t>(-1), m_targetGid);
            // chown may clear set-id bits; put the mode back.
            (void)!::fchmod(m_tempFd, static_cast<mode_t>(m_targetMode));
        }
    }
    if (::rename(encoded(m_tempPath).constData(), encoded(target).constData()) != 0) {
        return failAndDrop(tr("Cannot save to %1: %2.").arg(shown(target), systemError(errno)));
    }
    // GCOVR_EXCL_BR_STOP
    // The temporary name is gone; only the descriptor (and its lock) remain.
    m_tempPath.clear();
    dropTemporary();

    const QString folder = QFileInfo(target).absolutePath();
    // GCOVR_EXCL_BR_START: a folder that cannot be opened or synced needs a failing disk
    const int dirFd = openNoIntr(encoded(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool synced = dirFd >= 0 && syncNoIntr(dirFd);
    const int error = errno;
    if (dirFd >= 0) ::close(dirFd);
    // Some file systems cannot sync a folder; their renames are as durable as they get.
    if (!synced && dirFd >= 0 && (error == EINVAL || error == ENOTSUP)) synced = true;
    if (!synced) {
        return fail(tr("%1 was saved, but the folder %2 could not be synced to disk (%3): the "
                       "save may not survive a power loss.")
                        .arg(shown(target), shown(folder), systemError(error)));
    }
    // GCOVR_EXCL_BR_STOP
    return true;
}
