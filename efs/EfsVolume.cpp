#include "efs/EfsVolume.h"

#include <QFileInfo>
#include <algorithm>
#include <climits>
#include <cstring>

using namespace efs;

namespace {

constexpr int32_t kFreeRootSlot = kHeaderFreeRoot;
constexpr int32_t kFileRootSlot = kHeaderFileRoot;
// Runs shorter than this are taken from their start even in AllocFromMiddle.
constexpr int32_t kMiddleMinRun = 512;

EfsEncryptor g_defaultEncryptor;

std::unique_ptr<EfsFile> makePosixFile() { return std::make_unique<EfsPosixFile>(); }

}  // namespace

bool EfsEncryptor::encode(uint8_t*, int32_t) { return true; }
bool EfsEncryptor::decode(uint8_t*, int32_t) { return true; }
EfsEncryptor* EfsEncryptor::defaultEncryptor() { return &g_defaultEncryptor; }

EfsVolume::EfsVolume() : EfsVolume(FileFactory(makePosixFile)) {}

EfsVolume::EfsVolume(FileFactory factory)
    : m_factory(factory ? std::move(factory) : FileFactory(makePosixFile)),
      m_encryptor(EfsEncryptor::defaultEncryptor()),
      m_cache(kBlockSize, 0) {}

EfsVolume::~EfsVolume() { closeVolume(); }

// ---- Lifecycle ---------------------------------------------------------------------

bool EfsVolume::openVolume(const QString& path) { return openVolumeImpl(path, false); }

bool EfsVolume::openVolumeReadOnly(const QString& path) { return openVolumeImpl(path, true); }

bool EfsVolume::isOpen() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_host != nullptr;
}

bool EfsVolume::isReadOnly() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_host != nullptr && m_readOnly;
}

QString EfsVolume::path() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_path;
}

bool EfsVolume::readHeader(std::vector<uint8_t>* header) {
    header->assign(kBlockSize, 0);
    if (!m_host || m_host->seek(0) != 0) return false;
    const int32_t n = m_host->read(header->data(), kBlockSize);
    if (n < kHeaderUsedBytes || n < kBlockSize) return false;
    const VolumeParams p = VolumeParams::decode(header->data() + kHeaderParams);
    return p.blockSize >= kMinParamsBlockSize;
}

bool EfsVolume::writeHeader(const std::vector<uint8_t>& header) {
    // The header never points ahead of the blocks it names.
    if (!m_host || m_readOnly || !flushBlocks() || m_host->seek(0) != 0) return false;
    return m_host->write(header.data(), kBlockSize) == kBlockSize;
}

bool EfsVolume::checkHeaderParams(const VolumeParams& p) const {
    // A growth step below one block would never add a block; a negative reserve would
    // leave written positions without blocks.
    return p.growthStep >= kBlockSize && p.reserveBlocks >= 0;
}

void EfsVolume::abandonOpen() {
    m_freeTreeFailed = false;
    m_fileTable.abandon();
    m_frees.abandon();
    m_freeSizes.clear();
    m_freePtrs.clear();
    m_freeInMaps = 0;
    m_pendingFreeOps.clear();
    m_openRecords.clear();
    m_handles.clear();
    if (m_host) m_host->close();
    m_host.reset();
    m_readOnly = false;
    dropBlockCache();
    m_hostBlocks = 0;
}

