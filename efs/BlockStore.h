// The block store: the host file of an open volume, its header and the two root slots,
// and every other block, read and written through a block cache and the encryptor.
//
// The header (block 0) and the root slots are read and written straight through the
// host file, never through the encryptor. Every other block passes the encryptor on its
// way to and from the disk; the cache holds plaintext.
//
// The cache keeps the single blocks written (records, tree nodes, the partial blocks at
// the ends of file data) and the tree nodes read, since every look-up reads its path
// again. Other blocks that are only read are not kept: most are read once, and a
// one-block buffer serves repeated reads. A written block stays in the cache, dirty,
// until flush(), and always goes out before the header or a root slot is written, so
// that the header never points ahead of the blocks it names. At most kCacheBlocks blocks
// are held. Blocks whose write fails stay dirty for the next flush.
//
// The store has no lock of its own: the volume's lock covers every call.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>
#include <vector>

#include "efs/EfsEncryptor.h"
#include "efs/EfsFile.h"
#include "efs/Status.h"

namespace efs {

class BlockStore final {
  public:
    static constexpr size_t kCacheBlocks = 2048;            // 16 MiB
    static constexpr int32_t kMaxBlocksPerTransfer = 1024;  // 8 MiB

    BlockStore();
    BlockStore(const BlockStore&) = delete;
    BlockStore& operator=(const BlockStore&) = delete;

    // ---- Host file ---------------------------------------------------------------------
    // Takes an opened host file; the store owns it until detach().
    void attach(std::unique_ptr<EfsFile> host, bool readOnly);
    // Closes and frees the host file and forgets every cached block, written or not.
    void detach();
    bool isOpen() const { return m_host != nullptr; }
    bool readOnly() const { return m_readOnly; }
    // The host file's length in bytes, -1 when it cannot be obtained.
    int64_t hostSize();
    // Whole blocks in the host file: every valid block number is below it.
    int64_t hostBlocks() const { return m_hostBlocks; }
    // Takes the host file's length as it is now; false when it holds no whole block.
    bool measureHost();
    // Sets the host file's length to blocks whole blocks.
    bool resizeHost(int64_t blocks);
    bool sync();
    // Keeps the host file's length, its header and the bytes after its last whole block:
    // all that making the trees of an existing volume writes, since their nodes come from
    // the blocks the host file grows by. restoreEnds() forgets every cached block and puts
    // the kept bytes back, so that an open refused half-way leaves the file as it was.
    bool keepEnds();
    bool restoreEnds();

    // ---- Header and root slots -----------------------------------------------------------
    // The 8192-byte header; false when it is short or its parameter block too small.
    bool readHeader(std::vector<uint8_t>* header);
    // Writes every waiting block first.
    bool writeHeader(const std::vector<uint8_t>& header);
    bool readRootSlot(int32_t offset, int32_t* value);
    bool writeRootSlot(int32_t offset, int32_t value);

    // ---- Blocks ----------------------------------------------------------------------
    // length bytes at offset of block (1 <= block < hostBlocks()).
    bool readBlock(int32_t block, void* dst, int32_t length, int32_t offset);
    // Without merge the rest of the block becomes zeros.
    bool writeBlock(int32_t block, const void* src, int32_t length, int32_t offset, bool merge);
    // A tree node: read like readBlock, and kept in the cache for the next look-up.
    bool readNodeBlock(int32_t block, uint8_t* dst, int32_t length);
    // A tree node, written like writeBlock without merging. Nodes stay in the cache when
    // it makes room, since every look-up reads its path again.
    bool writeNodeBlock(int32_t block, const uint8_t* src, int32_t length);
    // Whether the tree node cached for block passed the checks of tree (a tree's root slot,
    // which is never 0) since it was last written (see setNodeChecked); false for a block
    // the cache does not hold, or one checked for the other tree only.
    bool nodeChecked(int32_t block, int32_t tree) const;
    void setNodeChecked(int32_t block, int32_t tree);
    // Whole blocks first .. first + count - 1 (count <= kMaxBlocksPerTransfer), moved in
    // one host-file transfer around the cache: reads see its newer blocks, writes replace
    // its copies.
    bool readBlocks(int32_t first, int32_t count, char* dst);
    bool writeBlocks(int32_t first, int32_t count, const char* src);
    // The first bytes of blocks first .. first + count - 1, where only the last block may
    // be cut short: (count - 1) * kBlockSize < bytes <= count * kBlockSize. A write keeps
    // the rest of the last block (it merges). Both move in one host-file transfer where
    // they can.
    bool readSpan(int32_t first, int32_t count, char* dst, int64_t bytes);
    bool writeSpan(int32_t first, int32_t count, const char* src, int64_t bytes);
    // writeBlocks with the bytes taken from descriptor fd at offset, which must hold them
    // all; under the default encryptor they are copied inside the kernel where the host
    // file allows it.
    bool copyInBlocks(int32_t first, int32_t count, int fd, int64_t offset);
    // readSpan with the bytes going to descriptor fd at offset; inside the kernel where
    // nothing changes them on the way (the default encryptor, no newer cached block).
    bool copyOutSpan(int32_t first, int32_t count, int fd, int64_t offset, int64_t bytes);
    // Writes every dirty block, runs of neighbours in one transfer, in ascending order.
    bool flush();
    // Forgets the blocks that are on the disk as they are cached; dirty ones stay.
    void dropCleanBlocks();

