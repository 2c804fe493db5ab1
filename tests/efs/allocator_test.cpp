// Free space and block allocation of a real volume, checked against a model of which
// blocks are free.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "BTreeTestUtil.h"
#include "EfsTestUtil.h"
#include "efs/EfsVolumeProbe.h"

using FreeRun = EfsVolume::Run;
using Runs = std::vector<FreeRun>;
using efs::kBlockSize;

namespace {

// A fresh container whose block store and allocator the tests work directly.
using Fresh = efstest::Layers;

// Cuts away every free run of a fresh volume so that the test sets up free space itself.
void takeEverything(Fresh& f) {
    for (const FreeRun& r : f.allocator.runsByStart())
        ASSERT_EQ(f.allocator.carveRun(r, r), r.first);
    ASSERT_TRUE(f.allocator.runsByStart().empty());
}

Runs inTree(Fresh& f) {
    Runs out;
    EXPECT_TRUE(f.allocator.runsInTree(&out));
    return out;
}

// The three copies of the free runs agree, and freeTotal is their sum.
void expectCopiesAgree(Fresh& f) {
    Runs byStart = f.allocator.runsByStart();
    Runs bySize = f.allocator.runsBySize();
    std::sort(bySize.begin(), bySize.end(),
              [](const FreeRun& a, const FreeRun& b) { return a.first < b.first; });
    EXPECT_EQ(byStart, bySize);
    EXPECT_EQ(byStart, inTree(f));
    int64_t sum = 0;
    for (size_t i = 0; i < byStart.size(); ++i) {
        sum += byStart[i].length;
        if (i > 0) {
            EXPECT_GT(byStart[i].first, byStart[i - 1].first + byStart[i - 1].length)
                << "runs never overlap or touch";
        }
    }
    EXPECT_EQ(f.allocator.freeTotal(), sum);
    EXPECT_EQ(f.allocator.treeCachedNodes(), 1u);
}

}  // namespace

TEST(Allocator, EmptyFreeSpaceGrowsAtTheOldEnd) {
    Fresh f("al_grow.vx");
    takeEverything(f);
    f.params.growthStep = 16 * kBlockSize;
    Runs out;
    ASSERT_TRUE(f.allocator.allocateBlocks(0, 3, EfsVolume::AllocFromStart, &out));
    EXPECT_EQ(out, (Runs{{1025, 3}}));
    EXPECT_EQ(f.store.hostBlocks(), 1041);
    EXPECT_EQ(f.allocator.runsByStart(), (Runs{{1028, 13}}));
    // Growth next to a run that reaches the old end lengthens that run.
    ASSERT_TRUE(f.allocator.growHost());
    EXPECT_EQ(f.allocator.runsByStart(), (Runs{{1028, 29}}));
    expectCopiesAgree(f);
}

// The walk counts every run again after each growth, until its counts reach twice the
// request; a request larger than what is then free still gets its blocks, from growths
// made when the runs run out.
TEST(Allocator, EnsureFreeCountsRunsAgainAfterEachGrowth) {
    Fresh f("al_ensure.vx");
    f.params.growthStep = 8 * kBlockSize;
    const int64_t before = f.store.hostBlocks();
    ASSERT_TRUE(f.allocator.ensureFree(1022 / 2 + 10));  // counts 1022, grows 8, counts 1030 again
    EXPECT_EQ(f.store.hostBlocks(), before + 8);
    EXPECT_EQ(f.allocator.runsByStart(), (Runs{{3, 1030}}));
    Runs out;
    ASSERT_TRUE(f.allocator.allocateBlocks(0, 1100, EfsVolume::AllocFromStart, &out));
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
    EXPECT_FALSE(f.allocator.allocateBlocks(0, INT32_MAX, EfsVolume::AllocFromStart, &out))
        << "no host file could hold that";
    EXPECT_EQ(f.lastError, EfsVolume::ErrorNoSpace);
    EXPECT_EQ(f.store.hostBlocks(), before + 80) << "and nothing grew trying";

    // One write of 9,000,000 bytes to a new volume: 1,099 blocks, counted twice.
    EfsVolume g;
    ASSERT_TRUE(g.openVolume(efstest::freshPath("al_ensure_9mb.vx")));
    const int32_t h = g.openFile("big", EfsVolume::AccessWrite, EfsVolume::CreateNew);
    const std::string data(9000000, 'x');
    ASSERT_TRUE(g.writeFile(h, data.data(), static_cast<int32_t>(data.size())));
    EXPECT_EQ(EfsVolumeProbe(g).hostBlocks(), 2049);
}

