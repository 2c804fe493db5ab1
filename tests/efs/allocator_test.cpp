// Free space and block allocation of a real volume, checked against a model of which
// blocks are free.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "BTreeTestUtil.h"
#include "EfsTestUtil.h"

using FreeRun = EfsVolume::Run;
using Runs = std::vector<FreeRun>;
using efs::kBlockSize;

namespace {

struct Fresh {
    QString path;
    EfsVolume v;
    explicit Fresh(const QString& name) : path(efstest::freshPath(name)) {
        EXPECT_TRUE(v.openVolume(path));
    }
};

// Cuts away every free run of a fresh volume so that the test sets up free space itself.
void takeEverything(EfsVolume& v) {
    for (const FreeRun& r : v.freeRunsByStart()) ASSERT_EQ(v.carveRun(r, r), r.first);
    ASSERT_TRUE(v.freeRunsByStart().empty());
}

// The three copies of the free runs agree, and freeTotal is their sum.
void expectCopiesAgree(EfsVolume& v) {
    Runs byStart = v.freeRunsByStart();
    Runs bySize = v.freeRunsBySize();
    std::sort(bySize.begin(), bySize.end(),
              [](const FreeRun& a, const FreeRun& b) { return a.first < b.first; });
    EXPECT_EQ(byStart, bySize);
    EXPECT_EQ(byStart, v.freeRunsInTree());
    int64_t sum = 0;
    for (size_t i = 0; i < byStart.size(); ++i) {
        sum += byStart[i].length;
        if (i > 0) {
            EXPECT_GT(byStart[i].first, byStart[i - 1].first + byStart[i - 1].length)
                << "runs never overlap or touch";
        }
    }
    EXPECT_EQ(v.freeTotal(), sum);
    EXPECT_EQ(v.freeTreeCachedNodes(), 1u);
}

}  // namespace

TEST(Allocator, EmptyFreeSpaceGrowsAtTheOldEnd) {
    Fresh f("al_grow.vx");
    takeEverything(f.v);
    f.v.setGrowthStep(16 * kBlockSize);
    Runs out;
    ASSERT_TRUE(f.v.allocateBlocks(0, 3, EfsVolume::AllocFromStart, &out));
    EXPECT_EQ(out, (Runs{{1025, 3}}));
    EXPECT_EQ(f.v.hostBlocks(), 1041);
    EXPECT_EQ(f.v.freeRunsByStart(), (Runs{{1028, 13}}));
    // Growth next to a run that reaches the old end lengthens that run.
    ASSERT_TRUE(f.v.growHost());
    EXPECT_EQ(f.v.freeRunsByStart(), (Runs{{1028, 29}}));
    expectCopiesAgree(f.v);
}

// The walk counts every run again after each growth, until its counts reach twice the
// request; a request larger than what is then free still gets its blocks, from growths
// made when the runs run out.
TEST(Allocator, EnsureFreeCountsRunsAgainAfterEachGrowth) {
    Fresh f("al_ensure.vx");
    f.v.setGrowthStep(8 * kBlockSize);
    const int64_t before = f.v.hostBlocks();
    ASSERT_TRUE(f.v.ensureFree(1022 / 2 + 10));  // counts 1022, grows 8, counts 1030 again
    EXPECT_EQ(f.v.hostBlocks(), before + 8);
    EXPECT_EQ(f.v.freeRunsByStart(), (Runs{{3, 1030}}));
    Runs out;
    ASSERT_TRUE(f.v.allocateBlocks(0, 1100, EfsVolume::AllocFromStart, &out));
    // The walk grows twice more (counting 1030, then 1038, then 1046), then the runs run
    // out after 1046 blocks and each growth of 8 gives the next piece.
    EXPECT_EQ(out, (Runs{{3, 1046},
                         {1049, 8},
                         {1057, 8},
                         {1065, 8},
                         {1073, 8},
                         {1081, 8},
                         {1089, 8},
                         {1097, 6}}));
    EXPECT_FALSE(f.v.allocateBlocks(0, INT32_MAX, EfsVolume::AllocFromStart, &out))
        << "no host file could hold that";
    EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorNoSpace);
    EXPECT_EQ(f.v.hostBlocks(), before + 80) << "and nothing grew trying";

    // One write of 9,000,000 bytes to a new volume: 1,099 blocks, counted twice.
    Fresh g("al_ensure_9mb.vx");
    const int32_t h = g.v.openFile("big", EfsVolume::AccessWrite, EfsVolume::CreateNew);
    const std::string data(9000000, 'x');
    ASSERT_TRUE(g.v.writeFile(h, data.data(), static_cast<int32_t>(data.size())));
    EXPECT_EQ(g.v.hostBlocks(), 2049);
}

