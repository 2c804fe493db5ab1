#include "analysis/ShowLeveller.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>

#include "analysis/SoundLeveller.h"
#include "efs/EfsFile.h"
#include "project/ProjectArchive.h"
#include "project/ProjectDescription.h"

namespace analysis {

namespace {

// An unnamed file in the temporary folder, gone when its descriptor closes: a levelled
// sound waits there, outside the process's memory, until the save copies it.
int scratchFile(QString* error) {
    const QByteArray folder = QFile::encodeName(QDir::tempPath());
    int fd = ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        // File systems without unnamed files: a named one, removed at once.
        QByteArray name = folder + "/vxtool-level-XXXXXX";
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0) ::unlink(name.constData());
    }
    if (fd < 0)
        *error = QString("cannot make a scratch file in %1: %2")
                     .arg(QDir::tempPath(), QString::fromLocal8Bit(std::strerror(errno)));
    return fd;
}

class ScratchFile final {
  public:
    explicit ScratchFile(int fd) : m_fd(fd) {}
    ~ScratchFile() {
        if (m_fd >= 0) ::close(m_fd);
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    int fd() const { return m_fd; }

  private:
    int m_fd;
};

}  // namespace

bool writeLevelledShow(const ChapterList& chapters, const LevelPlan& plan, const ShowSource& source,
                       ProjectArchive& archive, const QString& target, QString* error) {
    if (!archive.beginReplace(target)) return *error = archive.errorString(), false;
    auto abandon = [&](const QString& reason) {
        archive.abortReplace();
        *error = reason;
        return false;
    };
    size_t cue = 0;
    for (size_t c = 0; c < chapters.size(); ++c) {
        for (int e = 0; e < chapters[c]->entryCount(); ++e, ++cue) {
            const CueLevel& level = plan.cues.at(cue);
            QByteArray bytes;
            const SoundState state = source.readSound(static_cast<int>(c), e, &bytes);
            if (state == SoundState::None) continue;
            if (state == SoundState::Unreadable)
                return abandon(QString("the sound of cue %1 cannot be read, so it would be lost")
                                   .arg(level.cue));
            if (level.changes()) {
                QString reason;
                const ScratchFile scratch(scratchFile(&reason));
                if (scratch.fd() < 0) return abandon(reason);
                reason = writeLevelled(bytes, level.gainDb, static_cast<uint32_t>(level.cue),
                                       scratch.fd());
                if (!reason.isEmpty())
                    return abandon(
                        QString("cue %1 cannot be levelled: %2").arg(level.cue).arg(reason));
                const off_t size = ::lseek(scratch.fd(), 0, SEEK_END);
                bytes = QByteArray(static_cast<qsizetype>(size), Qt::Uninitialized);
                if (size < 0 || !efs::readFully(scratch.fd(), bytes.data(), size, 0))
                    return abandon(QString("cue %1 cannot be levelled: its scratch file cannot be "
                                           "read back")
                                       .arg(level.cue));
            }
            const QByteArray name = ProjectDescription::soundFileName(static_cast<int>(c), e);
            if (!archive.writeFile(name.constData(), bytes))
                return abandon(QString("cannot store the sound of cue %1: %2")
                                   .arg(level.cue)
                                   .arg(archive.errorString()));
        }
    }
    if (!archive.writeFile(ProjectDescription::kFileName, ProjectDescription::write(chapters)))
        return abandon(archive.errorString());
    if (!archive.commitReplace()) return *error = archive.errorString(), false;
    return true;
}

}  // namespace analysis
