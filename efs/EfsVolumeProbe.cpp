#include "efs/EfsVolumeProbe.h"

#include "efs/EfsVolume.h"

using efs::Run;

namespace {
using Guard = std::lock_guard<std::recursive_mutex>;
}  // namespace

std::vector<Run> EfsVolumeProbe::freeRunsByStart() const {
    Guard guard(m_volume.m_lock);
    return m_volume.m_allocator.runsByStart();
}

std::vector<Run> EfsVolumeProbe::freeRunsBySize() const {
    Guard guard(m_volume.m_lock);
    return m_volume.m_allocator.runsBySize();
}

std::vector<Run> EfsVolumeProbe::freeRunsInTree() const {
    Guard guard(m_volume.m_lock);
    std::vector<Run> out;
    if (m_volume.m_store.isOpen()) m_volume.m_allocator.runsInTree(&out);
    return out;
}

int64_t EfsVolumeProbe::freeTotal() const {
    Guard guard(m_volume.m_lock);
    return m_volume.m_allocator.freeTotal();
}

int64_t EfsVolumeProbe::hostBlocks() const {
    Guard guard(m_volume.m_lock);
    return m_volume.m_store.hostBlocks();
}

int32_t EfsVolumeProbe::freeTreeRoot() const {
    Guard guard(m_volume.m_lock);
    return m_volume.m_allocator.treeRoot();
}

int32_t EfsVolumeProbe::fileTableRoot() const {
    Guard guard(m_volume.m_lock);
    return m_volume.m_table.rootBlock();
}

size_t EfsVolumeProbe::freeTreeCachedNodes() const {
    Guard guard(m_volume.m_lock);
    return m_volume.m_allocator.treeCachedNodes();
}

size_t EfsVolumeProbe::fileTableCachedNodes() const {
    Guard guard(m_volume.m_lock);
    return m_volume.m_table.cachedNodes();
}

int32_t EfsVolumeProbe::cachedBlock() const {
    Guard guard(m_volume.m_lock);
    return m_volume.m_store.bufferedBlock();
}

size_t EfsVolumeProbe::cachedBlocks() const {
    Guard guard(m_volume.m_lock);
    return m_volume.m_store.cachedBlocks();
}

size_t EfsVolumeProbe::dirtyBlocks() const {
    Guard guard(m_volume.m_lock);
    return m_volume.m_store.dirtyBlocks();
}

bool EfsVolumeProbe::loadStoredRecord(const char* name, efs::FitRecord* out) const {
    Guard guard(m_volume.m_lock);
    int32_t block = 0;
    return m_volume.m_store.isOpen() && name && m_volume.m_table.find(name, &block) &&
           m_volume.m_records.load(block, out);
}

void EfsVolumeProbe::setAllocationTrace(efs::AllocationTrace trace) const {
    Guard guard(m_volume.m_lock);
    m_volume.m_allocator.setTrace(std::move(trace));
}
