#include "efs/RecordStore.h"

#include <algorithm>
#include <ctime>

namespace efs {

RecordStore::RecordStore(BlockStore& store, BlockAllocator& allocator, int32_t& lastError)
    : m_store(store), m_allocator(allocator), m_lastError(lastError) {}

int32_t RecordStore::now() {
    // The low 32 bits of the 64-bit calendar time.
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(std::time(nullptr))));
}

void RecordStore::stamp(FitRecord* record, bool change, bool access) {
    const int32_t t = now();
    if (change) record->setLastChangeTime(t);
    if (access) record->setLastAccessTime(t);
}

// ---- Loading ---------------------------------------------------------------------------

bool RecordStore::isSound(const FitRecord& r, int32_t block) const {
    const int64_t hostBlocks = m_store.hostBlocks();
    if (r.addr() != block) return false;
    const int32_t fit = r.fitSize();
    if (fit < 1 || static_cast<int64_t>(block) + fit > hostBlocks) return false;
    if (r.byteSize() != static_cast<int64_t>(fit) * kBlockSize) return false;
    const int32_t count = r.fragmentsCount();
    if (count < 0 || count > r.fragmentCapacity()) return false;
    const int64_t size = r.fileSize();
    if (count == 0) return r.allBlocks() == 0 && size >= 0 && size <= kInlineLimit;
    int64_t sum = 0;
    for (int32_t i = 0; i < count; ++i) {
        const Fragment f = r.fragment(i);
        if (f.addr < 1 || f.size < 1 || static_cast<int64_t>(f.addr) + f.size > hostBlocks)
            return false;
        sum += f.size;
    }
    return sum == r.allBlocks() && size >= 0 && size <= sum * kBlockSize;
}

bool RecordStore::load(int32_t block, FitRecord* record) {
    if (loadChecked(block, record)) return true;
    // A block that could not be read has noted its own reason, which stays the first.
    if (block < 1 || block >= m_store.hostBlocks()) {
        m_store.noteFailure(Status::corruption(
            QStringLiteral("the file is %1 bytes long, but a file record at block %2 lies beyond "
                           "its end")
                .arg(grouped(m_store.hostSize()))
                .arg(block)));
    } else {
        m_store.noteFailure(Status::corruption(
            QStringLiteral("the file record at block %1 fails its checks").arg(block)));
    }
    return false;
}

bool RecordStore::loadChecked(int32_t block, FitRecord* record) {
    const int64_t hostBlocks = m_store.hostBlocks();
    if (block < 1 || block >= hostBlocks) return false;
    record->resizeBlocks(1);
    if (!m_store.readBlock(block, record->data(), kBlockSize, 0)) return false;
    if (record->addr() != block) return false;
    const int32_t fit = record->fitSize();
    // A record needs at most enough blocks for one fragment per block of the host file.
    const int64_t maxFit = (kFragmentRoom + 8 * hostBlocks) / kBlockSize + 2;
    if (fit < 1 || fit > maxFit || static_cast<int64_t>(block) + fit > hostBlocks) return false;
    if (fit > 1) {
        *record = FitRecord();
        record->resizeBlocks(fit);
        for (int32_t i = 0; i < fit; ++i) {
            if (!m_store.readBlock(block + i, record->data() + static_cast<size_t>(i) * kBlockSize,
                                   kBlockSize, 0))
                return false;
        }
    }
    return isSound(*record, block);
}

// ---- Storing ---------------------------------------------------------------------------

int32_t RecordStore::place(int32_t fit) {
    AllocationEvent begin;
    begin.kind = AllocationEvent::Kind::PlaceBegin;
    begin.count = fit;
    m_allocator.report(begin);
    Run run;
    int32_t at = 0;
    if (m_allocator.bestFit(fit, &run) ||
        (m_allocator.growHost() && m_allocator.bestFit(fit, &run))) {
        at = m_allocator.carveRun(run, {run.first, fit});
        if (at == 0 && m_allocator.growHost() && m_allocator.bestFit(fit, &run))
            at = m_allocator.carveRun(run, {run.first, fit});
    }
    if (at == 0) m_lastError = ErrorNoSpace;
    AllocationEvent end;
    end.kind = AllocationEvent::Kind::PlaceEnd;
    end.ok = at != 0;
    end.first = at;
    m_allocator.report(end);
    return at;
}

