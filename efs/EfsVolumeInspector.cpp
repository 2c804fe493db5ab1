#include "efs/EfsVolumeInspector.h"

#include "efs/EfsVolume.h"

using efs::Run;

std::vector<Run> EfsVolumeInspector::freeRunsByStart() const { return m_volume.freeRunsByStart(); }

std::vector<Run> EfsVolumeInspector::freeRunsBySize() const { return m_volume.freeRunsBySize(); }

std::vector<Run> EfsVolumeInspector::freeRunsInTree() const { return m_volume.freeRunsInTree(); }

int64_t EfsVolumeInspector::freeTotal() const { return m_volume.freeTotal(); }

int64_t EfsVolumeInspector::hostBlocks() const { return m_volume.hostBlocks(); }

int32_t EfsVolumeInspector::freeTreeRoot() const { return m_volume.freeTreeRoot(); }

int32_t EfsVolumeInspector::fileTableRoot() const { return m_volume.fileTableRoot(); }

size_t EfsVolumeInspector::freeTreeCachedNodes() const { return m_volume.freeTreeCachedNodes(); }

size_t EfsVolumeInspector::fileTableCachedNodes() const { return m_volume.fileTableCachedNodes(); }

int32_t EfsVolumeInspector::cachedBlock() const { return m_volume.cachedBlock(); }

size_t EfsVolumeInspector::cachedBlocks() const { return m_volume.cachedBlocks(); }

size_t EfsVolumeInspector::dirtyBlocks() const { return m_volume.dirtyBlocks(); }

bool EfsVolumeInspector::loadStoredRecord(const char* name, efs::FitRecord* out) const {
    return m_volume.loadStoredRecord(name, out);
}

void EfsVolumeInspector::setAllocationTrace(efs::AllocationTrace trace) const {
    std::lock_guard<std::recursive_mutex> guard(m_volume.m_lock);
    m_volume.m_trace = std::move(trace);
}
