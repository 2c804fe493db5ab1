// The block cache between the volume and its host file: what is read always matches what
// was written, what reaches the disk is the last version of every block, failed writes
// are kept and tried again, the cache stays bounded, and a stored file costs a handful
// of host-file writes instead of one per change.
#include <gtest/gtest.h>

#include <QFile>
#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "EfsTestUtil.h"
#include "efs/EfsFile.h"
#include "efs/EfsFormat.h"
#include "efs/EfsVolume.h"

using namespace efs;
using namespace efstest;

namespace {

// Counts the writes that reach the host file and can be told to fail them.
struct HostLog {
    int writes = 0;
    int64_t bytesWritten = 0;
    bool failWrites = false;
};

class LoggingFile final : public ForwardingFile {
  public:
    explicit LoggingFile(HostLog* log) : m_log(log) {}
    int32_t write(const void* b, int32_t n) override {
        if (m_log->failWrites) return -1;
        ++m_log->writes;
        m_log->bytesWritten += n;
        return m_file.write(b, n);
    }

  private:
    HostLog* m_log;
};

EfsVolume::FileFactory loggingFactory(HostLog* log) {
    return [log] { return std::make_unique<LoggingFile>(log); };
}

// Blocks the tests write below the file level: far from the trees' first nodes.
constexpr int32_t kFirstFree = 64;

std::vector<uint8_t> diskBlock(const QString& path, int32_t block) {
    QFile f(path);
    std::vector<uint8_t> bytes(kBlockSize, 0);
    if (!f.open(QIODevice::ReadOnly) || !f.seek(static_cast<qint64>(block) * kBlockSize) ||
        f.read(reinterpret_cast<char*>(bytes.data()), kBlockSize) != kBlockSize)
        return {};
    return bytes;
}

}  // namespace

