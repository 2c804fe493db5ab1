// The volume checker finds each kind of damage, and changes nothing while looking.
#include <gtest/gtest.h>

#include <set>

#include "BTreeTestUtil.h"
#include "EfsTestUtil.h"
#include "efs/EfsVolumeProbe.h"

using efs::kBlockSize;

namespace {

struct Damaged {
    explicit Damaged(const QString& p) : path(p) {}
    QString path;
    int32_t recordA = 0;
    int32_t recordB = 0;
    efs::FitRecord a, b;
};

// A volume with two fragmented files and one inline file, closed cleanly.
Damaged build(const QString& name) {
    Damaged d(efstest::freshPath(name));
    EfsVolume v;
    EXPECT_TRUE(v.openVolume(d.path));
    for (const char* n : {"a", "b", "c"}) {
        const int32_t h = v.openFile(n, EfsVolume::AccessWrite, EfsVolume::CreateNew);
        const QByteArray data(n[0] == 'c' ? 100 : 30000, n[0]);
        v.writeFile(h, data.constData(), static_cast<int32_t>(data.size()));
        v.closeFile(h);
    }
    EXPECT_TRUE(EfsVolumeProbe(v).loadStoredRecord("a", &d.a));
    EXPECT_TRUE(EfsVolumeProbe(v).loadStoredRecord("b", &d.b));
    d.recordA = d.a.addr();
    d.recordB = d.b.addr();
    EXPECT_TRUE(v.check().isEmpty());
    return d;
}

QStringList checkFile(const QString& path) {
    EfsVolume v;
    if (!v.openVolumeReadOnly(path)) return {QString("cannot open: %1").arg(v.lastError())};
    return v.check();
}

bool mentions(const QStringList& problems, const QString& text) {
    for (const QString& p : problems)
        if (p.contains(text)) return true;
    return false;
}

}  // namespace

TEST(VolumeCheck, FindsEachKindOfDamage) {
    {
        Damaged d = build("ck_twice.vx");
        // File b's first fragment now names a's first data block.
        efstest::putFixed32(d.path, int64_t(d.recordB) * kBlockSize + 146, d.a.fragment(0).addr);
        const QByteArray before = efstest::readAll(d.path);
        const QStringList p = checkFile(d.path);
        EXPECT_TRUE(mentions(p, "claimed twice")) << efstest::joined(p).toStdString();
        EXPECT_TRUE(mentions(p, "belong to nothing")) << "b's real block is now lost";
        EXPECT_EQ(efstest::readAll(d.path), before) << "the checker writes nothing";
    }
    {
        Damaged d = build("ck_record.vx");
        efstest::putFixed32(d.path, int64_t(d.recordA) * kBlockSize + 12, 99);  // allBlocks
        const QStringList p = checkFile(d.path);
        EXPECT_TRUE(mentions(p, "allBlocks says 99")) << efstest::joined(p).toStdString();
    }
    {
        Damaged d = build("ck_size.vx");
        efstest::putFixed64(d.path, int64_t(d.recordA) * kBlockSize + 66, 1 << 20);
        EXPECT_TRUE(mentions(checkFile(d.path), "exceeds its"));
    }
    {
        Damaged d = build("ck_self.vx");
        efstest::putFixed32(d.path, int64_t(d.recordA) * kBlockSize, d.recordA + 1);
        EXPECT_TRUE(mentions(checkFile(d.path), "names itself"));
    }
    {
        Damaged d = build("ck_name.vx");
        QFile f(d.path);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        f.seek(int64_t(d.recordA) * kBlockSize + 32);
        f.write("z", 1);
        f.close();
        EXPECT_TRUE(mentions(checkFile(d.path), "its record names it"));
    }
    {
        Damaged d = build("ck_node_count.vx");
        // The file table's root: count field at 8148.
        const int32_t root = efstest::fixed32At(efstest::readAll(d.path), 20);
        efstest::putFixed32(d.path, int64_t(root) * kBlockSize + 8148, 2);
        const QStringList p = checkFile(d.path);
        EXPECT_FALSE(p.isEmpty());
    }
    {
        Damaged d = build("ck_hash.vx");
        const int32_t root = efstest::fixed32At(efstest::readAll(d.path), 20);
        // Keep key order (a, b, c sorted by hash) but break the first key's hash: the key
        // is then unlike its name.
        const QByteArray node = efstest::readAll(d.path).mid(root * kBlockSize, kBlockSize);
        const int32_t h0 = efstest::fixed32At(node, 8);
        efstest::putFixed32(d.path, int64_t(root) * kBlockSize + 8, h0 - 1);
        const QStringList p = checkFile(d.path);
        EXPECT_TRUE(mentions(p, "does not match its name")) << efstest::joined(p).toStdString();
    }
    {
        Damaged d = build("ck_free.vx");
        // The free-space root's first run now covers a's record.
        const int32_t root = efstest::fixed32At(efstest::readAll(d.path), 16);
        const QByteArray node = efstest::readAll(d.path).mid(root * kBlockSize, kBlockSize);
        const int32_t first = efstest::fixed32At(node, 8);
        const int32_t len = efstest::fixed32At(node, 12);
        if (first + len <= d.recordA) {
            efstest::putFixed32(d.path, int64_t(root) * kBlockSize + 12, d.recordA - first + 1);
            const QStringList p = checkFile(d.path);
            EXPECT_TRUE(mentions(p, "claimed twice")) << efstest::joined(p).toStdString();
        }
    }
    {
        Damaged d = build("ck_flag.vx");
        efstest::putFixed32(d.path, 12, 5);
        EXPECT_TRUE(mentions(checkFile(d.path), "open flag"));
    }
}