bool EfsVolume::openVolumeImpl(const QString& path, bool readOnly) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    if (m_host) {
        m_lastError = ErrorState;
        return false;
    }
    m_path = path;
    std::unique_ptr<EfsFile> host = m_factory();
    if (!host || !(readOnly ? host->openReadOnly(path) : host->open(path))) {
        m_lastError = ErrorHostOpen;
        return false;
    }
    m_host = std::move(host);
    m_readOnly = readOnly;
    dropBlockCache();

    auto failWith = [this](int32_t code) {
        abandonOpen();
        m_lastError = code;
        return false;
    };

    const int64_t size = m_host->size();
    if (size < 0) return failWith(ErrorIo);
    std::vector<uint8_t> header(kBlockSize, 0);
    bool recovery = false;
    if (size == 0) {
        if (readOnly) return failWith(ErrorIo);
        std::copy(kMagic.begin(), kMagic.end(), header.begin());
        encodeFixed32(header.data() + kHeaderVersion, kFormatVersion);
        encodeFixed32(header.data() + kHeaderOpenFlag, 1);
        m_params.encode(header.data() + kHeaderParams);
        m_version = kFormatVersion;
        m_openFlagAtOpen = 0;
    } else {
        if (!readHeader(&header)) return failWith(ErrorIo);
        if (!std::equal(kMagic.begin(), kMagic.end(), header.begin())) return failWith(ErrorIo);
        const int32_t version = decodeFixed32(header.data() + kHeaderVersion);
        if (version > kFormatVersion) return failWith(ErrorVersion);
        VolumeParams stored = VolumeParams::decode(header.data() + kHeaderParams);
        if (stored.blockSize != kBlockSize) return failWith(ErrorBlockSize);
        if (!checkHeaderParams(stored)) return failWith(ErrorIo);
        const int64_t blocks = size / kBlockSize;
        for (int slot : {kHeaderFreeRoot, kHeaderFileRoot}) {
            const int32_t root = decodeFixed32(header.data() + slot);
            if (root < 0 || root >= blocks) return failWith(ErrorIo);
        }
        const int32_t freeRoot = decodeFixed32(header.data() + kHeaderFreeRoot);
        if (freeRoot != 0 && freeRoot == decodeFixed32(header.data() + kHeaderFileRoot))
            return failWith(ErrorIo);
        m_version = version;
        stored.blockSize = m_params.blockSize;
        m_params = stored;
        m_params.encode(header.data() + kHeaderParams);
        m_openFlagAtOpen = decodeFixed32(header.data() + kHeaderOpenFlag);
        if (m_openFlagAtOpen == 1)
            recovery = !readOnly;
        else if (!readOnly)
            encodeFixed32(header.data() + kHeaderOpenFlag, 1);
    }
    // A new volume needs its header before the first growth; an existing one is written
    // only once its trees have opened, so a damaged container is left as it was.
    if (size == 0 && !writeHeader(header)) return failWith(ErrorIo);
    const int64_t hostSize = m_host->size();
    if (hostSize < kBlockSize) return failWith(ErrorIo);
    m_hostBlocks = hostSize / kBlockSize;

    const bool freeRootWasZero = decodeFixed32(header.data() + kHeaderFreeRoot) == 0;
    // Both roots are 0 only in a volume whose creation stopped before its trees existed;
    // a file table without free space is damage, and making a free-space tree for it
    // would grow and rewrite a file whose open is then refused.
    if (size != 0 && freeRootWasZero && decodeFixed32(header.data() + kHeaderFileRoot) != 0)
        return failWith(ErrorIo);
    if (readOnly && (freeRootWasZero || decodeFixed32(header.data() + kHeaderFileRoot) == 0))
        return failWith(ErrorIo);
    const int32_t savedMode = m_params.allocMode;
    m_params.allocMode = AllocFromStart;
    if (!m_frees.init(this, kFreeRootSlot, kBlockSize)) {
        m_params.allocMode = savedMode;
        return failWith(m_lastError == ErrorNoSpace ? ErrorNoSpace : ErrorIo);
    }
    if (freeRootWasZero) {
        // The runs made by the first growth while the tree created its own root.
        std::vector<Run> runs;
        for (const auto& [first, length] : m_freePtrs) runs.push_back({first, length});
        for (const Run& r : runs) treeInsertFree(r.first, r.length);
        drainFreeOps();
    } else if (!rebuildFreeMaps()) {
        m_params.allocMode = savedMode;
        return failWith(ErrorIo);
    }
    if (!m_fileTable.initController(this, kFileRootSlot, kBlockSize)) {
        m_params.allocMode = savedMode;
        return failWith(m_lastError == ErrorNoSpace ? ErrorNoSpace : ErrorIo);
    }
    m_params.allocMode = savedMode;
    if (size != 0 && !readOnly) {
        // The trees may have just written new roots into their slots.
        encodeFixed32(header.data() + kHeaderFreeRoot, m_frees.rootBlock());
        encodeFixed32(header.data() + kHeaderFileRoot, m_fileTable.rootBlock());
        if (!writeHeader(header)) return failWith(ErrorIo);
    }
    if (recovery) runRecoveryPass();
    if (!flushBlocks()) return failWith(ErrorIo);
    m_lastError = ErrorNone;
    return true;
}

// Rebuilds freePtrs and freeSizes from the free-space tree. Runs that lie outside the
// host file or overlap one another would hand out a block twice: refused as damage.
bool EfsVolume::rebuildFreeMaps() {
    std::vector<std::pair<int, int>> entries;
    if (!m_frees.collectEntries(&entries)) return false;
    int64_t end = 1;
    for (const auto& [first, length] : entries) {
        if (first < end || length <= 0 || static_cast<int64_t>(first) + length > m_hostBlocks)
            return false;
        end = static_cast<int64_t>(first) + length;
    }
    for (const auto& [first, length] : entries) {
        m_freePtrs[first] = length;
        addFreeSize(length, first);
        m_frees.addToTotal(length);
    }
    return true;
}

void EfsVolume::runRecoveryPass() {
    std::vector<FileNameKey> keys;
    m_fileTable.collectKeys(&keys);
    for (const FileNameKey& key : keys) {
        const std::string name = key.text();
        const int32_t h = openFile(name.c_str(), AccessRead, OpenExisting);
        if (h != 0) closeFile(h);
    }
}

void EfsVolume::closeVolume() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_host) return;
    bool ok = true;
    while (!m_handles.empty()) {
        const int32_t h = m_handles.begin()->first;
        closeFileImpl(h);
        if (m_lastError != ErrorNone) ok = false;
        m_handles.erase(h);
    }
    m_handles.clear();
    m_openRecords.clear();
    ok = m_fileTable.close() && ok;
    ok = m_frees.close() && ok;
    if (!m_readOnly) {
        // Data first, then the clean flag: a crash in between leaves the flag set and
        // the next open runs the recovery pass.
        ok = flushBlocks() && ok;
        ok = m_host->sync() && ok;
        std::vector<uint8_t> header;
        if (readHeader(&header)) {
            encodeFixed32(header.data() + kHeaderOpenFlag, 0);
            ok = writeHeader(header) && ok;
        } else {
            ok = false;
        }
        ok = m_host->sync() && ok;
    }
    m_host->close();
    m_host.reset();
    m_readOnly = false;
    m_freeSizes.clear();
    m_freePtrs.clear();
    m_freeInMaps = 0;
    m_pendingFreeOps.clear();
    dropBlockCache();
    m_hostBlocks = 0;
    ok = ok && !m_freeTreeFailed;
    m_freeTreeFailed = false;
    m_lastError = ok ? ErrorNone : ErrorIo;
}

