// Stored files: the file table, handles, records and file data of EfsVolume.
#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>

#include "efs/EfsVolume.h"

using namespace efs;

namespace {

int32_t now32() {
    // The low 32 bits of the 64-bit calendar time.
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(std::time(nullptr))));
}

}  // namespace

std::string EfsFileInfo::fileName() const {
    const char* p = reinterpret_cast<const char*>(bytes.data());
    return std::string(p, strnlen(p, kMaxNameLength));
}
int32_t EfsFileInfo::attributes() const { return decodeFixed32(bytes.data() + 30); }
int64_t EfsFileInfo::fileSize() const { return decodeFixed64(bytes.data() + 34); }
int32_t EfsFileInfo::crc() const { return decodeFixed32(bytes.data() + 42); }
int32_t EfsFileInfo::creationTime() const { return decodeFixed32(bytes.data() + 102); }
int32_t EfsFileInfo::lastChangeTime() const { return decodeFixed32(bytes.data() + 106); }
int32_t EfsFileInfo::lastAccessTime() const { return decodeFixed32(bytes.data() + 110); }

// A record that could not be stored: no room for it to move to, or an I/O failure.
void EfsVolume::storeFailed() {
    if (m_lastError != ErrorNoSpace) m_lastError = ErrorIo;
}

void EfsVolume::stamp(FitRecord* record, bool change, bool access) const {
    const int32_t t = now32();
    if (change) record->setLastChangeTime(t);
    if (access) record->setLastAccessTime(t);
}

// ---- Records -------------------------------------------------------------------------

// What a sound record looks like; everything read from disk is held to it before use.
bool EfsVolume::checkRecord(const FitRecord& r, int32_t block) const {
    if (r.addr() != block) return false;
    const int32_t fit = r.fitSize();
    if (fit < 1 || static_cast<int64_t>(block) + fit > m_hostBlocks) return false;
    if (r.byteSize() != static_cast<int64_t>(fit) * kBlockSize) return false;
    const int32_t count = r.fragmentsCount();
    if (count < 0 || count > r.fragmentCapacity()) return false;
    const int64_t size = r.fileSize();
    if (count == 0) return r.allBlocks() == 0 && size >= 0 && size <= kInlineLimit;
    int64_t sum = 0;
    for (int32_t i = 0; i < count; ++i) {
        const Fragment f = r.fragment(i);
        if (f.addr < 1 || f.size < 1 || static_cast<int64_t>(f.addr) + f.size > m_hostBlocks)
            return false;
        sum += f.size;
    }
    return sum == r.allBlocks() && size >= 0 && size <= sum * kBlockSize;
}

bool EfsVolume::loadRecord(int32_t block, FitRecord* record) {
    if (block < 1 || block >= m_hostBlocks) return false;
    record->resizeBlocks(1);
    if (!readBlock(block, record->data(), kBlockSize, 0)) return false;
    if (record->addr() != block) return false;
    const int32_t fit = record->fitSize();
    // A record needs at most enough blocks for one fragment per block of the host file.
    const int64_t maxFit = (kFragmentRoom + 8 * m_hostBlocks) / kBlockSize + 2;
    if (fit < 1 || fit > maxFit || static_cast<int64_t>(block) + fit > m_hostBlocks) return false;
    if (fit > 1) {
        *record = FitRecord();
        record->resizeBlocks(fit);
        for (int32_t i = 0; i < fit; ++i) {
            if (!readBlock(block + i, record->data() + static_cast<size_t>(i) * kBlockSize,
                           kBlockSize, 0))
                return false;
        }
    }
    return checkRecord(*record, block);
}

bool EfsVolume::loadStoredRecord(const char* name, FitRecord* out) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    int32_t block = 0;
    return m_host && findName(name, &block) && loadRecord(block, out);
}

bool EfsVolume::storeRecord(int32_t block, OpenRecord* open, bool allowMove) {
    return storeRecordImpl(block, &open->record, &open->storedFitSize, allowMove);
}

