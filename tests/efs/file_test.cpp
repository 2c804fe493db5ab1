// Stored files: the file table, handles, dispositions, file data in both forms, record
// moves, recovery after an unclean close, and compact.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "EfsTestUtil.h"
#include "efs/EfsVolumeProbe.h"
#include "efs/FileNameKey.h"

using efs::kBlockSize;
using efs::kInlineLimit;
using efstest::fixed32At;
using efstest::freshPath;
using efstest::readAll;

namespace {

struct Vol {
    QString path;
    EfsVolume v;
    explicit Vol(const QString& name) : path(freshPath(name)) { EXPECT_TRUE(v.openVolume(path)); }
    int32_t create(const char* name, int disposition = EfsVolume::CreateNew) {
        return v.openFile(name, EfsVolume::AccessWrite, disposition);
    }
    QByteArray contents(const char* name) {
        const int32_t h = v.openFile(name, EfsVolume::AccessRead, EfsVolume::OpenExisting);
        if (h == 0) return "<missing>";
        QByteArray out(static_cast<qsizetype>(v.fileSize(h)), '\0');
        const int32_t n = v.readFile(h, out.data(), static_cast<int32_t>(out.size()));
        out.resize(n);
        v.closeFile(h);
        return out;
    }
    efs::FitRecord record(const char* name) {
        efs::FitRecord r;
        EXPECT_TRUE(EfsVolumeProbe(v).loadStoredRecord(name, &r)) << name;
        return r;
    }
    void expectSound() {
        const QStringList problems = v.check();
        EXPECT_TRUE(problems.isEmpty()) << efstest::joined(problems).toStdString();
    }
};

QByteArray pattern(int n, int variant) {
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i) b[i] = static_cast<char>((i * 31 + variant * 7 + i / 251) & 0xFF);
    return b;
}

bool writeAt(EfsVolume& v, int32_t h, int64_t pos, const QByteArray& data) {
    v.seekFile(h, pos);
    return v.writeFile(h, data.constData(), static_cast<int32_t>(data.size()));
}

}  // namespace

TEST(FileTable, HandlesStartAtEightAndAreNeverReused) {
    Vol f("ft_handles.vx");
    const int32_t a = f.create("a");
    EXPECT_EQ(a, 8);
    f.v.closeFile(a);
    EXPECT_EQ(f.create("b"), 9);
    f.v.closeFile(a);
    EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorNotFound);
}

TEST(FileTable, DispositionsOnExistingAndMissingFiles) {
    Vol f("ft_disp.vx");
    EXPECT_EQ(f.v.openFile("desc.xml", EfsVolume::AccessRead, EfsVolume::OpenExisting), 0);
    EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorState);
    EXPECT_EQ(f.v.openFile("desc.xml", EfsVolume::AccessRead, EfsVolume::TruncateExisting), 0);
    EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorState);
    EXPECT_EQ(f.v.openFile("desc.xml", EfsVolume::AccessRead, 9), 0);
    EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorState);
    EXPECT_FALSE(f.v.fileExists("desc.xml"));

    int32_t h = f.v.openFile("desc.xml", EfsVolume::AccessWrite, EfsVolume::OpenAlways);
    ASSERT_NE(h, 0);
    EXPECT_EQ(f.v.fileSize(h), 0);
    ASSERT_TRUE(writeAt(f.v, h, 0, "some text"));
    f.v.closeFile(h);

    EXPECT_EQ(f.create("desc.xml", EfsVolume::CreateNew), 0);
    EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorArgument);
    EXPECT_EQ(f.create("desc.xml", 0), 0);
    EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorArgument);
    EXPECT_EQ(f.create("desc.xml", 6), 0);
    EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorArgument);
    EXPECT_EQ(f.contents("desc.xml"), QByteArray("some text"));
    h = f.create("desc.xml", EfsVolume::OpenAlways);
    EXPECT_EQ(f.v.fileSize(h), 9);
    f.v.closeFile(h);
    h = f.create("desc.xml", EfsVolume::CreateAlways);
    ASSERT_NE(h, 0);
    EXPECT_EQ(f.v.fileSize(h), 0);
    writeAt(f.v, h, 0, "again");
    f.v.closeFile(h);
    h = f.create("desc.xml", EfsVolume::TruncateExisting);
    EXPECT_EQ(f.v.fileSize(h), 0);
    f.v.closeFile(h);
    QList<QByteArray> names;
    f.v.listFiles(&names);
    EXPECT_EQ(names, QList<QByteArray>{"desc.xml"});
    f.expectSound();
}