TEST(Allocator, MiddleModeSplitsLongRunsAndTakesShortOnesFromTheStart) {
    Fresh f("al_middle.vx");
    Runs out;
    ASSERT_TRUE(f.v.allocateBlocks(0, 422, EfsVolume::AllocFromStart, &out));
    EXPECT_EQ(out, (Runs{{3, 422}}));
    ASSERT_EQ(f.v.freeRunsByStart(), (Runs{{425, 600}}));
    ASSERT_TRUE(f.v.allocateBlocks(0, 10, EfsVolume::AllocFromMiddle, &out));
    EXPECT_EQ(out, (Runs{{725, 10}}));
    EXPECT_EQ(f.v.freeRunsByStart(), (Runs{{425, 300}, {735, 290}}));
    expectCopiesAgree(f.v);

    Fresh g("al_middle511.vx");
    ASSERT_TRUE(g.v.allocateBlocks(0, 511, EfsVolume::AllocFromStart, &out));
    ASSERT_EQ(g.v.freeRunsByStart(), (Runs{{514, 511}}));
    ASSERT_TRUE(g.v.allocateBlocks(0, 10, EfsVolume::AllocFromMiddle, &out));
    EXPECT_EQ(out, (Runs{{514, 10}})) << "a run below 512 blocks is taken from its start";
}

TEST(Allocator, BestFitPrefersExactThenShortestLongerWithTheirTieOrders) {
    Fresh f("al_best.vx");
    takeEverything(f.v);
    // Released in this order: lengths 5, 8, 5, 8, 3.
    for (FreeRun r : Runs{{100, 5}, {200, 8}, {300, 5}, {400, 8}, {500, 3}})
        f.v.releaseRun(r.first, r.length);
    FreeRun run;
    ASSERT_TRUE(f.v.bestFit(5, &run));
    EXPECT_EQ(run, (FreeRun{100, 5})) << "the exact run added first";
    ASSERT_TRUE(f.v.bestFit(6, &run));
    EXPECT_EQ(run, (FreeRun{400, 8})) << "the shortest longer run added last";
    ASSERT_TRUE(f.v.bestFit(4, &run));
    EXPECT_EQ(run, (FreeRun{300, 5}));
    EXPECT_FALSE(f.v.bestFit(9, &run));
    Runs out;
    ASSERT_TRUE(f.v.allocateBlocks(0, 3, EfsVolume::AllocBestFit, &out));
    EXPECT_EQ(out, (Runs{{500, 3}}));
    expectCopiesAgree(f.v);
}

TEST(Allocator, LargeRequestsTakeSeveralPiecesExceptInBestFit) {
    Fresh f("al_pieces.vx");
    takeEverything(f.v);
    for (FreeRun r : Runs{{100, 7}, {200, 6}, {300, 5}, {400, 2}})
        f.v.releaseRun(r.first, r.length);
    Runs out;
    EXPECT_FALSE(f.v.allocateBlocks(0, 9, EfsVolume::AllocBestFit, &out));
    EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorNoSpace);
    ASSERT_TRUE(f.v.allocateBlocks(0, 9, EfsVolume::AllocFromStart, &out));
    EXPECT_EQ(out, (Runs{{100, 7}, {200, 2}}));
    EXPECT_EQ(f.v.freeRunsByStart(), (Runs{{202, 4}, {300, 5}, {400, 2}}));
    // A hint naming the start of a free run is used first.
    ASSERT_TRUE(f.v.allocateBlocks(400, 3, EfsVolume::AllocFromStart, &out));
    EXPECT_EQ(out, (Runs{{400, 2}, {300, 1}}));
    expectCopiesAgree(f.v);
}

