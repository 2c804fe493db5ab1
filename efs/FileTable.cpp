#include "efs/FileTable.h"

namespace efs {

FileTable::FileTable(BlockAllocator& allocator, RecordStore& records, const VolumeParams& params,
                     int32_t& lastError)
    : m_records(records), m_allocator(allocator), m_params(params), m_lastError(lastError) {}

bool FileTable::open() {
    return m_tree.initController(m_allocator.nodeStore(), kHeaderFileRoot, kBlockSize);
}

bool FileTable::close() {
    m_handles.clear();
    m_openRecords.clear();
    return m_tree.close();
}

void FileTable::abandon() {
    m_tree.abandon();
    m_handles.clear();
    m_openRecords.clear();
}

bool FileTable::find(const char* name, int32_t* block) {
    *block = 0;
    int value = 0;
    if (!m_tree.find(FileNameKey::fromName(name), &value)) {
        if (m_tree.failed()) m_lastError = ErrorIo;
        return false;
    }
    *block = value;
    return true;
}

bool FileTable::findClosed(const char* name, int32_t* block) {
    if (!find(name, block)) {
        if (m_lastError == ErrorNone) m_lastError = ErrorNotFound;
        return false;
    }
    if (m_openRecords.count(*block)) {
        m_lastError = ErrorState;
        return false;
    }
    return true;
}

OpenRecord* FileTable::recordOf(int32_t handle, OpenFile** file) {
    auto it = m_handles.find(handle);
    if (it == m_handles.end()) {
        m_lastError = ErrorNotFound;
        return nullptr;
    }
    auto rit = m_openRecords.find(it->second.recordBlock);
    if (rit == m_openRecords.end()) {
        m_lastError = ErrorIo;
        return nullptr;
    }
    if (file) *file = &it->second;
    return &rit->second;
}

std::string FileTable::openName(int32_t block) const {
    auto it = m_openRecords.find(block);
    return it == m_openRecords.end() ? std::string() : it->second.record.fileName();
}

bool FileTable::store(int32_t block, OpenRecord* open, bool allowMove) {
    if (m_records.store(block, &open->record, &open->storedFitSize, allowMove, this)) return true;
    // No room for the record to move to keeps its own code; anything else is I/O.
    if (m_lastError != ErrorNoSpace) m_lastError = ErrorIo;
    return false;
}

bool FileTable::recordMoved(const FitRecord& record, int32_t from, int32_t to) {
    // A record stored for the first time was put in the table with its block just now.
    if (from == 0) return true;
    const std::string name = record.fileName();
    m_tree.update(FileNameKey::fromName(name.c_str()), to);
    if (m_tree.failed()) return false;
    auto node = m_openRecords.extract(from);
    if (!node.empty()) {
        node.key() = to;
        m_openRecords.insert(std::move(node));
        for (auto& [h, file] : m_handles)
            if (file.recordBlock == from) file.recordBlock = to;
    }
    return true;
}

// ---- Opening and closing files ---------------------------------------------------------

int32_t FileTable::openFile(const char* name, int32_t access, int32_t disposition, bool readOnly,
                            bool* created) {
    *created = false;
    if (name == nullptr) {
        m_lastError = ErrorArgument;
        return 0;
    }
    int32_t block = 0;
    const bool exists = find(name, &block);
    if (!exists && m_lastError == ErrorIo) return 0;
    if (readOnly && (!exists || (disposition != OpenExisting && disposition != OpenAlways))) {
        m_lastError = ErrorState;
        return 0;
    }
    OpenRecord fresh;
    if (exists) {
        if (disposition < CreateAlways || disposition > TruncateExisting) {
            m_lastError = ErrorArgument;
            return 0;
        }
        if (!m_openRecords.count(block)) {
            if (!m_records.load(block, &fresh.record)) {
                m_lastError = ErrorIo;
                return 0;
            }
            fresh.storedFitSize = fresh.record.fitSize();
            RecordStore::stamp(&fresh.record, false, true);
        }
    } else {
        if (disposition != CreateNew && disposition != CreateAlways && disposition != OpenAlways) {
            m_lastError = ErrorState;
            return 0;
        }
        std::vector<Run> runs;
        if (!m_allocator.allocateBlocks(0, 1, m_params.allocMode, &runs) || runs.empty()) {
            for (const Run& r : runs) m_allocator.releaseRun(r.first, r.length);
            m_lastError = ErrorNoSpace;
            return 0;
        }
        block = runs.front().first;
        fresh.record.setFitSize(1);
        fresh.record.setCreationTime(RecordStore::now());
        RecordStore::stamp(&fresh.record, true, true);
        if (!m_tree.insert(FileNameKey::fromName(name), block)) {
            m_allocator.releaseRun(block, 1);
            m_lastError = ErrorIo;
            return 0;
        }
        fresh.record.setFileName(name);
        fresh.storedFitSize = 1;
        if (!store(block, &fresh, false)) return 0;
        *created = true;
    }
    auto rit = m_openRecords.find(block);
    if (rit != m_openRecords.end()) {
        ++rit->second.openCount;
    } else {
        fresh.openCount = 1;
        m_openRecords.emplace(block, std::move(fresh));
    }
    const int32_t handle = ++m_lastHandle;
    m_handles[handle] = OpenFile{access, 0, block};
    return handle;
}

void FileTable::closeFile(int32_t handle, bool readOnly) {
    m_lastError = ErrorNone;
    auto it = m_handles.find(handle);
    if (it == m_handles.end()) {
        m_lastError = ErrorNotFound;
        return;
    }
    const int32_t block = it->second.recordBlock;
    m_handles.erase(it);
    auto rit = m_openRecords.find(block);
    if (rit == m_openRecords.end()) {
        m_lastError = ErrorIo;
        return;
    }
    if (--rit->second.openCount > 0) return;
    if (!readOnly) {
        m_records.trimReserve(&rit->second.record);
        store(block, &rit->second, true);
    }
    // The store may have moved the record to a new key.
    for (auto r = m_openRecords.begin(); r != m_openRecords.end(); ++r) {
        if (r->second.openCount <= 0) {
            m_openRecords.erase(r);
            break;
        }
    }
}

// ---- Names -----------------------------------------------------------------------------

bool FileTable::removeFile(const char* name) {
    int32_t block = 0;
    if (!findClosed(name, &block)) return false;
    FitRecord record;
    if (!m_records.load(block, &record)) {
        m_lastError = ErrorIo;
        return false;
    }
    // The name goes first: if that fails the blocks stay taken (check reports them as
    // lost), which is better than a name that leads to free blocks.
    if (!m_tree.remove(FileNameKey::fromName(name))) {
        m_lastError = ErrorIo;
        return false;
    }
    for (int32_t i = 0; i < record.fragmentsCount(); ++i) {
        const Fragment f = record.fragment(i);
        m_allocator.releaseRun(f.addr, f.size);
    }
    m_allocator.releaseRun(block, record.fitSize());
    return true;
}

bool FileTable::renameFile(const char* oldName, const char* newName) {
    int32_t block = 0;
    if (!findClosed(oldName, &block)) return false;
    const FileNameKey oldKey = FileNameKey::fromName(oldName);
    const FileNameKey newKey = FileNameKey::fromName(newName);
    int32_t other = 0;
    if (!(oldKey == newKey) && find(newName, &other)) {
        // Keys stay unique: renaming onto an existing name changes nothing.
        m_lastError = ErrorState;
        return false;
    }
    if (m_lastError != ErrorNone) return false;
    FitRecord record;
    if (!m_records.load(block, &record)) {
        m_lastError = ErrorIo;
        return false;
    }
    if (!m_tree.remove(oldKey) || !m_tree.insert(newKey, block)) {
        m_lastError = ErrorIo;
        return false;
    }
    record.setFileName(newName);
    RecordStore::stamp(&record, true, true);
    int32_t storedFit = record.fitSize();
    if (!m_records.store(block, &record, &storedFit, false, this)) {
        if (m_lastError != ErrorNoSpace) m_lastError = ErrorIo;
        return false;
    }
    return true;
}

bool FileTable::setAttributes(int32_t handle, int32_t value, bool readOnly) {
    OpenFile* file = nullptr;
    OpenRecord* open = recordOf(handle, &file);
    if (!open) {
        if (m_lastError == ErrorNotFound) m_lastError = ErrorArgument;
        return false;
    }
    if (readOnly) {
        m_lastError = ErrorState;
        return false;
    }
    open->record.setAttributes(value);
    RecordStore::stamp(&open->record, true, true);
    return store(file->recordBlock, open, false);
}

}  // namespace efs
