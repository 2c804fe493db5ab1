#include "efs/BlockStore.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "efs/Coding.h"
#include "efs/EfsFormat.h"

namespace efs {

namespace {
EfsEncryptor g_defaultEncryptor;

QString blocksText(int32_t first, int32_t count) {
    if (first == 0) return QStringLiteral("the header");
    if (count <= 1) return QStringLiteral("block %1").arg(first);
    return QStringLiteral("blocks %1 to %2").arg(first).arg(first + count - 1);
}
}  // namespace

}  // namespace efs

bool EfsEncryptor::encode(uint8_t*, int32_t) { return true; }
bool EfsEncryptor::decode(uint8_t*, int32_t) { return true; }
EfsEncryptor* EfsEncryptor::defaultEncryptor() { return &efs::g_defaultEncryptor; }

namespace efs {

BlockStore::BlockStore() : m_encryptor(EfsEncryptor::defaultEncryptor()), m_buffer(kBlockSize) {}

// ---- Host file -------------------------------------------------------------------------

void BlockStore::attach(std::unique_ptr<EfsFile> host, bool readOnly) {
    dropAll();
    m_host = std::move(host);
    m_readOnly = readOnly;
    m_hostBlocks = 0;
    m_keptSize = -1;
}

void BlockStore::detach() {
    m_zeroRuns.clear();
    if (m_host) m_host->close();
    m_host.reset();
    m_readOnly = false;
    m_hostBlocks = 0;
    dropAll();
    m_keptSize = -1;
    m_keptHeader = std::vector<uint8_t>();
    m_keptTail = std::vector<uint8_t>();
}

int64_t BlockStore::hostSize() { return m_host ? m_host->size() : -1; }

bool BlockStore::measureHost() {
    const int64_t size = hostSize();
    if (size < kBlockSize) return false;
    m_hostBlocks = size / kBlockSize;
    return true;
}

bool BlockStore::transferFailed(bool writing, int64_t got, int64_t want, int32_t first,
                                int32_t count) {
    const int error = errno;
    if (got < 0 || writing) {
        noteFailure(Status::ioError(
            error, (writing ? QStringLiteral("while writing ") : QStringLiteral("while reading ")) +
                       blocksText(first, count)));
        return false;
    }
    // A read that ends early: the file is shorter than the blocks it should hold, cut short
    // since it was measured.
    const int64_t size = m_host ? m_host->size() : -1;
    const int64_t end = static_cast<int64_t>(first) * kBlockSize + want;
    noteFailure(
        Status::corruption(QStringLiteral("the file is %1 bytes long, but %2 ends at byte %3")
                               .arg(grouped(size), blocksText(first, count), grouped(end))));
    return false;
}

void BlockStore::noteSourceFailure(int error, int64_t end) {
    if (error != 0) {
        noteFailure(Status::ioError(error, QStringLiteral("while reading the file copied from")));
        return;
    }
    noteFailure(Status::corruption(
        QStringLiteral("the file copied from was cut short: it ends before byte %1")
            .arg(grouped(end))));
}

bool BlockStore::resizeHost(int64_t blocks) {
    if (!m_host || m_readOnly) return false;
    errno = 0;
    if (!m_host->truncate(blocks * kBlockSize)) {
        noteFailure(
            Status::ioError(errno, QStringLiteral("while setting the file's size to %1 bytes")
                                       .arg(grouped(blocks * kBlockSize))));
        return false;
    }
    if (blocks > m_hostBlocks && m_hostBlocks > 0) {
        // The file grew with zeros. A run that ended at the old end goes on.
        auto it = m_zeroRuns.empty() ? m_zeroRuns.end() : std::prev(m_zeroRuns.end());
        if (it != m_zeroRuns.end() && it->second == m_hostBlocks)
            it->second = static_cast<int32_t>(blocks);
        else
            m_zeroRuns[static_cast<int32_t>(m_hostBlocks)] = static_cast<int32_t>(blocks);
    } else {
        m_zeroRuns.clear();  // a file that shrank or had no size known: nothing is known
    }
    m_hostBlocks = blocks;
    return true;
}

bool BlockStore::knownZero(int32_t block) const {
    if (m_zeroRuns.empty() || m_encryptor != EfsEncryptor::defaultEncryptor()) return false;
    auto it = m_zeroRuns.upper_bound(block);
    if (it == m_zeroRuns.begin()) return false;
    --it;
    return block < it->second;
}

void BlockStore::written(int32_t first, int32_t count) {
    if (m_zeroRuns.empty()) return;
    const int32_t end = first + count;
    auto it = m_zeroRuns.upper_bound(first);
    if (it != m_zeroRuns.begin()) --it;
    while (it != m_zeroRuns.end() && it->first < end) {
        const int32_t runStart = it->first, runEnd = it->second;
        if (runEnd <= first) {
            ++it;
            continue;
        }
        it = m_zeroRuns.erase(it);
        if (runStart < first) m_zeroRuns[runStart] = first;
        if (runEnd > end) it = m_zeroRuns.emplace(end, runEnd).first;
    }
}

BlockStore::CachedBlock* BlockStore::newEntry(int32_t block) {
    if (m_blocks.size() >= kCacheBlocks && !makeRoom()) return nullptr;
    CachedBlock& entry = m_blocks[block];
    if (m_spareBuffers.empty()) {
        entry.bytes = std::make_unique_for_overwrite<uint8_t[]>(kBlockSize);
    } else {
        entry.bytes = std::move(m_spareBuffers.back());
        m_spareBuffers.pop_back();
    }
    return &entry;
}

std::unordered_map<int32_t, BlockStore::CachedBlock>::iterator BlockStore::forget(
    std::unordered_map<int32_t, CachedBlock>::iterator it) {
    if (it->second.dirty) m_dirty.erase(it->first);
    if (it->second.bytes && m_spareBuffers.size() < kCacheBlocks)
        m_spareBuffers.push_back(std::move(it->second.bytes));
    return m_blocks.erase(it);
}

bool BlockStore::forget(int32_t block) {
    auto it = m_blocks.find(block);
    if (it == m_blocks.end()) return false;
    forget(it);
    return true;
}

void BlockStore::forgetAll() {
    for (auto it = m_blocks.begin(); it != m_blocks.end();) it = forget(it);
}

bool BlockStore::sync() {
    if (!m_host) return false;
    errno = 0;
    if (m_host->sync()) return true;
    noteFailure(Status::ioError(errno, QStringLiteral("while making the file durable (sync)")));
    return false;
}

bool BlockStore::keepEnds() {
    m_keptSize = -1;
    const int64_t size = hostSize();
    if (size < kBlockSize) return false;
    const int64_t tailAt = size / kBlockSize * kBlockSize;
    const auto tailBytes = static_cast<int32_t>(size - tailAt);
    m_keptHeader.assign(kBlockSize, 0);
    m_keptTail.assign(static_cast<size_t>(tailBytes), 0);
    if (m_host->readAt(0, m_keptHeader.data(), kBlockSize) != kBlockSize) return false;
    if (tailBytes > 0 && m_host->readAt(tailAt, m_keptTail.data(), tailBytes) != tailBytes)
        return false;
    m_keptSize = size;
    return true;
}

bool BlockStore::restoreEnds() {
    if (!m_host || m_readOnly || m_keptSize < 0) return false;
    dropAll();
    const int64_t tailAt = m_keptSize / kBlockSize * kBlockSize;
    const auto tailBytes = static_cast<int32_t>(m_keptTail.size());
    bool ok = m_host->truncate(m_keptSize);
    ok = m_host->writeAt(0, m_keptHeader.data(), kBlockSize) == kBlockSize && ok;
    if (tailBytes > 0)
        ok = m_host->writeAt(tailAt, m_keptTail.data(), tailBytes) == tailBytes && ok;
    m_hostBlocks = m_keptSize / kBlockSize;
    return ok;
}

// ---- Header and root slots -------------------------------------------------------------

bool BlockStore::readHeader(std::vector<uint8_t>* header) {
    header->assign(kBlockSize, 0);
    if (!m_host) return false;
    errno = 0;
    const int32_t n = m_host->seek(0) == 0 ? m_host->read(header->data(), kBlockSize) : -1;
    if (n < 0) return transferFailed(false, n, kBlockSize, 0, 1);
    // Another kind of file is told apart from a cut-off container by its first bytes.
    const auto seen = static_cast<std::ptrdiff_t>(std::min<size_t>(n, kMagic.size()));
    if (n == 0 || !std::equal(header->begin(), header->begin() + seen, kMagic.begin())) {
        noteFailure(Status::corruption(
            QStringLiteral("it does not start with a voxtrail container header")));
        return false;
    }
    if (n < kBlockSize) {
        noteFailure(Status::corruption(
            QStringLiteral(
                "the file is %1 bytes long, shorter than a container's header (%2 bytes)")
                .arg(grouped(n), grouped(kBlockSize))));
        return false;
    }
    const VolumeParams p = VolumeParams::decode(header->data() + kHeaderParams);
    if (p.blockSize >= kMinParamsBlockSize) return true;
    noteFailure(Status::corruption(
        QStringLiteral("its header is damaged: it gives a block size of %1").arg(p.blockSize)));
    return false;
}

bool BlockStore::writeHeader(const std::vector<uint8_t>& header) {
    // The header never points ahead of the blocks it names.
    if (!m_host || m_readOnly || !flush()) return false;
    errno = 0;
    const int32_t n = m_host->seek(0) == 0 ? m_host->write(header.data(), kBlockSize) : -1;
    return n == kBlockSize || transferFailed(true, n, kBlockSize, 0, 1);
}

bool BlockStore::readRootSlot(int32_t offset, int32_t* value) {
    uint8_t raw[4];
    if (!m_host) return false;
    errno = 0;
    const int32_t n = m_host->readAt(offset, raw, 4);
    if (n != 4) return transferFailed(false, n, offset + 4, 0, 1);
    *value = decodeFixed32(raw);
    return true;
}

bool BlockStore::writeRootSlot(int32_t offset, int32_t value) {
    // A root slot never names a node that is not on the disk yet.
    if (!m_host || m_readOnly || !flush()) return false;
    uint8_t raw[4];
    encodeFixed32(raw, value);
    errno = 0;
    const int32_t n = m_host->writeAt(offset, raw, 4);
    return n == 4 || transferFailed(true, n, 4, 0, 1);
}

// ---- Blocks ----------------------------------------------------------------------------

bool BlockStore::readBlock(int32_t block, void* dst, int32_t length, int32_t offset) {
    if (!m_host || !inside(block) || offset < 0 || length < 0 || length > kBlockSize - offset ||
        (dst == nullptr && length > 0))
        return false;
    const uint8_t* plain = nullptr;
    auto it = m_blocks.find(block);
    if (it != m_blocks.end()) {
        plain = it->second.bytes.get();
    } else {
        if (block != m_bufferedBlock) {
            // The buffer is overwritten below, so it no longer holds the old block.
            m_bufferedBlock = -1;
            if (!readFromDisk(block, m_buffer.data())) return false;
            m_bufferedBlock = block;
        }
        plain = m_buffer.data();
    }
    if (length > 0) std::memcpy(dst, plain + offset, static_cast<size_t>(length));
    return true;
}

bool BlockStore::writeBlock(int32_t block, const void* src, int32_t length, int32_t offset,
                            bool merge) {
    if (!m_host || m_readOnly || !inside(block) || offset < 0 || length < 0 ||
        length > kBlockSize - offset || (src == nullptr && length > 0))
        return false;
    const bool keepRest = merge && length < kBlockSize;
    auto it = m_blocks.find(block);
    CachedBlock* entry = it == m_blocks.end() ? nullptr : &it->second;
    // A block to be zeros that holds zeros on disk and nowhere else is left as it is.
    if (!entry && length == 0 && !keepRest && knownZero(block)) return true;
    if (!entry) {
        entry = newEntry(block);
        if (!entry) {
            if (block == m_bufferedBlock) m_bufferedBlock = -1;
            return false;
        }
        if (keepRest) {
            if (block == m_bufferedBlock) {
                std::memcpy(entry->bytes.get(), m_buffer.data(), kBlockSize);
            } else if (!readFromDisk(block, entry->bytes.get())) {
                // The block lies wholly inside the host file: a short read is a failure,
                // and zero-filling the rest would write zeros over the block's data.
                forget(block);
                return false;
            }
        }
    }
    uint8_t* bytes = entry->bytes.get();
    if (!keepRest) {
        std::memset(bytes, 0, static_cast<size_t>(offset));
        std::memset(bytes + offset + length, 0, static_cast<size_t>(kBlockSize - offset - length));
    }
    if (length > 0) std::memcpy(bytes + offset, src, static_cast<size_t>(length));
    entry->dirty = true;
    entry->checkedFor = 0;
    m_dirty.insert(block);
    // The cache now answers for the block; the one-block buffer no longer does.
    if (block == m_bufferedBlock) m_bufferedBlock = -1;
    return true;
}

bool BlockStore::writeNodeBlock(int32_t block, const uint8_t* src, int32_t length) {
    if (!writeBlock(block, src, length, 0, false)) return false;
    m_blocks[block].node = true;
    return true;
}

bool BlockStore::nodeChecked(int32_t block, int32_t tree) const {
    auto it = m_blocks.find(block);
    return tree != 0 && it != m_blocks.end() && it->second.checkedFor == tree;
}

void BlockStore::setNodeChecked(int32_t block, int32_t tree) {
    auto it = m_blocks.find(block);
    if (it != m_blocks.end() && it->second.node) it->second.checkedFor = tree;
}

bool BlockStore::readNodeBlock(int32_t block, uint8_t* dst, int32_t length) {
    if (!m_host || !inside(block) || length < 0 || length > kBlockSize) return false;
    auto it = m_blocks.find(block);
    if (it == m_blocks.end()) {
        CachedBlock* entry = newEntry(block);
        // Without room (blocks that cannot be written yet), the node is just not kept.
        if (!entry) return readBlock(block, dst, length, 0);
        if (!readFromDisk(block, entry->bytes.get())) {
            forget(block);
            return false;
        }
        entry->node = true;
        it = m_blocks.find(block);
    }
    std::memcpy(dst, it->second.bytes.get(), static_cast<size_t>(length));
    return true;
}

bool BlockStore::readFromDisk(int32_t block, uint8_t* dst) {
    if (knownZero(block)) {
        std::memset(dst, 0, kBlockSize);
        return true;
    }
    const int64_t at = static_cast<int64_t>(block) * kBlockSize;
    errno = 0;
    const int32_t n = m_host->readAt(at, dst, kBlockSize);
    if (n != kBlockSize) return transferFailed(false, n, kBlockSize, block, 1);
    if (m_encryptor->decode(dst, kBlockSize)) return true;
    noteFailure(Status::corruption(QStringLiteral("block %1 cannot be decoded").arg(block)));
    return false;
}

// Writes the dirty blocks and forgets the rest, but for tree nodes while they are few.
bool BlockStore::makeRoom() {
    if (!flush()) return false;
    size_t nodes = 0;
    for (auto it = m_blocks.begin(); it != m_blocks.end();) {
        if (it->second.node) {
            ++nodes;
            ++it;
        } else {
            it = forget(it);
        }
    }
    if (nodes > kCacheBlocks / 2) forgetAll();
    return true;
}

bool BlockStore::flush() {
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
        if (!m_flushBuffer) {
            m_flushBuffer = std::make_unique_for_overwrite<uint8_t[]>(
                static_cast<size_t>(kMaxBlocksPerTransfer) * kBlockSize);
        }
        for (int32_t i = 0; i < count; ++i) {
            uint8_t* at = m_flushBuffer.get() + static_cast<size_t>(i) * kBlockSize;
            std::memcpy(at, m_blocks.at(first + i).bytes.get(), kBlockSize);
            if (!m_encryptor->encode(at, kBlockSize)) return false;
        }
        // Even a failed write may have put some of the bytes there.
        written(first, count);
        errno = 0;
        const int32_t n =
            m_host->writeAt(static_cast<int64_t>(first) * kBlockSize, m_flushBuffer.get(), bytes);
        if (n != bytes) return transferFailed(true, n, bytes, first, count);
        for (auto done = it; done != next; ++done) m_blocks.at(*done).dirty = false;
        it = m_dirty.erase(it, next);
    }
    return true;
}

