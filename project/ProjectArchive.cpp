#include "project/ProjectArchive.h"

#include <QCoreApplication>
#include <algorithm>
#include <new>

using efs::Status;

namespace {

// Stored files move between memory and the volume in pieces of this size, so no count
// handed to the volume's 32-bit calls ever overflows.
constexpr int32_t kChunk = 4 * 1024 * 1024;

QString tr(const char* text) { return QCoreApplication::translate("ProjectArchive", text); }

QString nameText(const char* name) { return QString::fromLatin1(name ? name : ""); }

Status notOpen(const char* name) {
    return Status::busy(tr("%1: no container is open").arg(nameText(name)));
}

}  // namespace

ProjectArchive::ProjectArchive() : ProjectArchive(EfsVolume::FileFactory()) {}

ProjectArchive::ProjectArchive(EfsVolume::FileFactory factory)
    : m_factory(std::move(factory)),
      m_volume(m_factory ? std::make_unique<EfsVolume>(m_factory) : std::make_unique<EfsVolume>()),
      m_replacement(efs::FileReplacement::Naming::Hidden, m_factory) {}

ProjectArchive::~ProjectArchive() {
    if (m_replacement.inProgress())
        abortReplace();
    else
        m_volume->closeVolume();
}

Status ProjectArchive::volumeFailure(const QString& context) const {
    return m_volume->status().withContext(context);
}

bool ProjectArchive::isOpen() const { return m_volume->isOpen(); }

Status ProjectArchive::open(const QString& path) {
    // A replacement still in progress is abandoned: its temporary file goes.
    if (m_replacement.inProgress()) dropReplacement();
    m_volume->closeVolume();
    if (path.isEmpty()) return Status::invalidArgument(tr("no file name was given"));
    m_hostBytes = 0;
    if (!m_volume->openVolume(path)) return m_volume->status();
    return Status::ok();
}

Status ProjectArchive::openReadOnly(const QString& path) {
    if (m_replacement.inProgress()) dropReplacement();
    m_volume->closeVolume();
    if (path.isEmpty()) return Status::invalidArgument(tr("no file name was given"));
    m_hostBytes = 0;
    if (!m_volume->openVolumeReadOnly(path)) return m_volume->status();
    return Status::ok();
}

Status ProjectArchive::close() {
    if (!m_volume->isOpen()) return Status::ok();
    m_volume->closeVolume();
    if (m_volume->lastError() != EfsVolume::ErrorNone)
        return volumeFailure(tr("it could not be closed cleanly: "));
    return Status::ok();
}

bool ProjectArchive::fitsHost(int64_t size) {
    if (size <= m_hostBytes) return true;
    VolumeStatistics stats;
    m_volume->volumeStatistics(&stats);
    m_hostBytes = stats.hostSize;
    return size <= m_hostBytes;
}

Status ProjectArchive::readFile(const char* name, QByteArray& out) {
    return readStored(name, &out, -1, 0);
}

Status ProjectArchive::readFileHead(const char* name, int32_t count, QByteArray& out) {
    return readStored(name, &out, -1, count);
}

Status ProjectArchive::copyFileTo(const char* name, int fd) {
    return readStored(name, nullptr, fd, 0);
}

