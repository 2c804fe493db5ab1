// The block store between the volume and its host file: what is read always matches what
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
#include "efs/BlockStore.h"
#include "efs/EfsFile.h"
#include "efs/EfsFormat.h"
#include "efs/EfsVolume.h"
#include "efs/EfsVolumeProbe.h"

using namespace efs;
using namespace efstest;

namespace {

// Counts the reads and writes that reach the host file and can be told to fail writes.
struct HostLog {
    int reads = 0;
    int writes = 0;
    int64_t bytesWritten = 0;
    bool failWrites = false;
};

class LoggingFile final : public ForwardingFile {
  public:
    explicit LoggingFile(HostLog* log) : m_log(log) {}
    int32_t read(void* b, int32_t n) override {
        ++m_log->reads;
        return m_file.read(b, n);
    }
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

// A block store over a host file of zeros, with no volume in it.
struct BareStore {
    QString path;
    BlockStore store;
    HostLog* log;
    BareStore(const QString& name, int32_t blocks, HostLog* hostLog = nullptr)
        : path(freshPath(name)), log(hostLog) {
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.resize(int64_t{blocks} * kBlockSize));
        f.close();
        open();
    }
    void open() {
        std::unique_ptr<EfsFile> host;
        if (log)
            host = std::make_unique<LoggingFile>(log);
        else
            host = std::make_unique<EfsPosixFile>();
        ASSERT_TRUE(host->open(path));
        store.attach(std::move(host), false);
        ASSERT_TRUE(store.measureHost());
    }
    void reopen() {
        ASSERT_TRUE(store.flush());
        store.detach();
        open();
    }
};

// Blocks the tests write: any but the header.
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

// Random single-block writes (whole, partial, merged), multi-block transfers, spans with a
// partial last block, host growth, reads, flushes and reopens, all checked against a byte
// model of the blocks; the even variants go through an encryptor.
TEST(BlockStore, ReadsAndTheDiskFollowAModelOfTheBlocks) {
    for (uint32_t variant = 1; variant <= 4; ++variant) {
        // Enough blocks for the cache to fill and empty itself several times.
        auto blocks = static_cast<int32_t>(3 * BlockStore::kCacheBlocks + kFirstFree);
        BareStore bare("cache_model.vx", blocks);
        const QString& path = bare.path;
        BlockStore& v = bare.store;
        XorEncryptor xor5a;
        const bool encrypted = variant % 2 == 0;
        if (encrypted) {
            ASSERT_TRUE(v.setEncryptor(&xor5a));
        }
        // What a block of zeros on disk reads as.
        std::vector<uint8_t> zeros(kBlockSize, 0);
        if (encrypted) xor5a.decode(zeros.data(), kBlockSize);
        std::vector<std::vector<uint8_t>> model(static_cast<size_t>(blocks), zeros);

        std::mt19937 rng(variant);
        auto pick = [&](int32_t lo, int32_t hi) {
            return std::uniform_int_distribution<int32_t>(lo, hi)(rng);
        };
        // Writes cluster in a small range now and then, so that blocks are rewritten, and
        // near the end, where the host grows.
        auto someBlock = [&] {
            switch (rng() % 4) {
                case 0:
                    return pick(kFirstFree, kFirstFree + 40);
                case 1:
                    return pick(blocks - 64, blocks - 1);
                default:
                    return pick(kFirstFree, blocks - 1);
            }
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
                const int32_t first = std::min(someBlock(), blocks - count);
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
                const int32_t first = std::min(someBlock(), blocks - count);
                ASSERT_TRUE(v.readBlocks(first, count, reinterpret_cast<char*>(buf.data())));
                for (int32_t i = 0; i < count; ++i) {
                    const auto& m = model[static_cast<size_t>(first + i)];
                    ASSERT_TRUE(std::equal(m.begin(), m.end(),
                                           buf.begin() + static_cast<ptrdiff_t>(i) * kBlockSize))
                        << "variant " << variant << " step " << step << " block " << first + i;
                }
            } else if (op < 95) {
                // A span whose last block is cut short keeps the rest of that block.
                const int32_t count = pick(1, 16);
                const int32_t first = std::min(someBlock(), blocks - count);
                const int64_t bytes = pick((count - 1) * kBlockSize + 1, count * kBlockSize);
                const bool write = rng() % 2 == 0;
                if (write) {
                    for (int64_t i = 0; i < bytes; ++i)
                        buf[static_cast<size_t>(i)] = static_cast<uint8_t>(rng());
                    ASSERT_TRUE(
                        v.writeSpan(first, count, reinterpret_cast<char*>(buf.data()), bytes));
                } else {
                    ASSERT_TRUE(
                        v.readSpan(first, count, reinterpret_cast<char*>(buf.data()), bytes));
                }
                for (int64_t i = 0; i < bytes; ++i) {
                    auto& m = model[static_cast<size_t>(first + i / kBlockSize)];
                    if (write)
                        m[static_cast<size_t>(i % kBlockSize)] = buf[static_cast<size_t>(i)];
                    else
                        ASSERT_EQ(buf[static_cast<size_t>(i)],
                                  m[static_cast<size_t>(i % kBlockSize)])
                            << "variant " << variant << " step " << step << " span " << first;
                }
            } else if (op < 97) {
                // The host grows by zeros, which read as such until written.
                const int32_t more = pick(1, 40);
                ASSERT_TRUE(v.resizeHost(blocks + more));
                blocks += more;
                model.resize(static_cast<size_t>(blocks), zeros);
            } else if (op < 99) {
                ASSERT_TRUE(v.flush());
                ASSERT_EQ(v.dirtyBlocks(), 0u);
                // Reads then come from the disk.
                if (rng() % 2 == 0) v.dropCleanBlocks();
                // Once flushed, the disk holds exactly the model.
                for (int k = 0; k < 20; ++k) {
                    const int32_t b = someBlock();
                    std::vector<uint8_t> m = model[static_cast<size_t>(b)];
                    if (encrypted) xor5a.encode(m.data(), kBlockSize);
                    ASSERT_EQ(diskBlock(path, b), m)
                        << "variant " << variant << " step " << step << " block " << b;
                }
            } else {
                bare.reopen();
            }
            ASSERT_LE(v.cachedBlocks(), BlockStore::kCacheBlocks);
            ASSERT_LE(v.dirtyBlocks(), v.cachedBlocks());
        }
        ASSERT_TRUE(v.flush());
        v.detach();
        const QByteArray disk = readAll(path);
        ASSERT_EQ(disk.size(), static_cast<qsizetype>(blocks) * kBlockSize);
        for (int32_t b = kFirstFree; b < blocks; ++b) {
            std::vector<uint8_t> m = model[static_cast<size_t>(b)];
            if (encrypted) xor5a.encode(m.data(), kBlockSize);
            ASSERT_EQ(
                0, std::memcmp(m.data(), disk.constData() + static_cast<qsizetype>(b) * kBlockSize,
                               kBlockSize))
                << "variant " << variant << " block " << b << " after close";
        }
    }
}