bool EfsVolume::compact() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    if (!m_host || m_readOnly) {
        m_lastError = ErrorState;
        return false;
    }
    QString tempPath;
    for (uint32_t n = 0;; ++n) {
        tempPath = m_path + "~" + QString::number(n, 16) + "~";
        if (!QFileInfo::exists(tempPath)) break;
    }
    auto removeHost = [this](const QString& p) {
        std::unique_ptr<EfsFile> f = m_factory();
        if (f) f->remove(p);
    };
    EfsVolume temp(m_factory);
    temp.setEncryptor(m_encryptor);
    // The copy replaces the original only once it is whole and closed.
    temp.setDeferredWrites(true);
    if (!temp.openVolume(tempPath)) {
        removeHost(tempPath);
        m_lastError = ErrorTempVolume;
        return false;
    }
    VolumeParams tempParams = m_params;
    tempParams.allocMode = AllocFromStart;
    bool copied = temp.loadParameters(tempParams);
    std::vector<FileNameKey> keys;
    if (!m_fileTable.collectKeys(&keys)) copied = false;
    std::vector<char> buffer(kBlockSize);
    for (size_t i = 0; copied && i < keys.size(); ++i) {
        const std::string name = keys[i].text();
        const int32_t to = temp.openFile(name.c_str(), AccessWrite, CreateAlways);
        const int32_t from = openFile(name.c_str(), AccessRead, OpenExisting);
        if (to == 0 || from == 0) copied = false;
        int64_t done = 0;
        while (copied && !atEndOfFile(from)) {
            const int32_t n = readFile(from, buffer.data(), kBlockSize);
            if (n <= 0) break;
            if (!temp.writeFile(to, buffer.data(), n)) copied = false;
            done += n;
        }
        if (copied && done != fileSize(from)) copied = false;
        if (copied && !temp.setFileAttributes(to, fileAttributes(from))) copied = false;
        if (from) {
            // Closing stores the original's access time: a write that fails is reported.
            closeFile(from);
            if (m_lastError != ErrorNone) copied = false;
        }
        if (to) temp.closeFile(to);
        if (temp.lastError() != ErrorNone) copied = false;
    }
    if (copied) {
        temp.closeVolume();
        copied = temp.lastError() == ErrorNone;
    }
    if (!copied) {
        // A half-copied volume must never replace the whole one.
        temp.closeVolume();
        removeHost(tempPath);
        m_lastError = ErrorIo;
        return false;
    }

    const std::map<int32_t, OpenFile> savedHandles = m_handles;
    // Handle numbers given out before the compact are never given out again.
    const int32_t lastHandle = m_lastHandle;
    std::map<int32_t, std::string> savedNames;
    for (const auto& [block, open] : m_openRecords) savedNames[block] = open.record.fileName();
    const VolumeParams savedParams = m_params;
    const QString path = m_path;
    // Gives every handle that was open its number and position again.
    auto restoreHandles = [&] {
        bool ok = true;
        for (const auto& [handle, file] : savedHandles) {
            auto it = savedNames.find(file.recordBlock);
            if (it == savedNames.end()) continue;
            m_lastHandle = handle - 1;
            const int32_t h = openFile(it->second.c_str(), file.access, OpenAlways);
            if (h == 0 || seekFile(h, file.position) != file.position) ok = false;
        }
        m_lastHandle = std::max(m_lastHandle, lastHandle);
        return ok;
    };
    closeVolume();
    if (m_lastError != ErrorNone) {
        // The original did not close cleanly, so nothing replaces it: it is opened again
        // (its recovery pass runs if its clean flag was not written) and the copy goes.
        removeHost(tempPath);
        if (openVolume(path)) restoreHandles();
        m_lastError = ErrorIo;
        return false;
    }

    std::unique_ptr<EfsFile> shell = m_factory();
    if (shell) {
        shell->remove(path + ".fits");
        shell->remove(path + ".ptrs");
        shell->move(tempPath + ".fits", path + ".fits");
        shell->move(tempPath + ".ptrs", path + ".ptrs");
        // Renaming over the old host file replaces it in one step.
        shell->move(tempPath, path);
    }
    if (!openVolume(path)) return false;
    // The volume is compacted now; parameters or handles that could not be restored
    // still fail the call.
    bool ok = loadParameters(savedParams);
    ok = restoreHandles() && ok;
    m_lastError = ok ? ErrorNone : ErrorIo;
    return ok;
}

bool EfsVolume::reformat() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_host && m_readOnly) {
        m_lastError = ErrorState;
        return false;
    }
    const QString path = m_path;
    closeVolume();
    if (path.isEmpty()) {
        m_lastError = ErrorHostOpen;
        return false;
    }
    std::unique_ptr<EfsFile> shell = m_factory();
    if (shell) {
        shell->remove(path + ".fits");
        shell->remove(path + ".ptrs");
        shell->remove(path);
    }
    return openVolume(path);
}

int32_t EfsVolume::lastError() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_lastError;
}

