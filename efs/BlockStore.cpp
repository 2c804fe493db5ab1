#include "efs/BlockStore.h"

#include <algorithm>
#include <cstring>

#include "efs/Coding.h"
#include "efs/EfsFormat.h"

namespace efs {

namespace {
EfsEncryptor g_defaultEncryptor;
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

bool BlockStore::resizeHost(int64_t blocks) {
    if (!m_host || m_readOnly || !m_host->truncate(blocks * kBlockSize)) return false;
    m_hostBlocks = blocks;
    return true;
}

bool BlockStore::sync() { return m_host && m_host->sync(); }

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
    if (!m_host || m_host->seek(0) != 0) return false;
    const int32_t n = m_host->read(header->data(), kBlockSize);
    if (n < kHeaderUsedBytes || n < kBlockSize) return false;
    const VolumeParams p = VolumeParams::decode(header->data() + kHeaderParams);
    return p.blockSize >= kMinParamsBlockSize;
}

bool BlockStore::writeHeader(const std::vector<uint8_t>& header) {
    // The header never points ahead of the blocks it names.
    if (!m_host || m_readOnly || !flush() || m_host->seek(0) != 0) return false;
    return m_host->write(header.data(), kBlockSize) == kBlockSize;
}

bool BlockStore::readRootSlot(int32_t offset, int32_t* value) {
    uint8_t raw[4];
    if (!m_host || m_host->readAt(offset, raw, 4) != 4) return false;
    *value = decodeFixed32(raw);
    return true;
}

bool BlockStore::writeRootSlot(int32_t offset, int32_t value) {
    // A root slot never names a node that is not on the disk yet.
    if (!m_host || m_readOnly || !flush()) return false;
    uint8_t raw[4];
    encodeFixed32(raw, value);
    return m_host->writeAt(offset, raw, 4) == 4;
}

// ---- Blocks ----------------------------------------------------------------------------

bool BlockStore::readBlock(int32_t block, void* dst, int32_t length, int32_t offset) {
    if (!m_host || !inside(block) || offset < 0 || length < 0 || length > kBlockSize - offset ||
        (dst == nullptr && length > 0))
        return false;
    const uint8_t* plain = nullptr;
    auto it = m_blocks.find(block);
    if (it != m_blocks.end()) {
        plain = it->second.bytes.data();
    } else {
        if (block != m_bufferedBlock) {
            // The buffer is overwritten below, so it no longer holds the old block.
            m_bufferedBlock = -1;
            if (!fetchBlock(block, m_buffer.data())) return false;
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
    if (it == m_blocks.end()) {
        if (m_blocks.size() >= kCacheBlocks && !makeRoom()) {
            if (block == m_bufferedBlock) m_bufferedBlock = -1;
            return false;
        }
        CachedBlock fresh;
        fresh.bytes.resize(kBlockSize);
        if (keepRest) {
            if (block == m_bufferedBlock) {
                std::memcpy(fresh.bytes.data(), m_buffer.data(), kBlockSize);
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
    if (block == m_bufferedBlock) m_bufferedBlock = -1;
    return true;
}

bool BlockStore::readNodeBlock(int32_t block, uint8_t* dst, int32_t length) {
    if (!m_host || !inside(block) || length < 0 || length > kBlockSize) return false;
    auto it = m_blocks.find(block);
    if (it == m_blocks.end()) {
        CachedBlock fresh;
        fresh.bytes.resize(kBlockSize);
        if (!fetchBlock(block, fresh.bytes.data())) return false;
        // Without room (blocks that cannot be written yet), the node is just not kept.
        if (m_blocks.size() >= kCacheBlocks && !makeRoom()) {
            std::memcpy(dst, fresh.bytes.data(), static_cast<size_t>(length));
            return true;
        }
        it = m_blocks.emplace(block, std::move(fresh)).first;
    }
    std::memcpy(dst, it->second.bytes.data(), static_cast<size_t>(length));
    return true;
}

bool BlockStore::fetchBlock(int32_t block, uint8_t* dst) {
    auto it = m_blocks.find(block);
    if (it != m_blocks.end()) {
        std::memcpy(dst, it->second.bytes.data(), kBlockSize);
        return true;
    }
    const int64_t at = static_cast<int64_t>(block) * kBlockSize;
    if (m_host->readAt(at, dst, kBlockSize) != kBlockSize) return false;
    return m_encryptor->decode(dst, kBlockSize);
}

bool BlockStore::makeRoom() {
    if (!flush()) return false;
    m_blocks.clear();
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

void BlockStore::dropCleanBlocks() {
    for (auto it = m_blocks.begin(); it != m_blocks.end();) {
        if (it->second.dirty)
            ++it;
        else
            it = m_blocks.erase(it);
    }
    m_bufferedBlock = -1;
}

void BlockStore::dropAll() {
    m_blocks.clear();
    m_dirty.clear();
    m_flushBuffer = std::vector<uint8_t>();
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
                if (bufferInside) m_bufferedBlock = -1;
                return false;
            }
        }
        out = reinterpret_cast<const char*>(encoded.data());
    }
    if (m_host->writeAt(at, out, bytes) != bytes) {
        // Part of the range may hold the new bytes and part the old: no copy is trusted.
        if (bufferInside) m_bufferedBlock = -1;
        forgetRange();
        return false;
    }
    forgetRange();
    return true;
}

// ---- Encryptor -------------------------------------------------------------------------

bool BlockStore::setEncryptor(EfsEncryptor* encryptor) {
    if (!flush()) return false;
    m_encryptor = encryptor ? encryptor : EfsEncryptor::defaultEncryptor();
    // Cached plaintext came through the old decoder.
    m_blocks.clear();
    m_bufferedBlock = -1;
    return true;
}

}  // namespace efs