// A write that fails keeps its blocks dirty: the operation reports it, a later flush
// writes them, and nothing written before is lost.
TEST(BlockStore, FailedFlushKeepsTheBlocksForTheNextOne) {
    const QString path = freshPath("cache_fail.vx");
    HostLog log;
    EfsVolume v(loggingFactory(&log));
    ASSERT_TRUE(v.openVolume(path));
    // With deferred writes a stored file's blocks wait in memory.
    const QByteArray first(20000, 'a');
    v.setDeferredWrites(true);
    const int32_t f = v.openFile("first.snd", EfsVolume::AccessWrite, EfsVolume::CreateNew);
    ASSERT_TRUE(v.writeFile(f, first.constData(), static_cast<int32_t>(first.size())));
    v.closeFile(f);
    log.failWrites = true;
    EXPECT_FALSE(v.flush());
    EXPECT_EQ(v.lastError(), EfsVolume::ErrorIo);
    v.setDeferredWrites(false);
    EXPECT_EQ(v.lastError(), EfsVolume::ErrorIo);
    EXPECT_GT(EfsVolumeProbe(v).dirtyBlocks(), 0u);

    // No file is handed out while blocks cannot be written ...
    EXPECT_EQ(v.openFile("late.snd", EfsVolume::AccessWrite, EfsVolume::CreateNew), 0);
    EXPECT_EQ(v.lastError(), EfsVolume::ErrorIo);
    // ... a check and a new encryptor meet blocks they cannot write: both say so and keep
    // the blocks (once they emptied the cache and the next flush aborted the process) ...
    EXPECT_FALSE(v.check().isEmpty());
    v.setEncryptor(nullptr);
    EXPECT_EQ(v.lastError(), EfsVolume::ErrorIo);
    EXPECT_GT(EfsVolumeProbe(v).dirtyBlocks(), 0u);
    log.failWrites = false;
    // (The refused open may have left the file behind, empty, as a failed write would.)
    const int32_t h = v.openFile("late.snd", EfsVolume::AccessWrite, EfsVolume::CreateAlways);
    ASSERT_NE(h, 0) << "the blocks waiting went out with this open";
    EXPECT_EQ(EfsVolumeProbe(v).dirtyBlocks(), 0u);
    ASSERT_TRUE(v.writeFile(h, "twelve bytes", 12));
    // ... and a close whose record cannot be written says so.
    log.failWrites = true;
    v.closeFile(h);
    EXPECT_EQ(v.lastError(), EfsVolume::ErrorIo);
    EXPECT_GT(EfsVolumeProbe(v).dirtyBlocks(), 0u);

    log.failWrites = false;
    ASSERT_TRUE(v.flush());
    EXPECT_EQ(EfsVolumeProbe(v).dirtyBlocks(), 0u);
    v.closeVolume();
    ASSERT_EQ(v.lastError(), 0);

    EfsVolume again;
    ASSERT_TRUE(again.openVolume(path));
    EXPECT_TRUE(again.check().isEmpty()) << again.check().join("; ").toStdString();
    char got[20001] = {};
    const int32_t r1 = again.openFile("first.snd", EfsVolume::AccessRead, EfsVolume::OpenExisting);
    EXPECT_EQ(again.readFile(r1, got, sizeof got), 20000);
    EXPECT_EQ(QByteArray(got, 20000), first);
    const int32_t r2 = again.openFile("late.snd", EfsVolume::AccessRead, EfsVolume::OpenExisting);
    EXPECT_EQ(again.readFile(r2, got, 16), 12);
    EXPECT_EQ(std::string(got, 12), "twelve bytes");
}