bool EfsVolume::storeLooseRecord(int32_t block, FitRecord* record, bool allowMove) {
    int32_t stored = record->fitSize();
    return storeRecordImpl(block, record, &stored, allowMove);
}

// A record whose size in blocks changed goes to a new place: the shortest free run that
// holds it (an exact fit first), after one growth of the host file if there is none.
int32_t EfsVolume::placeRecord(int32_t fit) {
    AllocationEvent begin;
    begin.kind = AllocationEvent::Kind::PlaceBegin;
    begin.count = fit;
    trace(begin);
    Run run;
    int32_t at = 0;
    if (bestFit(fit, &run) || (growHost() && bestFit(fit, &run))) {
        at = carveRun(run, {run.first, fit});
        if (at == 0 && growHost() && bestFit(fit, &run)) at = carveRun(run, {run.first, fit});
    }
    if (at == 0) m_lastError = ErrorNoSpace;
    AllocationEvent end;
    end.kind = AllocationEvent::Kind::PlaceEnd;
    end.ok = at != 0;
    end.first = at;
    trace(end);
    return at;
}

bool EfsVolume::storeRecordImpl(int32_t b, FitRecord* record, int32_t* storedFit, bool allowMove) {
    if (m_readOnly || !m_host) return false;
    const int32_t fit = record->fitSize();
    // A record that outgrew its blocks can never be written in place: that would
    // overwrite whatever follows it.
    if (!allowMove && fit > *storedFit) allowMove = true;
    // Blocks the record no longer uses. They are given back only once the record is
    // written and its name leads to where it is now, so that a failure on the way leaks
    // them at worst and never leaves a name pointing at free blocks.
    Run unused;
    bool moved = false;
    if (allowMove) {
        // Only the stored record's own address and block count are needed.
        uint8_t head[kRecFragmentsCount];
        if (b < 1 || b >= m_hostBlocks || !readBlock(b, head, kRecFragmentsCount, 0) ||
            decodeFixed32(head + kRecAddr) != b)
            return false;
        const int32_t stored = decodeFixed32(head + kRecFitSize);
        if (stored != fit) {
            if (stored < 1 || static_cast<int64_t>(b) + stored > m_hostBlocks) return false;
            const int32_t at = placeRecord(fit);
            if (at == 0) return false;
            unused = {b, stored};
            b = at;
            moved = true;
        }
    } else if (fit < *storedFit) {
        // A record that went back to fewer blocks gives the rest back.
        unused = {b + fit, *storedFit - fit};
    }
    const int32_t oldAddr = record->addr();
    record->setAddr(b);
    for (int32_t i = 0; i < fit; ++i) {
        if (!writeBlock(b + i, record->data() + static_cast<size_t>(i) * kBlockSize, kBlockSize, 0,
                        false)) {
            record->setAddr(oldAddr);
            if (moved) releaseRun(b, fit);
            return false;
        }
    }
    if (b != oldAddr) {
        const std::string name = record->fileName();
        m_fileTable.update(FileNameKey::fromName(name.c_str()), b);
        // A table that still names the old place would lead the next open to a stale copy.
        if (m_fileTable.failed()) {
            record->setAddr(oldAddr);
            if (moved) releaseRun(b, fit);
            return false;
        }
        if (oldAddr != 0) {
            auto node = m_openRecords.extract(oldAddr);
            if (!node.empty()) {
                node.key() = b;
                m_openRecords.insert(std::move(node));
                for (auto& [h, file] : m_handles)
                    if (file.recordBlock == oldAddr) file.recordBlock = b;
            }
        }
    }
    *storedFit = fit;
    if (unused.length > 0) releaseRun(unused.first, unused.length);
    return true;
}

