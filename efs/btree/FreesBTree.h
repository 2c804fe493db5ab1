// The persistent copy of a volume's free runs: first block -> run length in blocks,
// with the running total of free blocks.
#pragma once

#include <cstdint>

#include "efs/btree/BTreeAlgorithms.h"

namespace efs {

using FreeTreeBase = BTreeAlgorithms<681, int, int, EfsBTreeController>;
using FileTableTree = BTreeAlgorithms<185, FileNameKey, int, EfsBTreeController>;

static_assert(FreeTreeBase::Node::kRecordSize == 8189);
static_assert(FileTableTree::Node::kRecordSize == 8157);

class FreesBTree final : public FreeTreeBase {
  public:
    // Binds the tree with root slot rootSlot and opens it; the total starts at 0.
    virtual bool init(BTreeNodeStore* store, int32_t rootSlot, int32_t blockSize) {
        m_freeTotal = 0;
        return initController(store, rootSlot, blockSize);
    }
    // On a tree without a root these do nothing (insert and remove report failure).
    virtual bool insert(int& first, int& length) {
        if (!FreeTreeBase::insert(first, length)) return false;
        m_freeTotal += static_cast<int64_t>(length);
        return true;
    }
    virtual bool remove(int& first) {
        int length = 0;
        if (!FreeTreeBase::remove(first, &length)) return false;
        m_freeTotal -= static_cast<int64_t>(length);
        return true;
    }
    // Replaces the length of an existing run; the node's dirty byte is left as it was.
    virtual void update(int& first, int& length) {
        if (!beginOp()) return;
        const Descent d = descend(first);
        if (d.ok && d.found) {
            m_freeTotal -= static_cast<int64_t>(d.node->value(d.slot));
            d.node->setValueQuiet(d.slot, length);
            m_freeTotal += static_cast<int64_t>(length);
            flush(true);
        } else {
            flush(false);
        }
    }

    int64_t freeTotal() const { return m_freeTotal; }
    // Used when the maps are rebuilt from the tree at open.
    void addToTotal(int64_t blocks) { m_freeTotal += blocks; }

  private:
    int64_t m_freeTotal = 0;
};

}  // namespace efs
