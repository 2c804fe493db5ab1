#include "efs/FileData.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace efs {

namespace {

struct Span {
    int32_t blocks;
    int64_t bytes;
};

// The blocks from block on that follow each other on disk and hold the next `left` bytes of
// a file, the last one perhaps only in part, and the bytes they hold.
Span spanFrom(const BlockCursor& cursor, int32_t block, int64_t left) {
    const int32_t n =
        RecordStore::contiguousBlocks(cursor, block, (left + kBlockSize - 1) / kBlockSize);
    return {n, std::min<int64_t>(left, int64_t{n} * kBlockSize)};
}

}  // namespace

FileData::FileData(BlockStore& store, BlockAllocator& allocator, RecordStore& records,
                   FileTable& table, const VolumeParams& params, int32_t& lastError)
    : m_store(store),
      m_allocator(allocator),
      m_records(records),
      m_table(table),
      m_params(params),
      m_lastError(lastError) {}

bool FileData::allocate(int32_t hint, int64_t count, std::vector<Run>* runs) {
    if (count > INT32_MAX) {
        m_lastError = ErrorNoSpace;
        return false;
    }
    if (m_allocator.allocateBlocks(hint, static_cast<int32_t>(count), m_params.allocMode, runs))
        return true;
    const int32_t error = m_lastError;
    for (const Run& r : *runs) m_allocator.releaseRun(r.first, r.length);
    runs->clear();
    m_lastError = error;
    return false;
}

bool FileData::storeOrFail(OpenFile* file, OpenRecord* open, bool allowMove) {
    return m_table.store(file->recordBlock, open, allowMove);
}

bool FileData::spillInline(OpenFile* file, OpenRecord* open, int64_t bytes, int32_t* block) {
    FitRecord* rec = &open->record;
    std::vector<Run> runs;
    if (!allocate(file->recordBlock + 1, 1, &runs)) return false;
    *block = runs.front().first;
    // The rest of the block becomes zeros: the bytes from here on are about to change.
    const auto n = static_cast<int32_t>(std::clamp<int64_t>(bytes, 0, kInlineLimit));
    if (!m_store.writeBlock(*block, rec->inlineData(), n, 0, false)) {
        m_allocator.releaseRun(*block, 1);
        m_lastError = ErrorIo;
        return false;
    }
    RecordStore::addFragment(rec, *block, 1);
    RecordStore::stamp(rec, true, true);
    return storeOrFail(file, open, false);
}

// ---- Reading ---------------------------------------------------------------------------

int32_t FileData::read(int32_t handle, char* data, int32_t length) {
    return readTo(handle, Sink{data, -1, 0}, length);
}

int32_t FileData::copyOut(int32_t handle, int fd, int64_t offset, int32_t length) {
    return readTo(handle, Sink{nullptr, fd, offset}, length);
}

bool FileData::put(const Sink& sink, int64_t at, const char* bytes, int32_t count) {
    if (sink.data == nullptr) return writeFully(sink.fd, bytes, count, sink.offset + at);
    std::memcpy(sink.data + at, bytes, static_cast<size_t>(count));
    return true;
}

