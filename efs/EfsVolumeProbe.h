// The one door through which tests and tools look inside a volume: its free runs as
// each copy holds them, the host size, the block cache and the trees' roots, the record
// of a stored file as it is on disk, and the allocator's steps as they happen. Nothing
// here changes the volume's contents; every call takes the volume's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "efs/EfsFormat.h"
#include "efs/btree/AllocationTrace.h"

class EfsVolume;

class EfsVolumeProbe final {
  public:
    // The volume must outlive the probe.
    explicit EfsVolumeProbe(EfsVolume& volume) : m_volume(volume) {}

    // The free runs by first block, ascending (freePtrs).
    std::vector<efs::Run> freeRunsByStart() const;
    // The free runs in the order the allocator walks them: longest first, runs of one
    // length in the order they were added (freeSizes).
    std::vector<efs::Run> freeRunsBySize() const;
    // The free runs as the free-space tree on disk holds them, ascending.
    std::vector<efs::Run> freeRunsInTree() const;
    // The free-space tree's running total of free blocks.
    int64_t freeTotal() const;
    // Whole blocks in the host file.
    int64_t hostBlocks() const;
    int32_t freeTreeRoot() const;
    int32_t fileTableRoot() const;
    // Nodes each tree holds in memory: 1 (the root) between operations.
    size_t freeTreeCachedNodes() const;
    size_t fileTableCachedNodes() const;
    // The block held by the one-block read buffer, -1 when none.
    int32_t cachedBlock() const;
    // Blocks held in the block cache, and how many of them still have to reach the disk.
    size_t cachedBlocks() const;
    size_t dirtyBlocks() const;
    // The record of a stored file as it is on disk (not a copy an open handle changed).
    bool loadStoredRecord(const char* name, efs::FitRecord* out) const;
    // Called with every step of the allocator from now on; an empty function stops it.
    void setAllocationTrace(efs::AllocationTrace trace) const;

  private:
    EfsVolume& m_volume;
};