void BlockStore::dropCleanBlocks() {
    for (auto it = m_blocks.begin(); it != m_blocks.end();) {
        if (it->second.dirty)
            ++it;
        else
            it = forget(it);
    }
    m_bufferedBlock = -1;
}

void BlockStore::dropAll() {
    m_zeroRuns.clear();
    m_blocks.clear();
    m_dirty.clear();
    m_spareBuffers.clear();
    m_flushBuffer.reset();
    m_bufferedBlock = -1;
}

bool BlockStore::readBlocks(int32_t first, int32_t count, char* dst) {
    if (!m_host || first < 1 || count < 1 || count > kMaxBlocksPerTransfer ||
        static_cast<int64_t>(first) + count > m_hostBlocks || dst == nullptr)
        return false;
    const int64_t at = static_cast<int64_t>(first) * kBlockSize;
    const int32_t bytes = count * kBlockSize;
    // The buffer is left holding the last block, as block-by-block reads leave it.
    m_bufferedBlock = -1;
    errno = 0;
    const int32_t n = m_host->readAt(at, dst, bytes);
    if (n != bytes) return transferFailed(false, n, bytes, first, count);
    for (int32_t i = 0; i < count; ++i) {
        if (!m_encryptor->decode(
                reinterpret_cast<uint8_t*>(dst) + static_cast<size_t>(i) * kBlockSize, kBlockSize))
            return false;
    }
    // Blocks written since the last flush are newer than the disk.
    for (auto it = m_dirty.lower_bound(first); it != m_dirty.end() && *it < first + count; ++it) {
        std::memcpy(dst + static_cast<size_t>(*it - first) * kBlockSize,
                    m_blocks.at(*it).bytes.get(), kBlockSize);
    }
    std::memcpy(m_buffer.data(), dst + static_cast<size_t>(count - 1) * kBlockSize, kBlockSize);
    m_bufferedBlock = first + count - 1;
    return true;
}