int32_t FileData::readTo(int32_t handle, const Sink& sink, int32_t length) {
    OpenFile* file = nullptr;
    OpenRecord* open = m_table.recordOf(handle, &file);
    if (!open) return 0;
    const bool noSink = sink.data == nullptr && (sink.fd < 0 || sink.offset < 0);
    if (length < 0 || (noSink && length > 0)) {
        m_lastError = ErrorArgument;
        return 0;
    }
    FitRecord& rec = open->record;
    const int64_t size = rec.fileSize();
    if (file->position < 0) return 0;  // nothing lies before the start
    if (rec.fragmentsCount() == 0) {
        RecordStore::stamp(&rec, false, true);
        if (file->position >= size) return 0;
        const auto n = static_cast<int32_t>(std::min<int64_t>(length, size - file->position));
        if (!put(sink, 0, reinterpret_cast<const char*>(rec.inlineData()) + file->position, n)) {
            m_lastError = ErrorIo;
            return 0;
        }
        file->position += n;
        return n;
    }
    if (length == 0) return 0;
    BlockCursor cursor;
    int32_t delivered = 0;
    while (delivered < length && file->position < size) {
        const int32_t block = RecordStore::locateBlock(rec, file->position, &cursor);
        if (block == 0) {
            m_lastError = ErrorIo;
            break;
        }
        const auto offset = static_cast<int32_t>(file->position % kBlockSize);
        if (offset == 0) {
            // Blocks that follow each other on disk come in one transfer, a last block
            // that is only partly wanted included.
            const int64_t want = std::min<int64_t>(length - delivered, size - file->position);
            const auto [n, bytes] = spanFrom(cursor, block, want);
            if (n > 1) {
                const bool ok =
                    sink.data != nullptr
                        ? m_store.readSpan(block, n, sink.data + delivered, bytes)
                        : m_store.copyOutSpan(block, n, sink.fd, sink.offset + delivered, bytes);
                if (!ok) {
                    m_lastError = ErrorIo;
                    break;
                }
                delivered += static_cast<int32_t>(bytes);
                file->position += bytes;
                continue;
            }
        }
        int64_t piece = std::min<int64_t>(kBlockSize - offset, length - delivered);
        piece = std::min<int64_t>(piece, size - file->position);
        char* into = sink.data != nullptr ? sink.data + delivered : pieceBuffer();
        if (!m_store.readBlock(block, into, static_cast<int32_t>(piece), offset) ||
            (sink.data == nullptr && !put(sink, delivered, into, static_cast<int32_t>(piece)))) {
            m_lastError = ErrorIo;
            break;
        }
        delivered += static_cast<int32_t>(piece);
        file->position += piece;
    }
    return delivered;
}

// ---- Writing ---------------------------------------------------------------------------

bool FileData::write(int32_t handle, const char* data, int32_t length) {
    return writeFrom(handle, Source{data, -1, 0}, length);
}

bool FileData::copyIn(int32_t handle, int fd, int64_t offset, int32_t length) {
    return writeFrom(handle, Source{nullptr, fd, offset}, length);
}

const char* FileData::bytesOf(const Source& source, int64_t at, int32_t count) {
    if (source.data != nullptr) return source.data + at;
    m_piece.resize(static_cast<size_t>(count));
    errno = 0;
    if (readFully(source.fd, m_piece.data(), count, source.offset + at)) return m_piece.data();
    m_store.noteSourceFailure(errno, source.offset + at + count);
    return nullptr;
}

bool FileData::writeSpanFrom(const Source& source, int64_t at, int32_t block, int32_t count,
                             int64_t bytes) {
    if (source.data != nullptr) return m_store.writeSpan(block, count, source.data + at, bytes);
    // The whole blocks straight from the descriptor; a last block cut short as writeSpan
    // would write it.
    const auto whole = static_cast<int32_t>(bytes / kBlockSize);
    if (whole > 0 && !m_store.copyInBlocks(block, whole, source.fd, source.offset + at))
        return false;
    const auto rest = static_cast<int32_t>(bytes - int64_t{whole} * kBlockSize);
    if (rest == 0) return true;
    const char* tail = bytesOf(source, at + int64_t{whole} * kBlockSize, rest);
    return tail != nullptr && m_store.writeSpan(block + whole, 1, tail, rest);
}

