// Levelling a show in place through the save's fault hooks: whether the host file fails at
// any one call or the process is killed at any sync, the show stays exactly as it was
// until the levelled show has replaced it whole.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <map>

#include "FaultInjectionFile.h"
#include "Signals.h"
#include "analysis/LevelPlan.h"
#include "analysis/ShowLeveller.h"
#include "project/Project.h"
#include "project/ProjectArchive.h"
#include "project/ProjectDescription.h"

using namespace reliability;

namespace {

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Every stored file of the container at path, by name.
std::map<QByteArray, QByteArray> storedFiles(const QString& path) {
    std::map<QByteArray, QByteArray> files;
    EfsVolume volume;
    if (!volume.openVolumeReadOnly(path)) return files;
    QList<QByteArray> names;
    volume.listFiles(&names);
    for (const QByteArray& name : names) {
        const int32_t h =
            volume.openFile(name.constData(), EfsVolume::AccessRead, EfsVolume::OpenExisting);
        QByteArray bytes(static_cast<qsizetype>(volume.fileSize(h)), Qt::Uninitialized);
        if (volume.readFile(h, bytes.data(), static_cast<int32_t>(bytes.size())))
            files[name] = bytes;
        volume.closeFile(h);
    }
    return files;
}

// The show's sounds, read from its container as the tool reads them.
analysis::ShowSource sourceOf(ProjectArchive& archive) {
    auto name = [](int c, int e) { return ProjectDescription::soundFileName(c, e); };
    analysis::ShowSource source;
    source.soundSize = [&archive, name](int c, int e, int64_t* size) {
        archive.storedSize(name(c, e).constData(), size);
        return *size > 0 ? analysis::SoundState::Present : analysis::SoundState::None;
    };
    source.readSound = [&archive, name](int c, int e, QByteArray* bytes) {
        return archive.readFile(name(c, e).constData(), *bytes).isOk()
                   ? analysis::SoundState::Present
                   : analysis::SoundState::None;
    };
    source.playability = [](const QByteArray&) { return analysis::Playability{true, {}, -1}; };
    return source;
}

}  // namespace

TEST(ShowLeveller, InPlaceLevellingMeetingAFaultOrAKillLeavesTheShowAsItWas) {
    QString base = qEnvironmentVariable("VOXTRAIL_TEST_TMP");
    if (base.isEmpty()) base = QDir::tempPath();
    const QString folder = base + "/show_leveller";
    QDir(folder).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString path = folder + "/show.vx";
    Project& project = Project::instance();
    project.clear();
    Chapter* chapter = project.addChapter();
    chapter->name = "Act";
    for (double db : {-30.0, -20.0, -12.0})
        chapter->addEntry()->sound =
            testsignal::wav(testsignal::sine(1000, db, 22050), 1.0, 22050, 1, SF_FORMAT_PCM_16);
    chapter->addEntry()->name = "no sound";
    ASSERT_TRUE(project.save(path)) << project.lastError().toStdString();
    project.clear();
    const QByteArray original = fileBytes(path);

    ProjectArchive reader;
    ASSERT_TRUE(reader.openReadOnly(path).isOk());
    QByteArray description;
    ASSERT_TRUE(reader.readFile(ProjectDescription::kFileName, description).isOk());
    const ChapterList chapters = ProjectDescription::read(description).chapters;
    const analysis::ShowSource source = sourceOf(reader);
    const analysis::LevelPlan plan =
        analysis::planLevels(analysis::analyzeShow(chapters, source, {22050, 2, 16}), {});
    ASSERT_EQ(plan.changed, 2);

    // One failing host-file call at a time, at every call the write makes.
    int failures = 0;
    for (int64_t n = 1;; ++n) {
        auto state = std::make_shared<FaultState>();
        state->setFault(FaultMode::Fail, n);
        ProjectArchive archive(faultFactory(state));
        QString error;
        const bool written =
            analysis::writeLevelledShow(chapters, plan, source, archive, path, &error);
        if (!state->faultHit()) {
            ASSERT_TRUE(written) << error.toStdString();
            break;
        }
        if (written) continue;  // a fault the save could live with; undone below
        ++failures;
        ASSERT_FALSE(error.isEmpty());
        ASSERT_EQ(fileBytes(path), original) << "a failure at call " << n << " changed the show";
    }
    EXPECT_GT(failures, 10);
    const std::map<QByteArray, QByteArray> levelled = storedFiles(path);
    EXPECT_EQ(levelled.size(), 4u);  // three sounds and the description
    EXPECT_NE(fileBytes(path), original);

    // Killed at each sync of the save: the show is the old one until the rename.
    ASSERT_TRUE(QFile::remove(path));
    {
        QFile restore(path);
        ASSERT_TRUE(restore.open(QIODevice::WriteOnly));
        ASSERT_EQ(restore.write(original), original.size());
    }
    int kills = 0;
    for (int k = 1;; ++k) {
        const pid_t pid = fork();
        if (pid == 0) {
            auto state = std::make_shared<FaultState>();
            int syncs = 0;
            state->onSync = [&] {
                if (++syncs == k) _exit(9);
            };
            ProjectArchive archive(faultFactory(state));
            QString error;
            _exit(analysis::writeLevelledShow(chapters, plan, source, archive, path, &error) ? 0
                                                                                             : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) != 9) {
            ASSERT_EQ(WEXITSTATUS(status), 0);
            break;
        }
        ++kills;
        ASSERT_EQ(fileBytes(path), original) << "killed at sync " << k;
    }
    EXPECT_GE(kills, 1);
    EXPECT_EQ(storedFiles(path), levelled);  // the same gains and dither give the same sounds
    // What the kills left behind went with the last save.
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"show.vx"});
}
