// A container volume: a small block file system inside one host file.
//
// The volume is a front over its layers, each in its own files, each calling only the
// ones below it:
//   EfsVolume    lifecycle (open, close, compact, reformat, parameters, statistics) and
//                the public file operations, under the volume's lock
//   FileData     reading, writing and resizing stored files        (efs/FileData.h)
//   FileTable    names, handles and open records                   (efs/FileTable.h)
//   RecordStore  file records, fragments, moves and reserve        (efs/RecordStore.h)
//   BlockAllocator  free runs, the free-space tree, host growth    (efs/btree/BlockAllocator.h)
//   BlockStore   the host file, header, root slots, block cache    (efs/BlockStore.h)
// EfsVolumeProbe (efs/EfsVolumeProbe.h) is the one read-only door inside.
//
// Every public operation takes the volume's recursive lock, so one volume may be used
// from several threads; failures come back as results and lastError() (with the reason in
// status()), never as throws.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "efs/BlockStore.h"
#include "efs/EfsCodes.h"
#include "efs/EfsEncryptor.h"
#include "efs/EfsFile.h"
#include "efs/EfsFormat.h"
#include "efs/FileData.h"
#include "efs/FileTable.h"
#include "efs/RecordStore.h"
#include "efs/Status.h"
#include "efs/btree/BlockAllocator.h"

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

class EfsVolume final {
  public:
    using Error = efs::VolumeError;
    using enum efs::VolumeError;
    using Disposition = efs::Disposition;
    using enum efs::Disposition;
    using Access = efs::Access;
    using enum efs::Access;
    using AllocMode = efs::AllocMode;
    using enum efs::AllocMode;
    using Run = efs::Run;

    // Makes the host-file object for each open (and a throw-away one for deleting and
    // moving host files).
    using FileFactory = EfsFileFactory;

    // A closed volume with default parameters, on POSIX host files.
    EfsVolume();
    explicit EfsVolume(FileFactory factory);
    ~EfsVolume();
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
    // Writes every block changed so far to the host file; false, with ErrorIo, when a
    // write fails (the blocks are tried again later).
    bool flush();
    QString path() const;
    // Rewrites the volume into a fresh host file and swaps it in, keeping open handles
    // under their numbers and positions. The original stays untouched on any failure.
    bool compact();
    // Deletes the host file and opens a new, empty volume at the same path.
    bool reformat();

    int32_t lastError() const;
    // The last operation's outcome with its reason: lastError() as its code, and the errno
    // and words of the failure that caused it ("block 517 of the file table fails its
    // checks"), or the general words for the code when no layer left a reason. A success
    // when lastError() is 0.
    efs::Status status() const;
    int32_t formatVersion() const;
    // The header's open flag as it was found by the last successful open: 1 means the
    // volume had not been closed cleanly (a read-only open leaves it so on disk).
    int32_t openFlagAtOpen() const;
    // The volume does not own the encryptor, which must outlive its use; nullptr
    // restores the default. Blocks still waiting to be written go out first, under the
    // encryptor they were written with; when they cannot, nothing changes (ErrorIo).
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
    // False when the record could not be stored (the value stays in the open record).
    bool setFileAttributes(int32_t handle, int32_t value);
    bool fileInfo(int32_t handle, EfsFileInfo* out);
    int64_t tellFile(int32_t handle);
    int64_t seekFile(int32_t handle, int64_t position);
    int64_t fileSize(int32_t handle);
    bool atEndOfFile(int32_t handle);
    // Bytes delivered; 0 on failure or at the end.
    int32_t readFile(int32_t handle, char* data, int32_t length);
    bool writeFile(int32_t handle, const char* data, int32_t length);
    // writeFile of length bytes read from descriptor fd at offset (its own offset is not
    // used or moved); false, as for a failed write, when fd cannot give them all. The
    // stored blocks and bytes are those writeFile would store; the bytes are copied inside
    // the kernel where the host file allows it (no encryptor, the same file system).
    bool writeFileFrom(int32_t handle, int fd, int64_t offset, int32_t length);
    // readFile with the bytes going to descriptor fd at offset: bytes delivered, fewer at
    // the end of the file or when fd takes no more (lastError says which). Copied inside
    // the kernel where the host file allows it.
    int32_t readFileTo(int32_t handle, int fd, int64_t offset, int32_t length);
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

  private:
    friend class EfsVolumeProbe;

    bool openVolumeImpl(const QString& path, bool readOnly);
    // Starts an operation: no error, and no reason left from an earlier one.
    void clearError();
    // Undoes a failed open: everything is dropped, nothing written.
    void abandonOpen();
    bool checkHeader(const std::vector<uint8_t>& header, int64_t hostBlocks);
    bool loadParameters(const efs::VolumeParams& params);
    void runRecoveryPass();
    void closeFileImpl(int32_t handle);
    // Ends a public operation that may have written blocks: they go to the disk now
    // unless writes are deferred. Returns ok, or false (ErrorIo) when the flush failed.
    bool endOperation(bool ok);
    // The open record of a handle for the queries that only read it.
    efs::OpenRecord* recordOf(int32_t handle, efs::OpenFile** file = nullptr);

    mutable std::recursive_mutex m_lock;
    FileFactory m_factory;
    QString m_path;
    int32_t m_lastError = 0;
    efs::VolumeParams m_params;
    int32_t m_version = 0;
    int32_t m_openFlagAtOpen = 0;
    bool m_deferWrites = false;
    // The layers, bottom up; each refers to the ones above it in this list.
    efs::BlockStore m_store;
    efs::BlockAllocator m_allocator{m_store, m_params, m_lastError};
    efs::RecordStore m_records{m_store, m_allocator, m_lastError};
    efs::FileTable m_table{m_allocator, m_records, m_params, m_lastError};
    efs::FileData m_data{m_store, m_allocator, m_records, m_table, m_params, m_lastError};
};
