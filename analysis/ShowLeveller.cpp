#include "analysis/ShowLeveller.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <vector>

#include "analysis/SoundLeveller.h"
#include "project/ProjectArchive.h"
#include "project/ProjectSave.h"

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

}  // namespace

bool writeLevelledShow(const ChapterList& chapters, const LevelPlan& plan, const ShowSource& source,
                       ProjectArchive& archive, const QString& target, QString* error) {
    std::vector<size_t> firstCue;  // each chapter's first index into plan.cues
    for (size_t c = 0, n = 0; c < chapters.size(); n += chapters[c++]->entries().size())
        firstCue.push_back(n);
    const SoundSupplier supply = [&](int c, int e, const Entry&) {
        const CueLevel& level = plan.cues.at(firstCue[static_cast<size_t>(c)] + e);
        QByteArray bytes;
        switch (source.readSound(c, e, &bytes)) {
            case SoundState::None:
                return SoundSource::none();
            case SoundState::Unreadable:
                return SoundSource::failure(efs::Status::corruption(
                    QString("the sound of cue %1 cannot be read, so it would be lost")
                        .arg(level.cue)));
            case SoundState::Present:
                break;
        }
        if (!level.changes()) return SoundSource::bytes(bytes);
        QString reason;
        const int fd = scratchFile(&reason);
        if (fd >= 0) {
            reason = writeLevelled(bytes, level.gainDb, static_cast<uint32_t>(level.cue), fd);
            if (reason.isEmpty()) return SoundSource::file(fd, QString("cue %1").arg(level.cue));
            ::close(fd);
        }
        return SoundSource::failure(efs::Status::notSupported(
            QString("cue %1 cannot be levelled: %2").arg(level.cue).arg(reason),
            efs::ErrorArgument));
    };
    const efs::Status saved = ProjectSave::save(archive, target, chapters, supply);
    if (!saved) *error = saved.reason();
    return saved.isOk();
}

}  // namespace analysis