// Random single-block writes (whole, partial, merged), multi-block transfers, reads,
// flushes and reopens, all checked against a byte model of the blocks.
TEST(BlockCache, ReadsAndTheDiskFollowAModelOfTheBlocks) {
    for (uint32_t variant = 1; variant <= 4; ++variant) {
        const QString path = freshPath("cache_model.vx");
        EfsVolume v;
        ASSERT_TRUE(v.openVolume(path));
        // Enough blocks for the cache to fill and empty itself several times.
        v.setGrowthStep(3 * static_cast<int64_t>(EfsVolume::kCacheBlocks) * kBlockSize);
        ASSERT_TRUE(v.growHost());
        const auto blocks = static_cast<int32_t>(v.hostBlocks());
        // The host file grows with zeros.
        std::vector<std::vector<uint8_t>> model(static_cast<size_t>(blocks),
                                                std::vector<uint8_t>(kBlockSize, 0));

        std::mt19937 rng(variant);
        auto pick = [&](int32_t lo, int32_t hi) {
            return std::uniform_int_distribution<int32_t>(lo, hi)(rng);
        };
        // Writes cluster in a small range now and then, so that blocks are rewritten.
        auto someBlock = [&] {
            return rng() % 3 == 0 ? pick(kFirstFree, kFirstFree + 40)
                                  : pick(kFirstFree, blocks - 1);
        };
        std::vector<uint8_t> buf(static_cast<size_t>(kBlockSize) * 16);
        for (int step = 0; step < 4000; ++step) {
            const int op = pick(0, 99);
            if (op < 45) {
                const int32_t b = someBlock();
                const int32_t offset = pick(0, kBlockSize - 1);
                const int32_t length = pick(0, kBlockSize - offset);
                const bool merge = rng() % 2 == 0;
                for (int32_t i = 0; i < length; ++i)
                    buf[static_cast<size_t>(i)] = static_cast<uint8_t>(rng());
                ASSERT_TRUE(v.writeBlock(b, buf.data(), length, offset, merge));
                auto& m = model[static_cast<size_t>(b)];
                if (!merge || length == kBlockSize) std::fill(m.begin(), m.end(), 0);
                std::copy(buf.begin(), buf.begin() + length, m.begin() + offset);
            } else if (op < 75) {
                const int32_t b = someBlock();
                const int32_t offset = pick(0, kBlockSize - 1);
                const int32_t length = pick(0, kBlockSize - offset);
                ASSERT_TRUE(v.readBlock(b, buf.data(), length, offset));
                const auto& m = model[static_cast<size_t>(b)];
                ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + length, m.begin() + offset))
                    << "variant " << variant << " step " << step << " block " << b;
            } else if (op < 83) {
                // Through the file-data path, which bypasses the cache.
                const int32_t count = pick(2, 16);
                const int32_t first = pick(kFirstFree, blocks - count);
                for (int32_t i = 0; i < count * kBlockSize; ++i)
                    buf[static_cast<size_t>(i)] = static_cast<uint8_t>(rng());
                ASSERT_TRUE(v.writeBlocks(first, count, reinterpret_cast<char*>(buf.data())));
                for (int32_t i = 0; i < count; ++i) {
                    auto& m = model[static_cast<size_t>(first + i)];
                    std::copy(buf.begin() + static_cast<ptrdiff_t>(i) * kBlockSize,
                              buf.begin() + static_cast<ptrdiff_t>(i + 1) * kBlockSize, m.begin());
                }
            } else if (op < 93) {
                const int32_t count = pick(2, 16);
                const int32_t first = pick(kFirstFree, blocks - count);
                ASSERT_TRUE(v.readBlocks(first, count, reinterpret_cast<char*>(buf.data())));
                for (int32_t i = 0; i < count; ++i) {
                    const auto& m = model[static_cast<size_t>(first + i)];
                    ASSERT_TRUE(std::equal(m.begin(), m.end(),
                                           buf.begin() + static_cast<ptrdiff_t>(i) * kBlockSize))
                        << "variant " << variant << " step " << step << " block " << first + i;
                }
            } else if (op < 98) {
                ASSERT_TRUE(v.flush());
                ASSERT_EQ(v.dirtyBlocks(), 0u);
                // Once flushed, the disk holds exactly the model.
                for (int k = 0; k < 20; ++k) {
                    const int32_t b = someBlock();
                    ASSERT_EQ(diskBlock(path, b), model[static_cast<size_t>(b)])
                        << "variant " << variant << " step " << step << " block " << b;
                }
            } else if (rng() % 4 == 0) {
                // Closing syncs the host file, so it comes seldom.
                v.closeVolume();
                ASSERT_EQ(v.lastError(), 0);
                ASSERT_TRUE(v.openVolume(path));
            }
            ASSERT_LE(v.cachedBlocks(), EfsVolume::kCacheBlocks);
            ASSERT_LE(v.dirtyBlocks(), v.cachedBlocks());
        }
        v.closeVolume();
        const QByteArray disk = readAll(path);
        for (int32_t b = kFirstFree; b < blocks; ++b) {
            const auto& m = model[static_cast<size_t>(b)];
            ASSERT_EQ(
                0, std::memcmp(m.data(), disk.constData() + static_cast<qsizetype>(b) * kBlockSize,
                               kBlockSize))
                << "variant " << variant << " block " << b << " after close";
        }
    }
}

