#pragma once

// Saving a project into a container, the one save protocol of every writer of projects
// (Project::save, vxtool project import and the commands that rewrite a show):
//   1. ProjectArchive::beginReplace(path): a new container in a private temporary file
//      beside path; a file at path that is not a container is refused, never overwritten;
//   2. for every entry, chapter by chapter and entry by entry, the supplier is asked for
//      the entry's sound right before it is stored as "ch<c>_e<e>.snd"
//      (ProjectDescription::soundFileName); the source is released (its bytes dropped,
//      its descriptor closed) right after, so a supplier that makes each sound when it is
//      asked holds one sound at a time;
//   3. desc.xml last, from the chapters' texts (ProjectDescription::write);
//   4. ProjectArchive::commitReplace(): the new container is synced, checked, given the
//      old file's owner and mode and renamed over path, and the folder is synced.
// Until the rename the file at path is exactly as it was, so a failure at any step (a
// supplier that fails, a full disk, a kill) leaves the old file and no temporary file. The
// old file may be open for reading meanwhile, by this process or another (a command that
// rewrites the show it reads from): the rename replaces the name, and readers keep the file
// they opened.

#include <QByteArray>
#include <QString>
#include <functional>

#include "efs/Status.h"
#include "project/Project.h"

class ProjectArchive;

// Where the bytes of one entry's sound come from, handed to the save by a supplier.
// Move-only: it may own a descriptor.
class SoundSource final {
  public:
    enum class Kind { None, Bytes, File, Failure };

    // No sound: the entry is saved without one.
    SoundSource() = default;
    static SoundSource none() { return {}; }
    // The sound's complete bytes, shared, not copied. An empty array is no sound.
    static SoundSource bytes(QByteArray data);
    // A readable descriptor of a regular file whose whole content, from offset 0 to its end
    // as fstat gives it when the sound is stored, is the sound; an empty file is no sound.
    // The source owns fd and closes it; fd's own offset is neither used nor moved. The bytes
    // are copied into the container inside the kernel where the files allow it, never
    // through this process's memory. A file that another program cuts short while it is
    // copied fails the save. label (the file's path, say) names the file in messages.
    static SoundSource file(int fd, QString label = QString());
    // The sound cannot be supplied: the save stops with why ("/x/t2.wav cannot be read:
    // Permission denied") and the file at the target path stays as it was.
    static SoundSource failure(efs::Status why);

    SoundSource(SoundSource&& other) noexcept;
    SoundSource& operator=(SoundSource&& other) noexcept;
    ~SoundSource();

    Kind kind() const { return m_kind; }
    const QByteArray& data() const { return m_data; }
    int descriptor() const { return m_fd; }
    const QString& label() const { return m_label; }
    const efs::Status& why() const { return m_why; }

  private:
    void release();

    Kind m_kind = Kind::None;
    QByteArray m_data;
    int m_fd = -1;
    QString m_label;
    efs::Status m_why;
};

// Asked once per entry, in running order, right before that entry's sound is stored:
// chapter and entry are positions from 0, and entryTexts is that entry of the chapters being
// saved (its `sound` is whatever the caller left there, empty or not).
using SoundSupplier = std::function<SoundSource(int chapter, int entry, const Entry& entryTexts)>;

namespace ProjectSave {

// Saves chapters as the project in the container at path, through archive (whose host-file
// factory, rename included, the save uses throughout), by the protocol above. The
// entries' own `sound` members are not looked at: every sound comes from supply. Returns a
// success, or why the save failed as a clause for a sentence ("chapter 1, entry 2:
// ch0_e1.snd cannot be stored: No space left on device while writing blocks 300 to 811");
// archive.replaced() then tells whether the new file was nevertheless put in place (only
// the final folder sync failed).
efs::Status save(ProjectArchive& archive, const QString& path, const ChapterList& chapters,
                 const SoundSupplier& supply);

// The supplier of Project::save: each entry's own sound bytes.
SoundSupplier entrySounds();

}  // namespace ProjectSave