TEST(Allocator, ReleaseJoinsBothNeighboursUnderTheLeftStart) {
    Fresh f("al_join.vx");
    takeEverything(f.v);
    f.v.releaseRun(100, 10);
    f.v.releaseRun(120, 10);
    f.v.releaseRun(110, 10);
    EXPECT_EQ(f.v.freeRunsByStart(), (Runs{{100, 30}}));
    f.v.releaseRun(130, 5);
    f.v.releaseRun(95, 5);
    EXPECT_EQ(f.v.freeRunsByStart(), (Runs{{95, 40}}));
    f.v.releaseRun(100, 3);  // already free: refused, nothing changes
    f.v.releaseRun(0, 3);
    f.v.releaseRun(5000, 3);
    EXPECT_EQ(f.v.freeRunsByStart(), (Runs{{95, 40}}));
    EXPECT_EQ(f.v.carveRun({95, 40}, {90, 2}), 0) << "a piece outside its run";
    EXPECT_EQ(f.v.carveRun({95, 41}, {95, 2}), 0) << "a run that is not free as given";
    expectCopiesAgree(f.v);
}

// The free-space tree's own node allocations and releases happen while that tree is
// inside an operation; grow it through splits of the root and leaves and shrink it back
// through merges, and the tree must stay whole throughout.
TEST(Allocator, FreeSpaceTreeGrowsAndShrinksThroughItsOwnAllocations) {
    Fresh f("al_nested.vx");
    const int holes = efstest::longTests() ? 240000 : 3000;
    f.v.setGrowthStep(4096 * kBlockSize);
    takeEverything(f.v);
    ASSERT_TRUE(f.v.ensureFree(holes + 8));
    // Take every free block, then free every other one: each becomes its own run.
    for (const FreeRun& r : f.v.freeRunsByStart()) ASSERT_EQ(f.v.carveRun(r, r), r.first);
    const int32_t base = 2000;
    for (int i = 0; i < holes; ++i) {
        f.v.releaseRun(base + 2 * i, 1);
        if (i % 997 == 0) {
            ASSERT_EQ(f.v.freeRunsInTree().size(), f.v.freeRunsByStart().size());
        }
    }
    expectCopiesAgree(f.v);
    efstest::TreeWalk<681, int> walk(&f.v);
    ASSERT_TRUE(walk.run(f.v.freeTreeRoot())) << walk.error;
    EXPECT_GE(walk.leafDepth, efstest::longTests() ? 2 : 1);
    const Runs runs = f.v.freeRunsByStart();
    // Free blocks taken by tree nodes show up as missing holes; count the holes left.
    EXPECT_GE(static_cast<int>(runs.size()), holes - 20);
    // Now fill the gaps: runs join, the tree loses entries and merges nodes.
    for (int i = 0; i < holes; ++i) f.v.releaseRun(base + 2 * i + 1, 1);
    expectCopiesAgree(f.v);
    efstest::TreeWalk<681, int> after(&f.v);
    ASSERT_TRUE(after.run(f.v.freeTreeRoot())) << after.error;
    f.v.closeVolume();
    ASSERT_TRUE(f.v.openVolume(f.path));
    expectCopiesAgree(f.v);
}

