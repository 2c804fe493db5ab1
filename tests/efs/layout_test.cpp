// A fixed random workload of writes, overwrites, resizes, removals, renames and reopens,
// with the default parameters. Every block it chooses must be the one the reference model
// (AllocationModel.h) predicts, and the host file it leaves must have the hash recorded
// below: the model checks the choices, the hash guards the rest of the bytes (records,
// nodes, data) against accidental change.
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

#include "ModelHarness.h"
#include "efs/EfsVolume.h"

// Records carry the calendar time: a fixed clock makes the bytes reproducible.
extern "C" time_t time(time_t* out) {
    const time_t fixed = 1700000000;
    if (out) *out = fixed;
    return fixed;
}

namespace {

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

// Runs the workload on a new container, with every block choice checked against the
// reference model and every file against its expected content, and returns the hash of
// the host file after the volume is closed.
uint64_t runWorkload(const QString& name, uint32_t variant, int operations,
                     bool fromDescriptor = false) {
    Workload w(variant);
    std::map<std::string, std::string> content;
    // The default parameters: middle allocation, the default growth step, no reserve.
    efsmodel::Harness h(name,
                        {variant, EfsVolume::AllocFromMiddle, 1024, 0, 1, false, fromDescriptor});
    for (int op = 0; op < operations && !::testing::Test::HasFatalFailure(); ++op) {
        const std::string file = "f" + std::to_string(w.below(40));
        const uint32_t kind = w.below(100);
        if (kind < 60) {
            // Write somewhere inside or just past the end: small pieces stay inline, large
            // ones span many blocks and fragments.
            std::string& c = content[file];
            const size_t at = w.below(static_cast<uint32_t>(c.size()) + 1);
            const size_t sizes[] = {1, 100, 5000, 8192, 9000, 70000, 300000};
            const size_t n = sizes[w.below(7)] + w.below(3000);
            const std::string data = w.bytes(n);
            h.write(file, static_cast<int64_t>(at), {static_cast<int32_t>(n)}, data.data());
            if (c.size() < at + n) c.resize(at + n);
            c.replace(at, n, data);
        } else if (kind < 72) {
            if (!content.count(file)) continue;
            std::string& c = content[file];
            const size_t size = w.below(static_cast<uint32_t>(c.size()) + 1);
            h.setSize(file, static_cast<int64_t>(size));
            c.resize(size, '\0');
        } else if (kind < 82) {
            if (!content.count(file)) continue;
            h.remove(file);
            content.erase(file);
        } else if (kind < 90) {
            const std::string to = "f" + std::to_string(w.below(40));
            if (!content.count(file) || content.count(to)) continue;
            h.rename(file, to);
            content[to] = std::move(content[file]);
            content.erase(file);
        } else if (kind < 96) {
            if (!content.count(file)) continue;
            EXPECT_TRUE(h.read(file) == content[file]) << file << " at op " << op;
        } else {
            h.reopen();
        }
    }
    for (const auto& [file, c] : content) EXPECT_TRUE(h.read(file) == c) << file;
    h.compareAll();
    h.close();
    return fnv1a(efstest::readAll(efstest::tempDir() + "/" + name));
}

// The hashes the block-at-a-time volume produced for these workloads.
constexpr uint64_t kExpectedSmall = 0x86d3e79fe70f4d27ull;
constexpr uint64_t kExpectedLarge = 0x710dafe52e577f37ull;

TEST(EfsLayout, FixedWorkloadLeavesTheRecordedBytes) {
    const uint64_t small = runWorkload("layout_small.vx", 20261207u, 400);
    const uint64_t large = runWorkload("layout_large.vx", 7u, 1500);
    EXPECT_EQ(small, kExpectedSmall);
    EXPECT_EQ(large, kExpectedLarge);
}

// Bytes copied in from a descriptor are stored exactly as the same bytes from memory.
TEST(EfsLayout, WritesFromADescriptorLeaveTheSameBytes) {
    EXPECT_EQ(runWorkload("layout_fd_small.vx", 20261207u, 400, true), kExpectedSmall);
    EXPECT_EQ(runWorkload("layout_fd_large.vx", 7u, 1500, true), kExpectedLarge);
}

TEST(EfsLayout, SameWorkloadTwiceGivesTheSameBytes) {
    EXPECT_EQ(runWorkload("layout_a.vx", 99u, 300), runWorkload("layout_b.vx", 99u, 300));
}

}  // namespace