// A write that fails keeps its blocks dirty: the operation reports it, a later flush
// writes them, and nothing written before is lost.
TEST(BlockCache, FailedFlushKeepsTheBlocksForTheNextOne) {
    const QString path = freshPath("cache_fail.vx");
    HostLog log;
    EfsVolume v(loggingFactory(&log));
    ASSERT_TRUE(v.openVolume(path));
    const std::vector<uint8_t> a(kBlockSize, 0xA1), b(kBlockSize, 0xB2);
    ASSERT_TRUE(v.writeBlock(kFirstFree, a.data(), kBlockSize, 0, false));
    ASSERT_TRUE(v.writeBlock(kFirstFree + 5, b.data(), kBlockSize, 0, false));
    log.failWrites = true;
    EXPECT_FALSE(v.flush());
    EXPECT_EQ(v.lastError(), EfsVolume::ErrorIo);
    EXPECT_EQ(v.dirtyBlocks(), 2u);

    // No file is handed out while blocks cannot be written ...
    EXPECT_EQ(v.openFile("late.snd", EfsVolume::AccessWrite, EfsVolume::CreateNew), 0);
    EXPECT_EQ(v.lastError(), EfsVolume::ErrorIo);
    log.failWrites = false;
    // (The refused open may have left the file behind, empty, as a failed write would.)
    const int32_t h = v.openFile("late.snd", EfsVolume::AccessWrite, EfsVolume::CreateAlways);
    ASSERT_NE(h, 0) << "the blocks waiting went out with this open";
    EXPECT_EQ(diskBlock(path, kFirstFree), a);
    ASSERT_TRUE(v.writeFile(h, "twelve bytes", 12));
    // ... and a close whose record cannot be written says so.
    log.failWrites = true;
    v.closeFile(h);
    EXPECT_EQ(v.lastError(), EfsVolume::ErrorIo);
    EXPECT_GT(v.dirtyBlocks(), 0u);

    // A check and a new encryptor meet blocks they cannot write: both say so and keep
    // the blocks (once they emptied the cache and the next flush aborted the process).
    EXPECT_FALSE(v.check().isEmpty());
    v.setEncryptor(nullptr);
    EXPECT_EQ(v.lastError(), EfsVolume::ErrorIo);
    EXPECT_GT(v.dirtyBlocks(), 0u);

    log.failWrites = false;
    ASSERT_TRUE(v.flush());
    EXPECT_EQ(v.dirtyBlocks(), 0u);
    EXPECT_EQ(diskBlock(path, kFirstFree), a);
    EXPECT_EQ(diskBlock(path, kFirstFree + 5), b);
    v.closeVolume();
    ASSERT_EQ(v.lastError(), 0);

    EfsVolume again;
    ASSERT_TRUE(again.openVolume(path));
    EXPECT_TRUE(again.check().isEmpty()) << again.check().join("; ").toStdString();
    const int32_t r = again.openFile("late.snd", EfsVolume::AccessRead, EfsVolume::OpenExisting);
    ASSERT_NE(r, 0);
    char got[16] = {};
    EXPECT_EQ(again.readFile(r, got, 16), 12);
    EXPECT_EQ(std::string(got, 12), "twelve bytes");
}

// Storing many small files costs a few host-file writes each, no block is left waiting
// after a close, and the result is a sound volume with every byte in place.
TEST(BlockCache, SmallFilesCostAFewHostWritesEach) {
    const QString path = freshPath("cache_small.vx");
    HostLog log;
    constexpr int kFiles = 200;
    {
        EfsVolume v(loggingFactory(&log));
        ASSERT_TRUE(v.openVolume(path));
        const int before = log.writes;
        for (int i = 0; i < kFiles; ++i) {
            const std::string name = "ch0_e" + std::to_string(i) + ".snd";
            const int32_t h =
                v.openFile(name.c_str(), EfsVolume::AccessWrite, EfsVolume::CreateAlways);
            ASSERT_NE(h, 0);
            std::vector<char> data(20000 + i);
            for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<char>(k * 31 + i);
            ASSERT_TRUE(v.writeFile(h, data.data(), static_cast<int32_t>(data.size())));
            v.closeFile(h);
            ASSERT_EQ(v.lastError(), 0);
            ASSERT_EQ(v.dirtyBlocks(), 0u) << "a closed file leaves nothing waiting";
        }
        // Writing through, each file took over twenty writes: its record several times,
        // the nodes it changed each time, and the last block of its data.
        const double perFile = static_cast<double>(log.writes - before) / kFiles;
        EXPECT_LT(perFile, 8.0) << "host writes per stored file";
        v.closeVolume();
        ASSERT_EQ(v.lastError(), 0);
    }
    EfsVolume v;
    ASSERT_TRUE(v.openVolume(path));
    EXPECT_TRUE(v.check().isEmpty()) << v.check().join("; ").toStdString();
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = "ch0_e" + std::to_string(i) + ".snd";
        const int32_t h = v.openFile(name.c_str(), EfsVolume::AccessRead, EfsVolume::OpenExisting);
        ASSERT_NE(h, 0);
        std::vector<char> data(20000 + i), got(data.size());
        for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<char>(k * 31 + i);
        ASSERT_EQ(v.readFile(h, got.data(), static_cast<int32_t>(got.size())),
                  static_cast<int32_t>(got.size()));
        ASSERT_EQ(got, data) << name;
        v.closeFile(h);
    }
}