TEST(FileTable, LongNamesAreCutAndListedInHashOrder) {
    Vol f("ft_names.vx");
    const std::string longName = "a_name_of_exactly_forty_bytes_0123456789";
    ASSERT_EQ(longName.size(), 40u);
    int32_t h = f.create(longName.c_str());
    writeAt(f.v, h, 0, "long");
    f.v.closeFile(h);
    EXPECT_TRUE(f.v.fileExists(longName.substr(0, 29).c_str()));
    EXPECT_EQ(f.contents(longName.substr(0, 29).c_str()), QByteArray("long"));
    EXPECT_EQ(f.record(longName.c_str()).fileName(), longName.substr(0, 29));

    const char* sounds[] = {"desc.xml", "ch0_e0.snd", "ch0_e1.snd", "ch1_e0.snd", "ch12_e7.snd"};
    for (const char* s : sounds) f.v.closeFile(f.create(s));
    QList<QByteArray> names;
    f.v.listFiles(&names);
    ASSERT_EQ(names.size(), 6);
    for (int i = 1; i < names.size(); ++i)
        EXPECT_LT(efs::fileHash(names[i - 1].constData()), efs::fileHash(names[i].constData()));
    EXPECT_TRUE(names.contains(QByteArray::fromStdString(longName.substr(0, 29))));
}

TEST(FileTable, RemoveAndRenameRefuseOpenFilesAndExistingTargets) {
    Vol f("ft_remove.vx");
    const int32_t a = f.create("a");
    writeAt(f.v, a, 0, pattern(20000, 1));
    EXPECT_FALSE(f.v.removeFile("a"));
    EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorState);
    EXPECT_FALSE(f.v.renameFile("a", "z"));
    EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorState);
    f.v.closeFile(a);
    EXPECT_EQ(f.contents("a"), pattern(20000, 1));
    f.v.closeFile(f.create("b"));

    EXPECT_FALSE(f.v.renameFile("a", "b"));
    EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorState);
    EXPECT_EQ(f.contents("a"), pattern(20000, 1));
    EXPECT_EQ(f.contents("b"), QByteArray());
    EXPECT_FALSE(f.v.renameFile("missing", "c"));
    EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorNotFound);
    EXPECT_FALSE(f.v.removeFile("missing"));
    EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorNotFound);

    ASSERT_TRUE(f.v.renameFile("a", "c"));
    EXPECT_FALSE(f.v.fileExists("a"));
    EXPECT_EQ(f.contents("c"), pattern(20000, 1));
    EXPECT_EQ(f.record("c").fileName(), "c");
    f.expectSound();
    const int64_t freeBefore = EfsVolumeProbe(f.v).freeTotal();
    ASSERT_TRUE(f.v.removeFile("c"));
    EXPECT_EQ(EfsVolumeProbe(f.v).freeTotal(), freeBefore + 3 + 1)
        << "three data blocks and the record";
    EXPECT_FALSE(f.v.fileExists("c"));
    f.expectSound();
}

TEST(FileTable, HandleQueriesAndUnknownHandles) {
    Vol f("ft_query.vx");
    const int32_t h = f.create("q");
    writeAt(f.v, h, 0, "0123456789");
    EXPECT_EQ(f.v.tellFile(h), 10);
    EXPECT_TRUE(f.v.atEndOfFile(h));
    EXPECT_EQ(f.v.seekFile(h, 50), 50);
    EXPECT_FALSE(f.v.atEndOfFile(h)) << "past the end is not the end";
    EXPECT_TRUE(f.v.setFileAttributes(h, 0x1234));
    EXPECT_EQ(f.v.fileAttributes(h), 0x1234);
    EfsFileInfo info;
    ASSERT_TRUE(f.v.fileInfo(h, &info));
    EXPECT_EQ(info.fileName(), "q");
    EXPECT_EQ(info.fileSize(), 10);
    EXPECT_EQ(info.attributes(), 0x1234);
    EXPECT_EQ(info.crc(), 0);
    EXPECT_GT(info.creationTime(), 0);
    EXPECT_GE(info.lastChangeTime(), info.creationTime());

    const int32_t bad = 4242;
    char buf[4];
    EXPECT_EQ(f.v.readFile(bad, buf, 4), 0);
    EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorNotFound);
    EXPECT_FALSE(f.v.writeFile(bad, buf, 4));
    EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorNotFound);
    EXPECT_EQ(f.v.tellFile(bad), -1);
    EXPECT_EQ(f.v.seekFile(bad, 3), -1);
    EXPECT_EQ(f.v.fileSize(bad), 0);
    EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorNotFound);
    EXPECT_FALSE(f.v.setFileSize(bad, 3));
    EXPECT_EQ(f.v.fileAttributes(bad), 0);
    EXPECT_FALSE(f.v.fileInfo(bad, &info));
    EXPECT_FALSE(f.v.setFileAttributes(bad, 1));
    EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorArgument);
    EXPECT_TRUE(f.v.atEndOfFile(bad));
    EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorArgument);

    EXPECT_FALSE(f.v.writeFile(h, buf, 0));
    EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorArgument);
    f.v.seekFile(h, -5);
    EXPECT_EQ(f.v.readFile(h, buf, 4), 0) << "nothing lies before the start";
    EXPECT_FALSE(f.v.writeFile(h, "x", 1));
    EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorArgument);
    EXPECT_EQ(f.v.fileSize(h), 10);
    f.v.closeFile(h);
    const int32_t again = f.v.openFile("q", EfsVolume::AccessRead, EfsVolume::OpenExisting);
    EXPECT_EQ(f.v.fileAttributes(again), 0x1234) << "attributes are stored";
}