void EfsVolume::addFragment(FitRecord* record, int32_t start, int32_t count) {
    const int32_t n = record->fragmentsCount();
    if (kFragmentRoom + 8 * static_cast<int64_t>(n) >=
        static_cast<int64_t>(record->fitSize()) * kBlockSize) {
        record->resizeBlocks(record->fitSize() + 1);
        record->setFitSize(record->fitSize() + 1);
    }
    Fragment last = n > 0 ? record->fragment(n - 1) : Fragment{};
    if (n > 0 && static_cast<int64_t>(last.addr) + last.size == start) {
        last.size += count;
        record->setFragment(n - 1, last);
    } else {
        record->setFragment(n, {start, count});
        record->setFragmentsCount(n + 1);
    }
    record->setAllBlocks(record->allBlocks() + count);
}

int32_t EfsVolume::locateBlock(const FitRecord& record, int64_t position, Cursor* c) const {
    const int64_t k = position / kBlockSize;
    if (c->found != 0 && k < c->counted)
        return static_cast<int32_t>(c->runStart + k - (c->counted - c->runLength));
    if (c->found == 0) {
        c->counted = 0;
        c->nextIndex = 0;
    }
    while (c->nextIndex < record.fragmentsCount()) {
        const Fragment f = record.fragment(c->nextIndex);
        c->counted += f.size;
        c->runStart = f.addr;
        c->runLength = f.size;
        ++c->nextIndex;
        if (k < c->counted) {
            c->found = static_cast<int32_t>(f.addr + k - (c->counted - f.size));
            return c->found;
        }
    }
    return 0;
}

int32_t EfsVolume::contiguousBlocks(const Cursor& cursor, int32_t block, int64_t limit) const {
    const int64_t inRun = static_cast<int64_t>(cursor.runStart) + cursor.runLength - block;
    return static_cast<int32_t>(
        std::max<int64_t>(0, std::min({inRun, limit, int64_t{kMaxBlocksPerTransfer}})));
}

void EfsVolume::trimReserve(FitRecord* record) {
    const int64_t size = record->fileSize();
    const int64_t needed = size / kBlockSize + (size % kBlockSize ? 1 : 0);
    if (needed >= record->liberalSize()) return;
    const int32_t count = record->fragmentsCount();
    int64_t sum = 0;
    int32_t at = 0;
    for (; at < count; ++at) {
        sum += record->fragment(at).size;
        if (sum > needed) break;
    }
    if (at >= count) return;
    for (int32_t i = at + 1; i < count; ++i) {
        const Fragment f = record->fragment(i);
        releaseRun(f.addr, f.size);
        record->setAllBlocks(record->allBlocks() - f.size);
        record->setLiberalSize(record->liberalSize() - f.size);
    }
    int32_t kept = at + 1;
    const auto x = static_cast<int32_t>(sum - needed);
    Fragment f = record->fragment(at);
    if (x > 0) {
        releaseRun(f.addr + f.size - x, x);
        if (x == f.size) {
            kept = at;
        } else {
            f.size -= x;
            record->setFragment(at, f);
        }
        record->setAllBlocks(record->allBlocks() - x);
        record->setLiberalSize(record->liberalSize() - x);
    }
    record->setFragmentsCount(kept);
}

void EfsVolume::releaseFragmentsFrom(FitRecord* record, int64_t excess) {
    while (excess > 0 && record->fragmentsCount() > 0) {
        const int32_t last = record->fragmentsCount() - 1;
        Fragment f = record->fragment(last);
        if (excess < f.size) {
            const auto x = static_cast<int32_t>(excess);
            releaseRun(f.addr + f.size - x, x);
            f.size -= x;
            record->setFragment(last, f);
            record->setAllBlocks(record->allBlocks() - x);
            excess = 0;
        } else {
            releaseRun(f.addr, f.size);
            record->setFragmentsCount(last);
            record->setAllBlocks(record->allBlocks() - f.size);
            excess -= f.size;
        }
    }
}

bool EfsVolume::writeInlineToBlock(int32_t block, const FitRecord& record, int64_t bytes) {
    const auto n = static_cast<int32_t>(std::clamp<int64_t>(bytes, 0, kInlineLimit));
    return writeBlock(block, record.inlineData(), n, 0, false);
}