int32_t EfsVolume::openFlagAtOpen() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_openFlagAtOpen;
}

int32_t EfsVolume::formatVersion() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_version;
}

void EfsVolume::setEncryptor(EfsEncryptor* encryptor) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    // Blocks waiting to be written go out under the encryptor they were written with; if
    // they cannot, the encryptor stays until they can.
    if (!flushBlocks()) {
        m_lastError = ErrorIo;
        return;
    }
    m_encryptor = encryptor ? encryptor : EfsEncryptor::defaultEncryptor();
    m_blocks.clear();
    m_cachedBlock = -1;
}

EfsEncryptor* EfsVolume::encryptor() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_encryptor;
}

VolumeParams EfsVolume::parameters() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_params;
}

// Parameter load: the header is read first, and nothing changes if that fails.
bool EfsVolume::loadParameters(const VolumeParams& params) {
    std::vector<uint8_t> header;
    if (!m_host || m_readOnly || !readHeader(&header)) return false;
    VolumeParams p = params;
    p.blockSize = m_params.blockSize;
    m_params = p;
    m_params.encode(header.data() + kHeaderParams);
    return writeHeader(header);
}

bool EfsVolume::setParameters(const VolumeParams& params) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    if (!m_host || m_readOnly) {
        m_lastError = ErrorState;
        return false;
    }
    VolumeParams p = params;
    p.blockSize = kBlockSize;
    if (!checkHeaderParams(p)) {
        m_lastError = ErrorArgument;
        return false;
    }
    if (!loadParameters(p)) {
        m_lastError = ErrorIo;
        return false;
    }
    return true;
}

void EfsVolume::setGrowthStep(int64_t bytes) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    if (bytes < kBlockSize) return;
    std::vector<uint8_t> header;
    if (!m_host || m_readOnly) {
        m_lastError = ErrorState;
        return;
    }
    if (!readHeader(&header)) {
        m_lastError = ErrorIo;
        return;
    }
    m_params.growthStep = bytes;
    m_params.encode(header.data() + kHeaderParams);
    if (!writeHeader(header)) m_lastError = ErrorIo;
}

void EfsVolume::volumeStatistics(VolumeStatistics* out) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_host || !out) return;
    out->hostSize = m_host->size();
    out->freeBytes = m_frees.freeTotal() * m_params.blockSize;
    out->freePercent = out->hostSize > 0
                           ? static_cast<float>(static_cast<double>(out->freeBytes) * 100.0 /
                                                static_cast<double>(out->hostSize))
                           : 0.0f;
    out->params = m_params;
}

// ---- Block layer ---------------------------------------------------------------------

bool EfsVolume::readBlock(int32_t block, void* dst, int32_t length, int32_t offset) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_host || block < 1 || block >= m_hostBlocks || offset < 0 || length < 0 ||
        length > kBlockSize - offset || (dst == nullptr && length > 0))
        return false;
    const uint8_t* plain = nullptr;
    auto it = m_blocks.find(block);
    if (it != m_blocks.end()) {
        plain = it->second.bytes.data();
    } else {
        if (block != m_cachedBlock) {
            // The buffer is overwritten below, so it no longer holds the old block.
            m_cachedBlock = -1;
            if (!fetchBlock(block, m_cache.data())) return false;
            m_cachedBlock = block;
        }
        plain = m_cache.data();
    }
    if (length > 0) std::memcpy(dst, plain + offset, static_cast<size_t>(length));
    return true;
}

bool EfsVolume::writeBlock(int32_t block, const void* src, int32_t length, int32_t offset,
                           bool merge) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_host || m_readOnly || block < 1 || block >= m_hostBlocks || offset < 0 || length < 0 ||
        length > kBlockSize - offset || (src == nullptr && length > 0))
        return false;
    const bool keepRest = merge && length < kBlockSize;
    auto it = m_blocks.find(block);
    if (it == m_blocks.end()) {
        if (m_blocks.size() >= kCacheBlocks && !makeCacheRoom()) {
            if (block == m_cachedBlock) m_cachedBlock = -1;
            return false;
        }
        CachedBlock fresh;
        fresh.bytes.resize(kBlockSize);
        if (keepRest) {
            if (block == m_cachedBlock) {
                std::memcpy(fresh.bytes.data(), m_cache.data(), kBlockSize);
            } else if (!fetchBlock(block, fresh.bytes.data())) {
                // The block lies wholly inside the host file: a short read is a failure,
                // and zero-filling the rest would write zeros over the block's data.
                return false;
            }
        }
        it = m_blocks.emplace(block, std::move(fresh)).first;
    }
    uint8_t* bytes = it->second.bytes.data();
    if (!keepRest) {
        std::memset(bytes, 0, static_cast<size_t>(offset));
        std::memset(bytes + offset + length, 0, static_cast<size_t>(kBlockSize - offset - length));
    }
    if (length > 0) std::memcpy(bytes + offset, src, static_cast<size_t>(length));
    it->second.dirty = true;
    m_dirty.insert(block);
    // The cache now answers for the block; the one-block buffer no longer does.
    if (block == m_cachedBlock) m_cachedBlock = -1;
    return true;
}

