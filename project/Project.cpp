#include "project/Project.h"

#include <QCoreApplication>
#include <QDir>
#include <utility>

#include "project/ProjectArchive.h"
#include "project/ProjectDescription.h"
#include "project/ProjectSave.h"

namespace {

QString tr(const char* text) { return QCoreApplication::translate("Project", text); }

}  // namespace

Entry* Chapter::addEntry() {
    m_entries.push_back(std::make_unique<Entry>());
    return m_entries.back().get();
}

bool Chapter::removeEntry(int index) {
    if (index < 0 || index >= entryCount()) return false;
    m_entries.erase(m_entries.begin() + index);
    return true;
}

Entry* Chapter::entry(int index) const {
    if (index < 0 || index >= entryCount()) return nullptr;
    return m_entries[static_cast<size_t>(index)].get();
}

int Chapter::indexOf(const Entry* entry) const {
    for (size_t i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].get() == entry) return static_cast<int>(i);
    }
    return -1;
}

Project& Project::instance() {
    static Project project;
    return project;
}

Project::Project() : m_archive(std::make_unique<ProjectArchive>()) {}

Project::~Project() { clear(); }

void Project::setArchive(std::unique_ptr<ProjectArchive> archive) {
    m_archive = archive ? std::move(archive) : std::make_unique<ProjectArchive>();
}

bool Project::failWith(const QString& message) {
    m_lastError = message;
    return false;
}

Chapter* Project::addChapter() {
    m_chapters.push_back(std::make_unique<Chapter>());
    return m_chapters.back().get();
}

bool Project::removeChapter(int index) {
    if (index < 0 || index >= chapterCount()) return false;
    m_chapters.erase(m_chapters.begin() + index);
    return true;
}

void Project::clear() {
    while (!m_chapters.empty()) m_chapters.pop_back();
}

Chapter* Project::chapter(int index) const {
    if (index < 0 || index >= chapterCount()) return nullptr;
    return m_chapters[static_cast<size_t>(index)].get();
}

int Project::indexOf(const Chapter* chapter) const {
    for (size_t i = 0; i < m_chapters.size(); ++i) {
        if (m_chapters[i].get() == chapter) return static_cast<int>(i);
    }
    return -1;
}

Chapter* Project::chapterOf(const Entry* entry) const {
    if (entry == nullptr) return nullptr;
    for (const auto& chapter : m_chapters) {
        if (chapter->indexOf(entry) >= 0) return chapter.get();
    }
    return nullptr;
}

void Project::replaceContent(ChapterList chapters) {
    ChapterList old = std::exchange(m_chapters, std::move(chapters));
    while (!old.empty()) old.pop_back();
}

bool Project::load(const QString& path) {
    m_lastError.clear();
    m_unreadableSounds.clear();
    if (path.isEmpty()) return failWith(tr("No file name was given."));
    const QString shown = QDir::toNativeSeparators(path);
    ProjectArchive& archive = *m_archive;
    const efs::Status opened = archive.openReadOnly(path);
    if (!opened) return failWith(tr("Cannot open %1: %2.").arg(shown, opened.reason()));

    auto failAndClose = [&](const QString& message) {
        archive.close();
        return failWith(message);
    };
    QByteArray description;
    const efs::Status read = archive.readFile(ProjectDescription::kFileName, description);
    if (read.isNotFound()) {
        return failAndClose(
            tr("%1 holds no project description (desc.xml): it is not a voxtrail project.")
                .arg(shown));
    }
    if (!read) return failAndClose(tr("Cannot open %1: %2.").arg(shown, read.reason()));
    if (description.isEmpty())
        return failAndClose(tr("The project description (desc.xml) in %1 is empty.").arg(shown));
    ProjectDescription::ReadResult parsed = ProjectDescription::read(description);
    if (!parsed.ok) {
        return failAndClose(tr("The project description (desc.xml) in %1 is not valid: %2.")
                                .arg(shown, parsed.errorText()));
    }
    // A missing or empty sound file means "no sound". One that exists but cannot be read
    // leaves its entry without a sound too, so that the rest of the project can still be
    // opened; it is listed, so that nobody saves the project without knowing that the
    // sound will be gone from it.
    std::vector<UnreadableSound> unreadable;
    for (size_t c = 0; c < parsed.chapters.size(); ++c) {
        const Chapter& chapter = *parsed.chapters[c];
        for (int e = 0; e < chapter.entryCount(); ++e) {
            const QByteArray name = ProjectDescription::soundFileName(static_cast<int>(c), e);
            QByteArray sound;
            const efs::Status got = archive.readFile(name.constData(), sound);
            if (got)
                chapter.entry(e)->sound = std::move(sound);
            else if (!got.isNotFound())
                unreadable.push_back({static_cast<int>(c), e, got.reason()});
        }
    }
    archive.close();
    replaceContent(std::move(parsed.chapters));
    m_unreadableSounds = std::move(unreadable);
    return true;
}

bool Project::save(const QString& path) {
    m_lastError.clear();
    if (path.isEmpty()) return failWith(tr("No file name was given."));
    const QString shown = QDir::toNativeSeparators(path);
    const efs::Status saved =
        ProjectSave::save(*m_archive, path, m_chapters, ProjectSave::entrySounds());
    if (saved) return true;
    if (m_archive->replaced())
        return failWith(tr("%1 was saved, but %2.").arg(shown, saved.reason()));
    return failWith(tr("Cannot save to %1: %2.").arg(shown, saved.reason()));
}