    // ---- Encryptor ---------------------------------------------------------------------
    // The store does not own it. Waiting blocks go out under the encryptor they were
    // written with: if they cannot, the encryptor is not changed and false comes back.
    bool setEncryptor(EfsEncryptor* encryptor);
    EfsEncryptor* encryptor() const { return m_encryptor; }

    // ---- Failure notes -------------------------------------------------------------------
    // Why the first failure since clearFailure() happened, for the layers above, which set
    // the volume's error code themselves: every host-file call that fails notes itself here
    // (the system's errno and the block it was moving), and the layers above note what only
    // they can see (a node that fails its checks). A later note leaves the first one in
    // place, since it is the cause and the rest follow from it.
    void noteFailure(const Status& status) {
        if (m_failure.isOk()) m_failure = status;
    }
    void clearFailure() { m_failure = Status(); }
    // Notes that a descriptor copied from failed with error, or (error 0) ended before byte
    // end, which the copy needed.
    void noteSourceFailure(int error, int64_t end);
    const Status& failure() const { return m_failure; }

    // ---- Views -------------------------------------------------------------------------
    int32_t bufferedBlock() const { return m_bufferedBlock; }
    size_t cachedBlocks() const { return m_blocks.size(); }
    size_t dirtyBlocks() const { return m_dirty.size(); }

  private:
    struct CachedBlock {
        std::unique_ptr<uint8_t[]> bytes;  // kBlockSize bytes of plaintext
        bool dirty = false;
        bool node = false;
        int32_t checkedFor = 0;  // the tree whose checks the node passed since it was written
    };
    // A cache entry for block with uninitialised bytes; null when there is no room.
    CachedBlock* newEntry(int32_t block);
    // Drops cache entries; their buffers serve the next entries.
    bool forget(int32_t block);
    std::unordered_map<int32_t, CachedBlock>::iterator forget(
        std::unordered_map<int32_t, CachedBlock>::iterator it);
    void forgetAll();
    // Whether the block's bytes on disk are known to be zeros: blocks the host file gained
    // in this session and that were not written since. Their plaintext is zeros only when
    // no encryptor changes the bytes.
    bool knownZero(int32_t block) const;
    void written(int32_t first, int32_t count);
    bool inside(int32_t block) const { return block >= 1 && block < m_hostBlocks; }
    // The plaintext of one block that the cache does not hold.
    bool readFromDisk(int32_t block, uint8_t* dst);
    // Makes room for one more block: writes the dirty blocks and forgets the rest.
    bool makeRoom();
    void dropAll();
    // Notes a host transfer of blocks first .. first + count - 1 that moved got bytes of want
    // (-1: the call failed, errno set) and returns false. Block 0 is the header.
    // want counts from the start of block first.
    bool transferFailed(bool writing, int64_t got, int64_t want, int32_t first, int32_t count);

    std::unique_ptr<EfsFile> m_host;
    bool m_readOnly = false;
    int64_t m_hostBlocks = 0;
    EfsEncryptor* m_encryptor;
    std::unordered_map<int32_t, CachedBlock> m_blocks;
    std::set<int32_t> m_dirty;  // the dirty blocks of m_blocks, ascending
    // The last block read that the cache does not keep, -1 when none.
    std::vector<uint8_t> m_buffer;
    int32_t m_bufferedBlock = -1;
    std::vector<std::unique_ptr<uint8_t[]>> m_spareBuffers;  // at most kCacheBlocks
    // Encoded runs on their way out: kMaxBlocksPerTransfer blocks once needed.
    std::unique_ptr<uint8_t[]> m_flushBuffer;
    std::vector<char> m_spanBuffer;  // spans read whole when the encryptor needs that
    // Runs of blocks known to hold zeros on disk: first block -> end (exclusive).
    std::map<int32_t, int32_t> m_zeroRuns;
    // What keepEnds() kept: the length, the header and the partial last block.
    int64_t m_keptSize = -1;
    std::vector<uint8_t> m_keptHeader;
    std::vector<uint8_t> m_keptTail;
    Status m_failure;
};

}  // namespace efs