TEST(Allocator, RandomAllocationsAndReleasesAgainstAModel) {
    const int rounds = efstest::longTests() ? 40000 : 6000;
    for (uint32_t variant : {1u, 2u}) {
        Fresh f(QString("al_random_%1.vx").arg(variant));
        f.v.setGrowthStep(64 * kBlockSize);
        std::mt19937 rng(variant);
        // Model: blocks handed out by this test (the volume's own nodes are its business).
        std::set<int32_t> mine;
        std::vector<FreeRun> pieces;
        auto verify = [&](const char* when) {
            expectCopiesAgree(f.v);
            // Every block is the header, a node of one of the two trees, taken by this
            // test, or free: nothing leaks and nothing is counted twice.
            efstest::TreeWalk<681, int> walk(&f.v);
            ASSERT_TRUE(walk.run(f.v.freeTreeRoot())) << walk.error;
            ASSERT_EQ(f.v.hostBlocks(), 1 + static_cast<int64_t>(walk.nodes.size()) + 1 +
                                            static_cast<int64_t>(mine.size()) + f.v.freeTotal())
                << when;
            for (const FreeRun& r : f.v.freeRunsByStart())
                for (int32_t b = r.first; b < r.first + r.length; ++b)
                    ASSERT_FALSE(mine.count(b))
                        << "block " << b << " is both free and taken, " << when;
        };
        for (int i = 0; i < rounds; ++i) {
            const bool allocate = pieces.empty() || rng() % 100 < 55;
            if (allocate) {
                const int32_t n = 1 + static_cast<int32_t>(rng() % (rng() % 10 == 0 ? 700 : 40));
                const int32_t mode = static_cast<int32_t>(rng() % 3);
                int32_t hint = 0;
                if (!pieces.empty() && rng() % 2) {
                    const FreeRun& p = pieces[rng() % pieces.size()];
                    hint = p.first + p.length;
                }
                const int64_t freeBefore = f.v.freeTotal();
                Runs out;
                const bool ok = f.v.allocateBlocks(hint, n, mode, &out);
                if (!ok) {
                    // Only best fit can fail; a first piece taken from the hint stays
                    // taken and is reported.
                    ASSERT_EQ(mode, EfsVolume::AllocBestFit);
                    ASSERT_EQ(f.v.lastError(), EfsVolume::ErrorNoSpace);
                    ASSERT_LE(out.size(), 1u);
                }
                int32_t got = 0;
                for (const FreeRun& r : out) {
                    ASSERT_GE(r.first, 1);
                    ASSERT_LE(r.first + r.length, f.v.hostBlocks());
                    for (int32_t b = r.first; b < r.first + r.length; ++b)
                        ASSERT_TRUE(mine.insert(b).second) << "block " << b << " handed out twice";
                    pieces.push_back(r);
                    got += r.length;
                }
                if (ok) {
                    ASSERT_EQ(got, n);
                }
                ASSERT_LE(f.v.freeTotal(), freeBefore + f.v.hostBlocks());
            } else {
                const size_t at = rng() % pieces.size();
                FreeRun p = pieces[at];
                pieces.erase(pieces.begin() + static_cast<long>(at));
                // Sometimes give back only the tail of a piece.
                if (p.length > 1 && rng() % 3 == 0) {
                    const int32_t keep = 1 + static_cast<int32_t>(rng() % (p.length - 1));
                    pieces.push_back({p.first, keep});
                    p = {p.first + keep, p.length - keep};
                }
                f.v.releaseRun(p.first, p.length);
                for (int32_t b = p.first; b < p.first + p.length; ++b) mine.erase(b);
            }
            if (i % 500 == 0) {
                verify("after a batch");
                if (HasFatalFailure()) return;
            }
        }
        verify("at the end");
        const Runs runs = f.v.freeRunsByStart();
        f.v.closeVolume();
        ASSERT_TRUE(f.v.openVolume(f.path));
        EXPECT_EQ(f.v.freeRunsByStart(), runs) << "the same runs after reopening";
        verify("after reopen");
        // Give everything back: the volume is then sound by its own checker.
        for (const FreeRun& p : pieces) f.v.releaseRun(p.first, p.length);
        const QStringList problems = f.v.check();
        EXPECT_TRUE(problems.isEmpty()) << efstest::joined(problems).toStdString();
    }
}

// When the free space is 681 one-block runs, a free-space tree that splits and takes its
// two new nodes from one-block runs loses two entries, merges back and frees both nodes,
// whose blocks become two entries again: split and merge would chase each other for
// ever. The tree's own nodes are therefore cut from the end of a longer run, which
// changes no entry count, and the volume stays whole.
TEST(Allocator, FreeSpaceTreeAtTheSplitPointDoesNotChaseItself) {
    Fresh f("al_chase.vx");
    takeEverything(f.v);
    f.v.setGrowthStep(2048 * kBlockSize);
    ASSERT_TRUE(f.v.ensureFree(1));
    // Keep one long run for the nodes, then make 681 single free blocks.
    Runs runs = f.v.freeRunsByStart();
    ASSERT_EQ(runs.size(), 1u);
    ASSERT_EQ(f.v.carveRun(runs[0], {runs[0].first, runs[0].length - 16}), runs[0].first);
    for (int i = 0; i < 681; ++i) f.v.releaseRun(100 + 2 * i, 1);
    // The tree is at its split point: more runs split it.
    f.v.releaseRun(3000, 1);
    f.v.releaseRun(3002, 1);
    f.v.releaseRun(100, 1);  // already free: nothing changes
    expectCopiesAgree(f.v);
    efstest::TreeWalk<681, int> walk(&f.v);
    ASSERT_TRUE(walk.run(f.v.freeTreeRoot())) << walk.error;
    EXPECT_EQ(walk.leafDepth, 1);
    f.v.closeVolume();
    EXPECT_EQ(f.v.lastError(), EfsVolume::ErrorNone) << "the tree was written whole";
}
