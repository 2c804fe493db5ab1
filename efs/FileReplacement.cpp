#include "efs/FileReplacement.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <cerrno>

namespace efs {

namespace {

// Random characters in a Hidden temporary name.
constexpr int kRandomLength = 6;
// A Hidden temporary name keeps at most this many characters of the target's name, so that
// it stays within the folder's name length limit.
constexpr int kNameKept = 80;
constexpr int kAttempts = 100;

QByteArray encoded(const QString& path) { return QFile::encodeName(path); }

QString shown(const QString& path) { return QDir::toNativeSeparators(path); }

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

// Whether descriptor fd still is the file at path (nobody renamed or replaced it).
bool stillAt(int fd, const QByteArray& path) {
    struct stat held {};
    struct stat now {};
    return ::fstat(fd, &held) == 0 && ::lstat(path.constData(), &now) == 0 &&
           held.st_ino == now.st_ino && held.st_dev == now.st_dev;
}

}  // namespace

FileReplacement::FileReplacement(Naming naming, EfsFileFactory factory)
    : m_naming(naming), m_factory(std::move(factory)) {}

FileReplacement::~FileReplacement() { abandon(); }

QString FileReplacement::hiddenPrefix(const QString& target) {
    return "." + QFileInfo(target).fileName().left(kNameKept) + ".";
}

Status FileReplacement::begin(const QString& target) {
    abandon();
    m_replaced = false;
    m_targetMode = -1;
    m_targetSize = 0;
    if (target.isEmpty()) return Status::invalidArgument(QStringLiteral("no file name was given"));

    // Through a symbolic link the file it points to is replaced, not the link.
    QString resolved = QFileInfo(target).absoluteFilePath();
    const QFileInfo linkInfo(resolved);
    if (linkInfo.isSymLink()) {
        const QString canonical = linkInfo.canonicalFilePath();
        resolved = canonical.isEmpty() ? linkInfo.symLinkTarget() : canonical;
    }
    m_target = resolved;

    struct stat st {};
    const QByteArray name = encoded(resolved);
    if (::stat(name.constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return Status::notSupported(QStringLiteral("it is a folder"), ErrorHostOpen);
        if (!S_ISREG(st.st_mode))
            return Status::notSupported(QStringLiteral("it is not a regular file"), ErrorHostOpen);
        // A file marked read-only is not replaced, even by a user the system would let.
        if ((st.st_mode & 0222) == 0)
            return Status::busy(QStringLiteral("the file is read-only"), ErrorHostOpen);
        // Refused only for a user other than root (a branch the tests as root never take).
        if (::access(name.constData(), W_OK) != 0)  // GCOVR_EXCL_BR_LINE
            return Status::ioError(errno, QString(), ErrorHostOpen);
        m_targetMode = static_cast<int>(st.st_mode & 07777);
        m_targetUid = st.st_uid;
        m_targetGid = st.st_gid;
        m_targetSize = static_cast<int64_t>(st.st_size);
    } else if (errno != ENOENT) {  // GCOVR_EXCL_BR_LINE: only a damaged file system
        return Status::ioError(errno, QString(), ErrorHostOpen);
    }

    const QString folder = QFileInfo(resolved).absolutePath();
    if (!QFileInfo(folder).isDir()) {
        return Status::notFound(QStringLiteral("the folder %1 does not exist").arg(shown(folder)),
                                ErrorHostOpen);
    }
    if (m_naming == Naming::Hidden) removeStaleTemporaries(folder);
    return createTemporary(folder);
}

Status FileReplacement::createTemporary(const QString& folder) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const QString prefix = hiddenPrefix(m_target);
    // GCOVR_EXCL_BR_START: name collisions and a file taken away between creation and
    // locking are races a test does not bring about
    for (uint32_t attempt = 0;; ++attempt) {
        QString temp;
        if (m_naming == Naming::Numbered) {
            temp = m_target + "~" + QString::number(attempt, 16) + "~";
        } else {
            if (attempt >= kAttempts) break;
            QString random;
            for (int i = 0; i < kRandomLength; ++i)
                random += QChar::fromLatin1(
                    kAlphabet[QRandomGenerator::global()->bounded(int(sizeof kAlphabet - 1))]);
            temp = QDir(folder).filePath(prefix + random + kHiddenSuffix);
        }
        const QByteArray tempName = encoded(temp);
        // Private while it is written: the content may be someone's private file. It gets
        // its final permissions only just before it takes the target's place.
        const int fd =
            openNoIntr(tempName.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return Status::ioError(errno,
                                   QStringLiteral("while creating a file in %1").arg(shown(folder)),
                                   ErrorTempVolume);
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !stillAt(fd, tempName)) {
            // Taken away between creation and locking: try another name.
            ::close(fd);
            continue;
        }
        m_fd = fd;
        m_tempPath = temp;
        return Status::ok();
    }
    return Status::busy(
        QStringLiteral("no temporary file could be created in %1").arg(shown(folder)),
        ErrorTempVolume);
    // GCOVR_EXCL_BR_STOP
}

void FileReplacement::removeStaleTemporaries(const QString& folder) {
    const QDir dir(folder);
    const QString prefix = hiddenPrefix(m_target);
    const QString suffix = QString::fromLatin1(kHiddenSuffix);
    // Matched by hand: the target's name may hold characters that are wildcards to a
    // name filter.
    const QStringList names = dir.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        if (name.size() != prefix.size() + kRandomLength + suffix.size() ||
            !name.startsWith(prefix) || !name.endsWith(suffix))
            continue;
        const QByteArray path = encoded(dir.filePath(name));
        const int fd = openNoIntr(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        // A replacement in progress holds its lock; only files nobody holds are stale.
        // GCOVR_EXCL_BR_START: fstat and lstat fail, or the name moves, only in a race
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && stillAt(fd, path)) ::unlink(path.constData());
        // GCOVR_EXCL_BR_STOP
        ::close(fd);
    }
}