TEST(FileData, InlineLimitAndTheMoveToOneDataBlock) {
    Vol f("fd_inline.vx");
    const int32_t h = f.create("in");
    const QByteArray data = pattern(kInlineLimit, 2);
    ASSERT_TRUE(writeAt(f.v, h, 0, data));
    efs::FitRecord r = f.record("in");
    EXPECT_EQ(r.fragmentsCount(), 0);
    EXPECT_EQ(r.fileSize(), kInlineLimit);
    // The contents sit at record offset 146; the size is read from the unaligned offset 66.
    const QByteArray disk = readAll(f.path);
    const qsizetype at = static_cast<qsizetype>(r.addr()) * kBlockSize;
    EXPECT_EQ(disk.mid(at + 146, kInlineLimit), data);
    EXPECT_EQ(efs::decodeFixed64(reinterpret_cast<const uint8_t*>(disk.constData()) + at + 66),
              kInlineLimit);
    ASSERT_TRUE(writeAt(f.v, h, kInlineLimit, "!"));
    r = f.record("in");
    EXPECT_EQ(r.fragmentsCount(), 1);
    EXPECT_EQ(r.allBlocks(), 1);
    EXPECT_EQ(r.fileSize(), kInlineLimit + 1);
    f.v.closeFile(h);
    EXPECT_EQ(f.contents("in"), data + "!");
    f.expectSound();
}

TEST(FileData, NeedReserveAndTrimAtTheLastClose) {
    Vol f("fd_need.vx");
    int32_t h = f.create("n");
    ASSERT_TRUE(writeAt(f.v, h, 0, pattern(8192, 3)));
    efs::FitRecord r = f.record("n");
    EXPECT_EQ(r.allBlocks(), 2);
    EXPECT_EQ(r.liberalSize(), 2);
    const int32_t second = f.v.openFile("n", EfsVolume::AccessRead, EfsVolume::OpenExisting);
    f.v.closeFile(h);
    EXPECT_EQ(f.record("n").allBlocks(), 2) << "trimmed only at the last close";
    f.v.closeFile(second);
    r = f.record("n");
    EXPECT_EQ(r.allBlocks(), 1);
    EXPECT_EQ(r.liberalSize(), 1);
    EXPECT_EQ(f.contents("n"), pattern(8192, 3));
    f.expectSound();

    efs::VolumeParams p = f.v.parameters();
    p.reserveBlocks = 3;
    ASSERT_TRUE(f.v.setParameters(p));
    h = f.create("r");
    ASSERT_TRUE(writeAt(f.v, h, 0, pattern(9000, 4)));
    r = f.record("r");
    EXPECT_EQ(r.allBlocks(), 2 + 3);
    EXPECT_EQ(r.liberalSize(), 5);
    f.v.closeFile(h);
    EXPECT_EQ(f.record("r").allBlocks(), 2);
    f.expectSound();
}

TEST(FileData, AdjacentRunsJoinAndReadsStopAtTheEnd) {
    Vol f("fd_join.vx");
    const int32_t h = f.create("j");
    ASSERT_TRUE(writeAt(f.v, h, 0, pattern(20000, 5)));
    ASSERT_TRUE(writeAt(f.v, h, 20000, pattern(30000, 6)));
    efs::FitRecord r = f.record("j");
    EXPECT_EQ(r.fragmentsCount(), 1);
    char buf[100];
    f.v.seekFile(h, 50000 - 10);
    EXPECT_EQ(f.v.readFile(h, buf, 100), 10);
    EXPECT_EQ(QByteArray(buf, 10), pattern(30000, 6).right(10));
    EXPECT_EQ(f.v.readFile(h, buf, 100), 0);
    f.v.seekFile(h, 60000);
    EXPECT_EQ(f.v.readFile(h, buf, 100), 0);
    f.v.seekFile(h, 5);
    EXPECT_EQ(f.v.readFile(h, buf, 0), 0);
    f.v.closeFile(h);
}