// Takes count blocks for a file's data; on failure every piece already taken goes back.
bool EfsVolume::allocateForFile(FitRecord*, int32_t hint, int64_t count, std::vector<Run>* runs) {
    if (count > INT32_MAX) {
        m_lastError = ErrorNoSpace;
        return false;
    }
    if (allocateBlocks(hint, static_cast<int32_t>(count), m_params.allocMode, runs)) return true;
    const int32_t error = m_lastError;
    for (const Run& r : *runs) releaseRun(r.first, r.length);
    runs->clear();
    m_lastError = error;
    return false;
}

// ---- File table ----------------------------------------------------------------------

bool EfsVolume::findName(const char* name, int32_t* block) {
    *block = 0;
    int value = 0;
    if (!m_fileTable.find(FileNameKey::fromName(name), &value)) {
        if (m_fileTable.failed()) m_lastError = ErrorIo;
        return false;
    }
    *block = value;
    return true;
}

EfsVolume::OpenRecord* EfsVolume::recordOf(int32_t handle, OpenFile** file) {
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

int32_t EfsVolume::openFile(const char* name, int32_t access, int32_t disposition) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_host) return 0;
    m_lastError = ErrorNone;
    const int32_t handle = openFileImpl(name, access, disposition);
    if (endOperation(handle != 0)) return handle;
    if (handle != 0) {
        // The new file's blocks did not reach the disk: it is not handed out.
        closeFileImpl(handle);
        m_lastError = ErrorIo;
    }
    return 0;
}

int32_t EfsVolume::openFileImpl(const char* name, int32_t access, int32_t disposition) {
    if (name == nullptr) {
        m_lastError = ErrorArgument;
        return 0;
    }
    int32_t block = 0;
    const bool exists = findName(name, &block);
    if (!exists && m_lastError == ErrorIo) return 0;
    if (m_readOnly && (!exists || (disposition != OpenExisting && disposition != OpenAlways))) {
        m_lastError = exists ? ErrorState : (disposition == OpenExisting ? ErrorState : ErrorState);
        return 0;
    }
    OpenRecord fresh;
    if (exists) {
        if (disposition < CreateAlways || disposition > TruncateExisting) {
            m_lastError = ErrorArgument;
            return 0;
        }
        if (!m_openRecords.count(block)) {
            if (!loadRecord(block, &fresh.record)) {
                m_lastError = ErrorIo;
                return 0;
            }
            fresh.storedFitSize = fresh.record.fitSize();
            stamp(&fresh.record, false, true);
        }
    } else {
        if (disposition != CreateNew && disposition != CreateAlways && disposition != OpenAlways) {
            m_lastError = ErrorState;
            return 0;
        }
        std::vector<Run> runs;
        if (!allocateBlocks(0, 1, m_params.allocMode, &runs) || runs.empty()) {
            for (const Run& r : runs) releaseRun(r.first, r.length);
            m_lastError = ErrorNoSpace;
            return 0;
        }
        block = runs.front().first;
        fresh.record.setFitSize(1);
        fresh.record.setCreationTime(now32());
        stamp(&fresh.record, true, true);
        if (!m_fileTable.insert(FileNameKey::fromName(name), block)) {
            releaseRun(block, 1);
            m_lastError = ErrorIo;
            return 0;
        }
        fresh.record.setFileName(name);
        fresh.storedFitSize = 1;
        if (!storeRecord(block, &fresh, false)) {
            storeFailed();
            return 0;
        }
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
    if (disposition == CreateAlways || disposition == TruncateExisting) {
        if (!setFileSizeImpl(handle, 0)) {
            // A file that could not be emptied must not be handed out as empty.
            const int32_t error = m_lastError;
            closeFileImpl(handle);
            m_lastError = error ? error : ErrorIo;
            return 0;
        }
    }
    return handle;
}

void EfsVolume::closeFile(int32_t handle) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    closeFileImpl(handle);
    endOperation(m_lastError == ErrorNone);
}

