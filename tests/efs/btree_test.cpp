// The B-tree engine and its node controller, on nodes stored in a real volume.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "BTreeTestUtil.h"
#include "EfsTestUtil.h"
#include "efs/btree/FreesBTree.h"

using efs::EfsBTreeController;
using efs::FileNameKey;
using efstest::TreeWalk;
using efstest::VolumeNodeStore;

namespace {

template <int N, class Key>
using Tree = efs::BTreeAlgorithms<N, Key, int, EfsBTreeController>;
using Node5 = efs::BTreeNode<5, int>;

struct Bench {
    efstest::Layers volume;
    std::unique_ptr<VolumeNodeStore> store;

    explicit Bench(const QString& name) : volume(name) {
        store = std::make_unique<VolumeNodeStore>(&volume);
    }
    void reopen() {
        const int32_t slot = store->slot;
        volume.reopen();
        store = std::make_unique<VolumeNodeStore>(&volume);
        store->slot = slot;
    }
};

FileNameKey nameKey(int i) { return FileNameKey::fromName(("sound_" + std::to_string(i)).c_str()); }

// Writes a hand-made two-level tree of order 5 and points the root slot at it.
int32_t buildTree(Bench& b, const std::vector<int>& rootKeys,
                  const std::vector<std::vector<int>>& leaves, std::vector<int32_t>* leafBlocks) {
    const int32_t root = b.store->allocateNodeBlocks(1);
    Node5 r;
    r.setSelf(root);
    leafBlocks->clear();
    for (size_t i = 0; i < leaves.size(); ++i) {
        const int32_t lb = b.store->allocateNodeBlocks(1);
        leafBlocks->push_back(lb);
        Node5 l;
        l.setSelf(lb);
        l.setParent(leaves.size() > 1 ? root : 0);
        for (size_t k = 0; k < leaves[i].size(); ++k)
            l.putEntry(static_cast<int>(k), Node5::makeEntry(leaves[i][k], leaves[i][k] * 10));
        l.setCount(static_cast<int>(leaves[i].size()));
        b.volume.store.writeBlock(lb, l.bytes(), Node5::kRecordSize, 0, false);
    }
    r.setChild0((*leafBlocks)[0]);
    for (size_t k = 0; k < rootKeys.size(); ++k)
        r.putEntry(static_cast<int>(k),
                   Node5::makeEntry(rootKeys[k], rootKeys[k] * 10, (*leafBlocks)[k + 1]));
    r.setCount(static_cast<int>(rootKeys.size()));
    b.volume.store.writeBlock(root, r.bytes(), Node5::kRecordSize, 0, false);
    b.store->slot = root;
    return root;
}

std::vector<int> keysOf(efs::BlockStore& store, int32_t block) {
    Node5 n;
    store.readBlock(block, n.bytes(), Node5::kRecordSize, 0);
    std::vector<int> keys;
    for (int i = 0; i < n.count(); ++i) keys.push_back(n.key(i));
    return keys;
}

// Runs a random sequence of inserts, removes, finds and updates against std::map,
// checking every node rule from disk after each batch and again after reopening.
template <int N, class Key, class MakeKey>
void randomAgainstMap(const QString& name, int ops, int keySpace, int minDepth, MakeKey makeKey,
                      uint32_t variant) {
    Bench b(name);
    Tree<N, Key> tree;
    ASSERT_TRUE(tree.initController(b.store.get(), 0, efs::kBlockSize));
    std::map<Key, int> model;
    std::mt19937 rng(variant);
    int depth = 0;
    auto verify = [&](const char* when) {
        ASSERT_EQ(tree.cachedCount(), 1u) << "only the root stays cached, " << when;
        TreeWalk<N, Key> walk(&b.volume.store);
        ASSERT_TRUE(walk.run(b.store->slot)) << walk.error << ", " << when;
        ASSERT_EQ(walk.entries.size(), model.size()) << when;
        auto it = model.begin();
        for (const auto& [k, v] : walk.entries) {
            ASSERT_TRUE(k == it->first) << when;
            ASSERT_EQ(v, it->second) << when;
            ++it;
        }
        std::vector<std::pair<Key, int>> collected;
        ASSERT_TRUE(tree.collectEntries(&collected));
        ASSERT_EQ(collected.size(), model.size());
        depth = std::max(depth, walk.leafDepth);
    };
    for (int op = 0; op < ops; ++op) {
        const int i = static_cast<int>(rng() % static_cast<uint32_t>(keySpace));
        const Key k = makeKey(i);
        const int roll = static_cast<int>(rng() % 100);
        // Mostly inserts in the first half, mostly removes in the last quarter.
        const int insertShare = op < ops / 2 ? 70 : (op < ops * 3 / 4 ? 40 : 20);
        if (roll < insertShare) {
            const int value = static_cast<int>(rng());
            const bool fresh = !model.count(k);
            ASSERT_EQ(tree.insert(k, value), fresh);
            if (fresh) model[k] = value;
        } else if (roll < insertShare + 25) {
            int value = 0;
            const bool present = model.count(k) != 0;
            ASSERT_EQ(tree.remove(k, &value), present);
            if (present) {
                ASSERT_EQ(value, model[k]);
                model.erase(k);
            }
        } else if (roll < insertShare + 27) {
            const int value = static_cast<int>(rng());
            tree.update(k, value);
            if (model.count(k)) model[k] = value;
        } else {
            int value = 0;
            const bool present = model.count(k) != 0;
            ASSERT_EQ(tree.find(k, &value), present);
            if (present) {
                ASSERT_EQ(value, model[k]);
            }
        }
        if ((op + 1) % (ops / 8) == 0) {
            verify("after a batch");
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
    EXPECT_GE(depth, minDepth) << "the sequence must build a tree of that depth";
    tree.close();
    b.reopen();
    ASSERT_TRUE(tree.initController(b.store.get(), 0, efs::kBlockSize));
    verify("after reopen");
    // Empty it completely: every node but the root goes back to free space.
    for (auto it = model.begin(); it != model.end();) {
        ASSERT_TRUE(tree.remove(it->first));
        it = model.erase(it);
    }
    verify("after emptying");
    tree.close();
    const QStringList problems = b.volume.check();
    ASSERT_EQ(problems.size(), 1) << efstest::joined(problems).toStdString();
    EXPECT_EQ(problems[0], QString("blocks %1 to %1 belong to nothing").arg(b.store->slot))
        << "only the test tree's root block is outside the volume's own structures";
}

}  // namespace

TEST(BTreeRandom, FreeSpaceInstantiationAgainstMap) {
    const bool deep = efstest::longTests();
    randomAgainstMap<681, int>(
        "bt_free.vx", deep ? 2000000 : 24000, deep ? 2000000 : 4000, deep ? 2 : 1,
        [](int i) { return i * 3 + 1; }, 681);
}

TEST(BTreeRandom, FileTableInstantiationAgainstMap) {
    randomAgainstMap<185, FileNameKey>("bt_files.vx", efstest::longTests() ? 400000 : 110000, 60000,
                                       2, nameKey, 185);
}

// Order 5 on a few hundred keys gives a tree of four levels and more, so that removals
// meet keys whose children are inner nodes (the replacement comes from a leaf further
// down) and underflows that climb through several levels; the full-size trees seldom do.
TEST(BTreeRandom, SmallOrderManyLevelsAgainstMap) {
    randomAgainstMap<5, int>(
        "bt_deep.vx", 20000, 400, 3, [](int i) { return i; }, 5);
}

TEST(BTreeEdges, DuplicateInsertAndRemovalFromEmpty) {
    Bench b("bt_edges.vx");
    Tree<681, int> tree;
    ASSERT_TRUE(tree.initController(b.store.get(), 0, efs::kBlockSize));
    const int32_t root = b.store->slot;
    EXPECT_NE(root, 0) << "a tree whose slot holds 0 gets a fresh root";
    EXPECT_FALSE(tree.remove(5));
    EXPECT_FALSE(tree.failed());
    ASSERT_TRUE(tree.insert(5, 50));
    EXPECT_FALSE(tree.insert(5, 99));
    int v = 0;
    ASSERT_TRUE(tree.find(5, &v));
    EXPECT_EQ(v, 50);
    tree.update(6, 1);  // missing key: nothing changes
    EXPECT_FALSE(tree.find(6, &v));
    ASSERT_TRUE(tree.remove(5, &v));
    EXPECT_EQ(v, 50);
    EXPECT_EQ(tree.rootBlock(), root) << "the emptied leaf root stays the root";
    EXPECT_EQ(keysOf(b.volume.store, root).size(), 0u);
}

TEST(BTreeEdges, FullLeafRootSplitsIntoOneKeyRoot) {
    Bench b("bt_split.vx");
    Tree<681, int> tree;
    ASSERT_TRUE(tree.initController(b.store.get(), 0, efs::kBlockSize));
    const int32_t oldRoot = b.store->slot;
    for (int k = 1; k <= 681; ++k) ASSERT_TRUE(tree.insert(k, k));
    EXPECT_EQ(b.store->slot, oldRoot);
    ASSERT_TRUE(tree.insert(682, 682));
    const int32_t root = b.store->slot;
    ASSERT_NE(root, oldRoot);
    using Node = efs::BTreeNode<681, int>;
    Node r, left, right;
    b.volume.store.readBlock(root, r.bytes(), Node::kRecordSize, 0);
    EXPECT_EQ(r.count(), 1);
    EXPECT_EQ(r.child0(), oldRoot);
    EXPECT_EQ(r.parent(), 0);
    b.volume.store.readBlock(oldRoot, left.bytes(), Node::kRecordSize, 0);
    b.volume.store.readBlock(r.rightChild(0), right.bytes(), Node::kRecordSize, 0);
    EXPECT_EQ(left.count() + right.count(), 681);
    EXPECT_EQ(std::max(left.count(), right.count()), 341);
    EXPECT_EQ(left.parent(), root);
    EXPECT_EQ(right.parent(), root);
    // The left image replaced the old root whole: slots above its count are zero.
    for (int i = Node::kRecordSize - 9 - 12 * 5; i < Node::kCountOffset; ++i)
        EXPECT_EQ(left.bytes()[i], 0);
    EXPECT_EQ(tree.cachedCount(), 1u);
}

TEST(BTreeEdges, UnderflowBorrowsFromTheLeftFirst) {
    Bench b("bt_borrow.vx");
    std::vector<int32_t> leaves;
    const int32_t root = buildTree(b, {4, 7}, {{1, 2, 3}, {5, 6}, {8, 9, 10}}, &leaves);
    Tree<5, int> tree;
    ASSERT_TRUE(tree.initController(b.store.get(), 0, efs::kBlockSize));
    ASSERT_TRUE(tree.remove(5));
    EXPECT_EQ(keysOf(b.volume.store, root), (std::vector<int>{3, 7}));
    EXPECT_EQ(keysOf(b.volume.store, leaves[0]), (std::vector<int>{1, 2}));
    EXPECT_EQ(keysOf(b.volume.store, leaves[1]), (std::vector<int>{4, 6}));
    EXPECT_EQ(keysOf(b.volume.store, leaves[2]), (std::vector<int>{8, 9, 10}));
}

TEST(BTreeEdges, UnderflowMergesIntoTheLeftEvenWithARightSibling) {
    Bench b("bt_merge.vx");
    std::vector<int32_t> leaves;
    const int32_t root = buildTree(b, {3, 6}, {{1, 2}, {4, 5}, {7, 8}}, &leaves);
    const int64_t freeBefore = b.volume.allocator.freeTotal();
    Tree<5, int> tree;
    ASSERT_TRUE(tree.initController(b.store.get(), 0, efs::kBlockSize));
    ASSERT_TRUE(tree.remove(4));
    EXPECT_EQ(keysOf(b.volume.store, root), (std::vector<int>{6}));
    EXPECT_EQ(keysOf(b.volume.store, leaves[0]), (std::vector<int>{1, 2, 3, 5}));
    EXPECT_EQ(b.volume.allocator.freeTotal(), freeBefore + 1)
        << "the emptied node's block is free again";
    TreeWalk<5, int> walk(&b.volume.store);
    EXPECT_TRUE(walk.run(root)) << walk.error;
}

TEST(BTreeEdges, RootCollapsesIntoTheMergedNode) {
    Bench b("bt_collapse.vx");
    std::vector<int32_t> leaves;
    buildTree(b, {3}, {{1, 2}, {4, 5}}, &leaves);
    Tree<5, int> tree;
    ASSERT_TRUE(tree.initController(b.store.get(), 0, efs::kBlockSize));
    ASSERT_TRUE(tree.remove(4));
    EXPECT_EQ(b.store->slot, leaves[0]);
    EXPECT_EQ(tree.rootBlock(), leaves[0]);
    Node5 n;
    b.volume.store.readBlock(leaves[0], n.bytes(), Node5::kRecordSize, 0);
    EXPECT_EQ(n.parent(), 0);
    EXPECT_EQ(keysOf(b.volume.store, leaves[0]), (std::vector<int>{1, 2, 3, 5}));
}

TEST(BTreeEdges, InnerRemovalTakesSuccessorOnTiesAndPredecessorFromALargerLeft) {
    {
        Bench b("bt_succ.vx");
        std::vector<int32_t> leaves;
        const int32_t root = buildTree(b, {4}, {{1, 2, 3}, {5, 6, 7}}, &leaves);
        Tree<5, int> tree;
        ASSERT_TRUE(tree.initController(b.store.get(), 0, efs::kBlockSize));
        ASSERT_TRUE(tree.remove(4));
        EXPECT_EQ(keysOf(b.volume.store, root), (std::vector<int>{5}));
    }
    {
        Bench b("bt_pred.vx");
        std::vector<int32_t> leaves;
        const int32_t root = buildTree(b, {4}, {{1, 2, 3}, {5, 6}}, &leaves);
        Tree<5, int> tree;
        ASSERT_TRUE(tree.initController(b.store.get(), 0, efs::kBlockSize));
        ASSERT_TRUE(tree.remove(4));
        EXPECT_EQ(keysOf(b.volume.store, root), (std::vector<int>{3}));
        int v = 0;
        ASSERT_TRUE(tree.find(3, &v));
        EXPECT_EQ(v, 30);
    }
}

TEST(BTreeDamage, BrokenNodesFailWithoutLoopingOrCrashing) {
    struct Case {
        const char* name;
        std::function<void(Node5& root, Node5& leaf, int32_t rootBlock, int32_t leafBlock)> damage;
    };
    const Case cases[] = {
        {"child links to itself", [](Node5& r, Node5&, int32_t rb, int32_t) { r.setChild0(rb); }},
        {"child points back at the root",
         [](Node5&, Node5& l, int32_t rb, int32_t) { l.setChild0(rb); }},
        {"wrong self", [](Node5&, Node5& l, int32_t, int32_t) { l.setSelf(3); }},
        {"count above the order", [](Node5&, Node5& l, int32_t, int32_t) { l.setCount(6); }},
        {"negative count", [](Node5&, Node5& l, int32_t, int32_t) { l.setCount(-1); }},
        {"child beyond the host file",
         [](Node5& r, Node5&, int32_t, int32_t) { r.setRightChild(0, 1 << 30); }},
        {"wrong parent", [](Node5&, Node5& l, int32_t, int32_t) { l.setParent(7); }},
        {"keys out of order",
         [](Node5&, Node5& l, int32_t, int32_t) { l.putEntry(0, Node5::makeEntry(9, 9)); }},
    };
    for (const Case& c : cases) {
        Bench b(QString("bt_damage_%1.vx").arg(&c - cases));
        std::vector<int32_t> leaves;
        const int32_t root = buildTree(b, {3}, {{1, 2}, {4, 5}}, &leaves);
        Node5 r, l;
        b.volume.store.readBlock(root, r.bytes(), Node5::kRecordSize, 0);
        b.volume.store.readBlock(leaves[1], l.bytes(), Node5::kRecordSize, 0);
        c.damage(r, l, root, leaves[1]);
        b.volume.store.writeBlock(root, r.bytes(), Node5::kRecordSize, 0, false);
        b.volume.store.writeBlock(leaves[1], l.bytes(), Node5::kRecordSize, 0, false);
        Tree<5, int> tree;
        if (!tree.initController(b.store.get(), 0, efs::kBlockSize)) continue;  // refused at open
        int v = 0;
        EXPECT_FALSE(tree.find(4, &v) && tree.find(5, &v) && tree.find(1, &v)) << c.name;
        EXPECT_TRUE(tree.failed()) << c.name;
        std::vector<std::pair<int, int>> all;
        EXPECT_FALSE(tree.collectEntries(&all)) << c.name;
        EXPECT_FALSE(tree.insert(4, 1) && tree.remove(5) && tree.insert(6, 1) && tree.remove(4))
            << c.name;
        EXPECT_EQ(tree.cachedCount(), 1u) << c.name;
    }
}
