// A container volume: a small block file system inside one host file.
//
// Block 0 holds the header (efs/EfsFormat.h). Every other block is exactly one of: a
// node of the free-space tree or of the file table (efs/btree/BTreeNode.h), a block of a
// file record, a data block of a stored file, or free. Blocks are handed out and taken
// back only by the allocator below; the free runs are kept three times (the free-space
// tree, freePtrs by first block and freeSizes by length) and always agree.
//
// Every public operation takes the volume's recursive lock, so one volume may be used
// from several threads; failures come back as results and lastError(), never as throws.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <vector>

#include "efs/EfsEncryptor.h"
#include "efs/EfsFile.h"
#include "efs/EfsFormat.h"
#include "efs/FileNameKey.h"
#include "efs/btree/AllocationTrace.h"
#include "efs/btree/FreesBTree.h"

class QIODevice;

struct VolumeStatistics {
    int64_t hostSize = 0;
    int64_t freeBytes = 0;
    float freePercent = 0.0f;
    efs::VolumeParams params;
};

// The 114-byte file-info part of a record (record offsets 32 .. 145).
struct EfsFileInfo {
    std::array<uint8_t, efs::kFileInfoSize> bytes{};

    std::string fileName() const;
    int32_t attributes() const;
    int64_t fileSize() const;
    int32_t crc() const;
    int32_t creationTime() const;
    int32_t lastChangeTime() const;
    int32_t lastAccessTime() const;
};

class EfsVolume final : private efs::BTreeNodeStore {
  public:
    enum Error : int32_t {
        ErrorNone = 0,
        ErrorHostOpen = 1,
        ErrorVersion = 3,
        ErrorBlockSize = 4,
        ErrorState = 7,
        ErrorNoSpace = 8,
        ErrorArgument = 9,
        ErrorNotFound = 10,
        ErrorIo = 12,
        ErrorTempVolume = 13,
    };
    enum Disposition : int32_t {
        CreateNew = 1,
        CreateAlways = 2,
        OpenExisting = 3,
        OpenAlways = 4,
        TruncateExisting = 5,
    };
    enum Access : int32_t { AccessRead = 1, AccessWrite = 2 };
    enum AllocMode : int32_t { AllocFromStart = 0, AllocFromMiddle = 1, AllocBestFit = 2 };

    using Run = efs::Run;

    // Makes the host-file object for each open (and a throw-away one for deleting and
    // moving host files).
    using FileFactory = std::function<std::unique_ptr<EfsFile>()>;

    // A closed volume with default parameters, on POSIX host files.
    EfsVolume();
    explicit EfsVolume(FileFactory factory);
    ~EfsVolume() override;
    EfsVolume(const EfsVolume&) = delete;
    EfsVolume& operator=(const EfsVolume&) = delete;

    // ---- Lifecycle -------------------------------------------------------------------
    // Opens the container at path, creating a new volume when the host file is missing
    // or empty. After an unclean close it runs the recovery pass.
    bool openVolume(const QString& path);
    // Opens an existing container without changing it: no header write, no recovery
    // pass, no stored access times; every writing operation fails with ErrorState.
    bool openVolumeReadOnly(const QString& path);
    void closeVolume();
    bool isOpen() const;
    bool isReadOnly() const;
    // Every operation on stored files leaves the disk (the system's cache of it) holding
    // its result when it returns, so a process that dies keeps all finished operations.
    // With deferred writes on, their blocks stay in memory until the volume closes, the
    // cache is full or flush() is called: for a volume that is written whole and thrown
    // away if anything fails, such as a save into a temporary file. Off by default;
    // turning it off flushes.
    void setDeferredWrites(bool on);
    bool deferredWrites() const;
    QString path() const;
    // Rewrites the volume into a fresh host file and swaps it in, keeping open handles
    // under their numbers and positions. The original stays untouched on any failure.
    bool compact();
    // Deletes the host file and opens a new, empty volume at the same path.
    bool reformat();