TEST(FileData, SetFileSizeAcrossTheInlineLimitAndBack) {
    Vol f("fd_size.vx");
    const int64_t freeAtStart = EfsVolumeProbe(f.v).freeTotal();
    int32_t h = f.create("s");
    ASSERT_TRUE(writeAt(f.v, h, 0, pattern(kInlineLimit, 7)));
    ASSERT_TRUE(f.v.setFileSize(h, kInlineLimit));
    EXPECT_EQ(f.record("s").fragmentsCount(), 0);
    ASSERT_TRUE(f.v.setFileSize(h, kInlineLimit + 1));
    efs::FitRecord r = f.record("s");
    EXPECT_EQ(r.fragmentsCount(), 1);
    EXPECT_EQ(r.fileSize(), kInlineLimit + 1);
    QByteArray back(kInlineLimit, '\0');
    f.v.seekFile(h, 0);
    EXPECT_EQ(f.v.readFile(h, back.data(), kInlineLimit), kInlineLimit);
    EXPECT_EQ(back, pattern(kInlineLimit, 7));

    ASSERT_TRUE(f.v.setFileSize(h, 100000));
    r = f.record("s");
    EXPECT_EQ(r.allBlocks(), 100000 / kBlockSize + 1);
    ASSERT_TRUE(f.v.setFileSize(h, 20000));
    r = f.record("s");
    int64_t sum = 0;
    for (int i = 0; i < r.fragmentsCount(); ++i) sum += r.fragment(i).size;
    EXPECT_EQ(r.allBlocks(), sum);
    EXPECT_EQ(r.allBlocks(), 20000 / kBlockSize + 1);
    ASSERT_TRUE(writeAt(f.v, h, 60000, "tail"));
    EXPECT_EQ(f.v.fileSize(h), 60004);
    EXPECT_EQ(f.record("s").allBlocks(), 60004 / kBlockSize + 1);

    ASSERT_TRUE(f.v.setFileSize(h, 0));
    r = f.record("s");
    EXPECT_EQ(r.fragmentsCount(), 0);
    EXPECT_EQ(r.fitSize(), 1);
    EXPECT_EQ(r.allBlocks(), 0);
    EXPECT_EQ(EfsVolumeProbe(f.v).freeTotal(), freeAtStart - 1) << "every data block is free again";
    ASSERT_TRUE(writeAt(f.v, h, 0, pattern(9000, 8)));
    ASSERT_TRUE(f.v.setFileSize(h, 300));
    f.v.closeFile(h);
    EXPECT_EQ(f.contents("s"), pattern(300, 8));
    EXPECT_FALSE(f.v.setFileSize(h, -1));
    f.expectSound();
}

// A file that alternates growth with another gets a new fragment per block; past about
// a thousand fragments its record needs a second block, and going back to the inline
// form gives that block back.
TEST(FileData, ManyFragmentsGrowTheRecordAndInlineGivesItBack) {
    Vol f("fd_frag.vx");
    efs::VolumeParams p = f.v.parameters();
    p.allocMode = EfsVolume::AllocFromStart;
    ASSERT_TRUE(f.v.setParameters(p));
    const int32_t a = f.create("a");
    const int32_t b = f.create("b");
    const QByteArray block = pattern(kBlockSize, 9);
    for (int i = 0; i < 1100; ++i) {
        ASSERT_TRUE(writeAt(f.v, a, static_cast<int64_t>(i) * kBlockSize, block));
        ASSERT_TRUE(writeAt(f.v, b, static_cast<int64_t>(i) * kBlockSize, block));
    }
    efs::FitRecord r = f.record("a");
    EXPECT_GT(r.fragmentsCount(), 1005);
    EXPECT_EQ(r.fitSize(), 2);
    f.expectSound();
    f.v.closeFile(b);
    const int64_t freeBefore = EfsVolumeProbe(f.v).freeTotal();
    const int64_t dataBlocks = r.allBlocks();
    ASSERT_TRUE(f.v.setFileSize(a, 10));
    r = f.record("a");
    EXPECT_EQ(r.fitSize(), 1);
    // The released one-block runs grow the free-space tree by a few nodes; the checker
    // proves that no block, the second record block included, is left unaccounted.
    EXPECT_GE(EfsVolumeProbe(f.v).freeTotal(), freeBefore + dataBlocks + 1 - 8);
    f.expectSound();
    f.v.closeFile(a);
    EXPECT_EQ(f.contents("a"), block.left(10));
    QByteArray all;
    for (int i = 0; i < 1100; ++i) all += block;
    EXPECT_EQ(f.contents("b"), all);
    f.v.closeVolume();
    ASSERT_TRUE(f.v.openVolume(f.path));
    f.expectSound();
}

