#pragma once

// The in-memory project: an ordered list of chapters, each an ordered list of entries.
// Chapters and entries carry no identifier; their current zero-based position is their
// identity, so removing one renumbers every later one. The model keeps no modified flag
// and no file path (the main window keeps both) and has no locks: it is used from the
// user-interface thread only.

#include <QByteArray>
#include <QString>
#include <memory>
#include <vector>

class Entry final {
  public:
    Entry() = default;
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;

    bool hasSound() const { return !sound.isEmpty(); }

    // Makes the sound's storage this entry's own (no longer shared with another array)
    // and returns its address, the pointer to hand to the sound player. Call it right
    // before playing: detaching while a copy shares the storage moves the entry's bytes.
    // The address stays valid while `sound` is not assigned or written to and the entry
    // lives; copies made afterwards (a save) share it without moving it.
    const char* ownSoundData() { return sound.data(); }
    // The sound's current address without detaching, to compare with
    // SoundPlayer::currentData.
    const char* soundData() const { return sound.constData(); }

    QString name;  // shown in column 0 of the entry table
    QString desc;  // column 1
    QString note;  // column 4
    // The complete bytes of the attached sound file, unconverted; empty means no sound.
    // While the sound player plays these bytes they must neither change nor move.
    QByteArray sound;
};

class Chapter final {
  public:
    using EntryList = std::vector<std::unique_ptr<Entry>>;

    Chapter() = default;
    Chapter(const Chapter&) = delete;
    Chapter& operator=(const Chapter&) = delete;

    // Appends an entry with empty texts and no sound. The chapter owns it; the pointer
    // stays valid until the entry is removed or the chapter is destroyed.
    Entry* addEntry();
    // Destroys the entry at index; later entries move down by one. An index out of
    // range changes nothing and returns false.
    bool removeEntry(int index);

    const EntryList& entries() const { return m_entries; }
    int entryCount() const { return static_cast<int>(m_entries.size()); }
    // Null when index is out of range.
    Entry* entry(int index) const;
    // Position of entry in this chapter, or -1 when it is not one of its entries.
    int indexOf(const Entry* entry) const;

    QString name;  // empty for a new chapter; the window gives its own default title

  private:
    EntryList m_entries;
};

using ChapterList = std::vector<std::unique_ptr<Chapter>>;

class ProjectArchive;

class Project final {
  public:
    // The one process-wide project, constructed empty on the first call and destroyed
    // at process exit.
    static Project& instance();

    Project(const Project&) = delete;
    Project& operator=(const Project&) = delete;

    // Appends a chapter with an empty name and no entries, owned by the project.
    Chapter* addChapter();
    // Destroys the chapter at index with all its entries; later chapters move down by
    // one. An index out of range changes nothing and returns false.
    bool removeChapter(int index);
    // Destroys every chapter, the last first. Clearing an empty project does nothing.
    void clear();

    const ChapterList& chapters() const { return m_chapters; }
    int chapterCount() const { return static_cast<int>(m_chapters.size()); }
    // Null when index is out of range.
    Chapter* chapter(int index) const;
    // Position of chapter in the project, or -1.
    int indexOf(const Chapter* chapter) const;
    // The chapter that holds entry, or null.
    Chapter* chapterOf(const Entry* entry) const;

    // Replaces the whole content with chapters (for a load that has fully succeeded);
    // the previous chapters are destroyed. Pointers into the old content become invalid.
    void replaceContent(ChapterList chapters);

    // Replaces the content with the project stored in the container at path. The file is
    // only read, never created or changed. Every sound is read before the new content
    // replaces the old, so on failure the project is exactly as it was. A description that
    // cannot be read or parsed fails the load; a sound that is stored but cannot be read
    // does not: its entry loads without a sound and unreadableSounds() names it.
    bool load(const QString& path);
    // Stores the content in the container at path. The previous file at path is replaced
    // in one step only once the complete new container is durable on disk; on failure it
    // is left as it was and no temporary file remains. A file at path that is not a
    // container is never overwritten.
    bool save(const QString& path);
    // Why the last load or save failed (which file and why), for showing to a person;
    // empty after a success.
    QString lastError() const { return m_lastError; }

    // An entry whose sound is stored but could not be read by the last load.
    struct UnreadableSound {
        int chapter = 0;  // positions from 0, as loaded
        int entry = 0;
        QString reason;
    };
    // The entries the last successful load left without a sound because their stored
    // sound could not be read, in project order; a save keeps them without a sound. Empty
    // after a load that read every sound, and after a failed load.
    const std::vector<UnreadableSound>& unreadableSounds() const { return m_unreadableSounds; }

    // The archive load and save go through; null restores a default one. Lets tests and
    // tools give the project an archive on a chosen host-file layer.
    void setArchive(std::unique_ptr<ProjectArchive> archive);

  private:
    Project();
    ~Project();

    bool failWith(const QString& message);

    ChapterList m_chapters;
    std::unique_ptr<ProjectArchive> m_archive;  // created with the project, never null
    QString m_lastError;
    std::vector<UnreadableSound> m_unreadableSounds;
};