void EfsVolume::closeFileImpl(int32_t handle) {
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
    if (!m_readOnly) {
        trimReserve(&rit->second.record);
        if (!storeRecord(block, &rit->second, true)) storeFailed();
    }
    // The store may have moved the record to a new key.
    for (auto r = m_openRecords.begin(); r != m_openRecords.end(); ++r) {
        if (r->second.openCount <= 0) {
            m_openRecords.erase(r);
            break;
        }
    }
}

bool EfsVolume::fileExists(const char* name) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    int32_t block = 0;
    return m_host && name && findName(name, &block);
}

// Finds a stored file that no handle holds open; sets lastError when there is none.
bool EfsVolume::findClosedFile(const char* name, int32_t* block) {
    if (!findName(name, block)) {
        if (m_lastError == ErrorNone) m_lastError = ErrorNotFound;
        return false;
    }
    if (m_openRecords.count(*block)) {
        m_lastError = ErrorState;
        return false;
    }
    return true;
}

bool EfsVolume::removeFile(const char* name) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    return endOperation(removeFileImpl(name));
}

bool EfsVolume::removeFileImpl(const char* name) {
    if (!m_host || m_readOnly || !name) {
        m_lastError = !name ? ErrorArgument : ErrorState;
        return false;
    }
    int32_t block = 0;
    if (!findClosedFile(name, &block)) return false;
    FitRecord record;
    if (!loadRecord(block, &record)) {
        m_lastError = ErrorIo;
        return false;
    }
    // The name goes first: if that fails the blocks stay taken (check reports them as
    // lost), which is better than a name that leads to free blocks.
    if (!m_fileTable.remove(FileNameKey::fromName(name))) {
        m_lastError = ErrorIo;
        return false;
    }
    for (int32_t i = 0; i < record.fragmentsCount(); ++i) {
        const Fragment f = record.fragment(i);
        releaseRun(f.addr, f.size);
    }
    releaseRun(block, record.fitSize());
    return true;
}

bool EfsVolume::renameFile(const char* oldName, const char* newName) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    return endOperation(renameFileImpl(oldName, newName));
}

bool EfsVolume::renameFileImpl(const char* oldName, const char* newName) {
    if (!m_host || m_readOnly || !oldName || !newName) {
        m_lastError = (!oldName || !newName) ? ErrorArgument : ErrorState;
        return false;
    }
    int32_t block = 0;
    if (!findClosedFile(oldName, &block)) return false;
    const FileNameKey oldKey = FileNameKey::fromName(oldName);
    const FileNameKey newKey = FileNameKey::fromName(newName);
    int32_t other = 0;
    if (!(oldKey == newKey) && findName(newName, &other)) {
        // Keys stay unique: renaming onto an existing name changes nothing.
        m_lastError = ErrorState;
        return false;
    }
    if (m_lastError != ErrorNone) return false;
    FitRecord record;
    if (!loadRecord(block, &record)) {
        m_lastError = ErrorIo;
        return false;
    }
    if (!m_fileTable.remove(oldKey) || !m_fileTable.insert(newKey, block)) {
        m_lastError = ErrorIo;
        return false;
    }
    record.setFileName(newName);
    stamp(&record, true, true);
    if (!storeLooseRecord(block, &record, false)) {
        storeFailed();
        return false;
    }
    return true;
}

void EfsVolume::listFiles(QList<QByteArray>* out) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    out->clear();
    if (!m_host) return;
    std::vector<FileNameKey> keys;
    if (!m_fileTable.collectKeys(&keys)) {
        m_lastError = ErrorIo;
        return;
    }
    for (const FileNameKey& k : keys) out->append(QByteArray::fromStdString(k.text()));
}

int32_t EfsVolume::fileAttributes(int32_t handle) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    OpenRecord* open = recordOf(handle, nullptr);
    return open ? open->record.attributes() : 0;
}

bool EfsVolume::setFileAttributes(int32_t handle, int32_t value) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    return endOperation(setFileAttributesImpl(handle, value));
}

