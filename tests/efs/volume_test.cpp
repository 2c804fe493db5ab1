// Volume lifecycle, header bytes and the block layer, on real host files.
#include <gtest/gtest.h>

#include <QFile>
#include <cstring>

#include "EfsTestUtil.h"
#include "efs/EfsVolume.h"
#include "efs/EfsVolumeProbe.h"

using efs::kBlockSize;
using efstest::fixed32At;
using efstest::freshPath;
using efstest::readAll;

namespace {

QByteArray blockOf(const QString& path, int32_t block) {
    return readAll(path).mid(static_cast<qsizetype>(block) * kBlockSize, kBlockSize);
}

}  // namespace

TEST(VolumeLifecycle, FreshHeaderBytesBeforeAndAfterClose) {
    const QString path = freshPath("fresh.vx");
    EfsVolume v;
    ASSERT_TRUE(v.openVolume(path)) << v.lastError();
    EXPECT_EQ(v.formatVersion(), 6);
    QByteArray h = readAll(path);
    ASSERT_EQ(h.size(), 1025 * kBlockSize) << "the first growth adds 1024 blocks to the header";
    const uint8_t magic[8] = {0x77, 0x77, 0x77, 0x88, 0x88, 0x88, 0x66, 0xFD};
    EXPECT_EQ(std::memcmp(h.constData(), magic, 8), 0);
    EXPECT_EQ(fixed32At(h, 8), 6);
    EXPECT_EQ(fixed32At(h, 12), 1) << "open flag while open";
    EXPECT_EQ(fixed32At(h, 16), 1) << "free-space root takes the first block";
    EXPECT_EQ(fixed32At(h, 20), 2) << "file-table root takes the next";
    EXPECT_EQ(fixed32At(h, 24), 8192);
    EXPECT_EQ(fixed32At(h, 28), 0);
    EXPECT_EQ(fixed32At(h, 32), 8388608);
    EXPECT_EQ(fixed32At(h, 36), 0);
    EXPECT_EQ(fixed32At(h, 40), 1);
    EXPECT_EQ(fixed32At(h, 44), 0);
    EXPECT_EQ(fixed32At(h, 48), 1);
    for (int i = 52; i < kBlockSize; ++i) ASSERT_EQ(h[i], 0) << "reserved byte " << i;
    // The free-space root holds the one remaining run (3, 1022); the file table is empty.
    const QByteArray freeRoot = blockOf(path, 1);
    EXPECT_EQ(fixed32At(freeRoot, 0), 1);
    EXPECT_EQ(fixed32At(freeRoot, 4), 0);
    EXPECT_EQ(fixed32At(freeRoot, 8), 3);
    EXPECT_EQ(fixed32At(freeRoot, 12), 1022);
    EXPECT_EQ(fixed32At(freeRoot, 8180), 1);
    EXPECT_EQ(fixed32At(freeRoot, 8184), 0);
    EXPECT_EQ(freeRoot[8188], 1);
    for (int i = 8189; i < kBlockSize; ++i) EXPECT_EQ(freeRoot[i], 0);
    const QByteArray fileRoot = blockOf(path, 2);
    EXPECT_EQ(fixed32At(fileRoot, 0), 2);
    EXPECT_EQ(fixed32At(fileRoot, 8148), 0);
    EXPECT_EQ(fileRoot[8156], 0) << "a node never changed keeps dirty 0";
    EXPECT_EQ(EfsVolumeProbe(v).freeTotal(), 1022);
    EXPECT_TRUE(v.check().isEmpty()) << efstest::joined(v.check()).toStdString();

    v.closeVolume();
    EXPECT_FALSE(v.isOpen());
    h = readAll(path);
    EXPECT_EQ(fixed32At(h, 12), 0) << "open flag after a clean close";
    EXPECT_EQ(fixed32At(h, 16), 1);
    EXPECT_EQ(fixed32At(h, 20), 2);
    v.closeVolume();  // harmless on a closed volume

    ASSERT_TRUE(v.openVolume(path));
    EXPECT_EQ(EfsVolumeProbe(v).freeTotal(), 1022);
    EXPECT_EQ(EfsVolumeProbe(v).freeRunsByStart(), (std::vector<EfsVolume::Run>{{3, 1022}}));
    EXPECT_TRUE(v.check().isEmpty());
}

TEST(VolumeLifecycle, OpenTwiceFailsAndKeepsTheFirst) {
    const QString path = freshPath("twice.vx");
    EfsVolume v;
    ASSERT_TRUE(v.openVolume(path));
    EXPECT_FALSE(v.openVolume(path));
    EXPECT_EQ(v.lastError(), EfsVolume::ErrorState);
    EXPECT_TRUE(v.isOpen());
    EXPECT_NE(v.openFile("a", EfsVolume::AccessWrite, EfsVolume::CreateNew), 0);
}

