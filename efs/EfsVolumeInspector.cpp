#include "efs/EfsVolumeInspector.h"

#include "efs/EfsVolume.h"

using efs::Run;

namespace {
using Guard = std::lock_guard<std::recursive_mutex>;
}  // namespace

std::vector<Run> EfsVolumeInspector::freeRunsByStart() const {
    Guard guard(m_volume.m_lock);
    return m_volume.m_allocator.runsByStart();
}

std::vector<Run> EfsVolumeInspector::freeRunsBySize() const {
    Guard guard(m_volume.m_lock);
    return m_volume.m_allocator.runsBySize();
}

std::vector<Run> EfsVolumeInspector::freeRunsInTree() const {
    Guard guard(m_volume.m_lock);
    std::vector<Run> out;
    if (m_volume.m_store.isOpen()) m_volume.m_allocator.runsInTree(&out);
    return out;
}

int64_t EfsVolumeInspector::freeTotal() const {
    Guard guard(m_volume.m_lock);
    return m_volume.m_allocator.freeTotal();
}

int64_t EfsVolumeInspector::hostBlocks() const {
    Guard guard(m_volume.m_lock);
    return m_volume.m_store.hostBlocks();
}

int32_t EfsVolumeInspector::freeTreeRoot() const {
    Guard guard(m_volume.m_lock);
    return m_volume.m_allocator.treeRoot();
}

int32_t EfsVolumeInspector::fileTableRoot() const {
    Guard guard(m_volume.m_lock);
    return m_volume.m_table.rootBlock();
}

size_t EfsVolumeInspector::freeTreeCachedNodes() const {
    Guard guard(m_volume.m_lock);
    return m_volume.m_allocator.treeCachedNodes();
}

size_t EfsVolumeInspector::fileTableCachedNodes() const {
    Guard guard(m_volume.m_lock);
    return m_volume.m_table.cachedNodes();
}

int32_t EfsVolumeInspector::cachedBlock() const {
    Guard guard(m_volume.m_lock);
    return m_volume.m_store.bufferedBlock();
}

size_t EfsVolumeInspector::cachedBlocks() const {
    Guard guard(m_volume.m_lock);
    return m_volume.m_store.cachedBlocks();
}

size_t EfsVolumeInspector::dirtyBlocks() const {
    Guard guard(m_volume.m_lock);
    return m_volume.m_store.dirtyBlocks();
}

bool EfsVolumeInspector::loadStoredRecord(const char* name, efs::FitRecord* out) const {
    Guard guard(m_volume.m_lock);
    int32_t block = 0;
    return m_volume.m_store.isOpen() && name && m_volume.m_table.find(name, &block) &&
           m_volume.m_records.load(block, out);
}

void EfsVolumeInspector::setAllocationTrace(efs::AllocationTrace trace) const {
    Guard guard(m_volume.m_lock);
    m_volume.m_allocator.setTrace(std::move(trace));
}
