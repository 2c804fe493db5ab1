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
    const efs::Status opened = m_archive.openReadOnly(path);
    if (!opened) return fail(ExitUnusable, path, opened.reason()), false;
    QByteArray description;
    const efs::Status read = m_archive.readFile(ProjectDescription::kFileName, description);
    QString reason;
    if (read.isNotFound())
        reason = "holds no project description (desc.xml): it is not a voxtrail project";
    else if (!read)
        reason = read.reason();
    else if (description.isEmpty())
        reason = "the project description (desc.xml) is empty";
    if (!reason.isEmpty()) {
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

ShowReader::Sound ShowReader::unreadable(int c, int e, const efs::Status& why) {
    if (std::find(m_reported.begin(), m_reported.end(), std::make_pair(c, e)) == m_reported.end()) {
        m_reported.emplace_back(c, e);
        fail(ExitRefused, m_path,
             QString("chapter %1, entry %2: the sound cannot be read: %3")
                 .arg(QString::number(c + 1), QString::number(e + 1), why.reason()));
    }
    return Sound::Unreadable;
}

ShowReader::Sound ShowReader::soundSize(int c, int e, int64_t* size) {
    const efs::Status got =
        m_archive.storedSize(ProjectDescription::soundFileName(c, e).constData(), size);
    if (got) return *size > 0 ? Sound::Present : Sound::None;
    if (got.isNotFound()) return Sound::None;
    return unreadable(c, e, got);
}

ShowReader::Sound ShowReader::outcome(const efs::Status& read, const QByteArray* bytes, int c,
                                      int e) {
    if (read) return bytes == nullptr || !bytes->isEmpty() ? Sound::Present : Sound::None;
    if (read.isNotFound()) return Sound::None;
    return unreadable(c, e, read);
}

ShowReader::Sound ShowReader::readSound(int c, int e, QByteArray* bytes) {
    // The previous sound goes before the next one is read.
    *bytes = QByteArray();
    const QByteArray name = ProjectDescription::soundFileName(c, e);
    return outcome(m_archive.readFile(name.constData(), *bytes), bytes, c, e);
}

ShowReader::Sound ShowReader::readSoundHead(int c, int e, int32_t count, QByteArray* bytes) {
    *bytes = QByteArray();
    const QByteArray name = ProjectDescription::soundFileName(c, e);
    return outcome(m_archive.readFileHead(name.constData(), count, *bytes), bytes, c, e);
}

bool ShowReader::copySound(int c, int e, int fd) {
    return m_archive.copyFileTo(ProjectDescription::soundFileName(c, e).constData(), fd).isOk();
}

int ShowReader::status() const { return m_reported.empty() ? ExitOk : ExitRefused; }

}  // namespace vxtool
