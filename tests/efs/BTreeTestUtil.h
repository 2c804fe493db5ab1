// A node store over a real volume's block layer and allocator, with the root slot kept
// in memory, and an invariant checker that reads a tree's nodes straight from disk.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "efs/EfsVolume.h"
#include "efs/btree/BTreeAlgorithms.h"

namespace efstest {

class VolumeNodeStore final : public efs::BTreeNodeStore {
  public:
    explicit VolumeNodeStore(EfsVolume* v) : m_volume(v) {}
    bool readNodeBlock(int32_t b, uint8_t* dst, int32_t n) override {
        return m_volume->readBlock(b, dst, n, 0);
    }
    bool writeNodeBlock(int32_t b, const uint8_t* src, int32_t n) override {
        ++writes;
        return m_volume->writeBlock(b, src, n, 0, false);
    }
    bool readRootSlot(int32_t, int32_t* value) override {
        *value = slot;
        return true;
    }
    bool writeRootSlot(int32_t, int32_t value) override {
        slot = value;
        return true;
    }
    int32_t allocateNodeBlocks(int32_t n) override {
        std::vector<EfsVolume::Run> runs;
        if (!m_volume->ensureFree(n) ||
            !m_volume->allocateBlocks(0, n, EfsVolume::AllocBestFit, &runs) || runs.empty())
            return 0;
        return runs.front().first;
    }
    void releaseNodeBlocks(int32_t first, int32_t n) override { m_volume->releaseRun(first, n); }
    int64_t blockLimit() const override { return m_volume->hostBlocks(); }

    int32_t slot = 0;
    int64_t writes = 0;

  private:
    EfsVolume* m_volume;
};

// Checks the node rules of a whole tree from disk; collects its entries in key order.
template <int N, class Key>
struct TreeWalk {
    using Node = efs::BTreeNode<N, Key>;
    explicit TreeWalk(EfsVolume* v) : volume(v) {}
    EfsVolume* volume;
    std::vector<std::pair<Key, int>> entries;
    std::vector<int32_t> nodes;
    int leafDepth = -1;
    std::string error;

    bool run(int32_t root) {
        walk(root, 0, 0);
        for (size_t i = 1; error.empty() && i < entries.size(); ++i)
            if (!(entries[i - 1].first < entries[i].first)) error = "keys out of order";
        return error.empty();
    }

    void fail(const std::string& e) {
        if (error.empty()) error = e;
    }

    void walk(int32_t b, int32_t parent, int depth) {
        if (depth > 10 || !error.empty()) return fail("too deep");
        Node n;
        if (!volume->readBlock(b, n.bytes(), Node::kRecordSize, 0)) return fail("unreadable node");
        std::vector<uint8_t> block(efs::kBlockSize);
        volume->readBlock(b, block.data(), efs::kBlockSize, 0);
        for (int i = Node::kRecordSize; i < efs::kBlockSize; ++i)
            if (block[i] != 0) return fail("nonzero byte after the node record");
        nodes.push_back(b);
        const std::string at = " at node " + std::to_string(b);
        if (n.self() != b) return fail("self field" + at);
        if (n.parent() != parent) return fail("parent link" + at);
        if (n.count() < 0 || n.count() > N) return fail("count" + at);
        if (parent != 0 && n.count() < N / 2) return fail("underfull" + at);
        if (parent == 0 && n.count() == 0 && !n.isLeaf()) return fail("empty inner root");
        if (n.isLeaf()) {
            if (leafDepth < 0) leafDepth = depth;
            if (leafDepth != depth) return fail("leaves at different depths");
            for (int i = 0; i < n.count(); ++i) {
                if (n.rightChild(i) != 0) return fail("child in a leaf" + at);
                entries.emplace_back(n.key(i), n.value(i));
            }
            return;
        }
        walk(n.child0(), b, depth + 1);
        for (int i = 0; i < n.count(); ++i) {
            entries.emplace_back(n.key(i), n.value(i));
            if (n.rightChild(i) == 0) return fail("missing child" + at);
            walk(n.rightChild(i), b, depth + 1);
        }
    }
};

}  // namespace efstest
