// Library faults found by the fault sweeps, each reduced to its smallest reproduction and
// kept as a regression test since its fix.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <string>

#include "FaultInjectionFile.h"
#include "efs/Coding.h"
#include "efs/EfsFormat.h"
#include "efs/EfsVolume.h"
#include "efs/EfsVolumeProbe.h"
#include "efs/btree/BTreeNode.h"

using namespace reliability;

namespace {

QString freshPath(const QString& name) {
    QString dir = qEnvironmentVariable("VOXTRAIL_TEST_TMP");
    if (dir.isEmpty()) dir = QDir::tempPath();
    const QString path = dir + "/" + name;
    QFile::remove(path);
    return path;
}

bool store(EfsVolume& v, const char* name, const QByteArray& data) {
    const int32_t h = v.openFile(name, EfsVolume::AccessWrite, EfsVolume::CreateAlways);
    if (h == 0) return false;
    const bool ok = v.writeFile(h, data.constData(), static_cast<int32_t>(data.size()));
    v.closeFile(h);
    return ok && v.lastError() == 0;
}

QByteArray load(EfsVolume& v, const char* name) {
    const int32_t h = v.openFile(name, EfsVolume::AccessRead, EfsVolume::OpenExisting);
    if (h == 0) return {};
    QByteArray data(static_cast<qsizetype>(v.fileSize(h)), '\0');
    v.readFile(h, data.data(), static_cast<int32_t>(data.size()));
    v.closeFile(h);
    return data;
}

QByteArray bytes(int size, char variant) {
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i) b[i] = static_cast<char>(variant + i * 7);
    return b;
}

void makeVolumeWithTwoFiles(const QString& path) {
    EfsVolume v;
    ASSERT_TRUE(v.openVolume(path));
    ASSERT_TRUE(store(v, "a.snd", bytes(100, 1)));
    ASSERT_TRUE(store(v, "b.snd", bytes(3 * efs::kBlockSize, 2)));
    v.closeVolume();
    ASSERT_EQ(v.lastError(), 0);
}

}  // namespace

// EfsBTreeController::open treats a root slot it cannot read like an empty slot: it makes
// a new empty root and writes it into the slot, and EfsVolume::openVolumeImpl then writes
// that root into the header. One failed 4-byte read at header offset 20 while opening an
// existing volume for writing thus empties its file table for good; the open reports
// success. (The header has already been read whole at that point, slot included.)
TEST(KnownVolumeFaults, AFailedReadOfTheFileTableRootSlotNeverEmptiesTheVolume) {
    const QString path = freshPath("root_slot_read.vx");
    makeVolumeWithTwoFiles(path);
    auto state = std::make_shared<FaultState>();
    state->setFaultAtPlace(FaultMode::Fail, IoKind::Read, efs::kHeaderFileRoot, 4);
    {
        EfsVolume v(faultFactory(state));
        const bool opened = v.openVolume(path);
        ASSERT_TRUE(state->faultHit());
        if (opened) {
            QList<QByteArray> names;
            v.listFiles(&names);
            EXPECT_EQ(names.size(), 2) << "the open succeeded but the files are gone";
        } else {
            EXPECT_EQ(v.lastError(), EfsVolume::ErrorIo);
        }
        v.closeVolume();
    }
    EfsVolume plain;
    ASSERT_TRUE(plain.openVolume(path));
    EXPECT_EQ(load(plain, "a.snd"), bytes(100, 1)) << "the file table was replaced by an empty one";
    EXPECT_EQ(load(plain, "b.snd"), bytes(3 * efs::kBlockSize, 2));
}

// The same for the free-space tree: a failed read of header offset 16 gives an empty
// free-space tree in place of the real one; every free block of the volume is then lost
// (leaked) and check() of the reopened volume names them.
TEST(KnownVolumeFaults, AFailedReadOfTheFreeSpaceRootSlotNeverDropsTheFreeSpace) {
    const QString path = freshPath("free_slot_read.vx");
    makeVolumeWithTwoFiles(path);
    auto state = std::make_shared<FaultState>();
    state->setFaultAtPlace(FaultMode::Fail, IoKind::Read, efs::kHeaderFreeRoot, 4);
    {
        EfsVolume v(faultFactory(state));
        const bool opened = v.openVolume(path);
        ASSERT_TRUE(state->faultHit());
        if (!opened) {
            EXPECT_EQ(v.lastError(), EfsVolume::ErrorIo);
        }
        v.closeVolume();
    }
    EfsVolume plain;
    ASSERT_TRUE(plain.openVolume(path));
    EXPECT_TRUE(plain.check().isEmpty()) << plain.check().join("\n").toStdString();
}