TEST(VolumeLifecycle, RefusedHeadersLeaveTheFileUnchanged) {
    const QString good = freshPath("good.vx");
    {
        EfsVolume v;
        ASSERT_TRUE(v.openVolume(good));
    }
    const QByteArray original = readAll(good);
    struct Case {
        const char* name;
        int64_t offset;
        int64_t value;
        bool wide;
        int32_t error;
    };
    const Case cases[] = {
        {"magic", 0, 0x12345678, false, EfsVolume::ErrorIo},
        {"magic last byte", 4, 0x7D668888, false, EfsVolume::ErrorIo},
        {"version 7", 8, 7, false, EfsVolume::ErrorVersion},
        {"block size 4096", 24, 4096, true, EfsVolume::ErrorBlockSize},
        {"block size below 154", 24, 100, true, EfsVolume::ErrorIo},
        {"growth step below a block", 32, 4096, true, EfsVolume::ErrorIo},
        {"growth step 0", 32, 0, true, EfsVolume::ErrorIo},
        {"negative reserve", 44, -3, false, EfsVolume::ErrorIo},
        {"free root outside the file", 16, 5000, false, EfsVolume::ErrorIo},
        {"file root outside the file", 20, -4, false, EfsVolume::ErrorIo},
        {"file root on a free block", 20, 10, false, EfsVolume::ErrorIo},
        {"free root on the file-table root", 16, 2, false, EfsVolume::ErrorIo},
    };
    for (const Case& c : cases) {
        const QString path = freshPath(QString("bad_%1.vx").arg(c.name).replace(' ', '_'));
        efstest::writeAll(path, original);
        if (c.wide)
            efstest::putFixed64(path, c.offset, c.value);
        else
            efstest::putFixed32(path, c.offset, static_cast<int32_t>(c.value));
        const QByteArray damaged = readAll(path);
        EfsVolume v;
        EXPECT_FALSE(v.openVolume(path)) << c.name;
        EXPECT_EQ(v.lastError(), c.error) << c.name;
        EXPECT_FALSE(v.isOpen()) << c.name;
        EXPECT_EQ(readAll(path), damaged) << c.name << ": the file must stay byte for byte";
    }
    // A host file too short to hold a header.
    const QString shortPath = freshPath("short.vx");
    efstest::writeAll(shortPath, original.left(4000));
    EfsVolume v;
    EXPECT_FALSE(v.openVolume(shortPath));
    EXPECT_EQ(v.lastError(), EfsVolume::ErrorIo);
    EXPECT_EQ(readAll(shortPath), original.left(4000));
}

TEST(VolumeLifecycle, MissingDirectoryFailsWithHostOpen) {
    EfsVolume v;
    EXPECT_FALSE(v.openVolume(efstest::tempDir() + "/no/such/dir/x.vx"));
    EXPECT_EQ(v.lastError(), EfsVolume::ErrorHostOpen);
    EXPECT_FALSE(v.isOpen());
}

TEST(VolumeLifecycle, UncleanFlagOpensAndIsClearedAtClose) {
    const QString path = freshPath("unclean.vx");
    {
        EfsVolume v;
        ASSERT_TRUE(v.openVolume(path));
    }
    efstest::putFixed32(path, 12, 1);
    EfsVolume v;
    ASSERT_TRUE(v.openVolume(path));
    EXPECT_EQ(v.openFlagAtOpen(), 1);
    EXPECT_EQ(fixed32At(readAll(path), 12), 1);
    EXPECT_TRUE(v.check().isEmpty());
    v.closeVolume();
    EXPECT_EQ(fixed32At(readAll(path), 12), 0);
    ASSERT_TRUE(v.openVolume(path));
    EXPECT_EQ(v.openFlagAtOpen(), 0);
}

