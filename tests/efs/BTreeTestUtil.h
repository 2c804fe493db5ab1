// The layers under the volume worked directly: a container's block store and allocator,
// a node store over them with the root slot kept in memory, and an invariant checker
// that reads a tree's nodes straight from disk.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "EfsTestUtil.h"
#include "efs/BlockStore.h"
#include "efs/EfsVolume.h"
#include "efs/btree/BTreeAlgorithms.h"
#include "efs/btree/BlockAllocator.h"

namespace efstest {

// The block store and the allocator of a real container. A volume makes the container
// (header and both trees) and closes it; the layers then open it as the volume would,
// without the file table, whose root stays where the volume put it. close() writes the
// free-space tree back, so that a volume can open and check the container again.
struct Layers {
    QString path;
    efs::VolumeParams params;
    int32_t lastError = 0;
    efs::BlockStore store;
    efs::BlockAllocator allocator{store, params, lastError};
    EfsVolume::FileFactory factory;

    explicit Layers(const QString& name, EfsVolume::FileFactory makeFile = {})
        : path(freshPath(name)), factory(std::move(makeFile)) {
        {
            EfsVolume v;
            EXPECT_TRUE(v.openVolume(path));
        }
        open();
    }
    ~Layers() {
        if (store.isOpen()) close();
    }
    void open() {
        std::unique_ptr<EfsFile> host =
            factory ? factory() : std::unique_ptr<EfsFile>(new EfsPosixFile);
        EXPECT_TRUE(host->open(path));
        store.attach(std::move(host), false);
        EXPECT_TRUE(store.measureHost());
        std::vector<uint8_t> header;
        EXPECT_TRUE(store.readHeader(&header));
        params = efs::VolumeParams::decode(header.data() + efs::kHeaderParams);
        EXPECT_TRUE(allocator.open(false));
    }
    bool close() {
        bool ok = allocator.close();
        ok = store.flush() && ok;
        store.detach();
        return ok;
    }
    void reopen() {
        EXPECT_TRUE(close());
        open();
    }
    // What a volume's checker finds in the container; the layers stay closed.
    QStringList check() {
        close();
        EfsVolume v;
        if (!v.openVolume(path)) return {"the container does not open"};
        return v.check();
    }
};

class VolumeNodeStore final : public efs::BTreeNodeStore {
  public:
    explicit VolumeNodeStore(Layers* layers) : m_layers(layers) {}
    bool readNodeBlock(int32_t b, uint8_t* dst, int32_t n) override {
        return m_layers->store.readBlock(b, dst, n, 0);
    }
    bool writeNodeBlock(int32_t b, const uint8_t* src, int32_t n) override {
        ++writes;
        return m_layers->store.writeBlock(b, src, n, 0, false);
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
        std::vector<efs::Run> runs;
        if (!m_layers->allocator.ensureFree(n) ||
            !m_layers->allocator.allocateBlocks(0, n, efs::AllocBestFit, &runs) || runs.empty())
            return 0;
        return runs.front().first;
    }
    void releaseNodeBlocks(int32_t first, int32_t n) override {
        m_layers->allocator.releaseRun(first, n);
    }
    int64_t blockLimit() const override { return m_layers->store.hostBlocks(); }

    int32_t slot = 0;
    int64_t writes = 0;

  private:
    Layers* m_layers;
};

// Checks the node rules of a whole tree from disk; collects its entries in key order.
template <int N, class Key>
struct TreeWalk {
    using Node = efs::BTreeNode<N, Key>;
    explicit TreeWalk(efs::BlockStore* s) : store(s) {}
    efs::BlockStore* store;
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
        if (!store->readBlock(b, n.bytes(), Node::kRecordSize, 0)) return fail("unreadable node");
        std::vector<uint8_t> block(efs::kBlockSize);
        store->readBlock(b, block.data(), efs::kBlockSize, 0);
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