TEST(VolumeCheck, ReportsALeakedBlock) {
    std::vector<EfsVolume::Run> runs;
    QString path;
    {
        efstest::Layers layers("ck_leak.vx");
        path = layers.path;
        ASSERT_TRUE(layers.allocator.allocateBlocks(0, 2, EfsVolume::AllocFromStart, &runs));
    }
    EfsVolume v;
    ASSERT_TRUE(v.openVolume(path));
    const QStringList p = v.check();
    ASSERT_EQ(p.size(), 1) << efstest::joined(p).toStdString();
    EXPECT_EQ(
        p[0],
        QString("blocks %1 to %2 belong to nothing").arg(runs[0].first).arg(runs[0].first + 1));
    EfsVolume closed;
    EXPECT_EQ(closed.check(), QStringList{"the volume is not open"});
}

// Damage points a fragment of file a at the block before a free run, so that it reaches
// into that run; then a is removed. The release of that fragment is refused whole: no
// block becomes free twice, and the block before the run, which belongs to another
// structure, stays taken. What is left is what the damage did and no operation can undo:
// the blocks the fragment named before belong to nothing. The checker reports exactly
// those and nothing else (that is clean here: nothing is claimed twice, and nothing can be
// handed out twice); compact gives them back, and then it reports nothing at all.
TEST(VolumeCheck, RemovingAFileWhoseFragmentReachesIntoFreeSpaceFreesNoBlockTwice) {
    Damaged d = build("ck_into_free.vx");
    const efs::Fragment lost = d.a.fragment(0);
    ASSERT_GE(lost.size, 2);
    std::set<int32_t> ofA;
    for (int32_t b = d.recordA; b < d.recordA + d.a.fitSize(); ++b) ofA.insert(b);
    for (int32_t i = 0; i < d.a.fragmentsCount(); ++i)
        for (int32_t b = d.a.fragment(i).addr; b < d.a.fragment(i).addr + d.a.fragment(i).size; ++b)
            ofA.insert(b);
    std::set<int32_t> freeBefore;
    int32_t target = 0;
    {
        EfsVolume v;
        ASSERT_TRUE(v.openVolumeReadOnly(d.path));
        for (const efs::Run& r : EfsVolumeProbe(v).freeRunsByStart()) {
            for (int32_t b = r.first; b < r.first + r.length; ++b) freeBefore.insert(b);
            if (target == 0 && !ofA.count(r.first - 1)) target = r.first - 1;
        }
    }
    ASSERT_NE(target, 0);
    efstest::putFixed32(d.path, int64_t(d.recordA) * kBlockSize + efs::kRecData, target);
    EXPECT_TRUE(mentions(checkFile(d.path), "claimed twice"));

    EfsVolume v;
    ASSERT_TRUE(v.openVolume(d.path));
    ASSERT_TRUE(v.removeFile("a"));
    std::set<int32_t> freeAfter;
    for (const efs::Run& r : EfsVolumeProbe(v).freeRunsByStart())
        for (int32_t b = r.first; b < r.first + r.length; ++b)
            ASSERT_TRUE(freeAfter.insert(b).second) << "block " << b << " is free twice";
    EXPECT_FALSE(freeAfter.count(target)) << "the block before the run is not a's to give";
    std::set<int32_t> expected = freeBefore;
    for (int32_t b : ofA)
        if (b < lost.addr || b >= lost.addr + lost.size) expected.insert(b);
    EXPECT_EQ(freeAfter, expected) << "a's other blocks are free again";
    EXPECT_EQ(v.check(), QStringList{QString("blocks %1 to %2 belong to nothing")
                                         .arg(lost.addr)
                                         .arg(lost.addr + lost.size - 1)});
    ASSERT_TRUE(v.compact());
    EXPECT_EQ(v.check(), QStringList{});
    for (const char* name : {"b", "c"}) {
        const int32_t h = v.openFile(name, EfsVolume::AccessRead, EfsVolume::OpenExisting);
        QByteArray data(40000, '\0');
        data.resize(v.readFile(h, data.data(), static_cast<int32_t>(data.size())));
        EXPECT_EQ(data, QByteArray(name[0] == 'c' ? 100 : 30000, name[0])) << name;
        v.closeFile(h);
    }
}