bool EfsVolume::fetchBlock(int32_t block, uint8_t* dst) {
    auto it = m_blocks.find(block);
    if (it != m_blocks.end()) {
        std::memcpy(dst, it->second.bytes.data(), kBlockSize);
        return true;
    }
    const int64_t at = static_cast<int64_t>(block) * kBlockSize;
    if (m_host->readAt(at, dst, kBlockSize) != kBlockSize) return false;
    return m_encryptor->decode(dst, kBlockSize);
}

bool EfsVolume::makeCacheRoom() {
    if (!flushBlocks()) return false;
    m_blocks.clear();
    return true;
}

bool EfsVolume::flushBlocks() {
    if (m_dirty.empty()) return true;
    if (!m_host || m_readOnly) return false;
    auto it = m_dirty.begin();
    while (it != m_dirty.end()) {
        // A run of neighbouring dirty blocks, encoded into one buffer.
        const int32_t first = *it;
        int32_t count = 0;
        auto next = it;
        while (next != m_dirty.end() && *next == first + count && count < kMaxBlocksPerTransfer) {
            ++count;
            ++next;
        }
        const int32_t bytes = count * kBlockSize;
        if (m_flushBuffer.size() < static_cast<size_t>(bytes)) m_flushBuffer.resize(bytes);
        for (int32_t i = 0; i < count; ++i) {
            uint8_t* at = m_flushBuffer.data() + static_cast<size_t>(i) * kBlockSize;
            std::memcpy(at, m_blocks.at(first + i).bytes.data(), kBlockSize);
            if (!m_encryptor->encode(at, kBlockSize)) return false;
        }
        if (m_host->writeAt(static_cast<int64_t>(first) * kBlockSize, m_flushBuffer.data(),
                            bytes) != bytes)
            return false;
        for (auto done = it; done != next; ++done) m_blocks.at(*done).dirty = false;
        it = m_dirty.erase(it, next);
    }
    return true;
}

bool EfsVolume::flush() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    if (flushBlocks()) return true;
    m_lastError = ErrorIo;
    return false;
}

void EfsVolume::setDeferredWrites(bool on) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    m_deferWrites = on;
    if (!on && !flushBlocks()) m_lastError = ErrorIo;
}

bool EfsVolume::deferredWrites() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_deferWrites;
}

bool EfsVolume::endOperation(bool ok) {
    if (m_deferWrites || flushBlocks()) return ok;
    // A flush that fails fails the operation; an operation that failed keeps its code.
    if (ok || m_lastError == ErrorNone) m_lastError = ErrorIo;
    return false;
}

void EfsVolume::dropCleanBlocks() {
    for (auto it = m_blocks.begin(); it != m_blocks.end();) {
        if (it->second.dirty)
            ++it;
        else
            it = m_blocks.erase(it);
    }
    m_cachedBlock = -1;
}

void EfsVolume::dropBlockCache() {
    m_blocks.clear();
    m_dirty.clear();
    m_flushBuffer = std::vector<uint8_t>();
    m_cachedBlock = -1;
}

bool EfsVolume::readBlocks(int32_t first, int32_t count, char* dst) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_host || first < 1 || count < 1 || count > kMaxBlocksPerTransfer ||
        static_cast<int64_t>(first) + count > m_hostBlocks || dst == nullptr)
        return false;
    const int64_t at = static_cast<int64_t>(first) * kBlockSize;
    const int32_t bytes = count * kBlockSize;
    // The cache is left holding the last block, as block-by-block reads leave it.
    m_cachedBlock = -1;
    if (m_host->readAt(at, dst, bytes) != bytes) return false;
    for (int32_t i = 0; i < count; ++i) {
        if (!m_encryptor->decode(
                reinterpret_cast<uint8_t*>(dst) + static_cast<size_t>(i) * kBlockSize, kBlockSize))
            return false;
    }
    // Blocks written since the last flush are newer than the disk.
    for (auto it = m_dirty.lower_bound(first); it != m_dirty.end() && *it < first + count; ++it) {
        std::memcpy(dst + static_cast<size_t>(*it - first) * kBlockSize,
                    m_blocks.at(*it).bytes.data(), kBlockSize);
    }
    std::memcpy(m_cache.data(), dst + static_cast<size_t>(count - 1) * kBlockSize, kBlockSize);
    m_cachedBlock = first + count - 1;
    return true;
}

bool EfsVolume::writeBlocks(int32_t first, int32_t count, const char* src) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_host || m_readOnly || first < 1 || count < 1 || count > kMaxBlocksPerTransfer ||
        static_cast<int64_t>(first) + count > m_hostBlocks || src == nullptr)
        return false;
    const bool cacheInside = m_cachedBlock >= first && m_cachedBlock < first + count;
    if (cacheInside) {
        std::memcpy(m_cache.data(), src + static_cast<size_t>(m_cachedBlock - first) * kBlockSize,
                    kBlockSize);
    }
    // The cache must not hold an older copy of any of these blocks, nor write one later.
    auto forgetRange = [this, first, count] {
        if (m_blocks.empty()) return;
        for (int32_t b = first; b < first + count; ++b) {
            if (m_blocks.erase(b)) m_dirty.erase(b);
        }
    };
    const int64_t at = static_cast<int64_t>(first) * kBlockSize;
    const int32_t bytes = count * kBlockSize;
    const char* out = src;
    std::vector<uint8_t> encoded;
    if (m_encryptor != EfsEncryptor::defaultEncryptor()) {
        // Another encryptor changes the bytes: encode a copy, block by block.
        encoded.assign(reinterpret_cast<const uint8_t*>(src),
                       reinterpret_cast<const uint8_t*>(src) + bytes);
        for (int32_t i = 0; i < count; ++i) {
            if (!m_encryptor->encode(encoded.data() + static_cast<size_t>(i) * kBlockSize,
                                     kBlockSize)) {
                if (cacheInside) m_cachedBlock = -1;
                return false;
            }
        }
        out = reinterpret_cast<const char*>(encoded.data());
    }
    if (m_host->writeAt(at, out, bytes) != bytes) {
        // Part of the range may hold the new bytes and part the old: no copy is trusted.
        if (cacheInside) m_cachedBlock = -1;
        forgetRange();
        return false;
    }
    forgetRange();
    return true;
}