Status ProjectArchive::readStored(const char* name, QByteArray* out, int fd, int32_t head) {
    if (!m_volume->isOpen()) return notOpen(name);
    const QString what = nameText(name);
    const int32_t h = m_volume->openFile(name, EfsVolume::AccessRead, EfsVolume::OpenExisting);
    if (h == 0) {
        // Opening an existing file only: a name that is not stored is refused as a state.
        if (m_volume->lastError() == EfsVolume::ErrorState)
            return Status::notFound(tr("it holds no stored file %1").arg(what));
        return volumeFailure(tr("%1 cannot be read: ").arg(what));
    }
    auto failAndClose = [&](const Status& why) {
        m_volume->closeFile(h);
        return why;
    };
    const int64_t size = m_volume->fileSize(h);
    // A stored file's bytes all lie inside the host file; a larger size is damage and
    // must not drive an allocation.
    // GCOVR_EXCL_BR_START: the volume refuses such a record first; kept as a second guard
    if (!fitsHost(size)) {
        return failAndClose(Status::corruption(
            tr("%1 is damaged: it claims %2 bytes, more than the whole file holds")
                .arg(what, efs::grouped(size))));
    }
    const int64_t wanted = head > 0 ? std::min<int64_t>(head, size) : size;
    // The host file's size bounds the allocation; running out of memory below it is not
    // brought about in a test.
    QByteArray buffer;
    if (fd < 0 && wanted > 0) {
        try {
            buffer = QByteArray(static_cast<qsizetype>(wanted), Qt::Uninitialized);
        } catch (const std::bad_alloc&) {
            return failAndClose(
                Status::noSpace(tr("there is not enough memory to read %1 (%2 bytes)")
                                    .arg(what, efs::grouped(wanted))));
        }
    }
    // GCOVR_EXCL_BR_STOP
    char* data = buffer.data();
    for (int64_t done = 0; done < wanted;) {
        const auto n = static_cast<int32_t>(std::min<int64_t>(kChunk, wanted - done));
        const int32_t got =
            fd >= 0 ? m_volume->readFileTo(h, fd, done, n) : m_volume->readFile(h, data + done, n);
        if (got != n) {
            if (m_volume->lastError() != EfsVolume::ErrorNone)
                return failAndClose(volumeFailure(tr("%1 cannot be read: ").arg(what)));
            return failAndClose(
                Status::corruption(tr("%1 cannot be read: the stored file ended early").arg(what)));
        }
        done += n;
    }
    m_volume->closeFile(h);
    if (out != nullptr) *out = std::move(buffer);
    return Status::ok();
}

Status ProjectArchive::storedSize(const char* name, int64_t* size) {
    *size = 0;
    if (!m_volume->isOpen()) return notOpen(name);
    const QString what = nameText(name);
    const int32_t h = m_volume->openFile(name, EfsVolume::AccessRead, EfsVolume::OpenExisting);
    if (h == 0) {
        if (m_volume->lastError() == EfsVolume::ErrorState)
            return Status::notFound(tr("it holds no stored file %1").arg(what));
        return volumeFailure(tr("%1 cannot be read: ").arg(what));
    }
    const int64_t n = m_volume->fileSize(h);
    m_volume->closeFile(h);
    // As in readFile: a size beyond what the host file holds is damage.
    // GCOVR_EXCL_BR_START: the volume refuses such a record first; kept as a second guard
    if (n < 0 || !fitsHost(n)) {
        return Status::corruption(tr("%1 is damaged: it claims %2 bytes, more than the whole "
                                     "file holds")
                                      .arg(what, efs::grouped(n)));
    }
    // GCOVR_EXCL_BR_STOP
    *size = n;
    return Status::ok();
}

Status ProjectArchive::writeFile(const char* name, const QByteArray& data) {
    return store(name, data.constData(), -1, data.size());
}

Status ProjectArchive::writeFileFrom(const char* name, int fd, int64_t size) {
    if (fd < 0) return Status::invalidArgument(tr("%1: no file to copy from").arg(nameText(name)));
    return store(name, nullptr, fd, size);
}