TEST(FileData, HandlesOnOneFileShareItsRecord) {
    Vol f("fd_share.vx");
    const int32_t w = f.create("s");
    const int32_t r = f.v.openFile("s", EfsVolume::AccessRead, EfsVolume::OpenExisting);
    ASSERT_TRUE(writeAt(f.v, w, 0, pattern(12000, 10)));
    EXPECT_EQ(f.v.fileSize(r), 12000);
    QByteArray got(12000, '\0');
    EXPECT_EQ(f.v.readFile(r, got.data(), 12000), 12000);
    EXPECT_EQ(got, pattern(12000, 10));
    EXPECT_EQ(f.v.tellFile(w), 12000);
}

TEST(FileData, DamagedRecordsFailWithIoError) {
    struct Case {
        const char* name;
        int offset;
        int64_t value;
        bool wide;
    };
    const Case cases[] = {
        {"own address", 0, 77, false},
        {"fitSize 0", 4, 0, false},
        {"fitSize huge", 4, 1 << 30, false},
        {"negative fragments", 8, -2, false},
        {"fragments beyond the record", 8, 5000, false},
        {"allBlocks off", 12, 9, false},
        {"size beyond its blocks", 66, 1 << 20, true},
        {"negative size", 66, -1, true},
        {"fragment outside the host", 146, 1 << 30, false},
        {"fragment length 0", 150, 0, false},
    };
    for (const Case& c : cases) {
        Vol f(QString("fd_damage_%1.vx").arg(&c - cases));
        const int32_t h = f.create("x");
        writeAt(f.v, h, 0, pattern(20000, 11));
        f.v.closeFile(h);
        const int32_t at = f.record("x").addr();
        f.v.closeVolume();
        const qint64 pos = static_cast<qint64>(at) * kBlockSize + c.offset;
        if (c.wide)
            efstest::putFixed64(f.path, pos, c.value);
        else
            efstest::putFixed32(f.path, pos, static_cast<int32_t>(c.value));
        ASSERT_TRUE(f.v.openVolume(f.path)) << c.name;
        EXPECT_EQ(f.v.openFile("x", EfsVolume::AccessRead, EfsVolume::OpenExisting), 0) << c.name;
        EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorIo) << c.name;
        EXPECT_FALSE(f.v.removeFile("x")) << c.name;
        EXPECT_FALSE(f.v.check().isEmpty()) << c.name << ": the checker sees the damage";
        f.v.closeFile(f.create("other"));
        EXPECT_TRUE(f.v.fileExists("other")) << c.name;
    }
}

TEST(Recovery, UncleanCloseTrimsReservesAndChecksClean) {
    Vol f("rc_flag.vx");
    efs::VolumeParams p = f.v.parameters();
    p.reserveBlocks = 3;
    ASSERT_TRUE(f.v.setParameters(p));
    const int32_t h = f.create("big");
    ASSERT_TRUE(writeAt(f.v, h, 0, pattern(50000, 12)));
    EXPECT_EQ(f.record("big").allBlocks(), 7 + 3);
    // The host file as a crash would leave it: open flag 1, reserve not trimmed.
    const QString crashed = freshPath("rc_flag_copy.vx");
    efstest::writeAll(crashed, readAll(f.path));
    EXPECT_EQ(fixed32At(readAll(crashed), 12), 1);
    EfsVolume v;
    ASSERT_TRUE(v.openVolume(crashed));
    efs::FitRecord r;
    ASSERT_TRUE(EfsVolumeProbe(v).loadStoredRecord("big", &r));
    EXPECT_EQ(r.allBlocks(), 7) << "the recovery pass trimmed the reserve";
    v.closeFile(8);
    EXPECT_EQ(v.lastError(), EfsVolume::ErrorNotFound) << "the pass left no handle open";
    EXPECT_TRUE(v.check().isEmpty()) << efstest::joined(v.check()).toStdString();
    v.closeVolume();
    EXPECT_EQ(fixed32At(readAll(crashed), 12), 0);
}

TEST(Recovery, AProcessKilledWhileWritingLeavesAnOpenableVolume) {
    const QString path = freshPath("rc_killed.vx");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        EfsVolume v;
        efs::VolumeParams p;
        if (!v.openVolume(path)) _exit(2);
        p.reserveBlocks = 2;
        v.setParameters(p);
        const int32_t h = v.openFile("take1.snd", EfsVolume::AccessWrite, EfsVolume::CreateNew);
        const QByteArray data = pattern(70000, 13);
        v.writeFile(h, data.constData(), static_cast<int32_t>(data.size()));
        _exit(0);  // no close of any kind
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EfsVolume v;
    ASSERT_TRUE(v.openVolume(path));
    EXPECT_TRUE(v.check().isEmpty()) << efstest::joined(v.check()).toStdString();
    const int32_t h = v.openFile("take1.snd", EfsVolume::AccessRead, EfsVolume::OpenExisting);
    QByteArray got(70000, '\0');
    EXPECT_EQ(v.readFile(h, got.data(), 70000), 70000);
    EXPECT_EQ(got, pattern(70000, 13));
}