TEST(VolumeLifecycle, ReadOnlyOpenChangesNothing) {
    const QString path = freshPath("readonly.vx");
    {
        EfsVolume v;
        ASSERT_TRUE(v.openVolume(path));
        const int32_t h = v.openFile("a", EfsVolume::AccessWrite, EfsVolume::CreateNew);
        ASSERT_TRUE(v.writeFile(h, "hello", 5));
        v.closeFile(h);
    }
    efstest::putFixed32(path, 12, 1);  // as if the writer had crashed
    const QByteArray before = readAll(path);
    EfsVolume v;
    ASSERT_TRUE(v.openVolumeReadOnly(path));
    EXPECT_TRUE(v.isReadOnly());
    const int32_t h = v.openFile("a", EfsVolume::AccessRead, EfsVolume::OpenExisting);
    ASSERT_NE(h, 0);
    char buf[8] = {};
    EXPECT_EQ(v.readFile(h, buf, 8), 5);
    EXPECT_FALSE(v.writeFile(h, "x", 1));
    EXPECT_EQ(v.lastError(), EfsVolume::ErrorState);
    EXPECT_FALSE(v.setFileSize(h, 0));
    EXPECT_EQ(v.openFile("b", EfsVolume::AccessWrite, EfsVolume::CreateNew), 0);
    EXPECT_EQ(v.lastError(), EfsVolume::ErrorState);
    EXPECT_FALSE(v.removeFile("a"));
    EXPECT_FALSE(v.renameFile("a", "c"));
    EXPECT_FALSE(v.compact());
    EXPECT_FALSE(v.reformat());
    v.setGrowthStep(1 << 24);
    v.closeFile(h);
    EXPECT_TRUE(v.check().isEmpty()) << efstest::joined(v.check()).toStdString();
    v.closeVolume();
    EXPECT_EQ(readAll(path), before);
    EfsVolume missing;
    EXPECT_FALSE(missing.openVolumeReadOnly(freshPath("ro_missing.vx")));
    EXPECT_FALSE(QFile::exists(freshPath("ro_missing.vx")));
}

TEST(VolumeLifecycle, ReformatEmptiesTheVolumeAndRemovesCompanions) {
    const QString path = freshPath("reformat.vx");
    EfsVolume v;
    ASSERT_TRUE(v.openVolume(path));
    const int32_t h = v.openFile("a", EfsVolume::AccessWrite, EfsVolume::CreateNew);
    std::vector<char> big(100000, 'q');
    ASSERT_TRUE(v.writeFile(h, big.data(), static_cast<int32_t>(big.size())));
    efstest::writeAll(path + ".fits", "x");
    efstest::writeAll(path + ".ptrs", "y");
    ASSERT_TRUE(v.reformat());
    EXPECT_TRUE(v.isOpen());
    EXPECT_FALSE(QFile::exists(path + ".fits"));
    EXPECT_FALSE(QFile::exists(path + ".ptrs"));
    EXPECT_FALSE(v.fileExists("a"));
    EXPECT_EQ(EfsVolumeProbe(v).freeTotal(), 1022);
    EXPECT_EQ(v.tellFile(h), -1) << "handles do not survive a reformat";
    EXPECT_TRUE(v.check().isEmpty());
}

TEST(VolumeLifecycle, GrowthStepAndStatistics) {
    const QString path = freshPath("growth.vx");
    EfsVolume v;
    ASSERT_TRUE(v.openVolume(path));
    v.setGrowthStep(100);
    EXPECT_EQ(v.parameters().growthStep, 8388608) << "a step below one block is ignored";
    v.setGrowthStep(16 * kBlockSize);
    EXPECT_EQ(v.parameters().growthStep, 16 * kBlockSize);
    EXPECT_EQ(fixed32At(readAll(path), 32), 16 * kBlockSize);
    VolumeStatistics s;
    v.volumeStatistics(&s);
    EXPECT_EQ(s.hostSize, 1025 * kBlockSize);
    EXPECT_EQ(s.freeBytes, 1022LL * kBlockSize);
    EXPECT_NEAR(s.freePercent, 1022.0 * 100 / 1025, 1e-3);
    EXPECT_EQ(s.params.growthStep, 16 * kBlockSize);
    efs::VolumeParams p = v.parameters();
    p.growthStep = 10;
    EXPECT_FALSE(v.setParameters(p));
    EXPECT_EQ(v.lastError(), EfsVolume::ErrorArgument);
    v.closeVolume();
    VolumeStatistics untouched;
    untouched.hostSize = 77;
    v.volumeStatistics(&untouched);
    EXPECT_EQ(untouched.hostSize, 77);
    ASSERT_TRUE(v.openVolume(path));
    EXPECT_EQ(v.parameters().growthStep, 16 * kBlockSize) << "kept in the header";
}

// readFileTo gives what readFile gives: from blocks still waiting in memory, and from the
// disk once they are written.
TEST(BlockLayer, CopiedOutBytesAreTheFilesBytes) {
    const QString path = freshPath("copy_out.vx");
    QByteArray bytes(5 * kBlockSize + 77, '\0');
    for (qsizetype i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13 + i / 7);
    EfsVolume v;
    v.setDeferredWrites(true);
    ASSERT_TRUE(v.openVolume(path));
    const int32_t h = v.openFile("f", EfsVolume::AccessWrite, EfsVolume::CreateNew);
    ASSERT_TRUE(v.writeFile(h, bytes.constData(), static_cast<int32_t>(bytes.size())));
    // A small change inside a block waits in the cache.
    bytes.replace(2 * kBlockSize + 5, 4, "edit");
    v.seekFile(h, 2 * kBlockSize + 5);
    ASSERT_TRUE(v.writeFile(h, "edit", 4));
    for (bool flushed : {false, true}) {
        if (flushed) {
            ASSERT_TRUE(v.flush());
        }
        QFile out(path + ".out");
        ASSERT_TRUE(out.open(QIODevice::ReadWrite | QIODevice::Truncate));
        v.seekFile(h, 5);
        EXPECT_EQ(v.readFileTo(h, out.handle(), 0, 1 << 20), bytes.size() - 5);
        EXPECT_EQ(out.readAll(), bytes.mid(5)) << (flushed ? "from the disk" : "from memory");
    }
    v.closeFile(h);
}