TEST(Allocator, MiddleModeSplitsLongRunsAndTakesShortOnesFromTheStart) {
    Fresh f("al_middle.vx");
    Runs out;
    ASSERT_TRUE(f.allocator.allocateBlocks(0, 422, EfsVolume::AllocFromStart, &out));
    EXPECT_EQ(out, (Runs{{3, 422}}));
    ASSERT_EQ(f.allocator.runsByStart(), (Runs{{425, 600}}));
    ASSERT_TRUE(f.allocator.allocateBlocks(0, 10, EfsVolume::AllocFromMiddle, &out));
    EXPECT_EQ(out, (Runs{{725, 10}}));
    EXPECT_EQ(f.allocator.runsByStart(), (Runs{{425, 300}, {735, 290}}));
    expectCopiesAgree(f);

    Fresh g("al_middle511.vx");
    ASSERT_TRUE(g.allocator.allocateBlocks(0, 511, EfsVolume::AllocFromStart, &out));
    ASSERT_EQ(g.allocator.runsByStart(), (Runs{{514, 511}}));
    ASSERT_TRUE(g.allocator.allocateBlocks(0, 10, EfsVolume::AllocFromMiddle, &out));
    EXPECT_EQ(out, (Runs{{514, 10}})) << "a run below 512 blocks is taken from its start";
}

TEST(Allocator, BestFitPrefersExactThenShortestLongerWithTheirTieOrders) {
    Fresh f("al_best.vx");
    takeEverything(f);
    // Released in this order: lengths 5, 8, 5, 8, 3.
    for (FreeRun r : Runs{{100, 5}, {200, 8}, {300, 5}, {400, 8}, {500, 3}})
        f.allocator.releaseRun(r.first, r.length);
    FreeRun run;
    ASSERT_TRUE(f.allocator.bestFit(5, &run));
    EXPECT_EQ(run, (FreeRun{100, 5})) << "the exact run added first";
    ASSERT_TRUE(f.allocator.bestFit(6, &run));
    EXPECT_EQ(run, (FreeRun{400, 8})) << "the shortest longer run added last";
    ASSERT_TRUE(f.allocator.bestFit(4, &run));
    EXPECT_EQ(run, (FreeRun{300, 5}));
    EXPECT_FALSE(f.allocator.bestFit(9, &run));
    Runs out;
    ASSERT_TRUE(f.allocator.allocateBlocks(0, 3, EfsVolume::AllocBestFit, &out));
    EXPECT_EQ(out, (Runs{{500, 3}}));
    expectCopiesAgree(f);
}

TEST(Allocator, LargeRequestsTakeSeveralPiecesExceptInBestFit) {
    Fresh f("al_pieces.vx");
    takeEverything(f);
    for (FreeRun r : Runs{{100, 7}, {200, 6}, {300, 5}, {400, 2}})
        f.allocator.releaseRun(r.first, r.length);
    Runs out;
    EXPECT_FALSE(f.allocator.allocateBlocks(0, 9, EfsVolume::AllocBestFit, &out));
    EXPECT_EQ(f.lastError, EfsVolume::ErrorNoSpace);
    ASSERT_TRUE(f.allocator.allocateBlocks(0, 9, EfsVolume::AllocFromStart, &out));
    EXPECT_EQ(out, (Runs{{100, 7}, {200, 2}}));
    EXPECT_EQ(f.allocator.runsByStart(), (Runs{{202, 4}, {300, 5}, {400, 2}}));
    // A hint naming the start of a free run is used first.
    ASSERT_TRUE(f.allocator.allocateBlocks(400, 3, EfsVolume::AllocFromStart, &out));
    EXPECT_EQ(out, (Runs{{400, 2}, {300, 1}}));
    expectCopiesAgree(f);
}