// A fresh session reads a block from the host once, then from memory; a merged write of
// part of a block keeps the rest; nothing outside the blocks is reachable.
TEST(BlockStore, RepeatedReadHitsTheHostOnceAndMergedWritesKeepTheRest) {
    HostLog log;
    BareStore bare("blocks.vx", 1024, &log);
    BlockStore& v = bare.store;
    std::vector<uint8_t> pattern(kBlockSize);
    for (int i = 0; i < kBlockSize; ++i) pattern[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_TRUE(v.writeBlock(500, pattern.data(), kBlockSize, 0, false));
    ASSERT_TRUE(v.writeBlock(501, pattern.data(), 10, 0, false));
    std::vector<uint8_t> got(kBlockSize);
    ASSERT_TRUE(v.readBlock(501, got.data(), kBlockSize, 0));
    for (int i = 10; i < kBlockSize; ++i) ASSERT_EQ(got[i], 0) << "unmerged writes zero the rest";
    EXPECT_EQ(v.dirtyBlocks(), 2u) << "written blocks wait in memory";
    EXPECT_EQ(diskBlock(bare.path, 500), std::vector<uint8_t>(kBlockSize, 0))
        << "and not yet on the disk";
    ASSERT_TRUE(v.flush());
    EXPECT_EQ(v.dirtyBlocks(), 0u);
    EXPECT_EQ(diskBlock(bare.path, 500), pattern);

    bare.reopen();
    const int before = log.reads;
    ASSERT_TRUE(v.readBlock(500, got.data(), kBlockSize, 0));
    ASSERT_TRUE(v.readBlock(500, got.data(), 16, 4));
    EXPECT_EQ(log.reads, before + 1);
    EXPECT_EQ(v.bufferedBlock(), 500);

    const std::vector<uint8_t> patch(100, 0xEE);
    ASSERT_TRUE(v.writeBlock(500, patch.data(), 100, 8000, true));
    ASSERT_TRUE(v.readBlock(500, got.data(), kBlockSize, 0));
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 8000, pattern.begin()));
    EXPECT_TRUE(std::equal(got.begin() + 8000, got.begin() + 8100, patch.begin()));
    EXPECT_TRUE(std::equal(got.begin() + 8100, got.end(), pattern.begin() + 8100));
    ASSERT_TRUE(v.flush());
    const std::vector<uint8_t> disk = diskBlock(bare.path, 500);
    EXPECT_EQ(disk[8050], 0xEE);
    EXPECT_EQ(disk[7999], pattern[7999]);

    EXPECT_FALSE(v.readBlock(0, got.data(), 1, 0)) << "the block layer never reads the header";
    EXPECT_FALSE(v.writeBlock(0, got.data(), 1, 0, false));
    EXPECT_FALSE(v.readBlock(1024, got.data(), 1, 0));
    EXPECT_FALSE(v.readBlock(3, got.data(), 100, 8100)) << "beyond the block's end";
}

TEST(BlockStore, FailedReadLeavesTheBufferEmpty) {
    efstest::XorEncryptor x;
    BareStore bare("cachefail.vx", 1024);
    BlockStore& v = bare.store;
    ASSERT_TRUE(v.setEncryptor(&x));
    std::vector<uint8_t> a(kBlockSize, 0x11), b(kBlockSize, 0x22), got(kBlockSize);
    ASSERT_TRUE(v.writeBlock(600, a.data(), kBlockSize, 0, false));
    ASSERT_TRUE(v.writeBlock(601, b.data(), kBlockSize, 0, false));
    // Reopened, so that both blocks come from the host and go through the decoder.
    bare.reopen();
    ASSERT_TRUE(v.readBlock(600, got.data(), kBlockSize, 0));
    EXPECT_EQ(v.bufferedBlock(), 600);
    x.failNext = true;
    EXPECT_FALSE(v.readBlock(601, got.data(), kBlockSize, 0));
    EXPECT_EQ(v.bufferedBlock(), -1);
    ASSERT_TRUE(v.readBlock(600, got.data(), kBlockSize, 0));
    EXPECT_EQ(got, a) << "block 600 is read again, not served from an overwritten buffer";
}

// Storing many small files costs a few host-file writes each, no block is left waiting
// after a close, and the result is a sound volume with every byte in place.
TEST(BlockStore, SmallFilesCostAFewHostWritesEach) {
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
            ASSERT_EQ(EfsVolumeProbe(v).dirtyBlocks(), 0u)
                << "a closed file leaves nothing waiting";
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
TEST(BlockStore, DeferredWritesReadBackBeforeAndAfterTheClose) {
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
        EXPECT_GT(EfsVolumeProbe(v).dirtyBlocks(), 0u) << "records wait for the close";
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
