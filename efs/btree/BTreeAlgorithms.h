// Algorithm half of an on-disk B-tree of unique keys, each carrying one int32 value.
// It rearranges entries only; nodes are reached through the controller it derives from.
//
// Invariants kept by every operation on a sound tree: keys unique and strictly
// ascending within a node; every non-root node holds kMinFill .. N entries; the root
// holds 1 .. N entries, or 0 as an empty leaf; child0 is 0 exactly in leaves, and all
// leaves lie at one depth; each child's parent field names the node pointing to it.
// Every public operation starts at the resident root and ends with a flush, so between
// operations only the root is in memory. Nodes that break the rules make the operation
// fail (failed() is then set), never loop or crash.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "efs/btree/EfsBTreeController.h"

namespace efs {

template <int N, class Key, class Value, template <int, class, class> class Controller>
class BTreeAlgorithms : public Controller<N, Key, Value> {
  public:
    using Base = Controller<N, Key, Value>;
    using Node = typename Base::Node;
    using Entry = typename Node::Entry;
    using Traits = BTreeKeyTraits<Key>;
    static constexpr int kMinFill = N / 2;
    // Deeper than any tree that fits in 2^31 blocks; a longer path means a damaged tree.
    static constexpr int kMaxDepth = 48;

    bool insert(const Key& key, Value value) {
        if (!this->beginOp()) return false;
        const bool ok = insertImpl(key, value);
        this->flush(true);
        return ok && !this->failed();
    }

    bool remove(const Key& key, Value* removed = nullptr) {
        if (!this->beginOp()) return false;
        const bool ok = removeImpl(key, removed);
        this->flush(true);
        return ok && !this->failed();
    }

    bool find(const Key& key, Value* value) {
        if (!this->beginOp()) return false;
        const Descent d = descend(key);
        if (d.ok && d.found && value) *value = d.node->value(d.slot);
        this->flush(true);
        return d.ok && d.found && !this->failed();
    }

    // Overwrites the value of key; a missing key changes nothing.
    void update(const Key& key, Value value) {
        if (!this->beginOp()) return;
        const Descent d = descend(key);
        if (d.ok && d.found) d.node->setValue(d.slot, value);
        this->flush(true);
    }

    bool collectEntries(std::vector<std::pair<Key, Value>>* out) {
        return collect([out](const Node& n, int i) { out->emplace_back(n.key(i), n.value(i)); });
    }
    // Every entry in key order, and the block of every node of the tree.
    bool collectEntries(std::vector<std::pair<Key, Value>>* out, std::vector<int32_t>* nodes) {
        struct Sink {
            std::vector<std::pair<Key, Value>>* out;
            std::vector<int32_t>* nodes;
            void operator()(const Node& n, int i) { out->emplace_back(n.key(i), n.value(i)); }
            void operator()(const Node& n) { nodes->push_back(n.self()); }
        };
        return collect(Sink{out, nodes});
    }
    bool collectKeys(std::vector<Key>* out) {
        return collect([out](const Node& n, int i) { out->push_back(n.key(i)); });
    }
    bool collectValues(std::vector<Value>* out) {
        return collect([out](const Node& n, int i) { out->push_back(n.value(i)); });
    }

  protected:
    struct Descent {
        Node* node = nullptr;
        int slot = 0;
        bool found = false;
        int position = 0;  // the node's position in its parent
        bool ok = false;
    };

    // Binary search: (found, slot) or (not found, insertion point).
    static std::pair<bool, int> searchNode(const Node& node, const Key& key) {
        int lo = 0, hi = node.count() - 1;
        while (lo <= hi) {
            const int mid = (lo + hi) / 2;
            const int c = Traits::compareTo(key, node.keyBytes(mid));
            if (c < 0)
                hi = mid - 1;
            else if (c == 0)
                return {true, mid};
            else
                lo = mid + 1;
        }
        return {false, lo};
    }

    // Puts an entry at its sorted place (linear scan), right child 0; returns the slot.
    static int insertEntry(Node* node, const uint8_t* keyBytes, int32_t value) {
        const int count = node->count();
        int slot = count;
        for (int i = 0; i < count; ++i) {
            if (Traits::compareEncoded(node->keyBytes(i), keyBytes) > 0) {
                slot = i;
                break;
            }
        }
        node->shiftEntries(slot, slot + 1, count - slot);
        Entry e;
        std::memcpy(e.key.data(), keyBytes, Node::kKeyWidth);
        e.value = value;
        e.child = 0;
        node->putEntry(slot, e);
        node->setCount(count + 1);
        return slot;
    }

