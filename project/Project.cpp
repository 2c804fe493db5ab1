#include "project/Project.h"

#include <QCoreApplication>
#include <QDir>
#include <utility>

#include "project/ProjectArchive.h"
#include "project/ProjectDescription.h"

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
    if (!archive.openReadOnly(path)) return failWith(archive.errorString());

    auto failAndClose = [&](const QString& message) {
        archive.close();
        return failWith(message);
    };
    QByteArray description;
    if (!archive.readFile(ProjectDescription::kFileName, description)) {
        switch (archive.readOutcome()) {
            case ProjectArchive::ReadOutcome::Missing:
                return failAndClose(
                    tr("%1 holds no project description (desc.xml): it is not a voxtrail "
                       "project.")
                        .arg(shown));
            case ProjectArchive::ReadOutcome::Empty:
                return failAndClose(
                    tr("The project description (desc.xml) in %1 is empty.").arg(shown));
            default:
                return failAndClose(archive.errorString());
        }
    }
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
            if (archive.readFile(name.constData(), sound))
                chapter.entry(e)->sound = std::move(sound);
            else if (archive.readOutcome() == ProjectArchive::ReadOutcome::Failed)
                unreadable.push_back({static_cast<int>(c), e, archive.errorString()});
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
    ProjectArchive& archive = *m_archive;
    if (!archive.beginReplace(path)) return failWith(archive.errorString());

    auto failAndAbort = [&](const QString& message) {
        archive.abortReplace();
        return failWith(message);
    };
    // Sounds first, the description last.
    for (size_t c = 0; c < m_chapters.size(); ++c) {
        const Chapter& chapter = *m_chapters[c];
        for (int e = 0; e < chapter.entryCount(); ++e) {
            const Entry* entry = chapter.entry(e);
            if (!entry->hasSound()) continue;
            const QByteArray name = ProjectDescription::soundFileName(static_cast<int>(c), e);
            if (!archive.writeFile(name.constData(), entry->sound)) {
                return failAndAbort(tr("Cannot save the sound of chapter %1, entry %2: %3")
                                        .arg(c + 1)
                                        .arg(e + 1)
                                        .arg(archive.errorString()));
            }
        }
    }
    if (!archive.writeFile(ProjectDescription::kFileName, ProjectDescription::write(m_chapters)))
        return failAndAbort(archive.errorString());
    if (!archive.commitReplace()) return failWith(archive.errorString());
    return true;
}