bool BlockStore::writeBlocks(int32_t first, int32_t count, const char* src) {
    if (!m_host || m_readOnly || first < 1 || count < 1 || count > kMaxBlocksPerTransfer ||
        static_cast<int64_t>(first) + count > m_hostBlocks || src == nullptr)
        return false;
    const bool bufferInside = m_bufferedBlock >= first && m_bufferedBlock < first + count;
    if (bufferInside) {
        std::memcpy(m_buffer.data(),
                    src + static_cast<size_t>(m_bufferedBlock - first) * kBlockSize, kBlockSize);
    }
    // The cache must not hold an older copy of any of these blocks, nor write one later.
    auto forgetRange = [this, first, count] {
        if (m_blocks.empty()) return;
        for (int32_t b = first; b < first + count; ++b) {
            forget(b);
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
                if (bufferInside) m_bufferedBlock = -1;
                return false;
            }
        }
        out = reinterpret_cast<const char*>(encoded.data());
    }
    // Part of the range may hold the new bytes and part the old: nothing is known of it.
    written(first, count);
    errno = 0;
    const int32_t n = m_host->writeAt(at, out, bytes);
    if (n != bytes) {
        transferFailed(true, n, bytes, first, count);
        // No copy is trusted either.
        if (bufferInside) m_bufferedBlock = -1;
        forgetRange();
        return false;
    }
    forgetRange();
    return true;
}