void FileReplacement::abandon() {
    if (!m_tempPath.isEmpty()) ::unlink(encoded(m_tempPath).constData());
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_tempPath.clear();
}

Status FileReplacement::writeWhole(const QString& target, const QByteArray& bytes,
                                   EfsFileFactory factory) {
    FileReplacement replacement(Naming::Hidden, std::move(factory));
    const Status begun = replacement.begin(target);
    if (!begun) return begun;
    errno = 0;
    if (!writeFully(replacement.descriptor(), bytes.constData(), bytes.size(), 0))
        return Status::ioError(errno, QStringLiteral("while writing the new file"));
    return replacement.commit();
}

Status FileReplacement::commit() {
    m_replaced = false;
    if (m_fd < 0) return Status::busy(QStringLiteral("no replacement is in progress"));
    auto failAndAbandon = [this](const Status& why) {
        abandon();
        return why;
    };
    if (!syncNoIntr(m_fd))
        return failAndAbandon(Status::ioError(errno, QStringLiteral("while syncing the new file")));
    // The replaced file's permissions, or those of any new file of the user.
    const mode_t mode =
        m_targetMode >= 0 ? static_cast<mode_t>(m_targetMode) : (0666 & ~currentUmask());
    // GCOVR_EXCL_BR_START: fchmod and fchown of our own new file fail only on a damaged
    // file system or for another owner, which needs a second user
    if (::fchmod(m_fd, mode) != 0) {
        return failAndAbandon(
            Status::ioError(errno, QStringLiteral("while setting the new file's permissions")));
    }
    if (m_targetMode >= 0) {
        // Keep the replaced file's group and owner where allowed.
        struct stat mine {};
        if (::fstat(m_fd, &mine) == 0 &&
            (mine.st_uid != m_targetUid || mine.st_gid != m_targetGid)) {
            if (::fchown(m_fd, m_targetUid, m_targetGid) != 0)
                (void)!::fchown(m_fd, static_cast<uid_t>(-1), m_targetGid);
            // chown may clear set-id bits; put the mode back.
            (void)!::fchmod(m_fd, static_cast<mode_t>(m_targetMode));
        }
    }
    // GCOVR_EXCL_BR_STOP
    std::unique_ptr<EfsFile> shell = m_factory ? m_factory() : std::make_unique<EfsPosixFile>();
    errno = 0;
    if (!shell || !shell->move(m_tempPath, m_target)) {
        return failAndAbandon(Status::ioError(
            errno,
            QStringLiteral("while renaming the new file %1 over it").arg(shown(m_tempPath))));
    }
    // The temporary name is gone; only the descriptor (and its lock) remain.
    m_tempPath.clear();
    abandon();
    m_replaced = true;

    const QString folder = QFileInfo(m_target).absolutePath();
    // GCOVR_EXCL_BR_START: a folder that cannot be opened or synced needs a failing disk
    const int dirFd = openNoIntr(encoded(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool synced = dirFd >= 0 && syncNoIntr(dirFd);
    const int error = errno;
    if (dirFd >= 0) ::close(dirFd);
    // Some file systems cannot sync a folder; their renames are as durable as they get.
    if (!synced && dirFd >= 0 && (error == EINVAL || error == ENOTSUP)) synced = true;
    if (!synced) {
        return Status::ioError(error, QString())
            .withContext(
                QStringLiteral("the folder %1 could not be synced to disk (").arg(shown(folder)),
                QStringLiteral("), so the new file may not survive a power loss"));
    }
    // GCOVR_EXCL_BR_STOP
    return Status::ok();
}

}  // namespace efs