// With deferred writes nothing reaches the disk before the close, yet every read sees the
// newest bytes: small reads ending inside a block, reads in pieces, and the closed volume.
TEST(BlockCache, DeferredWritesReadBackBeforeAndAfterTheClose) {
    const QString path = freshPath("cache_deferred.vx");
    HostLog log;
    std::vector<std::vector<char>> files;
    {
        EfsVolume v(loggingFactory(&log));
        ASSERT_TRUE(v.openVolume(path));
        v.setDeferredWrites(true);
        const int before = log.writes;
        for (int i = 0; i < 12; ++i) {
            std::vector<char> data(1000 + i * 7000);
            for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<char>(k * 13 + i);
            const std::string name = "take" + std::to_string(i);
            const int32_t h =
                v.openFile(name.c_str(), EfsVolume::AccessWrite, EfsVolume::CreateAlways);
            ASSERT_NE(h, 0);
            // Written in two pieces, so that the first piece's last block is merged.
            const auto half = static_cast<int32_t>(data.size() / 2);
            ASSERT_TRUE(v.writeFile(h, data.data(), half));
            ASSERT_TRUE(
                v.writeFile(h, data.data() + half, static_cast<int32_t>(data.size()) - half));
            ASSERT_EQ(v.seekFile(h, 0), 0);
            std::vector<char> got(data.size());
            ASSERT_EQ(v.readFile(h, got.data(), static_cast<int32_t>(got.size())),
                      static_cast<int32_t>(got.size()));
            ASSERT_EQ(got, data) << name << " read back while open";
            v.closeFile(h);
            ASSERT_EQ(v.lastError(), 0);
            files.push_back(std::move(data));
        }
        EXPECT_GT(v.dirtyBlocks(), 0u) << "records wait for the close";
        v.closeVolume();
        ASSERT_EQ(v.lastError(), 0);
        EXPECT_GT(log.writes, before);
    }
    EfsVolume v;
    ASSERT_TRUE(v.openVolumeReadOnly(path));
    EXPECT_TRUE(v.check().isEmpty()) << v.check().join("; ").toStdString();
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string name = "take" + std::to_string(i);
        const int32_t h = v.openFile(name.c_str(), EfsVolume::AccessRead, EfsVolume::OpenExisting);
        ASSERT_NE(h, 0);
        // Whole, then again in odd pieces.
        std::vector<char> got(files[i].size());
        ASSERT_EQ(v.readFile(h, got.data(), static_cast<int32_t>(got.size())),
                  static_cast<int32_t>(got.size()));
        EXPECT_EQ(got, files[i]) << name;
        ASSERT_EQ(v.seekFile(h, 0), 0);
        std::vector<char> pieces;
        char buffer[5000];
        for (int32_t n; (n = v.readFile(h, buffer, sizeof buffer)) > 0;)
            pieces.insert(pieces.end(), buffer, buffer + n);
        EXPECT_EQ(pieces, files[i]) << name << " in pieces";
        v.closeFile(h);
    }
}