    static int insertEntryWithChild(Node* node, const Entry& e) {
        const int slot = insertEntry(node, e.key.data(), e.value);
        node->setRightChild(slot, e.child);
        return slot;
    }

    static void removeEntry(Node* node, int slot) {
        const int count = node->count();
        node->shiftEntries(slot + 1, slot, count - slot - 1);
        node->setCount(count - 1);
    }

    static Entry takeEntry(Node* node, int slot) {
        const Entry e = node->entryAt(slot);
        removeEntry(node, slot);
        return e;
    }

    // Loads child b of parent and checks that it names parent as its parent.
    bool loadChild(const Node* parent, int32_t b, Node** out) {
        if (!this->load(b, out)) return false;
        if (*out && (*out)->parent() != parent->self()) {
            *out = nullptr;
            return this->fail();
        }
        return true;
    }

    Descent descend(const Key& key) {
        Descent d;
        Node* node = this->rootNode();
        for (int depth = 0; node != nullptr; ++depth) {
            const auto [found, idx] = searchNode(*node, key);
            if (found) {
                d.node = node, d.slot = idx, d.found = true, d.ok = true;
                return d;
            }
            const int32_t child = node->childAt(idx);
            if (child == 0) {
                d.node = node, d.slot = idx, d.found = false, d.ok = true;
                return d;
            }
            if (child == node->self() || depth >= kMaxDepth) {
                this->fail();
                return d;
            }
            Node* next = nullptr;
            if (!loadChild(node, child, &next) || next == nullptr) return d;
            d.position = idx;
            node = next;
        }
        return d;
    }

    bool insertImpl(const Key& key, Value value) {
        const Descent d = descend(key);
        if (!d.ok || d.found) return false;
        Node* leaf = d.node;
        Entry pending = Node::makeEntry(key, value, 0);
        if (leaf->count() < N) {
            insertEntry(leaf, pending.key.data(), pending.value);
            return true;
        }
        Node* parent = nullptr;
        if (!this->load(leaf->parent(), &parent)) return false;
        Node* split_node = leaf;
        for (int depth = 0;; ++depth) {
            if (depth > kMaxDepth) return this->fail();
            if (!split(split_node, &pending)) return false;
            if (parent == nullptr) break;
            if (parent->count() < N) {
                insertEntryWithChild(parent, pending);
                Node* right = nullptr;
                if (!this->load(pending.child, &right) || right == nullptr) return false;
                right->setParent(parent->self());
                return true;
            }
            split_node = parent;
            if (!this->load(parent->parent(), &parent)) return false;
        }
        // The split node was the root: a new root with exactly one key.
        Node* top = this->allocNode();
        if (top == nullptr) return false;
        Node* right = nullptr;
        if (!this->load(pending.child, &right) || right == nullptr) return false;
        this->setRoot(top->self());
        split_node->setParent(top->self());
        right->setParent(top->self());
        insertEntry(top, pending.key.data(), pending.value);
        top->setRightChild(0, pending.child);
        top->setChild0(split_node->self());
        return true;
    }

    // Splits the full node s while adding x; x becomes the median entry, whose right
    // child is the new right node.
    bool split(Node* s, Entry* x) {
        const int m = s->count() / 2;
        const Entry median = s->entryAt(m);
        const Key medianKey = Traits::decode(median.key.data());
        Node* r = this->allocNode();
        if (r == nullptr) return false;
        removeEntry(s, m);
        const int j = insertEntry(s, x->key.data(), x->value);
        s->setRightChild(j, x->child);

        r->setChild0(median.child);
        if (median.child != 0) {
            Node* c = nullptr;
            if (!this->load(median.child, &c) || c == nullptr) return false;
            c->setParent(r->self());
        }
        Node left;
        left.setChild0(s->child0());
        int leftCount = 0;
        int rightCount = 0;
        const int count = s->count();
        for (int i = 0; i < count; ++i) {
            const Entry e = s->entryAt(i);
            if (Traits::compare(Traits::decode(e.key.data()), medianKey) < 0) {
                left.putEntry(leftCount++, e);
                continue;
            }
            r->putEntry(rightCount++, e);
            if (e.child != 0) {
                const bool wasCached = this->isCached(e.child);
                Node* c = nullptr;
                if (!this->load(e.child, &c) || c == nullptr) return false;
                c->setParent(r->self());
                if (!wasCached) this->evict(e.child);
            }
        }
        r->setCount(rightCount);
        r->setParent(s->parent());
        left.setCount(leftCount);
        left.setSelf(s->self());
        left.setParent(s->parent());
        std::memcpy(s->bytes(), left.bytes(), Node::kRecordSize);
        s->markDirty();
        r->markDirty();
        *x = median;
        x->child = r->self();
        return true;
    }

