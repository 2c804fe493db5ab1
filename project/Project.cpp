#include "project/Project.h"

#include <utility>

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

Project::~Project() { clear(); }

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