bool EfsVolume::setFileAttributesImpl(int32_t handle, int32_t value) {
    OpenFile* file = nullptr;
    OpenRecord* open = recordOf(handle, &file);
    if (!open) {
        if (m_lastError == ErrorNotFound) m_lastError = ErrorArgument;
        return false;
    }
    if (m_readOnly) {
        m_lastError = ErrorState;
        return false;
    }
    open->record.setAttributes(value);
    stamp(&open->record, true, true);
    if (!storeRecord(file->recordBlock, open, false)) {
        storeFailed();
        return false;
    }
    return true;
}

bool EfsVolume::fileInfo(int32_t handle, EfsFileInfo* out) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    OpenRecord* open = recordOf(handle, nullptr);
    if (!open || !out) return false;
    std::memcpy(out->bytes.data(), open->record.data() + kFileInfoOffset, kFileInfoSize);
    return true;
}

int64_t EfsVolume::tellFile(int32_t handle) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    auto it = m_handles.find(handle);
    if (it == m_handles.end()) {
        m_lastError = ErrorNotFound;
        return -1;
    }
    return it->second.position;
}

int64_t EfsVolume::seekFile(int32_t handle, int64_t position) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    auto it = m_handles.find(handle);
    if (it == m_handles.end()) {
        m_lastError = ErrorNotFound;
        return -1;
    }
    it->second.position = position;
    return position;
}

int64_t EfsVolume::fileSize(int32_t handle) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    OpenRecord* open = recordOf(handle, nullptr);
    return open ? open->record.fileSize() : 0;
}

bool EfsVolume::atEndOfFile(int32_t handle) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    OpenFile* file = nullptr;
    OpenRecord* open = recordOf(handle, &file);
    if (!open) {
        if (m_lastError == ErrorNotFound) {
            m_lastError = ErrorArgument;
            return true;
        }
        return false;
    }
    return file->position == open->record.fileSize();
}

// ---- File data -----------------------------------------------------------------------

int32_t EfsVolume::readFile(int32_t handle, char* data, int32_t length) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    OpenFile* file = nullptr;
    OpenRecord* open = recordOf(handle, &file);
    if (!open) return 0;
    if (length < 0 || (data == nullptr && length > 0)) {
        m_lastError = ErrorArgument;
        return 0;
    }
    FitRecord& rec = open->record;
    const int64_t size = rec.fileSize();
    if (file->position < 0) return 0;  // nothing lies before the start
    if (rec.fragmentsCount() == 0) {
        stamp(&rec, false, true);
        if (file->position >= size) return 0;
        const auto n = static_cast<int32_t>(std::min<int64_t>(length, size - file->position));
        std::memcpy(data, rec.inlineData() + file->position, static_cast<size_t>(n));
        file->position += n;
        return n;
    }
    if (length == 0) return 0;
    Cursor cursor;
    int32_t delivered = 0;
    while (delivered < length && file->position < size) {
        const int32_t block = locateBlock(rec, file->position, &cursor);
        if (block == 0) {
            m_lastError = ErrorIo;
            break;
        }
        const auto offset = static_cast<int32_t>(file->position % kBlockSize);
        if (offset == 0) {
            const int64_t want = std::min<int64_t>(length - delivered, size - file->position);
            // A small read that ends inside a block of the same run comes in one transfer
            // with that block, through a buffer, instead of a second transfer for it.
            const int64_t span = want / kBlockSize + 1;
            if (want % kBlockSize != 0 && span > 1 && span <= kSmallReadBlocks &&
                contiguousBlocks(cursor, block, span) == span) {
                m_readBuffer.resize(static_cast<size_t>(span) * kBlockSize);
                if (!readBlocks(block, static_cast<int32_t>(span), m_readBuffer.data())) {
                    m_lastError = ErrorIo;
                    break;
                }
                std::memcpy(data + delivered, m_readBuffer.data(), static_cast<size_t>(want));
                delivered += static_cast<int32_t>(want);
                file->position += want;
                continue;
            }
            // Whole blocks that follow each other on disk come in one transfer.
            const int64_t whole = want / kBlockSize;
            const int32_t n = contiguousBlocks(cursor, block, whole);
            if (n > 1) {
                if (!readBlocks(block, n, data + delivered)) {
                    m_lastError = ErrorIo;
                    break;
                }
                delivered += n * kBlockSize;
                file->position += static_cast<int64_t>(n) * kBlockSize;
                continue;
            }
        }
        int64_t piece = std::min<int64_t>(kBlockSize - offset, length - delivered);
        piece = std::min<int64_t>(piece, size - file->position);
        if (!readBlock(block, data + delivered, static_cast<int32_t>(piece), offset)) {
            m_lastError = ErrorIo;
            break;
        }
        delivered += static_cast<int32_t>(piece);
        file->position += piece;
    }
    return delivered;
}

