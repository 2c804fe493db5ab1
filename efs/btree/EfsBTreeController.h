// Storage half of an on-disk B-tree: gives nodes blocks, loads and caches them during
// one tree operation, writes them back when it ends, and keeps the root resident and
// its block number in a 4-byte slot of the volume header.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "efs/btree/BTreeNode.h"

namespace efs {

template <int N, class Key, class Value>
class EfsBTreeController {
  public:
    using Node = BTreeNode<N, Key>;
    static constexpr int kOrder = N;

    EfsBTreeController() = default;
    virtual ~EfsBTreeController() = default;
    EfsBTreeController(const EfsBTreeController&) = delete;
    EfsBTreeController& operator=(const EfsBTreeController&) = delete;

    // Binds the tree to store (which must outlive it until close), then opens it.
    bool initController(BTreeNodeStore* store, int32_t rootSlot, int32_t blockSize) {
        close();
        m_store = store;
        m_rootSlot = rootSlot;
        m_blocksPerNode = static_cast<int32_t>((Node::kRecordSize + blockSize - 1) / blockSize);
        return open();
    }

    // Finds the root through the root slot, or makes an empty leaf root when the slot
    // holds 0. A slot that cannot be read or written fails the open: taking it for an
    // empty tree would lose every entry the tree holds.
    bool open() {
        if (!m_store) return false;
        m_failed = false;
        if (m_rootBlock == 0) {
            int32_t slot = 0;
            if (!m_store->readRootSlot(m_rootSlot, &slot)) {
                m_failed = true;
                return false;
            }
            m_rootBlock = slot;
        }
        if (m_rootBlock == 0) {
            Node* root = allocNode();
            if (!root) return false;
            m_rootBlock = root->self();
            if (!m_store->writeRootSlot(m_rootSlot, m_rootBlock)) {
                m_failed = true;
                return false;
            }
            return true;
        }
        Node* root = nullptr;
        const bool loaded = load(m_rootBlock, &root);
        if (loaded && root != nullptr && root->parent() != 0)
            m_store->nodeRefused(m_rootBlock, m_rootSlot);
        if (!loaded || root == nullptr || root->parent() != 0) {
            m_nodes.clear();
            m_rootBlock = 0;
            m_failed = true;
            return false;
        }
        return true;
    }

    // Writes everything back and unbinds; false when a node could not be written.
    bool close() {
        m_failed = false;
        if (m_store) flush(true);
        const bool ok = !m_failed;
        abandon();
        return ok;
    }

    // Unbinds without writing anything (after a failed open).
    void abandon() {
        m_nodes.clear();
        m_store = nullptr;
        m_rootBlock = 0;
        m_rootSlot = 0;
        m_blocksPerNode = 0;
    }

    bool hasRoot() const { return m_store != nullptr && m_rootBlock != 0; }
    int32_t rootBlock() const { return m_rootBlock; }
    int32_t blocksPerNode() const { return m_blocksPerNode; }
    // Nodes in memory; exactly 1 (the root) between operations of an open tree.
    size_t cachedCount() const { return m_nodes.size(); }
    // True when the last operation met a node that failed its checks, a failed read or a
    // failed write-back: the operation's failure is an I/O failure, not a missing key.
    bool failed() const { return m_failed; }

  protected:
    Node* rootNode() {
        auto it = m_nodes.find(m_rootBlock);
        return it == m_nodes.end() ? nullptr : it->second.get();
    }

    // Loads the node of block b. b = 0 succeeds with no node. A node is accepted only if
    // it passes the node rules that can be seen in it alone.
    bool load(int32_t b, Node** out) {
        *out = nullptr;
        if (b == 0) return true;
        auto it = m_nodes.find(b);
        if (it != m_nodes.end()) {
            *out = it->second.get();
            return true;
        }
        if (!m_store) return fail();
        if (b < 0 || b >= m_store->blockLimit()) {
            m_store->nodeRefused(b, m_rootSlot);
            return fail();
        }
        std::unique_ptr<Node> node = spareNode();
        node->settle();
        if (!m_store->readNodeBlock(b, node->bytes(), Node::kRecordSize)) {
            m_spare.push_back(std::move(node));
            return fail();
        }
        if (!m_store->nodeChecked(b, m_rootSlot) && !plausible(*node, b)) {
            m_spare.push_back(std::move(node));
            m_store->nodeRefused(b, m_rootSlot);
            return fail();
        }
        m_store->setNodeChecked(b, m_rootSlot);
        *out = node.get();
        m_nodes.emplace(b, std::move(node));
        return true;
    }