TEST(Allocator, ReleaseJoinsBothNeighboursUnderTheLeftStart) {
    Fresh f("al_join.vx");
    takeEverything(f);
    f.allocator.releaseRun(100, 10);
    f.allocator.releaseRun(120, 10);
    f.allocator.releaseRun(110, 10);
    EXPECT_EQ(f.allocator.runsByStart(), (Runs{{100, 30}}));
    f.allocator.releaseRun(130, 5);
    f.allocator.releaseRun(95, 5);
    EXPECT_EQ(f.allocator.runsByStart(), (Runs{{95, 40}}));
    f.allocator.releaseRun(100, 3);  // already free: refused, nothing changes
    f.allocator.releaseRun(0, 3);
    f.allocator.releaseRun(5000, 3);
    EXPECT_EQ(f.allocator.runsByStart(), (Runs{{95, 40}}));
    EXPECT_EQ(f.allocator.carveRun({95, 40}, {90, 2}), 0) << "a piece outside its run";
    EXPECT_EQ(f.allocator.carveRun({95, 41}, {95, 2}), 0) << "a run that is not free as given";
    expectCopiesAgree(f);
}

// A range that is partly free already is refused whole, wherever its free part lies:
// at its end (the range overlaps a free run from the left), at its start (from the
// right), around a whole run, or all of it (inside). Joining such a range would make
// blocks free twice, and the blocks around them, which belong to someone, free too.
TEST(Allocator, ReleaseOverlappingAFreeRunIsRefusedWhole) {
    Fresh f("al_overlap.vx");
    takeEverything(f);
    f.allocator.releaseRun(100, 10);  // blocks 100 to 109
    f.allocator.releaseRun(200, 10);
    const Runs before = f.allocator.runsByStart();
    struct Case {
        int32_t first, count;
        const char* what;
    };
    for (const Case& c :
         {Case{95, 6, "from the left, last block free"},
          Case{99, 3, "from the left, two blocks free"},
          Case{108, 5, "from the right, first two blocks free"},
          Case{109, 1, "the run's last block"}, Case{90, 30, "around the whole run"},
          Case{103, 4, "inside"}, Case{100, 10, "exactly the run"},
          Case{105, 100, "from inside one run into the next"}}) {
        f.allocator.releaseRun(c.first, c.count);
        EXPECT_EQ(f.allocator.runsByStart(), before) << c.what;
        EXPECT_EQ(f.allocator.freeTotal(), 20) << c.what;
    }
    expectCopiesAgree(f);
    // Right beside the run on either side is not an overlap: joined.
    f.allocator.releaseRun(95, 5);
    f.allocator.releaseRun(110, 2);
    EXPECT_EQ(f.allocator.runsByStart(), (Runs{{95, 17}, {200, 10}}));
    expectCopiesAgree(f);
}

// The free-space tree's own node allocations and releases happen while that tree is
// inside an operation; grow it through splits of the root and leaves and shrink it back
// through merges, and the tree must stay whole throughout.
TEST(Allocator, FreeSpaceTreeGrowsAndShrinksThroughItsOwnAllocations) {
    Fresh f("al_nested.vx");
    const int holes = efstest::longTests() ? 240000 : 3000;
    f.params.growthStep = 4096 * kBlockSize;
    takeEverything(f);
    ASSERT_TRUE(f.allocator.ensureFree(holes + 8));
    // Take every free block, then free every other one: each becomes its own run.
    for (const FreeRun& r : f.allocator.runsByStart())
        ASSERT_EQ(f.allocator.carveRun(r, r), r.first);
    const int32_t base = 2000;
    for (int i = 0; i < holes; ++i) {
        f.allocator.releaseRun(base + 2 * i, 1);
        if (i % 997 == 0) {
            ASSERT_EQ(inTree(f).size(), f.allocator.runsByStart().size());
        }
    }
    expectCopiesAgree(f);
    efstest::TreeWalk<681, int> walk(&f.store);
    ASSERT_TRUE(walk.run(f.allocator.treeRoot())) << walk.error;
    EXPECT_GE(walk.leafDepth, efstest::longTests() ? 2 : 1);
    const Runs runs = f.allocator.runsByStart();
    // Free blocks taken by tree nodes show up as missing holes; count the holes left.
    EXPECT_GE(static_cast<int>(runs.size()), holes - 20);
    // Now fill the gaps: runs join, the tree loses entries and merges nodes.
    for (int i = 0; i < holes; ++i) f.allocator.releaseRun(base + 2 * i + 1, 1);
    expectCopiesAgree(f);
    efstest::TreeWalk<681, int> after(&f.store);
    ASSERT_TRUE(after.run(f.allocator.treeRoot())) << after.error;
    f.reopen();
    expectCopiesAgree(f);
}

