// Containers with bytes flipped at random: opening, listing, reading, checking and
// closing them must fail cleanly or work, never crash, hang or grow without bound.
#include <gtest/gtest.h>

#include <random>

#include "EfsTestUtil.h"
#include "efs/EfsVolumeProbe.h"

namespace {

QByteArray sampleContainer() {
    const QString path = efstest::freshPath("damage_source.vx");
    EfsVolume v;
    EXPECT_TRUE(v.openVolume(path));
    v.setGrowthStep(16 * efs::kBlockSize);
    std::mt19937 rng(7);
    for (int i = 0; i < 40; ++i) {
        const std::string name = "ch" + std::to_string(i % 7) + "_e" + std::to_string(i) + ".snd";
        const int32_t h = v.openFile(name.c_str(), EfsVolume::AccessWrite, EfsVolume::CreateNew);
        QByteArray data(static_cast<int>(rng() % 30000) + 1, '\0');
        for (char& c : data) c = static_cast<char>(rng());
        v.writeFile(h, data.constData(), static_cast<int32_t>(data.size()));
        v.closeFile(h);
    }
    for (int i = 0; i < 40; i += 3)
        v.removeFile(("ch" + std::to_string(i % 7) + "_e" + std::to_string(i) + ".snd").c_str());
    v.closeVolume();
    return efstest::readAll(path);
}

void exercise(const QString& path, bool readOnly) {
    EfsVolume v;
    const bool opened = readOnly ? v.openVolumeReadOnly(path) : v.openVolume(path);
    if (!opened) {
        EXPECT_NE(v.lastError(), 0);
        return;
    }
    QList<QByteArray> names;
    v.listFiles(&names);
    std::vector<char> buf(70000);
    for (const QByteArray& n : names) {
        const int32_t h = v.openFile(n.constData(), EfsVolume::AccessRead, EfsVolume::OpenExisting);
        if (h == 0) continue;
        v.readFile(h, buf.data(), static_cast<int32_t>(buf.size()));
        if (!readOnly) {
            v.seekFile(h, 5);
            v.writeFile(h, "x", 1);
            v.setFileSize(h, 9000);
        }
        v.closeFile(h);
    }
    v.check();
    if (!readOnly && !names.isEmpty()) {
        v.removeFile(names.front().constData());
        v.closeFile(v.openFile("new.snd", EfsVolume::AccessWrite, EfsVolume::OpenAlways));
    }
    v.closeVolume();
}

}  // namespace

TEST(DamagedContainers, RandomByteFlipsNeverCrashOrHang) {
    const QByteArray source = sampleContainer();
    const int blocks = static_cast<int>(source.size() / efs::kBlockSize);
    const int rounds = efstest::longTests() ? 3000 : 150;
    std::mt19937 rng(11);
    for (int round = 0; round < rounds; ++round) {
        QByteArray damaged = source;
        const int flips = 1 + static_cast<int>(rng() % 8);
        for (int i = 0; i < flips; ++i) {
            // Aim at the structures: the header, node and record fields, fragment tables.
            const int block = rng() % 4 == 0 ? 0 : static_cast<int>(rng() % 64);
            const int offset = rng() % 2 ? static_cast<int>(rng() % 200)
                                         : static_cast<int>(rng() % efs::kBlockSize);
            const qsizetype at = static_cast<qsizetype>(block % blocks) * efs::kBlockSize + offset;
            damaged[at] = static_cast<char>(damaged[at] ^ (1 << (rng() % 8)));
        }
        const QString path = efstest::freshPath("damaged.vx");
        efstest::writeAll(path, damaged);
        exercise(path, true);
        EXPECT_EQ(efstest::readAll(path), damaged) << "a read-only open changes nothing";
        exercise(path, false);
        if (HasFatalFailure()) return;
    }
    // Truncated at every block boundary of the first blocks, and inside the header.
    for (int cut : {0, 1, 51, 52, 4096, 8191, 8192, 8193, 2 * 8192, 3 * 8192, 10 * 8192}) {
        const QString path = efstest::freshPath("truncated.vx");
        efstest::writeAll(path, source.left(cut));
        exercise(path, true);
        exercise(path, false);
    }
}

// A file whose name sits in an inner node of the file table, one of whose children is
// damaged on disk: removing the file fails. Its name is still there, so its blocks must
// stay taken; freed first, as they once were, they went to the next file as well.
TEST(DamagedContainers, ARemovalThatFailsLeavesTheFilesBlocksTaken) {
    const QString path = efstest::freshPath("damage_remove.vx");
    int32_t root = 0;
    {
        EfsVolume v;
        ASSERT_TRUE(v.openVolume(path));
        for (int i = 0; i < 200; ++i) {  // more than a node holds: the root splits
            const std::string name = "n" + std::to_string(i);
            v.closeFile(v.openFile(name.c_str(), EfsVolume::AccessWrite, EfsVolume::CreateNew));
        }
        root = EfsVolumeProbe(v).fileTableRoot();
        v.closeVolume();
    }
    const QByteArray bytes = efstest::readAll(path);
    const int64_t at = static_cast<int64_t>(root) * efs::kBlockSize;
    ASSERT_GT(efstest::fixed32At(bytes, at + 4), 0) << "the root is an inner node";
    const std::string victim(bytes.constData() + at + 12);  // the name of key 0
    const int32_t leftChild = efstest::fixed32At(bytes, at + 4);
    efstest::putFixed32(path, static_cast<int64_t>(leftChild) * efs::kBlockSize, 0);

    EfsVolume v;
    ASSERT_TRUE(v.openVolume(path));
    efs::FitRecord record;
    ASSERT_TRUE(EfsVolumeProbe(v).loadStoredRecord(victim.c_str(), &record));
    EXPECT_FALSE(v.removeFile(victim.c_str()));
    EXPECT_EQ(v.lastError(), EfsVolume::ErrorIo);
    ASSERT_TRUE(v.fileExists(victim.c_str()));
    for (const efs::Run& r : EfsVolumeProbe(v).freeRunsByStart()) {
        EXPECT_FALSE(record.addr() >= r.first && record.addr() < r.first + r.length)
            << "the record of a named file is free";
    }
}