bool BlockStore::copyInBlocks(int32_t first, int32_t count, int fd, int64_t offset) {
    if (!m_host || m_readOnly || first < 1 || count < 1 || count > kMaxBlocksPerTransfer ||
        static_cast<int64_t>(first) + count > m_hostBlocks || fd < 0 || offset < 0)
        return false;
    const int64_t bytes = static_cast<int64_t>(count) * kBlockSize;
    if (m_encryptor != EfsEncryptor::defaultEncryptor()) {
        // The encoder takes the bytes in memory.
        m_spanBuffer.resize(static_cast<size_t>(bytes));
        errno = 0;
        if (!readFully(fd, m_spanBuffer.data(), bytes, offset)) {
            noteSourceFailure(errno, offset + bytes);
            return false;
        }
        return writeBlocks(first, count, m_spanBuffer.data());
    }
    // As writeBlocks: no cached copy of these blocks survives, whatever the outcome.
    if (m_bufferedBlock >= first && m_bufferedBlock < first + count) m_bufferedBlock = -1;
    written(first, count);
    errno = 0;
    const int64_t n = m_host->copyIn(static_cast<int64_t>(first) * kBlockSize, fd, offset, bytes);
    if (n >= 0 && n < bytes) {
        noteSourceFailure(0, offset + bytes);
    } else if (n < 0) {
        noteFailure(Status::ioError(
            errno, QStringLiteral("while copying into ") + blocksText(first, count)));
    }
    if (!m_blocks.empty()) {
        for (int32_t b = first; b < first + count; ++b) forget(b);
    }
    return n == bytes;
}

