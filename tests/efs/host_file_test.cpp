#include <gtest/gtest.h>

#include <QFile>

#include "EfsTestUtil.h"
#include "efs/EfsFile.h"
#include "efs/EfsVolume.h"
#include "tests/NonRegularFiles.h"

using efstest::freshPath;

TEST(EfsPosixFile, OpenCreatesAMissingFileEmpty) {
    const QString path = freshPath("host_missing.bin");
    EfsPosixFile f;
    ASSERT_TRUE(f.open(path));
    EXPECT_TRUE(QFile::exists(path));
    EXPECT_EQ(f.size(), 0);
    EXPECT_TRUE(f.isEmpty());
    EXPECT_TRUE(f.close());
    EXPECT_FALSE(f.close());
}

TEST(EfsPosixFile, SeekReadWriteAndTruncate) {
    const QString path = freshPath("host_rw.bin");
    EfsPosixFile f;
    ASSERT_TRUE(f.open(path));
    EXPECT_EQ(f.seek(0), 0);
    EXPECT_EQ(f.seek(-1), -1);
    EXPECT_EQ(f.write("hello world", 11), 11);
    EXPECT_EQ(f.pos(), 11);
    char buf[32] = {};
    EXPECT_EQ(f.read(buf, 10), 0) << "read at the end gives 0, not -1";
    EXPECT_EQ(f.seek(6), 6);
    EXPECT_EQ(f.read(buf, 32), 5);
    EXPECT_EQ(std::string(buf, 5), "world");
    // 64-bit positions: a write beyond 4 GiB extends the (sparse) file.
    const int64_t far = (int64_t(1) << 32) + 10;
    ASSERT_EQ(f.seek(far), far);
    EXPECT_EQ(f.write("x", 1), 1);
    EXPECT_EQ(f.size(), far + 1);
    EXPECT_TRUE(f.truncate(5));
    EXPECT_EQ(f.size(), 5);
    EXPECT_TRUE(f.truncate(20000));
    EXPECT_EQ(f.size(), 20000);
    EXPECT_FALSE(f.isEmpty());
    EXPECT_TRUE(f.sync());
    f.close();
    EXPECT_EQ(f.read(buf, 1), -1);
    EXPECT_EQ(f.write(buf, 1), -1);
    EXPECT_EQ(f.seek(0), -1);
    EXPECT_EQ(f.size(), -1);
    EXPECT_FALSE(f.truncate(0));
}

TEST(EfsPosixFile, TwoOpenersShareOneFile) {
    const QString path = freshPath("host_shared.bin");
    EfsPosixFile a, b;
    ASSERT_TRUE(a.open(path));
    ASSERT_TRUE(b.open(path));
    EXPECT_EQ(a.write("abc", 3), 3);
    char buf[4] = {};
    EXPECT_EQ(b.read(buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");
}

TEST(EfsPosixFile, RemoveAndMoveIgnoreMissingFiles) {
    const QString missing = freshPath("host_nothing.bin");
    const QString target = freshPath("host_target.bin");
    EfsPosixFile f;
    f.remove(missing);
    f.move(missing, target);
    EXPECT_FALSE(QFile::exists(missing));
    EXPECT_FALSE(QFile::exists(target));

    efstest::writeAll(missing, "data");
    efstest::writeAll(target, "old target");
    f.move(missing, target);
    EXPECT_FALSE(QFile::exists(missing));
    EXPECT_EQ(efstest::readAll(target), QByteArray("data"));
    f.remove(target);
    EXPECT_FALSE(QFile::exists(target));
}

TEST(EfsPosixFile, ReadOnlyOpenNeverCreates) {
    const QString path = freshPath("host_ro.bin");
    EfsPosixFile f;
    EXPECT_FALSE(f.openReadOnly(path));
    EXPECT_FALSE(QFile::exists(path));
    efstest::writeAll(path, "abc");
    ASSERT_TRUE(f.openReadOnly(path));
    EXPECT_EQ(f.write("z", 1), -1);
    EXPECT_FALSE(f.truncate(0));
    EXPECT_EQ(efstest::readAll(path), QByteArray("abc"));
}

// A host file must be a regular file: a FIFO, a socket or a device is refused at once by
// both opens, and by the volume over them, and nothing is created or changed.
TEST(EfsPosixFile, OnlyRegularFilesOpenAndOthersAreRefusedAtOnce) {
    const QString folder = efstest::tempDir() + "/host_special";
    QDir(folder).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(folder));
    nonregular::NonRegularFiles files(folder);
    ASSERT_TRUE(files.ok());
    const QStringList before = files.state();
    for (const nonregular::Special& special : files.all()) {
        SCOPED_TRACE(special.kind);
        EfsPosixFile f;
        const bool prompt = nonregular::returnsAtOnce(special.path, [&] {
            EXPECT_FALSE(f.openReadOnly(special.path));
            EXPECT_FALSE(f.open(special.path));
            EfsVolume volume;
            EXPECT_FALSE(volume.openVolumeReadOnly(special.path));
            EXPECT_EQ(volume.lastError(), EfsVolume::ErrorHostOpen);
            EXPECT_FALSE(volume.openVolume(special.path));
            EXPECT_EQ(volume.lastError(), EfsVolume::ErrorHostOpen);
        });
        EXPECT_TRUE(prompt) << "the open waited for a writer that never came";
        EXPECT_EQ(files.state(), before);
    }
    // A folder is no host file either.
    EfsPosixFile f;
    EXPECT_FALSE(f.openReadOnly(folder));
    EXPECT_FALSE(f.open(folder));
}
