// The writers that replace a whole file by renaming a new one over it, with a host-file
// layer whose renames fail: each must report the failure with its reason, leave the
// original byte for byte as it was and leave no temporary file behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <functional>
#include <memory>

#include "FaultInjectionFile.h"
#include "efs/EfsVolume.h"
#include "project/Project.h"
#include "project/ProjectArchive.h"

using namespace reliability;

namespace {

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList folderEntries(const QString& folder) {
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

struct Writer {
    const char* name;
    // Replaces the container at path through factory; false with the reason in *why.
    std::function<bool(const QString& path, EfsVolume::FileFactory factory, QString* why)> run;
};

// A container holding two files, one of them large enough to be fragmented.
void makeContainer(const QString& path) {
    EfsVolume v;
    ASSERT_TRUE(v.openVolume(path));
    for (const char* name : {"a", "b"}) {
        const int32_t h = v.openFile(name, EfsVolume::AccessWrite, EfsVolume::CreateAlways);
        const QByteArray data(name[0] == 'a' ? 100 : 50000, name[0]);
        ASSERT_TRUE(v.writeFile(h, data.constData(), static_cast<int32_t>(data.size())));
        v.closeFile(h);
    }
    ASSERT_TRUE(v.removeFile("a"));
    v.closeVolume();
}

}  // namespace

TEST(RenameFaults, AFailedRenameReportsItAndLeavesTheOriginal) {
    const Writer writers[] = {
        {"compact",
         [](const QString& path, EfsVolume::FileFactory factory, QString* why) {
             EfsVolume v(std::move(factory));
             if (!v.openVolume(path)) return *why = "cannot open", false;
             const int32_t h = v.openFile("b", EfsVolume::AccessRead, EfsVolume::OpenExisting);
             v.seekFile(h, 123);
             const bool ok = v.compact();
             *why = v.status().reason();
             EXPECT_EQ(v.lastError(), ok ? EfsVolume::ErrorNone : EfsVolume::ErrorIo);
             // The original stays open, with its handles where they were.
             EXPECT_TRUE(v.isOpen());
             EXPECT_EQ(v.tellFile(h), 123);
             EXPECT_EQ(v.fileSize(h), 50000);
             v.closeFile(h);
             v.closeVolume();
             return ok;
         }},
        {"project save",
         [](const QString& path, EfsVolume::FileFactory factory, QString* why) {
             Project& p = Project::instance();
             p.clear();
             p.addChapter()->addEntry()->sound = QByteArray(30000, 's');
             p.setArchive(std::make_unique<ProjectArchive>(std::move(factory)));
             const bool ok = p.save(path);
             *why = p.lastError();
             p.setArchive(nullptr);
             p.clear();
             return ok;
         }},
    };
    const QString folder = QDir::tempPath() + "/rename_faults";
    for (const Writer& w : writers) {
        SCOPED_TRACE(w.name);
        QDir(folder).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(folder));
        const QString path = folder + "/show.vx";
        if (QString(w.name) == "compact") {
            makeContainer(path);
        } else {
            Project::instance().addChapter();
            ASSERT_TRUE(Project::instance().save(path));
            Project::instance().clear();
        }
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0640), 0);
        const QByteArray before = fileBytes(path);
        const QStringList entries = folderEntries(folder);

        auto state = std::make_shared<FaultState>();
        state->failRenames = true;
        QString why;
        EXPECT_FALSE(w.run(path, faultFactory(state), &why));
        EXPECT_TRUE(why.contains("Input/output error while renaming")) << why.toStdString();
        EXPECT_TRUE(fileBytes(path) == before) << "the original changed";
        EXPECT_EQ(folderEntries(folder), entries) << "a temporary file was left";

        // The same writer with renames that work replaces the file and keeps its mode.
        state->failRenames = false;
        EXPECT_TRUE(w.run(path, faultFactory(state), &why)) << why.toStdString();
        EXPECT_FALSE(fileBytes(path) == before);
        EXPECT_EQ(folderEntries(folder), entries);
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
    }
}