TEST(Compact, KeepsHandlesContentsAndShrinksTheHost) {
    Vol f("cp_keep.vx");
    f.v.setGrowthStep(64 * kBlockSize);
    for (int i = 0; i < 30; ++i) {
        const std::string name = "f" + std::to_string(i);
        const int32_t h = f.create(name.c_str());
        writeAt(f.v, h, 0, pattern(1000 + i * 5000, i));
        f.v.setFileAttributes(h, i);
        f.v.closeFile(h);
    }
    for (int i = 0; i < 30; i += 2) f.v.removeFile(("f" + std::to_string(i)).c_str());
    const int32_t h1 = f.v.openFile("f1", EfsVolume::AccessRead, EfsVolume::OpenExisting);
    const int32_t h2 = f.create("f7", EfsVolume::OpenAlways);
    f.v.seekFile(h1, 333);
    f.v.seekFile(h2, 4444);
    const int32_t closed = f.create("gone");
    f.v.closeFile(closed);
    ASSERT_TRUE(f.v.removeFile("gone"));
    efstest::writeAll(f.path + ".fits", "companion");
    QList<QByteArray> before;
    f.v.listFiles(&before);

    ASSERT_TRUE(f.v.compact()) << f.v.lastError();
    const int32_t next = f.create("new");
    EXPECT_GT(next, closed) << "no handle number comes back, even one closed before";
    f.v.closeFile(next);
    ASSERT_TRUE(f.v.removeFile("new"));
    EXPECT_EQ(f.v.tellFile(h1), 333);
    EXPECT_EQ(f.v.tellFile(h2), 4444);
    EXPECT_EQ(f.v.fileSize(h2), 1000 + 7 * 5000);
    char buf[10];
    ASSERT_EQ(f.v.readFile(h1, buf, 10), 10);
    EXPECT_EQ(QByteArray(buf, 10), pattern(6000, 1).mid(333, 10));
    EXPECT_EQ(f.v.fileAttributes(h2), 7);
    f.v.closeFile(h1);
    f.v.closeFile(h2);
    QList<QByteArray> after;
    f.v.listFiles(&after);
    EXPECT_EQ(after, before);
    for (int i = 1; i < 30; i += 2)
        EXPECT_EQ(f.contents(("f" + std::to_string(i)).c_str()), pattern(1000 + i * 5000, i));
    EXPECT_FALSE(QFile::exists(f.path + ".fits")) << "the old companion went with the old host";
    EXPECT_FALSE(QFile::exists(f.path + "~0~"));
    f.expectSound();
}

namespace {

// Fails every write to the temporary volume of a compact once it holds some data.
class FailingTempFile final : public efstest::ForwardingFile {
  public:
    bool open(const QString& p) override {
        m_temp = p.endsWith("~");
        return m_file.open(p);
    }
    int32_t write(const void* b, int32_t n) override {
        // The copy fails once it reaches past its first 40 blocks.
        if (m_temp && m_file.pos() + n > 40 * kBlockSize) return -1;
        return m_file.write(b, n);
    }

  private:
    bool m_temp = false;
};

efs::FitRecord storedRecord(EfsVolume& v, const char* name) {
    efs::FitRecord r;
    EXPECT_TRUE(EfsVolumeProbe(v).loadStoredRecord(name, &r)) << name;
    return r;
}

}  // namespace