    bool removeImpl(const Key& key, Value* removed) {
        const Descent d = descend(key);
        if (!d.ok || !d.found) return false;
        if (removed) *removed = d.node->value(d.slot);
        if (!d.node->isLeaf()) return removeFromInner(d.node, d.slot);
        removeEntry(d.node, d.slot);
        return rebalance(d.node, d.position, 0);
    }

    bool removeFromInner(Node* node, int i) {
        Node* a = nullptr;
        Node* b = nullptr;
        if (!loadChild(node, node->childAt(i), &a) || !loadChild(node, node->childAt(i + 1), &b) ||
            a == nullptr || b == nullptr)
            return this->fail();
        if (a->count() > b->count()) {
            if (!a->isLeaf()) {
                Node* leaf = maxEntry(a);
                if (leaf == nullptr || leaf->count() == 0) return this->fail();
                const int last = leaf->count() - 1;
                node->setKeyValue(i, leaf->keyBytes(last), leaf->value(last));
                removeEntry(leaf, last);
                Node* q = nullptr;
                if (!this->load(leaf->parent(), &q) || q == nullptr) return false;
                return rebalance(leaf, q->count(), 0);
            }
            if (a->count() == 0) return this->fail();
            const int last = a->count() - 1;
            node->setKeyValue(i, a->keyBytes(last), a->value(last));
            removeEntry(a, last);
            return rebalance(a, i, 0);
        }
        if (!b->isLeaf()) {
            Node* leaf = minEntry(b);
            if (leaf == nullptr || leaf->count() == 0) return this->fail();
            node->setKeyValue(i, leaf->keyBytes(0), leaf->value(0));
            removeEntry(leaf, 0);
            return rebalance(leaf, 0, 0);
        }
        if (b->count() == 0) return this->fail();
        node->setKeyValue(i, b->keyBytes(0), b->value(0));
        removeEntry(b, 0);
        return rebalance(b, i + 1, 0);
    }