bool EfsVolume::writeFile(int32_t handle, const char* data, int32_t length) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    return endOperation(writeFileImpl(handle, data, length));
}

bool EfsVolume::writeFileImpl(int32_t handle, const char* data, int32_t length) {
    OpenFile* file = nullptr;
    OpenRecord* open = recordOf(handle, &file);
    if (!open) return false;
    if (m_readOnly) {
        m_lastError = ErrorState;
        return false;
    }
    if (length <= 0 || data == nullptr || file->position < 0) {
        m_lastError = ErrorArgument;
        return false;
    }
    // No file can reach beyond the last block number a volume can have.
    if (file->position > static_cast<int64_t>(INT32_MAX) * kBlockSize) {
        m_lastError = ErrorNoSpace;
        return false;
    }
    FitRecord* rec = &open->record;
    const int64_t end = file->position + length;
    int32_t hint = 0;
    if (rec->fragmentsCount() == 0) {
        if (end <= kInlineLimit) {
            std::memcpy(rec->inlineData() + file->position, data, static_cast<size_t>(length));
            file->position = end;
            if (end > rec->fileSize()) rec->setFileSize(end);
            stamp(rec, true, true);
            if (!storeRecord(file->recordBlock, open, false)) {
                storeFailed();
                return false;
            }
            return true;
        }
        std::vector<Run> runs;
        if (!allocateForFile(rec, file->recordBlock + 1, 1, &runs)) return false;
        const int32_t block = runs.front().first;
        if (!writeInlineToBlock(block, *rec, file->position)) {
            releaseRun(block, 1);
            m_lastError = ErrorIo;
            return false;
        }
        addFragment(rec, block, 1);
        stamp(rec, true, true);
        if (!storeRecord(file->recordBlock, open, false)) {
            storeFailed();
            return false;
        }
        hint = block + 1;
    }
    const int64_t need = end / kBlockSize + 1;
    if (need > rec->allBlocks()) {
        const int64_t want = need + m_params.reserveBlocks;
        if (want > INT32_MAX) {
            m_lastError = ErrorNoSpace;
            return false;
        }
        rec->setLiberalSize(static_cast<int32_t>(want));
        if (hint == 0) {
            const Fragment last = rec->fragment(rec->fragmentsCount() - 1);
            hint = last.addr + last.size;
        }
        std::vector<Run> runs;
        if (!allocateForFile(rec, hint, want - rec->allBlocks(), &runs)) return false;
        for (const Run& r : runs) addFragment(rec, r.first, r.length);
        stamp(rec, true, true);
    }
    Cursor cursor;
    int32_t written = 0;
    while (written < length) {
        const int32_t block = locateBlock(*rec, file->position, &cursor);
        if (block == 0) {
            m_lastError = ErrorIo;
            return false;
        }
        const auto offset = static_cast<int32_t>(file->position % kBlockSize);
        if (offset == 0) {
            // Whole blocks that follow each other on disk go out in one transfer.
            const int32_t n = contiguousBlocks(cursor, block, (length - written) / kBlockSize);
            if (n > 1) {
                if (!writeBlocks(block, n, data + written)) {
                    m_lastError = ErrorIo;
                    return false;
                }
                written += n * kBlockSize;
                file->position += static_cast<int64_t>(n) * kBlockSize;
                if (file->position > rec->fileSize()) rec->setFileSize(file->position);
                continue;
            }
        }
        const int32_t piece = std::min(kBlockSize - offset, length - written);
        if (!writeBlock(block, data + written, piece, offset, true)) {
            m_lastError = ErrorIo;
            return false;
        }
        written += piece;
        file->position += piece;
        if (file->position > rec->fileSize()) rec->setFileSize(file->position);
    }
    stamp(rec, true, true);
    if (!storeRecord(file->recordBlock, open, true)) {
        storeFailed();
        return false;
    }
    return true;
}