// ---- Node store ----------------------------------------------------------------------

bool EfsVolume::readNodeBlock(int32_t b, uint8_t* dst, int32_t length) {
    // Every look-up reads the nodes on its path again: they stay in the cache.
    if (!m_host || b < 1 || b >= m_hostBlocks || length < 0 || length > kBlockSize) return false;
    auto it = m_blocks.find(b);
    if (it == m_blocks.end()) {
        CachedBlock fresh;
        fresh.bytes.resize(kBlockSize);
        if (!fetchBlock(b, fresh.bytes.data())) return false;
        // Without room (blocks that cannot be written yet), the node is just not kept.
        if (m_blocks.size() >= kCacheBlocks && !makeCacheRoom()) {
            std::memcpy(dst, fresh.bytes.data(), static_cast<size_t>(length));
            return true;
        }
        it = m_blocks.emplace(b, std::move(fresh)).first;
    }
    std::memcpy(dst, it->second.bytes.data(), static_cast<size_t>(length));
    return true;
}

bool EfsVolume::writeNodeBlock(int32_t b, const uint8_t* src, int32_t length) {
    if (m_readOnly) return true;  // nothing changes in a read-only volume
    return writeBlock(b, src, length, 0, false);
}

bool EfsVolume::readRootSlot(int32_t offset, int32_t* value) {
    uint8_t raw[4];
    if (!m_host || m_host->readAt(offset, raw, 4) != 4) return false;
    *value = decodeFixed32(raw);
    return true;
}

bool EfsVolume::writeRootSlot(int32_t offset, int32_t value) {
    // A root slot never names a node that is not on the disk yet.
    if (!m_host || m_readOnly || !flushBlocks()) return false;
    uint8_t raw[4];
    encodeFixed32(raw, value);
    return m_host->writeAt(offset, raw, 4) == 4;
}

int32_t EfsVolume::allocateNodeBlocks(int32_t count) {
    if (m_readOnly) return 0;
    AllocationEvent begin;
    begin.kind = AllocationEvent::Kind::NodeBegin;
    begin.count = count;
    trace(begin);
    int32_t block = 0;
    if (m_drainingFreeOps) {
        // The free-space tree needs a node while it takes up the edits of free runs. By
        // best fit that node would often be a whole one-block run, whose removal takes an
        // entry out of the tree; near the split point the tree then merges, frees the
        // node, gains the entry back and splits again, for ever. So the node is cut from
        // the end of the shortest run longer than itself, which only shortens that run
        // and leaves the number of entries as it was.
        Run run;
        if (ensureFree(count) &&
            (bestFit(count + 1, &run) || (growHost() && bestFit(count + 1, &run))))
            block = carveRun(run, {run.first + run.length - count, count});
        if (block == 0) m_lastError = ErrorNoSpace;
    } else {
        std::vector<Run> runs;
        if (ensureFree(count) && allocateBlocks(0, count, AllocBestFit, &runs) && !runs.empty())
            block = runs.front().first;
    }
    AllocationEvent end;
    end.kind = AllocationEvent::Kind::NodeEnd;
    end.ok = block != 0;
    end.first = block;
    trace(end);
    return block;
}

void EfsVolume::releaseNodeBlocks(int32_t first, int32_t count) {
    AllocationEvent event;
    event.kind = AllocationEvent::Kind::NodeRelease;
    event.first = first;
    event.count = count;
    trace(event);
    releaseRun(first, count);
}

int64_t EfsVolume::blockLimit() const { return m_hostBlocks; }

// ---- Free space ----------------------------------------------------------------------

void EfsVolume::addFreeSize(int32_t length, int32_t first) {
    m_freeSizes.emplace(length, first);
    m_freeInMaps += length;
}

void EfsVolume::dropFreeSize(int32_t length, int32_t first) {
    auto [lo, hi] = m_freeSizes.equal_range(length);
    for (auto it = lo; it != hi; ++it) {
        if (it->second == first) {
            m_freeSizes.erase(it);
            m_freeInMaps -= length;
            return;
        }
    }
}

// The maps change at once; the matching edits of the free-space tree are queued and
// applied by drainFreeOps once the maps are whole again, so that a node the tree takes or
// gives back meanwhile sees every run where it belongs.
void EfsVolume::treeInsertFree(int32_t first, int32_t length) {
    m_pendingFreeOps.push_back({FreeOp::Insert, first, length});
}

void EfsVolume::treeRemoveFree(int32_t first) {
    m_pendingFreeOps.push_back({FreeOp::Remove, first, 0});
}

void EfsVolume::treeUpdateFree(int32_t first, int32_t length) {
    m_pendingFreeOps.push_back({FreeOp::Update, first, length});
}

