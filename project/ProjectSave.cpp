#include "project/ProjectSave.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>
#include <utility>

#include "project/ProjectArchive.h"
#include "project/ProjectDescription.h"

using efs::Status;

namespace {

QString tr(const char* text) { return QCoreApplication::translate("ProjectSave", text); }

// Stores what source gives as the stored file name.
Status storeSound(ProjectArchive& archive, const char* name, const SoundSource& source) {
    switch (source.kind()) {
        case SoundSource::Kind::None:
            return Status::ok();
        case SoundSource::Kind::Failure:
            return source.why();
        case SoundSource::Kind::Bytes:
            return source.data().isEmpty() ? Status::ok() : archive.writeFile(name, source.data());
        case SoundSource::Kind::File:
            break;
    }
    struct stat st {};
    if (::fstat(source.descriptor(), &st) != 0)
        return Status::ioError(errno, tr("while measuring the sound file"));
    if (!S_ISREG(st.st_mode))
        return Status::notSupported(tr("the sound file is not a regular file"), efs::ErrorArgument);
    if (st.st_size == 0) return Status::ok();
    return archive.writeFileFrom(name, source.descriptor(), static_cast<int64_t>(st.st_size));
}

}  // namespace

SoundSource SoundSource::bytes(QByteArray data) {
    SoundSource s;
    s.m_kind = data.isEmpty() ? Kind::None : Kind::Bytes;
    s.m_data = std::move(data);
    return s;
}

SoundSource SoundSource::file(int fd, QString label) {
    SoundSource s;
    s.m_kind = Kind::File;
    s.m_fd = fd;
    s.m_label = std::move(label);
    return s;
}

SoundSource SoundSource::failure(efs::Status why) {
    SoundSource s;
    s.m_kind = Kind::Failure;
    s.m_why = why.isOk() ? Status::ioError(0, tr("while supplying the sound")) : std::move(why);
    return s;
}

SoundSource::SoundSource(SoundSource&& other) noexcept
    : m_kind(std::exchange(other.m_kind, Kind::None)),
      m_data(std::move(other.m_data)),
      m_fd(std::exchange(other.m_fd, -1)),
      m_label(std::move(other.m_label)),
      m_why(std::move(other.m_why)) {}

SoundSource& SoundSource::operator=(SoundSource&& other) noexcept {
    if (this != &other) {
        release();
        m_kind = std::exchange(other.m_kind, Kind::None);
        m_data = std::move(other.m_data);
        m_fd = std::exchange(other.m_fd, -1);
        m_label = std::move(other.m_label);
        m_why = std::move(other.m_why);
    }
    return *this;
}

SoundSource::~SoundSource() { release(); }

void SoundSource::release() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_data = QByteArray();
}

namespace ProjectSave {

Status save(ProjectArchive& archive, const QString& path, const ChapterList& chapters,
            const SoundSupplier& supply) {
    const Status begun = archive.beginReplace(path);
    if (!begun) return begun;
    auto abort = [&](const Status& why) {
        archive.abortReplace();
        return why;
    };
    // Sounds first, the description last.
    for (size_t c = 0; c < chapters.size(); ++c) {
        const Chapter& chapter = *chapters[c];
        for (int e = 0; e < chapter.entryCount(); ++e) {
            const QByteArray name = ProjectDescription::soundFileName(static_cast<int>(c), e);
            Status stored;
            {
                // Released at the end of this block, before the next sound is asked for.
                const SoundSource source = supply(static_cast<int>(c), e, *chapter.entry(e));
                stored = storeSound(archive, name.constData(), source);
                if (!stored && !source.label().isEmpty())
                    stored = stored.withContext(source.label() + QStringLiteral(": "));
            }
            if (!stored) {
                return abort(
                    stored.withContext(tr("chapter %1, entry %2: ").arg(c + 1).arg(e + 1)));
            }
        }
    }
    const Status described =
        archive.writeFile(ProjectDescription::kFileName, ProjectDescription::write(chapters));
    if (!described) return abort(described);
    return archive.commitReplace();
}

SoundSupplier entrySounds() {
    return [](int, int, const Entry& entry) { return SoundSource::bytes(entry.sound); };
}

}  // namespace ProjectSave
