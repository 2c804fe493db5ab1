// A project read from its container one sound at a time, for the read-only project commands.
//
// open() reads the description (chapters and entries with their texts); sounds stay in
// the container until asked for, one by one, so a command that walks a show of any size
// holds at most one sound in memory. The container is opened read-only and never written.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

#include "analysis/ShowAnalysis.h"
#include "project/Project.h"
#include "project/ProjectArchive.h"

namespace vxtool {

class ShowReader final {
  public:
    // The analysis names the same three states.
    using Sound = analysis::SoundState;

    ShowReader() = default;
    ShowReader(const ShowReader&) = delete;
    ShowReader& operator=(const ShowReader&) = delete;

    // Opens path and reads its description; prints "vxtool: PATH: reason" and returns false
    // when it is not a readable project.
    bool open(const QString& path);

    // The chapters and entries with their texts; every sound is empty.
    const ChapterList& chapters() const { return m_chapters; }

    // Whether entry e of chapter c has a sound, and its size in bytes, from its record
    // alone. An entry whose record cannot be read is Unreadable and is named on standard
    // error (once per entry).
    Sound soundSize(int c, int e, int64_t* size);
    // Reads the sound of entry e of chapter c into *bytes (emptied first); Unreadable ones
    // are named on standard error as above.
    Sound readSound(int c, int e, QByteArray* bytes);
    // readSound of the first count bytes only.
    Sound readSoundHead(int c, int e, int32_t count, QByteArray* bytes);
    // Writes the sound to descriptor fd from its offset 0 on, without holding it in memory.
    // False when it could not be copied, saying nothing: the sound or fd may be at fault,
    // and readSound tells which.
    bool copySound(int c, int e, int fd);

    // ExitRefused once some sound could not be read, ExitOk before.
    int status() const;

  private:
    Sound unreadable(int c, int e, const efs::Status& why);
    // What a read of the sound of entry e of chapter c into *bytes found.
    Sound outcome(const efs::Status& read, const QByteArray* bytes, int c, int e);

    QString m_path;
    ProjectArchive m_archive;
    ChapterList m_chapters;
    std::vector<std::pair<int, int>> m_reported;
};

}  // namespace vxtool