TEST(Allocator, RandomAllocationsAndReleasesAgainstAModel) {
    const int rounds = efstest::longTests() ? 40000 : 6000;
    for (uint32_t variant : {1u, 2u}) {
        Fresh f(QString("al_random_%1.vx").arg(variant));
        f.params.growthStep = 64 * kBlockSize;
        std::mt19937 rng(variant);
        // Model: blocks handed out by this test (the volume's own nodes are its business).
        std::set<int32_t> mine;
        std::vector<FreeRun> pieces;
        auto verify = [&](const char* when) {
            expectCopiesAgree(f);
            // Every block is the header, a node of one of the two trees, taken by this
            // test, or free: nothing leaks and nothing is counted twice.
            efstest::TreeWalk<681, int> walk(&f.store);
            ASSERT_TRUE(walk.run(f.allocator.treeRoot())) << walk.error;
            ASSERT_EQ(f.store.hostBlocks(), 1 + static_cast<int64_t>(walk.nodes.size()) + 1 +
                                                static_cast<int64_t>(mine.size()) +
                                                f.allocator.freeTotal())
                << when;
            for (const FreeRun& r : f.allocator.runsByStart())
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
                const int64_t freeBefore = f.allocator.freeTotal();
                Runs out;
                const bool ok = f.allocator.allocateBlocks(hint, n, mode, &out);
                if (!ok) {
                    // Only best fit can fail; a first piece taken from the hint stays
                    // taken and is reported.
                    ASSERT_EQ(mode, EfsVolume::AllocBestFit);
                    ASSERT_EQ(f.lastError, EfsVolume::ErrorNoSpace);
                    ASSERT_LE(out.size(), 1u);
                }
                int32_t got = 0;
                for (const FreeRun& r : out) {
                    ASSERT_GE(r.first, 1);
                    ASSERT_LE(r.first + r.length, f.store.hostBlocks());
                    for (int32_t b = r.first; b < r.first + r.length; ++b)
                        ASSERT_TRUE(mine.insert(b).second) << "block " << b << " handed out twice";
                    pieces.push_back(r);
                    got += r.length;
                }
                if (ok) {
                    ASSERT_EQ(got, n);
                }
                ASSERT_LE(f.allocator.freeTotal(), freeBefore + f.store.hostBlocks());
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
                f.allocator.releaseRun(p.first, p.length);
                for (int32_t b = p.first; b < p.first + p.length; ++b) mine.erase(b);
            }
            if (i % 500 == 0) {
                verify("after a batch");
                if (HasFatalFailure()) return;
            }
        }
        verify("at the end");
        const Runs runs = f.allocator.runsByStart();
        f.reopen();
        EXPECT_EQ(f.allocator.runsByStart(), runs) << "the same runs after reopening";
        verify("after reopen");
        // Give everything back: the volume is then sound by its own checker.
        for (const FreeRun& p : pieces) f.allocator.releaseRun(p.first, p.length);
        const QStringList problems = f.check();
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
    takeEverything(f);
    f.params.growthStep = 2048 * kBlockSize;
    ASSERT_TRUE(f.allocator.ensureFree(1));
    // Keep one long run for the nodes, then make 681 single free blocks.
    Runs runs = f.allocator.runsByStart();
    ASSERT_EQ(runs.size(), 1u);
    ASSERT_EQ(f.allocator.carveRun(runs[0], {runs[0].first, runs[0].length - 16}), runs[0].first);
    for (int i = 0; i < 681; ++i) f.allocator.releaseRun(100 + 2 * i, 1);
    // The tree is at its split point: more runs split it.
    f.allocator.releaseRun(3000, 1);
    f.allocator.releaseRun(3002, 1);
    f.allocator.releaseRun(100, 1);  // already free: nothing changes
    expectCopiesAgree(f);
    efstest::TreeWalk<681, int> walk(&f.store);
    ASSERT_TRUE(walk.run(f.allocator.treeRoot())) << walk.error;
    EXPECT_EQ(walk.leafDepth, 1);
    EXPECT_TRUE(f.close()) << "the tree was written whole";
}
