// The block allocator: the only place where blocks of a volume are handed out and taken
// back. Tree nodes, file records and file data all come from here.
//
// The free runs (first block, length) are kept three times and always agree: freePtrs by
// first block, freeSizes by length (longest first, runs of one length in the order they
// were added), and the persistent free-space tree on disk. Runs never overlap and never
// touch, and none starts at block 0 (the header), so a neighbour search that finds 0
// found nothing.
//
// Every change reaches the maps at once. The matching edits of the free-space tree are
// queued and applied once the maps are whole; since the tree takes its own nodes from
// here, the edits they cause wait in the same queue until the running one has ended, so
// tree operations never nest.
//
// The allocator has no lock of its own: the volume's lock covers every call.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "efs/BlockStore.h"
#include "efs/EfsCodes.h"
#include "efs/EfsFormat.h"
#include "efs/btree/AllocationTrace.h"
#include "efs/btree/FreesBTree.h"

namespace efs {

class BlockAllocator final {
  public:
    // store and params must outlive the allocator; failures set lastError.
    BlockAllocator(BlockStore& store, const VolumeParams& params, int32_t& lastError);
    ~BlockAllocator();
    BlockAllocator(const BlockAllocator&) = delete;
    BlockAllocator& operator=(const BlockAllocator&) = delete;

    // Opens the free-space tree through its root slot. A tree that is new (its slot held
    // 0) is given the runs of the host file's first growth, made while it took its root;
    // an existing one fills the maps from its entries, which are refused as damage when
    // they overlap, leave the host file, or hold one of the tree's own nodes or the block
    // inUse (the other tree's root; 0 for none), and so is a tree with a node at inUse:
    // each would hand out a block that is in use.
    bool open(bool isNew, int32_t inUse = 0);
    // Writes the tree back; false when that or an edit of this session failed.
    bool close();
    // Drops everything without writing (after a failed open).
    void abandon();

    // Grows the host file until the runs counted cover twice count: the runs are walked
    // from the longest down, and after each growth counted again from the longest.
    bool ensureFree(int32_t count);
    // Adds one growth step at the end of the host file, joined to a run that ends there.
    bool growHost();
    // count blocks, as one or more runs in the order taken: first from the free run that
    // starts at hint (if any), then by mode.
    bool allocateBlocks(int32_t hint, int32_t count, int32_t mode, std::vector<Run>* out);
    // A run of exactly count blocks (the one added first), else a shortest longer one
    // (the one added last).
    bool bestFit(int32_t count, Run* run) const;
    // Cuts piece out of the free run; its first block, or 0.
    int32_t carveRun(Run run, Run piece);
    // Gives blocks back, joined to the runs they touch. Blocks that are (partly) free
    // already, or outside the host file, are refused and nothing changes.
    void releaseRun(int32_t first, int32_t count);

    // Where the volume's trees get and return their nodes, and read and write them.
    BTreeNodeStore* nodeStore();

    // ---- Views -------------------------------------------------------------------------
    std::vector<Run> runsByStart() const;  // ascending first block
    std::vector<Run> runsBySize() const;   // in the order bestFit walks them
    // The runs as the free-space tree holds them, ascending; false when it cannot be read.
    bool runsInTree(std::vector<Run>* out);
    size_t runCount() const { return m_freePtrs.size(); }
    size_t sizeCount() const { return m_freeSizes.size(); }
    // The free-space tree's running total of free blocks.
    int64_t freeTotal() const { return m_frees.freeTotal(); }
    int32_t treeRoot() const { return m_frees.rootBlock(); }
    size_t treeCachedNodes() const { return m_frees.cachedCount(); }
    // An edit of the tree failed (a damaged node, a failed write): the tree on disk may
    // disagree with the maps.
    bool treeFailed() const { return m_treeFailed; }

    // Every step from now on goes to trace; an empty function stops it.
    void setTrace(AllocationTrace trace) { m_trace = std::move(trace); }
    void report(const AllocationEvent& event) const {
        if (m_trace) m_trace(event);
    }

  private:
    class Nodes;
    enum class TreeOp { Insert, Remove, Update };
    struct PendingEdit {
        TreeOp op;
        int32_t first;
        int32_t length;
    };

    int32_t allocateNode(int32_t count);
    void releaseNode(int32_t first, int32_t count);
    void addFreeSize(int32_t length, int32_t first);
    void dropFreeSize(int32_t length, int32_t first);
    void queue(TreeOp op, int32_t first, int32_t length = 0) {
        m_pending.push_back({op, first, length});
    }
    void applyTreeEdits();

    BlockStore& m_store;
    const VolumeParams& m_params;
    int32_t& m_lastError;
    std::unique_ptr<Nodes> m_nodes;
    std::multimap<int32_t, int32_t, std::greater<int32_t>> m_freeSizes;
    std::map<int32_t, int32_t, std::greater<int32_t>> m_freePtrs;
    int64_t m_freeInMaps = 0;
    FreesBTree m_frees;
    std::deque<PendingEdit> m_pending;
    bool m_applying = false;
    bool m_treeFailed = false;
    AllocationTrace m_trace;
};

}  // namespace efs