    int32_t lastError() const;
    int32_t formatVersion() const;
    // The header's open flag as it was found by the last successful open: 1 means the
    // volume had not been closed cleanly (a read-only open leaves it so on disk).
    int32_t openFlagAtOpen() const;
    // The volume does not own the encryptor, which must outlive its use; nullptr
    // restores the default.
    void setEncryptor(EfsEncryptor* encryptor);
    EfsEncryptor* encryptor() const;
    efs::VolumeParams parameters() const;
    // Stores new parameters in the volume and the header; blockSize is kept, and a
    // growthStep below one block or a negative reserveBlocks is refused (ErrorArgument).
    bool setParameters(const efs::VolumeParams& params);
    // Ignored below one block.
    void setGrowthStep(int64_t bytes);
    void volumeStatistics(VolumeStatistics* out);

    // ---- Stored files ----------------------------------------------------------------
    // Returns a handle (8 upward), or 0.
    int32_t openFile(const char* name, int32_t access, int32_t disposition);
    void closeFile(int32_t handle);
    bool fileExists(const char* name);
    bool removeFile(const char* name);
    bool renameFile(const char* oldName, const char* newName);
    void listFiles(QList<QByteArray>* out);
    int32_t fileAttributes(int32_t handle);
    bool setFileAttributes(int32_t handle, int32_t value);
    bool fileInfo(int32_t handle, EfsFileInfo* out);
    int64_t tellFile(int32_t handle);
    int64_t seekFile(int32_t handle, int64_t position);
    int64_t fileSize(int32_t handle);
    bool atEndOfFile(int32_t handle);
    // Bytes delivered; 0 on failure or at the end.
    int32_t readFile(int32_t handle, char* data, int32_t length);
    bool writeFile(int32_t handle, const char* data, int32_t length);
    bool setFileSize(int32_t handle, int64_t size);

    // ---- Diagnostics -----------------------------------------------------------------
    // Reads the whole volume from disk and returns every problem found, in words; empty
    // when the volume is sound. Changes nothing.
    QStringList check();
    // Writes the report of every stored record to kDebugReportPath.
    void writeDebugReport();
    bool writeDebugReport(const QString& path);
    bool writeDebugReport(QIODevice* device);
    float averageFragmentCount();
    static constexpr const char* kDebugReportPath = "efs_debug_report.txt";

    // ---- Block layer and allocator ---------------------------------------------------
    // Used by the volume's own structures; public so that tools and tests can work
    // below the file level. Block numbers are >= 1 and inside the host file.
    // Single blocks go through the block cache (see below): a block written here reaches
    // the host file at the end of the operation, at flush() or when the volume closes.
    bool readBlock(int32_t block, void* dst, int32_t length, int32_t offset);
    bool writeBlock(int32_t block, const void* src, int32_t length, int32_t offset, bool merge);
    // Whole data blocks first .. first + count - 1, moved in one host-file transfer
    // around the block cache (reads see its newer blocks; writes replace its copies).
    // Blocks must lie inside the host file.
    static constexpr int32_t kMaxBlocksPerTransfer = 1024;  // 8 MiB
    bool readBlocks(int32_t first, int32_t count, char* dst);
    bool writeBlocks(int32_t first, int32_t count, const char* src);
    // Writes every block changed so far to the host file; false, with ErrorIo, when a
    // write fails (the blocks are tried again later).
    bool flush();
    bool ensureFree(int32_t count);
    bool growHost();
    bool allocateBlocks(int32_t hint, int32_t count, int32_t mode, std::vector<Run>* out);
    bool bestFit(int32_t count, Run* run);
    int32_t carveRun(Run run, Run piece);
    void releaseRun(int32_t first, int32_t count);