    // x just lost an entry; p is its position in its parent.
    bool rebalance(Node* x, int p, int depth) {
        if (depth > kMaxDepth) return this->fail();
        if (x->count() >= kMinFill) return true;
        Node* parent = nullptr;
        if (x->self() != this->rootBlock()) {
            if (!this->load(x->parent(), &parent) || parent == nullptr) return this->fail();
            if (p < 0 || p > parent->count() || parent->childAt(p) != x->self())
                return this->fail();
        }
        Node* l = nullptr;
        Node* r = nullptr;
        if (parent && p >= 1 && !loadChild(parent, parent->childAt(p - 1), &l)) return false;
        if (parent && p < parent->count() && !loadChild(parent, parent->childAt(p + 1), &r))
            return false;

        if (l && l->count() > kMinFill) {
            Entry e;
            std::memcpy(e.key.data(), parent->keyBytes(p - 1), Node::kKeyWidth);
            e.value = parent->value(p - 1);
            e.child = x->child0();
            x->setChild0(l->rightChild(l->count() - 1));
            insertEntryWithChild(x, e);
            if (!reparent(x->child0(), x)) return false;
            const Entry taken = takeEntry(l, l->count() - 1);
            parent->setKeyValue(p - 1, taken.key.data(), taken.value);
            return true;
        }
        if (r && r->count() > kMinFill) {
            Entry e;
            std::memcpy(e.key.data(), parent->keyBytes(p), Node::kKeyWidth);
            e.value = parent->value(p);
            e.child = r->child0();
            insertEntryWithChild(x, e);
            if (!reparent(r->child0(), x)) return false;
            const Entry taken = takeEntry(r, 0);
            r->setChild0(taken.child);
            parent->setKeyValue(p, taken.key.data(), taken.value);
            return true;
        }
        Node* survivor = nullptr;
        if (l) {
            // Two nodes that cannot share one node mean the tree is damaged.
            if (l->count() + 1 + x->count() > N) return this->fail();
            const int j = insertEntry(l, parent->keyBytes(p - 1), parent->value(p - 1));
            l->setRightChild(j, x->child0());
            if (!reparent(x->child0(), l)) return false;
            if (!mergeNodes(l, x)) return false;
            removeEntry(parent, p - 1);
            survivor = l;
        } else if (r) {
            if (x->count() + 1 + r->count() > N) return this->fail();
            const int j = insertEntry(x, parent->keyBytes(p), parent->value(p));
            x->setRightChild(j, r->child0());
            if (!reparent(r->child0(), x)) return false;
            if (!mergeNodes(x, r)) return false;
            removeEntry(parent, p);
            survivor = x;
        } else {
            return true;  // x is the root
        }
        if (parent->self() != this->rootBlock()) {
            Node* grand = nullptr;
            if (!this->load(parent->parent(), &grand) || grand == nullptr) return this->fail();
            int pos = -1;
            for (int i = 0; i <= grand->count(); ++i) {
                if (grand->childAt(i) == parent->self()) {
                    pos = i;
                    break;
                }
            }
            if (pos < 0) return true;
            return rebalance(parent, pos, depth + 1);
        }
        if (parent->count() == 0) {
            survivor->setParent(0);
            this->setRoot(survivor->self());
            this->freeNode(parent);
        }
        return true;
    }

    bool reparent(int32_t child, Node* newParent) {
        if (child == 0) return true;
        Node* c = nullptr;
        if (!this->load(child, &c) || c == nullptr) return false;
        c->setParent(newParent->self());
        return true;
    }

    // Appends b's entries to a (b is a's right neighbour) and frees b.
    bool mergeNodes(Node* a, Node* b) {
        if (a->count() + b->count() >= N + 1) return this->fail();
        int count = a->count();
        for (int i = 0; i < b->count(); ++i) {
            const Entry e = b->entryAt(i);
            a->putEntry(count++, e);
            if (!reparent(e.child, a)) return false;
        }
        a->setCount(count);
        this->freeNode(b);
        return true;
    }

    Node* minEntry(Node* node) {
        for (int depth = 0; node && !node->isLeaf(); ++depth) {
            Node* next = nullptr;
            if (depth > kMaxDepth || !loadChild(node, node->child0(), &next)) return nullptr;
            node = next;
        }
        return node;
    }

    Node* maxEntry(Node* node) {
        for (int depth = 0; node && !node->isLeaf(); ++depth) {
            Node* next = nullptr;
            if (depth > kMaxDepth || !loadChild(node, node->childAt(node->count()), &next))
                return nullptr;
            node = next;
        }
        return node;
    }

    template <class Emit>
    bool collect(Emit sink) {
        if (!this->beginOp()) return false;
        const bool ok = visit(this->rootNode(), sink, 0);
        // A walk changes no node: writing the nodes back would only rewrite what was read,
        // and on a damaged container it would change a file whose open is then refused.
        this->flush(false);
        return ok && !this->failed();
    }

    // sink(node, i) for every entry; sink(node) for every node too, where it takes that.
    template <class Emit>
    bool visit(Node* node, Emit& sink, int depth) {
        if (depth > kMaxDepth) return this->fail();
        if constexpr (std::is_invocable_v<Emit&, const Node&>) sink(*node);
        if (!visitChild(node, node->child0(), sink, depth)) return false;
        for (int i = 0; i < node->count(); ++i) {
            sink(*node, i);
            if (!visitChild(node, node->rightChild(i), sink, depth)) return false;
        }
        return true;
    }

    template <class Emit>
    bool visitChild(Node* node, int32_t b, Emit& sink, int depth) {
        if (b == 0) return true;
        const bool wasCached = this->isCached(b);
        Node* child = nullptr;
        if (!loadChild(node, b, &child) || child == nullptr) return this->fail();
        if (!visit(child, sink, depth + 1)) return false;
        if (!wasCached) this->forget(b);
        return true;
    }
};

}  // namespace efs