bool FileData::writeFrom(int32_t handle, const Source& source, int32_t length) {
    OpenFile* file = nullptr;
    OpenRecord* open = m_table.recordOf(handle, &file);
    if (!open) return false;
    if (m_store.readOnly()) {
        m_lastError = ErrorState;
        return false;
    }
    const bool noSource = source.data == nullptr && (source.fd < 0 || source.offset < 0);
    if (length <= 0 || noSource || file->position < 0) {
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
            const char* bytes = bytesOf(source, 0, length);
            if (bytes == nullptr) {
                m_lastError = ErrorIo;
                return false;
            }
            std::memcpy(rec->inlineData() + file->position, bytes, static_cast<size_t>(length));
            file->position = end;
            if (end > rec->fileSize()) rec->setFileSize(end);
            RecordStore::stamp(rec, true, true);
            return storeOrFail(file, open, false);
        }
        int32_t block = 0;
        if (!spillInline(file, open, file->position, &block)) return false;
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
        if (!allocate(hint, want - rec->allBlocks(), &runs)) return false;
        for (const Run& r : runs) RecordStore::addFragment(rec, r.first, r.length);
        RecordStore::stamp(rec, true, true);
    }
    BlockCursor cursor;
    int32_t written = 0;
    while (written < length) {
        const int32_t block = RecordStore::locateBlock(*rec, file->position, &cursor);
        if (block == 0) {
            m_lastError = ErrorIo;
            return false;
        }
        const auto offset = static_cast<int32_t>(file->position % kBlockSize);
        if (offset == 0) {
            // Blocks that follow each other on disk go out in one transfer, a last block
            // that is only partly written included.
            const auto [n, bytes] = spanFrom(cursor, block, length - written);
            if (n > 1) {
                if (!writeSpanFrom(source, written, block, n, bytes)) {
                    m_lastError = ErrorIo;
                    return false;
                }
                written += static_cast<int32_t>(bytes);
                file->position += bytes;
                if (file->position > rec->fileSize()) rec->setFileSize(file->position);
                continue;
            }
        }
        const int32_t piece = std::min(kBlockSize - offset, length - written);
        const char* bytes = bytesOf(source, written, piece);
        if (bytes == nullptr || !m_store.writeBlock(block, bytes, piece, offset, true)) {
            m_lastError = ErrorIo;
            return false;
        }
        written += piece;
        file->position += piece;
        if (file->position > rec->fileSize()) rec->setFileSize(file->position);
    }
    RecordStore::stamp(rec, true, true);
    // The record may have grown by the fragments added above.
    return storeOrFail(file, open, true);
}

// ---- Resizing --------------------------------------------------------------------------

bool FileData::setSize(int32_t handle, int64_t size) {
    OpenFile* file = nullptr;
    OpenRecord* open = m_table.recordOf(handle, &file);
    if (!open) return false;
    if (m_store.readOnly()) {
        m_lastError = ErrorState;
        return false;
    }
    if (size < 0) {
        m_lastError = ErrorArgument;
        return false;
    }
    FitRecord* rec = &open->record;
    if (rec->fragmentsCount() == 0 && size > kInlineLimit) {
        int32_t block = 0;
        if (!spillInline(file, open, rec->fileSize(), &block)) return false;
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
            if (!allocate(last.addr + last.size, need - rec->allBlocks(), &runs)) return false;
            for (const Run& r : runs) RecordStore::addFragment(rec, r.first, r.length);
            RecordStore::stamp(rec, true, true);
        } else {
            m_records.releaseFromEnd(rec, rec->allBlocks() - need);
        }
        rec->setFileSize(size);
        return storeOrFail(file, open, true);
    }
    if (rec->fragmentsCount() == 0) {
        rec->setFileSize(size);
        RecordStore::stamp(rec, true, true);
        return storeOrFail(file, open, false);
    }
    // Fragmented and shrinking below the inline limit: back to the inline form.
    std::vector<uint8_t> buffer(kBlockSize, 0);
    const Fragment first = rec->fragment(0);
    if (size > 0 && !m_store.readBlock(first.addr, buffer.data(), static_cast<int32_t>(size), 0)) {
        m_lastError = ErrorIo;
        return false;
    }
    for (int32_t i = 0; i < rec->fragmentsCount(); ++i) {
        const Fragment f = rec->fragment(i);
        m_allocator.releaseRun(f.addr, f.size);
    }
    rec->setAllBlocks(0);
    rec->setFitSize(1);
    rec->setFragmentsCount(0);
    rec->resizeBlocks(1);
    std::memcpy(rec->inlineData(), buffer.data(), static_cast<size_t>(size));
    rec->setFileSize(size);
    RecordStore::stamp(rec, true, true);
    return storeOrFail(file, open, false);
}

}  // namespace efs