    // Views for tools and tests.
    std::vector<Run> freeRunsByStart() const;  // freePtrs, ascending first block
    std::vector<Run> freeRunsBySize() const;   // freeSizes in walk order
    std::vector<Run> freeRunsInTree();         // the free-space tree, ascending
    int64_t freeTotal() const;
    int64_t hostBlocks() const;
    int32_t cachedBlock() const;
    // Blocks held in the block cache (written ones, at most kCacheBlocks), and how many
    // of them still have to reach the disk.
    static constexpr size_t kCacheBlocks = 2048;  // 16 MiB
    size_t cachedBlocks() const;
    size_t dirtyBlocks() const;
    int32_t freeTreeRoot() const;
    int32_t fileTableRoot() const;
    size_t freeTreeCachedNodes() const;
    size_t fileTableCachedNodes() const;
    // Loads the record of a stored file from disk (the record as stored).
    bool loadStoredRecord(const char* name, efs::FitRecord* out);

  private:
    friend class EfsVolumeInspector;

    struct OpenFile {
        int32_t access = 0;
        int64_t position = 0;
        int32_t recordBlock = 0;
    };
    struct OpenRecord {
        int32_t openCount = 0;
        efs::FitRecord record;
        int32_t storedFitSize = 1;  // the fitSize of the record's blocks on disk
    };
    struct Cursor {
        int32_t runStart = 0;
        int32_t runLength = 0;
        int64_t counted = 0;
        int32_t nextIndex = 0;
        int32_t found = 0;
    };
    enum class FreeOp { Insert, Remove, Update };
    struct PendingFreeOp {
        FreeOp op;
        int32_t first;
        int32_t length;
    };

    // BTreeNodeStore
    bool readNodeBlock(int32_t b, uint8_t* dst, int32_t length) override;
    bool writeNodeBlock(int32_t b, const uint8_t* src, int32_t length) override;
    bool readRootSlot(int32_t offset, int32_t* value) override;
    bool writeRootSlot(int32_t offset, int32_t value) override;
    int32_t allocateNodeBlocks(int32_t count) override;
    void releaseNodeBlocks(int32_t first, int32_t count) override;
    int64_t blockLimit() const override;

    bool openVolumeImpl(const QString& path, bool readOnly);
    void abandonOpen();
    bool readHeader(std::vector<uint8_t>* header);
    bool writeHeader(const std::vector<uint8_t>& header);
    bool loadParameters(const efs::VolumeParams& params);
    bool checkHeaderParams(const efs::VolumeParams& params) const;
    bool rebuildFreeMaps();
    void runRecoveryPass();

    // Free runs: the maps change at once; edits of the free-space tree are queued while
    // that tree is inside an operation and applied when it has ended, so its own node
    // allocations never disturb the nodes of the operation in progress.
    void treeInsertFree(int32_t first, int32_t length);
    void treeRemoveFree(int32_t first);
    void treeUpdateFree(int32_t first, int32_t length);
    void drainFreeOps();
    void trace(efs::AllocationEvent event) const {
        if (m_trace) m_trace(event);
    }
    void addFreeSize(int32_t length, int32_t first);
    void dropFreeSize(int32_t length, int32_t first);

    // Records and file data.
    bool loadRecord(int32_t block, efs::FitRecord* record);
    bool checkRecord(const efs::FitRecord& record, int32_t block) const;
    bool storeRecord(int32_t block, OpenRecord* open, bool allowMove);
    bool storeLooseRecord(int32_t block, efs::FitRecord* record, bool allowMove);
    bool storeRecordImpl(int32_t block, efs::FitRecord* record, int32_t* storedFit, bool allowMove);
    int32_t placeRecord(int32_t fit);
    void storeFailed();
    void addFragment(efs::FitRecord* record, int32_t start, int32_t count);
    int32_t locateBlock(const efs::FitRecord& record, int64_t position, Cursor* cursor) const;
    void trimReserve(efs::FitRecord* record);
    bool findName(const char* name, int32_t* block);
    bool findClosedFile(const char* name, int32_t* block);
    OpenRecord* recordOf(int32_t handle, OpenFile** file);
    bool allocateForFile(efs::FitRecord* record, int32_t hint, int64_t count,
                         std::vector<Run>* runs);
    void releaseFragmentsFrom(efs::FitRecord* record, int64_t excess);
    bool writeInlineToBlock(int32_t block, const efs::FitRecord& record, int64_t bytes);
    // How many whole blocks from position on lie in one contiguous run of the record,
    // given the cursor locateBlock left there; at most limit.
    int32_t contiguousBlocks(const Cursor& cursor, int32_t block, int64_t limit) const;
    int32_t openFileImpl(const char* name, int32_t access, int32_t disposition);
    bool removeFileImpl(const char* name);
    bool renameFileImpl(const char* oldName, const char* newName);
    bool setFileAttributesImpl(int32_t handle, int32_t value);
    bool writeFileImpl(int32_t handle, const char* data, int32_t length);
    bool setFileSizeImpl(int32_t handle, int64_t size);
    void closeFileImpl(int32_t handle);
    void stamp(efs::FitRecord* record, bool change, bool access) const;