TEST(Compact, AFailedCopyLeavesTheOriginalUntouched) {
    const QString path = freshPath("cp_fail.vx");
    EfsVolume v([] { return std::make_unique<FailingTempFile>(); });
    ASSERT_TRUE(v.openVolume(path));
    v.setGrowthStep(128 * kBlockSize);
    for (int i = 0; i < 5; ++i) {
        const int32_t h = v.openFile(("f" + std::to_string(i)).c_str(), 2, EfsVolume::CreateNew);
        const QByteArray data = pattern(300000, i);
        ASSERT_TRUE(v.writeFile(h, data.constData(), static_cast<int32_t>(data.size())));
        v.closeFile(h);
    }
    v.closeVolume();
    ASSERT_TRUE(v.openVolume(path));
    const int32_t open = v.openFile("f2", EfsVolume::AccessRead, EfsVolume::OpenExisting);
    v.seekFile(open, 1234);
    // Reading a file for the copy stores its access time, which moves on when a second
    // passes meanwhile; every other byte stays as it was.
    std::vector<int64_t> accessTimes;
    for (int i = 0; i < 5; ++i)
        accessTimes.push_back(int64_t(storedRecord(v, ("f" + std::to_string(i)).c_str()).addr()) *
                                  kBlockSize +
                              efs::kRecLastAccessTime);
    auto withoutAccessTimes = [&](QByteArray bytes) {
        for (int64_t at : accessTimes) bytes.replace(static_cast<qsizetype>(at), 4, "TIME");
        return bytes;
    };
    const QByteArray before = withoutAccessTimes(readAll(path));
    EXPECT_FALSE(v.compact());
    EXPECT_EQ(v.lastError(), EfsVolume::ErrorIo);
    EXPECT_TRUE(v.isOpen());
    EXPECT_EQ(withoutAccessTimes(readAll(path)), before);
    EXPECT_FALSE(QFile::exists(path + "~0~"));
    EXPECT_TRUE(v.check().isEmpty());
    EXPECT_EQ(v.tellFile(open), 1234) << "open handles are untouched";
    EXPECT_EQ(v.fileSize(open), 300000);
}

TEST(Concurrency, ThreadsSharingOneVolumeKeepItWhole) {
    Vol f("cc_threads.vx");
    auto worker = [&f](int id) {
        const std::string name = "t" + std::to_string(id);
        const int32_t h = f.create(name.c_str());
        for (int i = 0; i < 150; ++i) {
            const QByteArray piece = pattern(700 + id * 13, i + id);
            f.v.seekFile(h, static_cast<int64_t>(i) * 700);
            f.v.writeFile(h, piece.constData(), static_cast<int32_t>(piece.size()));
        }
        f.v.closeFile(h);
    };
    std::vector<std::thread> threads;
    for (int id = 0; id < 4; ++id) threads.emplace_back(worker, id);
    for (std::thread& t : threads) t.join();
    for (int id = 0; id < 4; ++id) {
        QByteArray expected;
        for (int i = 0; i < 150; ++i) {
            expected.resize(static_cast<qsizetype>(i) * 700);
            expected += pattern(700 + id * 13, i + id);
        }
        EXPECT_EQ(f.contents(("t" + std::to_string(id)).c_str()), expected) << id;
    }
    f.expectSound();
}

namespace {

// Bytes from..to of the endless stream of a writer's file. Every state the file passes
// through is a prefix of its stream, so a read at any moment must deliver stream bytes.
QByteArray streamBytes(int salt, int64_t from, int64_t to) {
    QByteArray b(static_cast<qsizetype>(to - from), '\0');
    for (int64_t p = from; p < to; ++p)
        b[static_cast<qsizetype>(p - from)] =
            static_cast<char>((p * 131 + salt * 17 + p / 253) & 0xFF);
    return b;
}

}  // namespace