// When a new volume is created, EfsBTreeController::open ignores the result of
// writeRootSlot, and EfsVolume::openVolumeImpl does not rewrite the header of a new
// volume. A failed 4-byte write at header offset 20 leaves the slot 0: the open, every
// write and the close report success, and the next open finds no files at all.
TEST(KnownVolumeFaults, AFailedWriteOfARootSlotOnCreationIsReported) {
    const QString path = freshPath("root_slot_write.vx");
    auto state = std::make_shared<FaultState>();
    state->setFaultAtPlace(FaultMode::Fail, IoKind::Write, efs::kHeaderFileRoot, 4);
    bool reported = false;
    {
        EfsVolume v(faultFactory(state));
        const bool opened = v.openVolume(path);
        ASSERT_TRUE(state->faultHit());
        reported = !opened;
        if (opened) {
            reported = !store(v, "a.snd", bytes(100, 1));
            v.closeVolume();
            reported = reported || v.lastError() != 0;
        }
    }
    if (reported) return;  // a reported failure is all that is asked
    EfsVolume plain;
    ASSERT_TRUE(plain.openVolume(path));
    EXPECT_EQ(load(plain, "a.snd"), bytes(100, 1))
        << "every call succeeded, yet the stored file is gone";
}

// EfsVolume::writeBlock with merging accepts any read that delivers at least one byte
// ("a short read at the end of the host file leaves the rest zero"), but a block below
// hostBlocks never lies past the end: a short read there is a failed read. A write of a
// few bytes into a block that is not cached then zeroes the rest of that block and
// reports success.
TEST(KnownVolumeFaults, AShortReadWhileMergingFailsTheWriteInsteadOfZeroingData) {
    const QString path = freshPath("short_merge.vx");
    makeVolumeWithTwoFiles(path);
    auto state = std::make_shared<FaultState>();
    EfsVolume v(faultFactory(state));
    ASSERT_TRUE(v.openVolume(path));
    const int32_t h = v.openFile("b.snd", EfsVolume::AccessWrite, EfsVolume::OpenExisting);
    ASSERT_NE(h, 0);
    v.seekFile(h, efs::kBlockSize + 10);
    state->setFault(FaultMode::Short, 1, kindBit(IoKind::Read));
    const bool written = v.writeFile(h, "XYZ", 3);
    ASSERT_TRUE(state->faultHit()) << "the merge read was expected to be the next read";
    v.closeFile(h);
    v.closeVolume();
    if (!written) return;  // refusing the write is right
    QByteArray expected = bytes(3 * efs::kBlockSize, 2);
    expected.replace(efs::kBlockSize + 10, 3, "XYZ");
    EfsVolume plain;
    ASSERT_TRUE(plain.openVolume(path));
    EXPECT_TRUE(load(plain, "b.snd") == expected)
        << "the write reported success but the rest of the block was zeroed";
}

// EfsVolume::check (EfsCheck.cpp, TreeChecker::walk) bounds the depth of its walk at 48
// but visits a node once for every link to it. An inner node of the file table whose
// child links all lead back to the root makes the walk branch about 90 ways on every
// level down to depth 48: it never ends, and the list of entries it collects grows
// until memory runs out. A set of visited blocks would end it at once. The check runs in
// a child process here, so that the hang fails this test instead of stopping the run.
TEST(KnownVolumeFaults, CheckOfATreeWhoseLinksLoopEnds) {
    const QString path = freshPath("check_loop.vx");
    int32_t root = 0;
    int32_t child = 0;
    {
        EfsVolume v;
        ASSERT_TRUE(v.openVolume(path));
        v.setGrowthStep(64 * efs::kBlockSize);
        // More names than one node holds: the root becomes an inner node.
        for (int i = 0; i < 200; ++i)
            ASSERT_TRUE(store(v, ("n" + std::to_string(i)).c_str(), bytes(10, 1)));
        root = EfsVolumeProbe(v).fileTableRoot();
        v.closeVolume();
    }
    using Node = efs::BTreeNode<185, efs::FileNameKey>;
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    Node node;
    f.seek(static_cast<qint64>(root) * efs::kBlockSize);
    ASSERT_EQ(f.read(reinterpret_cast<char*>(node.bytes()), Node::kRecordSize), Node::kRecordSize);
    ASSERT_FALSE(node.isLeaf());
    child = node.child0();
    // The leftmost leaf becomes an inner node whose every link names the root.
    f.seek(static_cast<qint64>(child) * efs::kBlockSize);
    ASSERT_EQ(f.read(reinterpret_cast<char*>(node.bytes()), Node::kRecordSize), Node::kRecordSize);
    uint8_t* raw = node.bytes();
    efs::encodeFixed32(raw + 4, root);
    for (int e = 0; e < node.count(); ++e)
        efs::encodeFixed32(raw + 8 + Node::kEntryWidth * e + Node::kEntryWidth - 4, root);
    f.seek(static_cast<qint64>(child) * efs::kBlockSize);
    ASSERT_EQ(f.write(reinterpret_cast<const char*>(raw), Node::kRecordSize), Node::kRecordSize);
    f.close();

    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        EfsVolume v;
        if (!v.openVolumeReadOnly(path)) ::_exit(0);
        const QStringList problems = v.check();
        ::_exit(problems.isEmpty() ? 1 : 0);
    }
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 100 && !ended; ++i) {
        if (::waitpid(pid, &status, WNOHANG) == pid)
            ended = true;
        else
            ::usleep(100 * 1000);
    }
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(ended) << "check() of a tree whose links loop did not end within 10 s";
    if (ended) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "check() found nothing wrong with a looping tree, or crashed";
    }
}