bool RecordStore::store(int32_t b, FitRecord* record, int32_t* storedFit, bool allowMove,
                        Mover* mover) {
    if (m_store.readOnly() || !m_store.isOpen()) return false;
    const int32_t fit = record->fitSize();
    // A record that outgrew its blocks can never be written in place: that would
    // overwrite whatever follows it.
    if (!allowMove && fit > *storedFit) allowMove = true;
    // Blocks the record no longer uses, given back once it is written and its name
    // leads to where it is now.
    Run unused;
    bool moved = false;
    if (allowMove) {
        // Only the stored record's own address and block count are needed.
        uint8_t head[kRecFragmentsCount];
        if (b < 1 || b >= m_store.hostBlocks() ||
            !m_store.readBlock(b, head, kRecFragmentsCount, 0) ||
            decodeFixed32(head + kRecAddr) != b)
            return false;
        const int32_t stored = decodeFixed32(head + kRecFitSize);
        if (stored != fit) {
            if (stored < 1 || static_cast<int64_t>(b) + stored > m_store.hostBlocks()) return false;
            const int32_t at = place(fit);
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
    bool ok = true;
    for (int32_t i = 0; ok && i < fit; ++i) {
        ok = m_store.writeBlock(b + i, record->data() + static_cast<size_t>(i) * kBlockSize,
                                kBlockSize, 0, false);
    }
    // A name that still led to the old place would find a stale copy.
    if (ok && b != oldAddr) ok = mover->recordMoved(*record, oldAddr, b);
    if (!ok) {
        record->setAddr(oldAddr);
        if (moved) m_allocator.releaseRun(b, fit);
        return false;
    }
    *storedFit = fit;
    if (unused.length > 0) m_allocator.releaseRun(unused.first, unused.length);
    return true;
}

// ---- Fragments -------------------------------------------------------------------------

void RecordStore::addFragment(FitRecord* record, int32_t start, int32_t count) {
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

int32_t RecordStore::locateBlock(const FitRecord& record, int64_t position, BlockCursor* c) {
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

int32_t RecordStore::contiguousBlocks(const BlockCursor& cursor, int32_t block, int64_t limit) {
    const int64_t inRun = static_cast<int64_t>(cursor.runStart) + cursor.runLength - block;
    return static_cast<int32_t>(
        std::max<int64_t>(0, std::min({inRun, limit, int64_t{BlockStore::kMaxBlocksPerTransfer}})));
}

void RecordStore::releaseFromEnd(FitRecord* record, int64_t excess) {
    while (excess > 0 && record->fragmentsCount() > 0) {
        const int32_t last = record->fragmentsCount() - 1;
        Fragment f = record->fragment(last);
        if (excess < f.size) {
            const auto x = static_cast<int32_t>(excess);
            m_allocator.releaseRun(f.addr + f.size - x, x);
            f.size -= x;
            record->setFragment(last, f);
            record->setAllBlocks(record->allBlocks() - x);
            excess = 0;
        } else {
            m_allocator.releaseRun(f.addr, f.size);
            record->setFragmentsCount(last);
            record->setAllBlocks(record->allBlocks() - f.size);
            excess -= f.size;
        }
    }
}

void RecordStore::trimReserve(FitRecord* record) {
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
        m_allocator.releaseRun(f.addr, f.size);
        record->setAllBlocks(record->allBlocks() - f.size);
        record->setLiberalSize(record->liberalSize() - f.size);
    }
    int32_t kept = at + 1;
    const auto x = static_cast<int32_t>(sum - needed);
    Fragment f = record->fragment(at);
    if (x > 0) {
        m_allocator.releaseRun(f.addr + f.size - x, x);
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

}  // namespace efs