void EfsVolume::drainFreeOps() {
    // Inside a running edit of the tree, the edits it causes wait their turn here.
    if (m_drainingFreeOps) return;
    m_drainingFreeOps = true;
    // Each edit queues at most a few more; anything near this bound is a damaged tree,
    // and giving up is better than hanging.
    int budget = 1 << 20;
    while (!m_pendingFreeOps.empty() && budget-- > 0) {
        PendingFreeOp op = m_pendingFreeOps.front();
        m_pendingFreeOps.pop_front();
        switch (op.op) {
            case FreeOp::Insert:
                m_frees.insert(op.first, op.length);
                break;
            case FreeOp::Remove:
                m_frees.remove(op.first);
                break;
            case FreeOp::Update:
                m_frees.update(op.first, op.length);
                break;
        }
        if (m_frees.hasRoot() && m_frees.failed()) m_freeTreeFailed = true;
    }
    if (!m_pendingFreeOps.empty()) m_freeTreeFailed = true;
    m_pendingFreeOps.clear();
    m_drainingFreeOps = false;
}

bool EfsVolume::ensureFree(int32_t count) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    if (m_freeSizes.empty() || m_freeSizes.begin()->first < m_params.minLargestRun) {
        if (!growHost()) return false;
    }
    int64_t need = 2 * static_cast<int64_t>(count);
    if (need <= 0) return true;
    // Walk the runs from the longest down, counting each against the need; at the end of
    // the runs grow the host file and walk again from the longest, counting every run
    // again (those counted before the growth included).
    for (;;) {
        for (const auto& entry : m_freeSizes) {
            need -= entry.first;
            if (need <= 0) return true;
        }
        if (!growHost()) return false;
    }
}

bool EfsVolume::growHost() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_host || m_readOnly) return false;
    const int64_t size = m_host->size();
    const int64_t oldBlocks = size / kBlockSize;
    const int64_t stepBlocks = m_params.growthStep / kBlockSize;
    AllocationEvent event;
    event.kind = AllocationEvent::Kind::Grow;
    event.oldBlocks = oldBlocks;
    event.newBlocks = oldBlocks + stepBlocks;
    if (size < 0 || stepBlocks < 1 || oldBlocks + stepBlocks > INT32_MAX ||
        !m_host->truncate((oldBlocks + stepBlocks) * kBlockSize)) {
        m_lastError = ErrorNoSpace;
        event.ok = false;
        trace(event);
        return false;
    }
    trace(event);
    m_hostBlocks = oldBlocks + stepBlocks;
    const auto old = static_cast<int32_t>(oldBlocks);
    const auto step = static_cast<int32_t>(stepBlocks);
    auto it = m_freePtrs.upper_bound(old);  // the run with the highest start below old
    if (it != m_freePtrs.end() && static_cast<int64_t>(it->first) + it->second == oldBlocks) {
        const int32_t first = it->first;
        const int32_t oldLength = it->second;
        const int32_t newLength = oldLength + step;
        it->second = newLength;
        dropFreeSize(oldLength, first);
        addFreeSize(newLength, first);
        treeUpdateFree(first, newLength);
    } else {
        m_freePtrs[old] = step;
        addFreeSize(step, old);
        treeInsertFree(old, step);
    }
    drainFreeOps();
    return true;
}

bool EfsVolume::allocateBlocks(int32_t hint, int32_t count, int32_t mode, std::vector<Run>* out) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    out->clear();
    AllocationEvent begin;
    begin.kind = AllocationEvent::Kind::AllocateBegin;
    begin.hint = hint;
    begin.count = count;
    begin.mode = mode;
    trace(begin);
    auto finish = [&](bool ok) {
        AllocationEvent end;
        end.kind = AllocationEvent::Kind::AllocateEnd;
        end.ok = ok;
        end.runs = *out;
        trace(end);
        return ok;
    };
    if (!m_host || m_readOnly) {
        m_lastError = ErrorState;
        return finish(false);
    }
    // Refuse at once what the host file could not hold even grown to the last block.
    if (count > m_freeInMaps + (INT32_MAX - m_hostBlocks)) {
        m_lastError = ErrorNoSpace;
        return finish(false);
    }
    int32_t cursor = (hint != 0 && m_freePtrs.count(hint)) ? hint : 0;
    if (!ensureFree(count)) return finish(false);
    if (count <= 0) return finish(true);
    int32_t remaining = count;
    while (remaining > 0) {
        Run run;
        Run piece;
        auto at = cursor != 0 ? m_freePtrs.find(cursor) : m_freePtrs.end();
        if (at != m_freePtrs.end()) {
            run = {at->first, at->second};
            piece = {run.first, std::min(remaining, run.length)};
            // Free runs never touch, so the hint supplies the first piece only.
            cursor = 0;
        } else {
            if (mode == AllocBestFit) {
                if (!bestFit(count, &run)) {
                    m_lastError = ErrorNoSpace;
                    return finish(false);
                }
            } else {
                // ensureFree counts runs again after each growth, so it may leave fewer
                // blocks free than asked for; when the runs run out the host file grows.
                if (m_freeSizes.empty() && !growHost()) return finish(false);
                run = {m_freeSizes.begin()->second, m_freeSizes.begin()->first};
                if (run.length < kMiddleMinRun) mode = AllocFromStart;
            }
            if (mode == AllocFromMiddle) {
                const int32_t half = run.length / 2;
                piece = {run.first + half, std::min(remaining, run.length - half)};
            } else {
                piece = {run.first, std::min(remaining, run.length)};
            }
        }
        if (piece.length <= 0) {
            m_lastError = ErrorNoSpace;
            return finish(false);
        }
        const int32_t first = carveRun(run, piece);
        if (first == 0) {
            m_lastError = ErrorNoSpace;
            return finish(false);
        }
        out->push_back({first, piece.length});
        remaining -= piece.length;
    }
    return finish(true);
}

