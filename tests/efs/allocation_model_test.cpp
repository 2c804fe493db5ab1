// Every block a volume chooses, checked against the reference of AllocationModel.h over
// random workloads: files from empty to several MB, single large writes, appends in
// several pieces, size changes both ways, removals, renames, reopens, all three
// allocation modes, several growth steps, a reserve, and enough files and free runs for
// a file table and a free-space tree of several nodes. After every operation the free
// runs (in both orders), the host size and the touched file's record must be the ones
// the model predicts.
#include <gtest/gtest.h>

#include <random>

#include "ModelHarness.h"

using efs::kBlockSize;
using efsmodel::Harness;
using efsmodel::Variant;

namespace {

class Workload {
  public:
    Workload(Harness* h, uint32_t randomStart) : m_h(h), m_rng(randomStart) {}

    uint32_t below(uint32_t n) { return static_cast<uint32_t>(m_rng() % n); }

    // Sizes around the limits that matter: inline, one block, a few blocks, and large.
    int32_t pieceSize() {
        static const int32_t sizes[] = {1, 100, 8046, 8047, 8192, 9000, 40000, 300000};
        const uint32_t k = below(1000);
        if (k < 4) return 1000000 + static_cast<int32_t>(below(3000000));  // single large
        return std::max(1, sizes[below(8)] + static_cast<int32_t>(below(3)) - 1 + (k % 2 ? 0 : 1));
    }

    std::string name(uint32_t space) { return "f" + std::to_string(below(space)); }

    // One random operation on files named f0 .. f(space-1).
    void step(uint32_t space) {
        const std::string n = name(space);
        const uint32_t kind = below(100);
        const auto size = [&](const std::string& s) { return m_h->model().files.at(s).size; };
        if (kind < 45 || !m_h->exists(n)) {
            const int64_t pos = m_h->exists(n) ? below(static_cast<uint32_t>(size(n)) + 2) : 0;
            std::vector<int32_t> pieces{pieceSize()};
            while (below(4) == 0) pieces.push_back(pieceSize());
            m_h->write(n, pos, pieces);
        } else if (kind < 62) {
            const uint32_t k = below(6);
            const int64_t s = k == 0   ? 0
                              : k == 1 ? 8046 + static_cast<int64_t>(below(3)) - 1
                              : k == 2 ? size(n) / 2
                              : k == 3 ? size(n) + below(200000)
                                       : below(static_cast<uint32_t>(size(n)) + 1);
            m_h->setSize(n, s);
        } else if (kind < 78) {
            m_h->remove(n);
        } else if (kind < 88) {
            m_h->rename(n, name(space));
        } else if (kind < 92) {
            m_h->recreate(n);
        } else if (kind < 93 && below(5) == 0) {
            m_h->reopen();
        } else {
            // Append in several small pieces: the hint keeps the file in one run.
            std::vector<int32_t> pieces;
            for (uint32_t i = 0, count = 2 + below(6); i < count; ++i)
                pieces.push_back(1 + static_cast<int32_t>(below(20000)));
            m_h->write(n, size(n), pieces);
        }
    }

  private:
    Harness* m_h;
    std::mt19937 m_rng;
};

void runVariant(const Variant& v, int operations) {
    SCOPED_TRACE("variant " + std::to_string(v.randomStart) + " mode " + std::to_string(v.mode));
    Harness h(QString("model_%1.vx").arg(v.randomStart), v);
    Workload w(&h, v.randomStart);
    // Phase 1: a few dozen files of every size.
    const int first = operations / 2;
    for (int i = 0; i < first; ++i) {
        w.step(40);
        if (::testing::Test::HasFatalFailure()) return;
    }
    h.compareAll();
    // Phase 2: thousands of small files (a file table of several levels), and every
    // other one goes, leaving many short free runs (a free-space tree of several nodes).
    const int many = 4 * 1024;
    for (int i = 0; i < many; ++i) {
        h.write("m" + std::to_string(i), 0, {1 + static_cast<int32_t>(w.below(9000))});
        if (::testing::Test::HasFatalFailure()) return;
    }
    for (int i = 0; i < many; i += 2) {
        h.remove("m" + std::to_string(i));
        if (::testing::Test::HasFatalFailure()) return;
    }
    EXPECT_GT(h.freeRuns(), 681u) << "the free-space tree should need more than one node";
    // A file larger than all free space, growing one block at a time: it takes the short
    // runs one by one, and its record outgrows its first block and moves. Where best fit
    // refuses that, two files growing a block at a time in turn fragment each other.
    h.setGrowthBlocks(2);
    int64_t freeBlocks = 0;
    for (const auto& entry : h.model().ptrs) freeBlocks += entry.second;
    h.write("x", 0, {static_cast<int32_t>((freeBlocks + 300) * kBlockSize)});
    for (int i = 0; v.mode == EfsVolume::AllocBestFit && i < 1100; ++i) {
        const int64_t before = h.model().files.at("x").size;
        for (const char* n : {"x", "y"}) {
            h.write(n, h.exists(n) ? h.model().files.at(n).size : 0, {8192});
            if (::testing::Test::HasFatalFailure()) return;
        }
        // Best fit refuses two blocks once only single free blocks are left.
        if (h.model().files.at("x").size == before) break;
    }
    if (v.mode != EfsVolume::AllocBestFit) {
        EXPECT_GT(h.model().files.at("x").fitSize, 1) << "a record should have outgrown a block";
    }
    h.setGrowthBlocks(1 + w.below(64));
    // Phase 3: the same mix among the survivors, then everything goes.
    for (int i = first; i < operations; ++i) {
        w.step(60);
        if (::testing::Test::HasFatalFailure()) return;
    }
    h.compareAll();
    h.reopen();
    std::vector<std::string> names;
    for (const auto& entry : h.model().files) names.push_back(entry.first);
    for (const std::string& n : names) {
        h.remove(n);
        if (::testing::Test::HasFatalFailure()) return;
    }
    h.compareAll();
}

}  // namespace

// Six volumes share the budget: 100,000 operations (ten times as many in long runs).
TEST(AllocationModel, EngineMakesEveryBlockChoiceOfTheReference) {
    const int budget = efstest::longTests() ? 1000000 : 100000;
    const Variant variants[] = {
        {1, EfsVolume::AllocFromMiddle, 1024, 0, 1, true},
        {2, EfsVolume::AllocFromStart, 64, 0, 1, false},
        {3, EfsVolume::AllocBestFit, 256, 0, 1, true},
        {4, EfsVolume::AllocFromMiddle, 8, 3, 1, true},
        {5, EfsVolume::AllocFromStart, 1, 2, 40, true},
        {6, EfsVolume::AllocBestFit, 4096, 1, 600, false},
    };
    const int perVariant = (budget - 6 * (2200 + 4 * 1024 + 2048)) / 6;
    for (const Variant& v : variants) {
        runVariant(v, perVariant);
        if (HasFatalFailure()) return;
    }
}
