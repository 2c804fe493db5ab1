// File records: loading and storing them, moving a record whose size in blocks changed,
// the fragment table, and the reserve a file gives back at its last close.
//
// A record (efs/EfsFormat.h) is read and written whole, fitSize blocks from its address.
// Inline form: no fragments, the data at offset 146. Fragmented form: the file's block k
// (byte position div 8192) is found by counting k blocks through the fragments in table
// order; blocks beyond the last one in use are reserve.
#pragma once

#include <cstdint>

#include "efs/BlockStore.h"
#include "efs/EfsFormat.h"
#include "efs/btree/BlockAllocator.h"

namespace efs {

// Where a reader or writer is in a record's fragment table, within one call: the run it
// is in, the blocks counted up to that run's end, and the next fragment to look at.
struct BlockCursor {
    int32_t runStart = 0;
    int32_t runLength = 0;
    int64_t counted = 0;
    int32_t nextIndex = 0;
    int32_t found = 0;  // 0 until a block was found
};

class RecordStore final {
  public:
    // Told when a stored record changes place, so that its name and the handles open on
    // it follow. from is 0 for a record stored for the first time.
    class Mover {
      public:
        virtual bool recordMoved(const FitRecord& record, int32_t from, int32_t to) = 0;

      protected:
        ~Mover() = default;
    };

    // store and allocator must outlive the record store; failures set lastError.
    RecordStore(BlockStore& store, BlockAllocator& allocator, int32_t& lastError);

    // The record stored at block, held to the rules of a record before it is used.
    bool load(int32_t block, FitRecord* record);
    // Whether a record read from block keeps the rules: its own address, a size in
    // blocks inside the host file, fragments inside it that add up to allBlocks, and a
    // file size its blocks can hold.
    bool isSound(const FitRecord& record, int32_t block) const;
    // Writes record at block. A record that may move (or that outgrew its blocks) and
    // whose size in blocks differs from the one stored goes to a new place, and only then
    // are its old blocks given back, so that a failure on the way leaks them at worst.
    // storedFit is the size in blocks of the record on disk, updated here.
    bool store(int32_t block, FitRecord* record, int32_t* storedFit, bool allowMove, Mover* mover);

    // Adds a run at the end of the fragment table, joined to the last fragment when it
    // follows it; the record grows by a block first when the table is full.
    static void addFragment(FitRecord* record, int32_t start, int32_t count);
    // The block that holds byte position, or 0 when the fragments end before it.
    // Positions only increase within one call, so the cursor only walks forward.
    static int32_t locateBlock(const FitRecord& record, int64_t position, BlockCursor* cursor);
    // Whole blocks from block on that lie in the cursor's run, at most limit.
    static int32_t contiguousBlocks(const BlockCursor& cursor, int32_t block, int64_t limit);
    // Gives back the last excess data blocks, from the end of the fragment table.
    void releaseFromEnd(FitRecord* record, int64_t excess);
    // At a file's last close: gives back the blocks beyond its need that its last growth
    // reserved.
    void trimReserve(FitRecord* record);

    // Sets the change and access times to now.
    static void stamp(FitRecord* record, bool change, bool access);
    static int32_t now();

  private:
    bool loadChecked(int32_t block, FitRecord* record);
    // The shortest free run that holds fit blocks, after one growth if none does.
    int32_t place(int32_t fit);

    BlockStore& m_store;
    BlockAllocator& m_allocator;
    int32_t& m_lastError;
};

}  // namespace efs
