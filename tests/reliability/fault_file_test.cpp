// The fault-injecting host file itself: it must count, fail and shorten exactly the call
// it was told to, freeze the disk at a crash and roll back unsynced changes exactly, or
// the fault and crash tests built on it prove nothing.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>

#include "FaultInjectionFile.h"

using namespace reliability;

namespace {

QString freshPath(const QString& name) {
    QString dir = qEnvironmentVariable("VOXTRAIL_TEST_TMP");
    if (dir.isEmpty()) dir = QDir::tempPath();
    const QString path = dir + "/" + name;
    QFile::remove(path);
    return path;
}

QByteArray bytesOf(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void put(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

}  // namespace

TEST(FaultInjectionFile, CountsEachKindOfCall) {
    const QString path = freshPath("count.bin");
    auto state = std::make_shared<FaultState>();
    FaultInjectionFile f(state);
    ASSERT_TRUE(f.open(path));
    EXPECT_EQ(f.write("abcdef", 6), 6);
    EXPECT_EQ(f.write("gh", 2), 2);
    EXPECT_EQ(f.seek(0), 0);
    char buf[8] = {};
    EXPECT_EQ(f.read(buf, 8), 8);
    EXPECT_TRUE(f.truncate(100));
    EXPECT_TRUE(f.sync());
    EXPECT_EQ(state->count(IoKind::Write), 2);
    EXPECT_EQ(state->count(IoKind::Read), 1);
    EXPECT_EQ(state->count(IoKind::Resize), 1);
    EXPECT_EQ(state->count(IoKind::Sync), 1);
    EXPECT_EQ(state->countedCalls(), 0) << "no fault was asked for, so nothing is selected";
    EXPECT_EQ(f.size(), 100);
}

TEST(FaultInjectionFile, FailsExactlyTheNthSelectedCall) {
    const QString path = freshPath("nth.bin");
    auto state = std::make_shared<FaultState>();
    state->setFault(FaultMode::Fail, 3, kindBit(IoKind::Write));
    FaultInjectionFile f(state);
    ASSERT_TRUE(f.open(path));
    EXPECT_EQ(f.write("aa", 2), 2);
    char c;
    EXPECT_EQ(f.read(&c, 1), 0) << "reads are not selected";
    EXPECT_EQ(f.write("bb", 2), 2);
    EXPECT_FALSE(state->faultHit());
    EXPECT_EQ(f.write("cc", 2), -1);
    EXPECT_TRUE(state->faultHit());
    EXPECT_EQ(state->faultKind(), IoKind::Write);
    EXPECT_EQ(f.write("dd", 2), 2) << "one fault per run";
    f.close();
    EXPECT_EQ(bytesOf(path), QByteArray("aabbdd"));
}

TEST(FaultInjectionFile, ShortCallsMoveHalfTheBytes) {
    const QString path = freshPath("short.bin");
    put(path, "0123456789");
    auto state = std::make_shared<FaultState>();
    state->setFault(FaultMode::Short, 1, kindBit(IoKind::Read));
    FaultInjectionFile f(state);
    ASSERT_TRUE(f.open(path));
    char buf[10] = {};
    EXPECT_EQ(f.read(buf, 10), 5);
    EXPECT_EQ(QByteArray(buf, 5), QByteArray("01234"));

    state->setFault(FaultMode::Short, 1, kindBit(IoKind::Write));
    EXPECT_EQ(f.seek(0), 0);
    EXPECT_EQ(f.write("abcdefgh", 8), 4);
    f.close();
    EXPECT_EQ(bytesOf(path), QByteArray("abcd456789"));

    auto grow = std::make_shared<FaultState>();
    grow->setFault(FaultMode::Short, 1, kindBit(IoKind::Resize));
    FaultInjectionFile g(grow);
    ASSERT_TRUE(g.open(path));
    EXPECT_FALSE(g.truncate(30)) << "a short resize reports failure";
    EXPECT_EQ(g.size(), 20) << "and leaves the end half-way";
}

TEST(FaultInjectionFile, ACrashFreezesTheDiskAndCanTearTheCrashingWrite) {
    const QString path = freshPath("crash.bin");
    auto state = std::make_shared<FaultState>();
    state->setCrash(2, CrashMode::Ignore, /*tear=*/true);
    FaultInjectionFile f(state);
    ASSERT_TRUE(f.open(path));
    EXPECT_EQ(f.write("1111", 4), 4);
    EXPECT_FALSE(state->crashed());
    EXPECT_EQ(f.write("2222", 4), 4) << "the lost write still reports success";
    EXPECT_TRUE(state->crashed());
    EXPECT_EQ(f.write("3333", 4), 4);
    EXPECT_TRUE(f.truncate(1000));
    EXPECT_TRUE(f.sync());
    f.close();
    EXPECT_EQ(bytesOf(path), QByteArray("111122"));

    const QString other = freshPath("crash_fail.bin");
    auto failing = std::make_shared<FaultState>();
    failing->setCrash(1, CrashMode::Fail);
    FaultInjectionFile g(failing);
    ASSERT_TRUE(g.open(other));
    EXPECT_EQ(g.write("x", 1), -1);
    EXPECT_FALSE(g.truncate(10));
    EXPECT_FALSE(g.sync());
    g.close();
    EXPECT_EQ(bytesOf(other).size(), 0);
}

TEST(FaultInjectionFile, DroppingUnsyncedDataRestoresTheLastSyncedBytes) {
    const QString path = freshPath("drop.bin");
    put(path, "original-content");
    auto state = std::make_shared<FaultState>();
    int syncs = 0;
    state->onSync = [&] { ++syncs; };
    FaultInjectionFile f(state);
    ASSERT_TRUE(f.open(path));
    // Unsynced: overwrite the middle and grow; then drop.
    EXPECT_EQ(f.seek(2), 2);
    EXPECT_EQ(f.write("XXXX", 4), 4);
    EXPECT_TRUE(f.truncate(50));
    EXPECT_EQ(state->unsyncedChanges(), 2u);
    state->dropUnsyncedData();
    EXPECT_EQ(bytesOf(path), QByteArray("original-content"));

    // Synced changes stay; later ones (a shrink and writes past the end) go.
    EXPECT_EQ(f.seek(0), 0);
    EXPECT_EQ(f.write("ORIG", 4), 4);
    EXPECT_TRUE(f.sync());
    EXPECT_EQ(syncs, 1);
    EXPECT_TRUE(f.truncate(3));
    EXPECT_EQ(f.seek(10), 10);
    EXPECT_EQ(f.write("tail", 4), 4);
    EXPECT_EQ(f.seek(0), 0);
    EXPECT_EQ(f.write("zz", 2), 2);
    state->dropUnsyncedData();
    EXPECT_EQ(bytesOf(path), QByteArray("ORIGinal-content"));
    f.close();
}

TEST(FaultInjectionFile, AMovedFileTakesItsUnsyncedChangesAlong) {
    const QString from = freshPath("move_from.bin");
    const QString to = freshPath("move_to.bin");
    put(from, "AAAA");
    put(to, "old target");
    auto state = std::make_shared<FaultState>();
    {
        FaultInjectionFile f(state);
        ASSERT_TRUE(f.open(from));
        EXPECT_EQ(f.write("BB", 2), 2);
        f.close();
        f.move(from, to);
    }
    state->dropUnsyncedData();
    EXPECT_FALSE(QFile::exists(from));
    EXPECT_EQ(bytesOf(to), QByteArray("AAAA"));
}

TEST(FaultInjectionFile, AfterACrashTheFolderDoesNotChangeEither) {
    const QString a = freshPath("after_crash_a.bin");
    const QString b = freshPath("after_crash_b.bin");
    put(a, "A");
    put(b, "B");
    auto state = std::make_shared<FaultState>();
    state->setCrash(1, CrashMode::Ignore);
    FaultInjectionFile f(state);
    ASSERT_TRUE(f.open(a));
    EXPECT_EQ(f.write("x", 1), 1);
    ASSERT_TRUE(state->crashed());
    f.close();
    f.move(a, b);
    f.remove(a);
    EXPECT_EQ(bytesOf(a), QByteArray("A"));
    EXPECT_EQ(bytesOf(b), QByteArray("B"));
}
