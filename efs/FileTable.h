// The file table: one flat namespace of stored files, a B-tree from a key of each name
// (efs/FileNameKey.h) to the block of the file's record; the handles open on files; and
// the open records, the one in-memory copy of the record of every file with an open
// handle, which every handle of that file shares and every change goes to.
//
// Handle numbers count up from 8 over the whole life of a volume object and are never
// given out twice. A file with open handles can be neither removed nor renamed.
#pragma once

#include <QByteArray>
#include <QList>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "efs/EfsFormat.h"
#include "efs/FileNameKey.h"
#include "efs/RecordStore.h"
#include "efs/btree/BlockAllocator.h"

namespace efs {

struct OpenFile {
    int32_t access = 0;  // as given to openFile; kept, never checked
    int64_t position = 0;
    int32_t recordBlock = 0;  // key into the open records
};

struct OpenRecord {
    int32_t openCount = 0;
    FitRecord record;
    int32_t storedFitSize = 1;  // the size in blocks of the record on disk
};

class FileTable final : private RecordStore::Mover {
  public:
    // The layers below and params must outlive the table; failures set lastError.
    FileTable(BlockAllocator& allocator, RecordStore& records, const VolumeParams& params,
              int32_t& lastError);

    // Opens the tree through its root slot, making an empty root when the slot holds 0.
    bool open();
    // Writes the tree back and forgets every handle; false when a node cannot be written.
    bool close();
    // Forgets everything without writing (after a failed open).
    void abandon();
    int32_t rootBlock() const { return m_tree.rootBlock(); }
    size_t cachedNodes() const { return m_tree.cachedCount(); }

    // The record block of a stored file; false when it is missing (and, when the table
    // could not be read, ErrorIo).
    bool find(const char* name, int32_t* block);
    // A handle on name, created when missing if the disposition allows (created tells);
    // 0 on failure. Emptying a file for CreateAlways and TruncateExisting is the caller's.
    int32_t openFile(const char* name, int32_t access, int32_t disposition, bool readOnly,
                     bool* created);
    // At the last close of a file its reserve is trimmed and its record stored, where it
    // may move.
    void closeFile(int32_t handle, bool readOnly);
    bool removeFile(const char* name);
    bool renameFile(const char* oldName, const char* newName);
    bool setAttributes(int32_t handle, int32_t value, bool readOnly);

    bool collectKeys(std::vector<FileNameKey>* out) { return m_tree.collectKeys(out); }
    bool collectEntries(std::vector<std::pair<FileNameKey, int>>* out) {
        return m_tree.collectEntries(out);
    }
    bool collectValues(std::vector<int>* out) { return m_tree.collectValues(out); }

    // The open record behind a handle; null with ErrorNotFound for an unknown handle and
    // ErrorIo when its record is missing.
    OpenRecord* recordOf(int32_t handle, OpenFile** file = nullptr);
    // The handle alone; null for an unknown one.
    OpenFile* fileOf(int32_t handle) {
        auto it = m_handles.find(handle);
        return it == m_handles.end() ? nullptr : &it->second;
    }
    // Stores the open record of a file (see RecordStore::store).
    bool store(int32_t block, OpenRecord* open, bool allowMove);

    const std::map<int32_t, OpenFile>& handles() const { return m_handles; }
    // The name of the file whose open record is at block, empty when there is none.
    std::string openName(int32_t block) const;
    int32_t lastHandle() const { return m_lastHandle; }
    // The next handle is number + 1 (compact gives handles back their old numbers).
    void setLastHandle(int32_t number) { m_lastHandle = number; }

  private:
    bool recordMoved(const FitRecord& record, int32_t from, int32_t to) override;
    // Finds a stored file that no handle holds open; sets lastError when there is none.
    bool findClosed(const char* name, int32_t* block);

    RecordStore& m_records;
    BlockAllocator& m_allocator;
    const VolumeParams& m_params;
    int32_t& m_lastError;
    FileTableTree m_tree;
    std::map<int32_t, OpenRecord> m_openRecords;
    std::map<int32_t, OpenFile> m_handles;
    int32_t m_lastHandle = 7;
};

}  // namespace efs