bool BlockStore::copyOutSpan(int32_t first, int32_t count, int fd, int64_t offset, int64_t bytes) {
    const int64_t whole = static_cast<int64_t>(count) * kBlockSize;
    if (!m_host || first < 1 || count < 1 || count > kMaxBlocksPerTransfer || fd < 0 ||
        offset < 0 || bytes <= whole - kBlockSize || bytes > whole ||
        static_cast<int64_t>(first) + count > m_hostBlocks)
        return false;
    const auto dirty = m_dirty.lower_bound(first);
    if (m_encryptor == EfsEncryptor::defaultEncryptor() &&
        (dirty == m_dirty.end() || *dirty >= first + count)) {
        errno = 0;
        const int64_t n =
            m_host->copyOut(static_cast<int64_t>(first) * kBlockSize, fd, offset, bytes);
        if (n == bytes) return true;
        if (n >= 0) return transferFailed(false, n, bytes, first, count);
        noteFailure(Status::ioError(
            errno, QStringLiteral("while copying out ") + blocksText(first, count)));
        return false;
    }
    // Through memory: the decoder, or blocks newer than the disk.
    std::vector<char> span(static_cast<size_t>(bytes));
    if (!readSpan(first, count, span.data(), bytes)) return false;
    errno = 0;
    if (writeFully(fd, span.data(), bytes, offset)) return true;
    noteFailure(Status::ioError(errno, QStringLiteral("while writing the file copied to")));
    return false;
}