// Readers list, size and read files while writers create, append to, rewrite, shrink and
// remove theirs on the same volume. Files no writer touches read back whole every time;
// a writer's file reads back as a prefix of its stream whatever the moment; at the end
// every file matches the writers' model, before and after reopening.
TEST(Concurrency, ReadersBesideWritersSeeWholeFilesAndEndAsTheModel) {
    Vol f("cc_readers.vx");
    std::map<std::string, QByteArray> fixed;
    for (int i = 0; i < 5; ++i) {
        const std::string name = "fixed" + std::to_string(i);
        fixed[name] = pattern(100 + i * 7000, i);
        const int32_t h = f.create(name.c_str());
        f.v.writeFile(h, fixed[name].constData(), static_cast<int32_t>(fixed[name].size()));
        f.v.closeFile(h);
    }
    constexpr int kWriters = 2, kReaders = 3;
    // Per writer: stored name -> length (the bytes are its stream's prefix).
    std::vector<std::map<std::string, int64_t>> models(kWriters);
    std::atomic<int> writing{kWriters};
    auto saltOf = [](const std::string& name) {
        return static_cast<int>(std::hash<std::string>{}(name) % 1000);
    };
    auto writer = [&](int id) {
        std::mt19937 rng(static_cast<uint32_t>(id + 1));
        std::map<std::string, int64_t>& model = models[static_cast<size_t>(id)];
        for (int op = 0; op < 2000; ++op) {
            const std::string name = "w" + std::to_string(id) + "_" + std::to_string(rng() % 24);
            const int salt = saltOf(name);
            const unsigned kind = rng() % 6;
            if (kind == 0) {
                // A reader may hold the file open for a moment: removal waits for it.
                bool removed = model.erase(name) == 0;
                for (int tries = 0; !removed && tries < 100000; ++tries) {
                    removed = f.v.removeFile(name.c_str());
                    if (!removed) std::this_thread::yield();
                }
                EXPECT_TRUE(removed) << name;
                continue;
            }
            const int32_t h =
                f.v.openFile(name.c_str(), EfsVolume::AccessWrite, EfsVolume::OpenAlways);
            if (h == 0) {
                ADD_FAILURE() << name << " does not open";
                continue;
            }
            int64_t& length = model[name];
            if (kind <= 3 || length == 0) {  // append
                const int64_t to = length + 1 + rng() % 12000;
                f.v.seekFile(h, length);
                const QByteArray bytes = streamBytes(salt, length, to);
                EXPECT_TRUE(
                    f.v.writeFile(h, bytes.constData(), static_cast<int32_t>(bytes.size())));
                length = to;
            } else if (kind <= 4) {  // rewrite a range in place with the same bytes
                const int64_t from = rng() % length;
                const int64_t to = std::min<int64_t>(length, from + 1 + rng() % 9000);
                f.v.seekFile(h, from);
                const QByteArray bytes = streamBytes(salt, from, to);
                EXPECT_TRUE(
                    f.v.writeFile(h, bytes.constData(), static_cast<int32_t>(bytes.size())));
            } else {  // shrink
                length = rng() % length;
                EXPECT_TRUE(f.v.setFileSize(h, length));
            }
            f.v.closeFile(h);
        }
        --writing;
    };
    std::atomic<int> readsChecked{0};
    auto reader = [&](int id) {
        std::mt19937 rng(static_cast<uint32_t>(100 + id));
        while (writing > 0) {
            QList<QByteArray> names;
            f.v.listFiles(&names);
            for (const auto& [name, bytes] : fixed)
                EXPECT_TRUE(names.contains(name.c_str())) << name;
            // A listing is one state of the table: in key order, no name twice.
            for (qsizetype i = 1; i < names.size(); ++i)
                EXPECT_LT(
                    efs::FileNameKey::compare(efs::FileNameKey::fromName(names[i - 1].constData()),
                                              efs::FileNameKey::fromName(names[i].constData())),
                    0)
                    << names[i - 1].toStdString() << " before " << names[i].toStdString();
            // The last reader only lists, so listings meet the table's changes often.
            if (names.isEmpty() || id == kReaders - 1) continue;
            const std::string name =
                names[static_cast<qsizetype>(rng() % names.size())].toStdString();
            const int32_t h =
                f.v.openFile(name.c_str(), EfsVolume::AccessRead, EfsVolume::OpenExisting);
            if (h == 0) continue;  // removed since it was listed
            const int64_t size = f.v.fileSize(h);
            const int64_t from = size > 0 && rng() % 2 ? static_cast<int64_t>(rng() % size) : 0;
            f.v.seekFile(h, from);
            QByteArray got(static_cast<qsizetype>(size - from + 20000), '\0');
            got.resize(f.v.readFile(h, got.data(), static_cast<int32_t>(got.size())));
            EXPECT_EQ(f.v.tellFile(h), from + got.size());
            f.v.closeFile(h);
            if (fixed.count(name)) {
                EXPECT_EQ(got, fixed.at(name).mid(static_cast<qsizetype>(from))) << name;
            } else {
                EXPECT_EQ(got, streamBytes(saltOf(name), from, from + got.size()))
                    << name << " from " << from;
            }
            ++readsChecked;
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < kWriters; ++i) threads.emplace_back(writer, i);
    for (int i = 0; i < kReaders; ++i) threads.emplace_back(reader, i);
    for (std::thread& t : threads) t.join();
    EXPECT_GT(readsChecked.load(), 0);

    auto expectModel = [&](const char* when) {
        QList<QByteArray> names;
        f.v.listFiles(&names);
        std::set<std::string> listed;
        for (const QByteArray& n : names) listed.insert(n.toStdString());
        std::set<std::string> expected;
        for (const auto& [name, bytes] : fixed) {
            expected.insert(name);
            EXPECT_EQ(f.contents(name.c_str()), bytes) << name << ", " << when;
        }
        for (const auto& model : models)
            for (const auto& [name, length] : model) {
                expected.insert(name);
                EXPECT_EQ(f.contents(name.c_str()), streamBytes(saltOf(name), 0, length))
                    << name << ", " << when;
            }
        EXPECT_EQ(listed, expected) << when;
        f.expectSound();
    };
    expectModel("after the threads");
    f.v.closeVolume();
    ASSERT_TRUE(f.v.openVolume(f.path));
    expectModel("after reopening");
}
