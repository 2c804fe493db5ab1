// File data: reading, writing and resizing stored files through their handles.
//
// A file is inline in its record while it holds at most 8046 bytes and was never larger
// than that since its last return to the inline form; otherwise its bytes lie in runs of
// whole blocks listed in the record. Writing never returns a file to the inline form;
// setSize below the inline limit does. Need: a file that holds bytes up to position e
// (exclusive) needs e div 8192 + 1 blocks; each growth of its data also reserves the
// volume's reserveBlocks, given back at its last close.
//
// Every change goes to the open record shared by all handles of the file and reaches the
// disk when the record is stored.
#pragma once

#include <cstdint>
#include <vector>

#include "efs/BlockStore.h"
#include "efs/FileTable.h"
#include "efs/RecordStore.h"
#include "efs/btree/BlockAllocator.h"

namespace efs {

class FileData final {
  public:
    // The layers below and params must outlive it; failures set lastError.
    FileData(BlockStore& store, BlockAllocator& allocator, RecordStore& records, FileTable& table,
             const VolumeParams& params, int32_t& lastError);

    // Bytes delivered from the handle's position; 0 on failure or at the end.
    int32_t read(int32_t handle, char* data, int32_t length);
    // read with the bytes going to descriptor fd at offset (its own offset is not used).
    int32_t copyOut(int32_t handle, int fd, int64_t offset, int32_t length);
    // The whole buffer at the handle's position; a position past the end extends the file.
    bool write(int32_t handle, const char* data, int32_t length);
    // write of length bytes taken from descriptor fd at offset, which must hold them all:
    // the same blocks and bytes, moved inside the kernel where the host file allows it.
    bool copyIn(int32_t handle, int fd, int64_t offset, int32_t length);
    // Grows or shrinks the file; grown blocks keep whatever they held.
    bool setSize(int32_t handle, int64_t size);

  private:
    // Where the bytes of a write come from: memory, or a descriptor from an offset on.
    struct Source {
        const char* data;  // null for a descriptor
        int fd;
        int64_t offset;
    };
    bool writeFrom(int32_t handle, const Source& source, int32_t length);
    // Where the bytes of a read go: memory, or a descriptor from an offset on.
    struct Sink {
        char* data;  // null for a descriptor
        int fd;
        int64_t offset;
    };
    int32_t readTo(int32_t handle, const Sink& sink, int32_t length);
    // count bytes to sink at at; false when the descriptor takes fewer.
    static bool put(const Sink& sink, int64_t at, const char* bytes, int32_t count);
    char* pieceBuffer() {
        m_piece.resize(kBlockSize);
        return m_piece.data();
    }
    // count bytes of source from at on: in place for memory, else read into m_piece; null
    // when they cannot be read whole.
    const char* bytesOf(const Source& source, int64_t at, int32_t count);
    // BlockStore::writeSpan of source's bytes from at on.
    bool writeSpanFrom(const Source& source, int64_t at, int32_t block, int32_t count,
                       int64_t bytes);
    // count data blocks for a file; a request that fails gives back what it had taken.
    bool allocate(int32_t hint, int64_t count, std::vector<Run>* runs);
    // Moves an inline file's first bytes into a data block of its own, the file's first
    // fragment; false (with the block given back) when that block cannot be written.
    bool spillInline(OpenFile* file, OpenRecord* open, int64_t bytes, int32_t* block);
    bool storeOrFail(OpenFile* file, OpenRecord* open, bool allowMove);

    BlockStore& m_store;
    BlockAllocator& m_allocator;
    RecordStore& m_records;
    FileTable& m_table;
    const VolumeParams& m_params;
    int32_t& m_lastError;
    std::vector<char> m_piece;  // bytes of a descriptor that go through memory
};

}  // namespace efs
