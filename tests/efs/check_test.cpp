// The volume checker finds each kind of damage, and changes nothing while looking.
#include <gtest/gtest.h>

#include "BTreeTestUtil.h"
#include "EfsTestUtil.h"
#include "efs/EfsVolumeInspector.h"

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
    EXPECT_TRUE(EfsVolumeInspector(v).loadStoredRecord("a", &d.a));
    EXPECT_TRUE(EfsVolumeInspector(v).loadStoredRecord("b", &d.b));
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