    // A new empty node in a freshly allocated block, written at once.
    Node* allocNode() {
        if (!m_store) return nullptr;
        const int32_t b = m_store->allocateNodeBlocks(m_blocksPerNode);
        if (b <= 0) return nullptr;
        std::unique_ptr<Node> node = spareNode();
        std::memset(node->bytes(), 0, Node::kRecordSize);
        node->setSelf(b);
        m_store->writeNodeBlock(b, node->bytes(), Node::kRecordSize);
        node->settle();
        Node* raw = node.get();
        m_nodes[b] = std::move(node);
        return raw;
    }

    void freeNode(Node* node) {
        const int32_t b = node->self();
        auto it = m_nodes.find(b);
        if (it != m_nodes.end()) drop(it);
        if (m_store) m_store->releaseNodeBlocks(b, m_blocksPerNode);
    }

    void setRoot(int32_t b) {
        if (m_store && !m_store->writeRootSlot(m_rootSlot, b)) m_failed = true;
        m_rootBlock = b;
    }

    bool isCached(int32_t b) const { return m_nodes.count(b) != 0; }

    // Writes one cached node back and drops it unless it is the root.
    void evict(int32_t b) {
        auto it = m_nodes.find(b);
        if (it == m_nodes.end()) return;
        writeBack(it->second.get());
        if (b != m_rootBlock) drop(it);
    }

    // Drops one cached node that the current operation only read, without writing it.
    void forget(int32_t b) {
        auto it = m_nodes.find(b);
        if (it != m_nodes.end() && b != m_rootBlock) drop(it);
    }

    // Ends a tree operation: writes back every node touched (when write is set) in
    // ascending block order and keeps only the root. A node that did not change since it
    // was read or written holds what its block holds, so writing it would change nothing.
    void flush(bool write) {
        for (auto it = m_nodes.begin(); it != m_nodes.end();) {
            if (write) writeBack(it->second.get());
            if (it->first != m_rootBlock)
                it = drop(it);
            else
                ++it;
        }
    }

    // Starts a public operation. Tree operations never nest: the volume defers the
    // allocator's edits of the free-space tree until the running operation has ended.
    bool beginOp() {
        m_failed = false;
        return hasRoot() && rootNode() != nullptr;
    }

    bool fail() {
        m_failed = true;
        return false;
    }

    BTreeNodeStore* store() const { return m_store; }

  private:
    using NodeMap = std::map<int32_t, std::unique_ptr<Node>>;

    void writeBack(Node* node) {
        if (!node->changed() || !m_store) return;
        if (m_store->writeNodeBlock(node->self(), node->bytes(), Node::kRecordSize))
            node->settle();
        else
            m_failed = true;
    }

    // Nodes dropped from the cache serve the next loads, a few at a time.
    std::unique_ptr<Node> spareNode() {
        if (m_spare.empty()) return std::make_unique<Node>(typename Node::Unfilled{});
        std::unique_ptr<Node> node = std::move(m_spare.back());
        m_spare.pop_back();
        return node;
    }
    typename NodeMap::iterator drop(typename NodeMap::iterator it) {
        if (m_spare.size() < kSpareNodes) m_spare.push_back(std::move(it->second));
        return m_nodes.erase(it);
    }

    bool plausible(const Node& n, int32_t b) const {
        const int64_t limit = m_store->blockLimit();
        auto inRange = [&](int32_t x) { return x >= 1 && x < limit && x != b; };
        if (n.self() != b) return false;
        if (n.count() < 0 || n.count() > N) return false;
        if (n.parent() != 0 && !inRange(n.parent())) return false;
        const bool leaf = n.child0() == 0;
        if (!leaf && !inRange(n.child0())) return false;
        for (int i = 0; i < n.count(); ++i) {
            if (leaf ? n.rightChild(i) != 0 : !inRange(n.rightChild(i))) return false;
            if (i > 0 && BTreeKeyTraits<Key>::compareEncoded(n.keyBytes(i - 1), n.keyBytes(i)) >= 0)
                return false;
        }
        return true;
    }

    BTreeNodeStore* m_store = nullptr;
    int32_t m_rootBlock = 0;
    int32_t m_rootSlot = 0;
    int32_t m_blocksPerNode = 0;
    bool m_failed = false;
    // Every node loaded or made during the current operation, plus the root; owning.
    NodeMap m_nodes;
    static constexpr size_t kSpareNodes = 8;
    std::vector<std::unique_ptr<Node>> m_spare;
};

}  // namespace efs