    void checkTrees(QStringList* problems, std::vector<uint8_t>* owner);

    // The block cache keeps the plaintext of the single blocks written by writeBlock
    // (records, tree nodes, the partial blocks at the ends of file data) and of the tree
    // nodes read, since every look-up reads its path again. Other blocks that are only
    // read are not kept: most are read once, and the one-block buffer m_cache serves
    // repeated reads. A written block stays in the cache, dirty, until the public
    // operation that wrote it ends (with deferred writes, until the volume closes), and
    // always goes out before the header is written. So a record or node changed several
    // times in one operation reaches the disk once, and neighbouring dirty blocks go out
    // in one transfer; what reaches the disk, and in the end the host file, is what
    // writing each change through would have left. At most kCacheBlocks blocks are held.
    struct CachedBlock {
        std::vector<uint8_t> bytes;
        bool dirty = false;
    };
    // The plaintext of one block, from the cache or the disk.
    bool fetchBlock(int32_t block, uint8_t* dst);
    // Makes room for one more block: writes the dirty blocks and forgets the rest.
    bool makeCacheRoom();
    // Writes every dirty block, runs of neighbours in one transfer, in ascending order.
    // Blocks whose write failed stay dirty and are tried again by the next flush.
    bool flushBlocks();
    // Ends a public operation that may have written blocks: they go to the disk now
    // unless writes are deferred. Returns ok, or false (ErrorIo) when the flush failed.
    bool endOperation(bool ok);
    void dropBlockCache();
    void dropCleanBlocks();

    mutable std::recursive_mutex m_lock;
    FileFactory m_factory;
    QString m_path;
    std::unique_ptr<EfsFile> m_host;
    bool m_readOnly = false;
    efs::FileTableTree m_fileTable;
    std::multimap<int32_t, int32_t, std::greater<int32_t>> m_freeSizes;
    std::map<int32_t, int32_t, std::greater<int32_t>> m_freePtrs;
    int64_t m_freeInMaps = 0;
    efs::FreesBTree m_frees;
    std::deque<PendingFreeOp> m_pendingFreeOps;
    bool m_drainingFreeOps = false;
    efs::AllocationTrace m_trace;
    // Set when an edit of the free-space tree failed on a damaged node or a failed write:
    // the tree on disk may then disagree with the maps, and the session reports ErrorIo
    // at close and in check().
    bool m_freeTreeFailed = false;
    std::map<int32_t, OpenRecord> m_openRecords;
    std::map<int32_t, OpenFile> m_handles;
    int32_t m_lastHandle = 7;
    efs::VolumeParams m_params;
    int32_t m_lastError = 0;
    EfsEncryptor* m_encryptor;
    int32_t m_version = 0;
    int32_t m_openFlagAtOpen = 0;
    std::vector<uint8_t> m_cache;
    int32_t m_cachedBlock = -1;
    int64_t m_hostBlocks = 0;
    std::unordered_map<int32_t, CachedBlock> m_blocks;
    std::set<int32_t> m_dirty;  // the dirty blocks of m_blocks, ascending
    bool m_deferWrites = false;
    std::vector<uint8_t> m_flushBuffer;  // encoded runs on their way out (at most 8 MiB)
    static constexpr int64_t kSmallReadBlocks = 32;
    std::vector<char> m_readBuffer;  // small reads that end inside a block (at most 256 KiB)
};