TEST(BlockLayer, EncryptorSeesEveryBlockButTheHeader) {
    const QString path = freshPath("crypt.vx");
    efstest::XorEncryptor x;
    QByteArray large(20 * kBlockSize + 123, '\0');
    for (qsizetype i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 + i / 8191);
    {
        EfsVolume v;
        v.setEncryptor(&x);
        EXPECT_EQ(v.encryptor(), &x);
        ASSERT_TRUE(v.openVolume(path));
        const int32_t h = v.openFile("secret", EfsVolume::AccessWrite, EfsVolume::CreateNew);
        ASSERT_TRUE(v.writeFile(h, "plain text", 10));
        v.closeFile(h);
        // Whole blocks of a large write go to the host file together, encoded as well.
        const int32_t big = v.openFile("big", EfsVolume::AccessWrite, EfsVolume::CreateNew);
        ASSERT_TRUE(v.writeFile(big, large.constData(), static_cast<int32_t>(large.size())));
        v.closeFile(big);
        // Bytes copied in from a file are encoded too; a source that ends early fails.
        QFile source(path + ".source");
        ASSERT_TRUE(source.open(QIODevice::ReadWrite | QIODevice::Truncate));
        ASSERT_EQ(source.write(large), large.size());
        ASSERT_TRUE(source.flush());
        const int32_t copy = v.openFile("copy", EfsVolume::AccessWrite, EfsVolume::CreateNew);
        ASSERT_TRUE(v.writeFileFrom(copy, source.handle(), 0, static_cast<int32_t>(large.size())));
        EXPECT_FALSE(v.writeFileFrom(copy, source.handle(), 5, static_cast<int32_t>(large.size())));
        EXPECT_EQ(v.lastError(), EfsVolume::ErrorIo);
        v.closeFile(copy);
        EXPECT_TRUE(v.check().isEmpty());
    }
    const QByteArray disk = readAll(path);
    EXPECT_EQ(fixed32At(disk, 8), 6) << "the header is never encoded";
    EXPECT_EQ(disk.indexOf("plain text"), -1);
    EXPECT_EQ(disk.indexOf(large.mid(3 * kBlockSize, 64)), -1) << "no block of big is plain";
    EXPECT_EQ(fixed32At(disk, kBlockSize), 1 ^ 0x5A5A5A5A) << "node self field is encoded";
    {
        EfsVolume v;
        v.setEncryptor(&x);
        ASSERT_TRUE(v.openVolume(path));
        const int32_t h = v.openFile("secret", EfsVolume::AccessRead, EfsVolume::OpenExisting);
        char buf[16] = {};
        EXPECT_EQ(v.readFile(h, buf, 16), 10);
        EXPECT_EQ(std::string(buf, 10), "plain text");
        const int32_t big = v.openFile("big", EfsVolume::AccessRead, EfsVolume::OpenExisting);
        QByteArray back(large.size() + 1, '\0');
        back.resize(v.readFile(big, back.data(), static_cast<int32_t>(back.size())));
        EXPECT_EQ(back, large);
        const int32_t copy = v.openFile("copy", EfsVolume::AccessRead, EfsVolume::OpenExisting);
        back.resize(large.size() + 1);
        back.resize(v.readFile(copy, back.data(), static_cast<int32_t>(back.size())));
        EXPECT_EQ(back.left(large.size()), large) << "the copy before the failed one";
        // Copied out through the decoder.
        QFile out(path + ".out");
        ASSERT_TRUE(out.open(QIODevice::ReadWrite | QIODevice::Truncate));
        v.seekFile(big, 0);
        EXPECT_EQ(v.readFileTo(big, out.handle(), 3, static_cast<int32_t>(large.size())),
                  large.size());
        EXPECT_EQ(out.readAll(), QByteArray(3, '\0') + large);
    }
    EfsVolume plain;
    plain.setEncryptor(&x);
    plain.setEncryptor(nullptr);
    EXPECT_EQ(plain.encryptor(), EfsEncryptor::defaultEncryptor()) << "none restores the default";
    EXPECT_FALSE(plain.openVolume(path)) << "nodes do not decode without the encryptor";
    EXPECT_EQ(plain.lastError(), EfsVolume::ErrorIo);
}