bool BlockStore::readSpan(int32_t first, int32_t count, char* dst, int64_t bytes) {
    const int64_t whole = static_cast<int64_t>(count) * kBlockSize;
    if (!m_host || first < 1 || count < 1 || count > kMaxBlocksPerTransfer || dst == nullptr ||
        bytes <= whole - kBlockSize || bytes > whole ||
        static_cast<int64_t>(first) + count > m_hostBlocks)
        return false;
    if (bytes == whole) return readBlocks(first, count, dst);
    if (m_encryptor != EfsEncryptor::defaultEncryptor()) {
        // The decoder takes whole blocks: the span comes through a buffer.
        m_spanBuffer.resize(static_cast<size_t>(whole));
        if (!readBlocks(first, count, m_spanBuffer.data())) return false;
        std::memcpy(dst, m_spanBuffer.data(), static_cast<size_t>(bytes));
        return true;
    }
    // The unwanted end of the last block lands in the one-block buffer, which then holds
    // no whole block.
    m_bufferedBlock = -1;
    const auto head = static_cast<int32_t>(bytes);
    const auto tail = static_cast<int32_t>(whole - bytes);
    errno = 0;
    const int32_t n = m_host->readAtSplit(static_cast<int64_t>(first) * kBlockSize, dst, head,
                                          m_buffer.data(), tail);
    if (n != head + tail) return transferFailed(false, n, head + tail, first, count);
    // Blocks written since the last flush are newer than the disk.
    const int32_t last = first + count - 1;
    for (auto it = m_dirty.lower_bound(first); it != m_dirty.end() && *it <= last; ++it) {
        const size_t at = static_cast<size_t>(*it - first) * kBlockSize;
        const int32_t n = *it == last ? head - static_cast<int32_t>(at) : kBlockSize;
        std::memcpy(dst + at, m_blocks.at(*it).bytes.get(), static_cast<size_t>(n));
    }
    return true;
}

bool BlockStore::writeSpan(int32_t first, int32_t count, const char* src, int64_t bytes) {
    const int64_t whole = static_cast<int64_t>(count) * kBlockSize;
    if (!m_host || m_readOnly || first < 1 || count < 1 || count > kMaxBlocksPerTransfer ||
        src == nullptr || bytes <= whole - kBlockSize || bytes > whole ||
        static_cast<int64_t>(first) + count > m_hostBlocks)
        return false;
    if (bytes == whole) return writeBlocks(first, count, src);
    const int32_t last = first + count - 1;
    const auto head = static_cast<int32_t>(bytes);
    // A last block whose rest holds zeros on disk and nowhere else goes out with the
    // others, zeros and all; any other is merged through the cache.
    if (m_blocks.count(last) || !knownZero(last)) {
        if (count > 1 && !writeBlocks(first, count - 1, src)) return false;
        const size_t at = static_cast<size_t>(count - 1) * kBlockSize;
        return writeBlock(last, src + at, head - static_cast<int32_t>(at), 0, true);
    }
    static const std::vector<char> zeros(kBlockSize, 0);
    for (int32_t b = first; b <= last; ++b) {
        forget(b);
        if (b == m_bufferedBlock) m_bufferedBlock = -1;
    }
    written(first, count);
    const auto tail = static_cast<int32_t>(whole - bytes);
    errno = 0;
    const int32_t n = m_host->writeAtSplit(static_cast<int64_t>(first) * kBlockSize, src, head,
                                           zeros.data(), tail);
    return n == head + tail || transferFailed(true, n, head + tail, first, count);
}

// ---- Encryptor -------------------------------------------------------------------------

bool BlockStore::setEncryptor(EfsEncryptor* encryptor) {
    if (!flush()) return false;
    m_encryptor = encryptor ? encryptor : EfsEncryptor::defaultEncryptor();
    // Cached plaintext came through the old decoder.
    forgetAll();
    m_bufferedBlock = -1;
    return true;
}

}  // namespace efs