Status ProjectArchive::store(const char* name, const char* data, int fd, int64_t size) {
    if (!m_volume->isOpen()) return notOpen(name);
    const QString what = nameText(name);
    // CreateAlways: the stored file holds exactly the new bytes, whatever it held before.
    const int32_t h = m_volume->openFile(name, EfsVolume::AccessWrite, EfsVolume::CreateAlways);
    if (h == 0) return volumeFailure(tr("%1 cannot be stored: ").arg(what));
    for (int64_t done = 0; done < size;) {
        const auto n = static_cast<int32_t>(std::min<int64_t>(kChunk, size - done));
        const bool written = fd >= 0 ? m_volume->writeFileFrom(h, fd, done, n)
                                     : m_volume->writeFile(h, data + done, n);
        if (!written) {
            const Status why = volumeFailure(tr("%1 cannot be stored: ").arg(what));
            m_volume->closeFile(h);
            m_volume->removeFile(name);
            return why;
        }
        done += n;
    }
    m_volume->closeFile(h);
    if (m_volume->lastError() != EfsVolume::ErrorNone) {
        const Status why = volumeFailure(tr("%1 cannot be stored: ").arg(what));
        m_volume->removeFile(name);
        return why;
    }
    return Status::ok();
}

Status ProjectArchive::removeAllFiles() {
    if (!m_volume->isOpen())
        return Status::busy(tr("the container cannot be emptied: none is open"));
    QList<QByteArray> names;
    m_volume->listFiles(&names);
    if (m_volume->lastError() != EfsVolume::ErrorNone)
        return volumeFailure(tr("its file table cannot be read: "));
    Status result;
    for (const QByteArray& name : names) {
        if (!m_volume->removeFile(name.constData()) && result.isOk())
            result = volumeFailure(tr("%1 cannot be deleted: ").arg(QString::fromLatin1(name)));
    }
    return result;
}

// ---- Replacing a container -------------------------------------------------------------

Status ProjectArchive::beginReplace(const QString& target) {
    if (m_replacement.inProgress()) abortReplace();
    m_volume->closeVolume();
    // A volume keeps the parameters of the container it opened last (a loaded file may
    // carry any growth step); a new container starts from the defaults.
    m_volume = m_factory ? std::make_unique<EfsVolume>(m_factory) : std::make_unique<EfsVolume>();
    const Status begun = m_replacement.begin(target);
    if (!begun) return begun;
    if (m_replacement.targetExists() && m_replacement.targetSize() > 0) {
        // Only a container may be replaced: anything else could be someone's work.
        m_hostBytes = 0;
        if (!m_volume->openVolumeReadOnly(m_replacement.target())) {
            const Status why = m_volume->status().withContext(
                tr("the existing file is not a readable voxtrail project ("),
                tr("), so it was not overwritten"));
            m_replacement.abandon();
            return why;
        }
        m_volume->closeVolume();
    }
    m_hostBytes = 0;
    if (!m_volume->openVolume(m_replacement.temporaryPath())) {
        const Status why = m_volume->status();
        dropReplacement();
        return why;
    }
    // The temporary file counts only once it is closed, synced and checked: until then
    // its blocks may wait in memory and go out together.
    m_volume->setDeferredWrites(true);
    return Status::ok();
}

void ProjectArchive::dropReplacement() {
    m_volume->closeVolume();
    m_volume->setDeferredWrites(false);
    m_replacement.abandon();
}

void ProjectArchive::abortReplace() { dropReplacement(); }

Status ProjectArchive::commitReplace() {
    if (!m_replacement.inProgress())
        return Status::busy(tr("the save cannot be finished: no save is in progress"));
    const QString temporary = m_replacement.temporaryPath();
    auto failAndDrop = [&](const Status& why) {
        dropReplacement();
        return why;
    };
    m_volume->closeVolume();
    if (m_volume->lastError() != EfsVolume::ErrorNone)
        return failAndDrop(volumeFailure(tr("writing the new file failed: ")));
    m_volume->setDeferredWrites(false);
    // The new container must open before it takes the target's place: a file that the
    // next load would refuse must never replace one that loads.
    m_hostBytes = 0;
    if (!m_volume->openVolumeReadOnly(temporary))
        return failAndDrop(volumeFailure(tr("the new file does not open again: ")));
    m_volume->closeVolume();
    return m_replacement.commit();
}
