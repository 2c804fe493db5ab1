// The container's bytes do not depend on how fast the volume moves them: a fixed random
// workload of writes, overwrites, resizes, removals, renames and reopens must leave a host
// file whose hash is the one recorded below (taken with the volume that read and wrote one
// block per system call). Any change to the I/O paths that alters a block choice, a record
// or a node changes the hash.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <cstdint>
#include <ctime>
#include <map>
#include <random>
#include <string>

#include "efs/EfsVolume.h"

// Records carry the calendar time: a fixed clock makes the bytes reproducible.
extern "C" time_t time(time_t* out) {
    const time_t fixed = 1700000000;
    if (out) *out = fixed;
    return fixed;
}

namespace {

QString freshPath(const QString& name) {
    const char* env = std::getenv("VOXTRAIL_TEST_TMP");
    const QString path = (env ? QString::fromLocal8Bit(env) : QDir::tempPath()) + "/" + name;
    QFile::remove(path);
    return path;
}

uint64_t fnv1a(const QByteArray& bytes) {
    uint64_t h = 1469598103934665603ull;
    for (char c : bytes) {
        h ^= static_cast<uint8_t>(c);
        h *= 1099511628211ull;
    }
    return h;
}

class Workload {
  public:
    explicit Workload(uint32_t variant) : m_rng(variant) {}
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(m_rng() % n); }
    std::string bytes(size_t n) {
        std::string s(n, '\0');
        for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(m_rng() & 0xff);
        return s;
    }

  private:
    std::mt19937 m_rng;
};

// Runs the workload on a new container at path, checking every file against a model, and
// returns the hash of the host file after the volume is closed.
uint64_t runWorkload(const QString& path, uint32_t variant, int operations) {
    Workload w(variant);
    std::map<std::string, std::string> model;
    auto volume = std::make_unique<EfsVolume>();
    EXPECT_TRUE(volume->openVolume(path));
    for (int op = 0; op < operations; ++op) {
        const std::string name = "f" + std::to_string(w.below(40));
        const uint32_t kind = w.below(100);
        if (kind < 60) {
            // Write somewhere inside or just past the end: small pieces stay inline, large
            // ones span many blocks and fragments.
            const int32_t h =
                volume->openFile(name.c_str(), EfsVolume::AccessWrite, EfsVolume::OpenAlways);
            if (h == 0) {
                ADD_FAILURE() << "cannot open " << name << " at op " << op;
                return 0;
            }
            std::string& content = model[name];
            const size_t at = w.below(static_cast<uint32_t>(content.size()) + 1);
            const size_t sizes[] = {1, 100, 5000, 8192, 9000, 70000, 300000};
            const size_t n = sizes[w.below(7)] + w.below(3000);
            const std::string data = w.bytes(n);
            EXPECT_EQ(volume->seekFile(h, static_cast<int64_t>(at)), static_cast<int64_t>(at));
            EXPECT_TRUE(volume->writeFile(h, data.data(), static_cast<int32_t>(n)));
            if (content.size() < at + n) content.resize(at + n);
            content.replace(at, n, data);
            volume->closeFile(h);
        } else if (kind < 72) {
            if (!model.count(name)) continue;
            const int32_t h =
                volume->openFile(name.c_str(), EfsVolume::AccessWrite, EfsVolume::OpenExisting);
            if (h == 0) {
                ADD_FAILURE() << "cannot open " << name << " at op " << op;
                return 0;
            }
            std::string& content = model[name];
            const size_t size = w.below(static_cast<uint32_t>(content.size()) + 1);
            EXPECT_TRUE(volume->setFileSize(h, static_cast<int64_t>(size)));
            content.resize(size, '\0');
            volume->closeFile(h);
        } else if (kind < 82) {
            if (!model.count(name)) continue;
            EXPECT_TRUE(volume->removeFile(name.c_str()));
            model.erase(name);
        } else if (kind < 90) {
            const std::string to = "f" + std::to_string(w.below(40));
            if (!model.count(name) || model.count(to)) continue;
            EXPECT_TRUE(volume->renameFile(name.c_str(), to.c_str()));
            model[to] = std::move(model[name]);
            model.erase(name);
        } else if (kind < 96) {
            // Read a file back whole.
            if (!model.count(name)) continue;
            const int32_t h =
                volume->openFile(name.c_str(), EfsVolume::AccessRead, EfsVolume::OpenExisting);
            if (h == 0) {
                ADD_FAILURE() << "cannot open " << name << " at op " << op;
                return 0;
            }
            const std::string& content = model[name];
            std::string got(content.size(), '\0');
            EXPECT_EQ(volume->readFile(h, got.data(), static_cast<int32_t>(got.size())),
                      static_cast<int32_t>(got.size()));
            EXPECT_TRUE(got == content) << name << " at op " << op;
            volume->closeFile(h);
        } else {
            volume->closeVolume();
            volume = std::make_unique<EfsVolume>();
            EXPECT_TRUE(volume->openVolume(path));
        }
    }
    for (const auto& [name, content] : model) {
        const int32_t h =
            volume->openFile(name.c_str(), EfsVolume::AccessRead, EfsVolume::OpenExisting);
        EXPECT_NE(h, 0) << name;
        std::string got(content.size(), '\0');
        if (!got.empty()) {
            EXPECT_EQ(volume->readFile(h, got.data(), static_cast<int32_t>(got.size())),
                      static_cast<int32_t>(got.size()));
        }
        EXPECT_TRUE(got == content) << name;
        volume->closeFile(h);
    }
    EXPECT_TRUE(volume->check().isEmpty());
    volume->closeVolume();
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return fnv1a(f.readAll());
}

// The hashes the block-at-a-time volume produced for these workloads.
constexpr uint64_t kExpectedSmall = 0x86d3e79fe70f4d27ull;
constexpr uint64_t kExpectedLarge = 0x710dafe52e577f37ull;

TEST(EfsLayout, FixedWorkloadLeavesTheRecordedBytes) {
    const uint64_t small = runWorkload(freshPath("layout_small.vx"), 20261207u, 400);
    const uint64_t large = runWorkload(freshPath("layout_large.vx"), 7u, 1500);
    EXPECT_EQ(small, kExpectedSmall);
    EXPECT_EQ(large, kExpectedLarge);
}

TEST(EfsLayout, SameWorkloadTwiceGivesTheSameBytes) {
    EXPECT_EQ(runWorkload(freshPath("layout_a.vx"), 99u, 300),
              runWorkload(freshPath("layout_b.vx"), 99u, 300));
}

}  // namespace
