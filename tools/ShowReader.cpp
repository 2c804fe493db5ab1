#include "tools/ShowReader.h"

#include <QFileInfo>
#include <algorithm>

#include "project/ProjectDescription.h"
#include "tools/ToolSupport.h"

namespace vxtool {

bool ShowReader::open(const QString& path) {
    m_path = path;
    m_chapters.clear();
    m_reported.clear();
    const QFileInfo info(path);
    if (!info.exists()) return fail(ExitUnusable, path, "no such file"), false;
    if (info.isDir()) return fail(ExitUnusable, path, "is a folder, not a project file"), false;
    if (!m_archive.openReadOnly(path))
        return fail(ExitUnusable, path, m_archive.errorString()), false;
    QByteArray description;
    if (!m_archive.readFile(ProjectDescription::kFileName, description)) {
        QString reason;
        switch (m_archive.readOutcome()) {
            case ProjectArchive::ReadOutcome::Missing:
                reason = "holds no project description (desc.xml): it is not a voxtrail project";
                break;
            case ProjectArchive::ReadOutcome::Empty:
                reason = "the project description (desc.xml) is empty";
                break;
            default:
                reason = m_archive.errorString();
        }
        m_archive.close();
        return fail(ExitUnusable, path, reason), false;
    }
    ProjectDescription::ReadResult parsed = ProjectDescription::read(description);
    if (!parsed.ok) {
        m_archive.close();
        return fail(ExitUnusable, path,
                    "the project description (desc.xml) is not valid: " + parsed.errorText()),
               false;
    }
    m_chapters = std::move(parsed.chapters);
    return true;
}

ShowReader::Sound ShowReader::unreadable(int c, int e) {
    if (std::find(m_reported.begin(), m_reported.end(), std::make_pair(c, e)) == m_reported.end()) {
        m_reported.emplace_back(c, e);
        fail(ExitRefused, m_path,
             QString("chapter %1, entry %2: the sound cannot be read: %3")
                 .arg(QString::number(c + 1), QString::number(e + 1), m_archive.errorString()));
    }
    return Sound::Unreadable;
}

ShowReader::Sound ShowReader::soundSize(int c, int e, int64_t* size) {
    *size = 0;
    const int64_t n = m_archive.storedSize(ProjectDescription::soundFileName(c, e).constData());
    switch (m_archive.readOutcome()) {
        case ProjectArchive::ReadOutcome::Read:
            *size = n;
            return Sound::Present;
        case ProjectArchive::ReadOutcome::Missing:
        case ProjectArchive::ReadOutcome::Empty:
            return Sound::None;
        default:
            return unreadable(c, e);
    }
}

ShowReader::Sound ShowReader::outcome(bool read, int c, int e) {
    if (read) return Sound::Present;
    if (m_archive.readOutcome() == ProjectArchive::ReadOutcome::Failed) return unreadable(c, e);
    return Sound::None;
}

ShowReader::Sound ShowReader::readSound(int c, int e, QByteArray* bytes) {
    // The previous sound goes before the next one is read.
    *bytes = QByteArray();
    return outcome(m_archive.readFile(ProjectDescription::soundFileName(c, e).constData(), *bytes),
                   c, e);
}

ShowReader::Sound ShowReader::readSoundHead(int c, int e, int32_t count, QByteArray* bytes) {
    *bytes = QByteArray();
    const QByteArray name = ProjectDescription::soundFileName(c, e);
    return outcome(m_archive.readFileHead(name.constData(), count, *bytes), c, e);
}

bool ShowReader::copySound(int c, int e, int fd) {
    return m_archive.copyFileTo(ProjectDescription::soundFileName(c, e).constData(), fd);
}

int ShowReader::status() const { return m_reported.empty() ? ExitOk : ExitRefused; }

}  // namespace vxtool