bool EfsVolume::setFileSize(int32_t handle, int64_t size) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    return endOperation(setFileSizeImpl(handle, size));
}

bool EfsVolume::setFileSizeImpl(int32_t handle, int64_t size) {
    OpenFile* file = nullptr;
    OpenRecord* open = recordOf(handle, &file);
    if (!open) return false;
    if (m_readOnly) {
        m_lastError = ErrorState;
        return false;
    }
    if (size < 0) {
        m_lastError = ErrorArgument;
        return false;
    }
    FitRecord* rec = &open->record;
    if (rec->fragmentsCount() == 0 && size > kInlineLimit) {
        std::vector<Run> runs;
        if (!allocateForFile(rec, file->recordBlock + 1, 1, &runs)) return false;
        const int32_t block = runs.front().first;
        if (!writeInlineToBlock(block, *rec, rec->fileSize())) {
            releaseRun(block, 1);
            m_lastError = ErrorIo;
            return false;
        }
        addFragment(rec, block, 1);
        if (!storeRecord(file->recordBlock, open, false)) {
            storeFailed();
            return false;
        }
        stamp(rec, true, true);
    }
    if (rec->fragmentsCount() != 0 && size >= kInlineLimit) {
        const int64_t need = size / kBlockSize + 1;
        if (need > INT32_MAX) {
            m_lastError = ErrorNoSpace;
            return false;
        }
        if (rec->allBlocks() < need) {
            const Fragment last = rec->fragment(rec->fragmentsCount() - 1);
            std::vector<Run> runs;
            if (!allocateForFile(rec, last.addr + last.size, need - rec->allBlocks(), &runs))
                return false;
            for (const Run& r : runs) addFragment(rec, r.first, r.length);
            stamp(rec, true, true);
        } else {
            releaseFragmentsFrom(rec, rec->allBlocks() - need);
        }
        rec->setFileSize(size);
        if (!storeRecord(file->recordBlock, open, true)) {
            storeFailed();
            return false;
        }
        return true;
    }
    if (rec->fragmentsCount() == 0) {
        rec->setFileSize(size);
        stamp(rec, true, true);
        if (!storeRecord(file->recordBlock, open, false)) {
            storeFailed();
            return false;
        }
        return true;
    }
    // Fragmented and shrinking below the inline limit: back to the inline form.
    std::vector<uint8_t> buffer(kBlockSize, 0);
    const Fragment first = rec->fragment(0);
    if (size > 0 && !readBlock(first.addr, buffer.data(), static_cast<int32_t>(size), 0)) {
        m_lastError = ErrorIo;
        return false;
    }
    for (int32_t i = 0; i < rec->fragmentsCount(); ++i) {
        const Fragment f = rec->fragment(i);
        releaseRun(f.addr, f.size);
    }
    rec->setAllBlocks(0);
    rec->setFitSize(1);
    rec->setFragmentsCount(0);
    rec->resizeBlocks(1);
    std::memcpy(rec->inlineData(), buffer.data(), static_cast<size_t>(size));
    rec->setFileSize(size);
    stamp(rec, true, true);
    if (!storeRecord(file->recordBlock, open, false)) {
        storeFailed();
        return false;
    }
    return true;
}