bool EfsVolume::bestFit(int32_t count, Run* run) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    bool found = false;
    for (const auto& [length, first] : m_freeSizes) {
        if (length == count) {
            *run = {first, length};
            return true;
        }
        if (length < count) break;
        *run = {first, length};
        found = true;
    }
    return found;
}

int32_t EfsVolume::carveRun(Run run, Run piece) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastError = ErrorNone;
    AllocationEvent event;
    event.kind = AllocationEvent::Kind::Carve;
    event.run = run;
    event.piece = piece;
    trace(event);
    const int32_t s = run.first, len = run.length, p = piece.first, c = piece.length;
    auto at = m_freePtrs.find(s);
    if (c > len || c <= 0 || p < s || static_cast<int64_t>(p) + c > static_cast<int64_t>(s) + len ||
        at == m_freePtrs.end() || at->second != len) {
        m_lastError = ErrorNoSpace;
        return 0;
    }
    Run rest;
    if (p == s) {
        m_freePtrs.erase(at);
        dropFreeSize(len, s);
        treeRemoveFree(s);
        rest = {s + c, len - c};
    } else {
        const int32_t lower = p - s;
        at->second = lower;
        dropFreeSize(len, s);
        addFreeSize(lower, s);
        treeUpdateFree(s, lower);
        rest = {p + c, s + len - (p + c)};
    }
    if (rest.length > 0) {
        m_freePtrs[rest.first] = rest.length;
        addFreeSize(rest.length, rest.first);
        treeInsertFree(rest.first, rest.length);
    }
    drainFreeOps();
    return p;
}

void EfsVolume::releaseRun(int32_t s, int32_t c) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    AllocationEvent event;
    event.kind = AllocationEvent::Kind::Release;
    event.first = s;
    event.count = c;
    trace(event);
    if (!m_host || m_readOnly || s <= 0 || c <= 0 || static_cast<int64_t>(s) + c > m_hostBlocks)
        return;
    // A run that is already (partly) free must not be released twice: that would make
    // the allocator hand the same block out twice.
    auto over = m_freePtrs.lower_bound(s + c - 1);  // highest start <= last block
    if (over != m_freePtrs.end() && static_cast<int64_t>(over->first) + over->second > s) return;

    auto right = m_freePtrs.find(s + c);
    auto left = m_freePtrs.upper_bound(s);  // highest start below s
    const bool hasLeft =
        left != m_freePtrs.end() && static_cast<int64_t>(left->first) + left->second == s;
    if (right != m_freePtrs.end()) {
        const int32_t r = right->first, rlen = right->second;
        c += rlen;
        m_freePtrs.erase(right);
        dropFreeSize(rlen, r);
        treeRemoveFree(r);
    }
    if (!hasLeft) {
        m_freePtrs[s] = c;
        addFreeSize(c, s);
        treeInsertFree(s, c);
    } else {
        left = m_freePtrs.upper_bound(s);
        const int32_t l = left->first, llen = left->second;
        left->second = llen + c;
        dropFreeSize(llen, l);
        addFreeSize(llen + c, l);
        treeUpdateFree(l, llen + c);
    }
    drainFreeOps();
}

// ---- Views ---------------------------------------------------------------------------

std::vector<EfsVolume::Run> EfsVolume::freeRunsByStart() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    std::vector<Run> out;
    for (auto it = m_freePtrs.rbegin(); it != m_freePtrs.rend(); ++it)
        out.push_back({it->first, it->second});
    return out;
}

std::vector<EfsVolume::Run> EfsVolume::freeRunsBySize() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    std::vector<Run> out;
    for (const auto& [length, first] : m_freeSizes) out.push_back({first, length});
    return out;
}

std::vector<EfsVolume::Run> EfsVolume::freeRunsInTree() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    std::vector<std::pair<int, int>> entries;
    std::vector<Run> out;
    if (m_host && m_frees.collectEntries(&entries))
        for (const auto& [first, length] : entries) out.push_back({first, length});
    return out;
}

int64_t EfsVolume::freeTotal() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_frees.freeTotal();
}

int64_t EfsVolume::hostBlocks() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_hostBlocks;
}

size_t EfsVolume::cachedBlocks() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_blocks.size();
}

size_t EfsVolume::dirtyBlocks() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_dirty.size();
}

int32_t EfsVolume::cachedBlock() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_cachedBlock;
}

int32_t EfsVolume::freeTreeRoot() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_frees.rootBlock();
}

int32_t EfsVolume::fileTableRoot() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_fileTable.rootBlock();
}

size_t EfsVolume::freeTreeCachedNodes() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_frees.cachedCount();
}

size_t EfsVolume::fileTableCachedNodes() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_fileTable.cachedCount();
}
