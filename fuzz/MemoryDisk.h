#ifndef VOXTRAIL_FUZZ_MEMORYDISK_H
#define VOXTRAIL_FUZZ_MEMORYDISK_H

// Host files held in memory, for the targets that open containers without touching the
// disk, and a maker of small containers for their starting inputs.

#include <QString>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "efs/EfsFile.h"
#include "efs/EfsFormat.h"
#include "efs/EfsVolume.h"

// Host files by path, shared by every EfsFile object of one run.
struct MemoryDisk {
    std::map<QString, std::vector<char>> files;
    int changes = 0;  // writes, truncations, removals and moves, successful or not
};

class MemoryHostFile final : public EfsFile {
  public:
    // A host file beyond this size is refused, which keeps every run's memory bounded.
    static constexpr int64_t kMaxHostSize = int64_t(64) << 20;

    explicit MemoryHostFile(std::shared_ptr<MemoryDisk> disk) : m_disk(std::move(disk)) {}

    bool open(const QString& path) override {
        m_file = &m_disk->files[path];
        m_readOnly = false;
        m_pos = 0;
        return true;
    }
    bool openReadOnly(const QString& path) override {
        auto it = m_disk->files.find(path);
        if (it == m_disk->files.end()) return false;
        m_file = &it->second;
        m_readOnly = true;
        m_pos = 0;
        return true;
    }
    int32_t read(void* buffer, int32_t count) override {
        if (m_file == nullptr || count < 0) return -1;
        const int64_t left = static_cast<int64_t>(m_file->size()) - m_pos;
        const int32_t n =
            static_cast<int32_t>(std::max<int64_t>(0, std::min<int64_t>(left, count)));
        if (n > 0) std::memcpy(buffer, m_file->data() + m_pos, static_cast<size_t>(n));
        m_pos += n;
        return n;
    }
    int32_t write(const void* buffer, int32_t count) override {
        ++m_disk->changes;
        if (m_file == nullptr || m_readOnly || count < 0 || m_pos + count > kMaxHostSize) return -1;
        if (m_pos + count > static_cast<int64_t>(m_file->size()))
            m_file->resize(static_cast<size_t>(m_pos + count), '\0');
        if (count > 0) std::memcpy(m_file->data() + m_pos, buffer, static_cast<size_t>(count));
        m_pos += count;
        return count;
    }
    int64_t seek(int64_t position) override {
        if (m_file == nullptr || position < 0) return -1;
        m_pos = position;
        return m_pos;
    }
    int64_t pos() override { return m_file != nullptr ? m_pos : 0; }
    int64_t size() override {
        return m_file != nullptr ? static_cast<int64_t>(m_file->size()) : -1;
    }
    bool close() override {
        m_file = nullptr;
        return true;
    }
    bool truncate(int64_t length) override {
        ++m_disk->changes;
        if (m_file == nullptr || m_readOnly || length < 0 || length > kMaxHostSize) return false;
        m_file->resize(static_cast<size_t>(length), '\0');
        return true;
    }
    bool isEmpty() override { return m_file == nullptr || m_file->empty(); }
    void remove(const QString& path) override {
        ++m_disk->changes;
        m_disk->files.erase(path);
    }
    bool move(const QString& from, const QString& to) override {
        ++m_disk->changes;
        auto it = m_disk->files.find(from);
        if (it == m_disk->files.end()) return false;
        std::vector<char> bytes = std::move(it->second);
        m_disk->files.erase(it);
        m_disk->files[to] = std::move(bytes);
        return true;
    }
    bool sync() override { return m_file != nullptr; }

  private:
    std::shared_ptr<MemoryDisk> m_disk;
    std::vector<char>* m_file = nullptr;  // in m_disk->files; null when closed
    bool m_readOnly = false;
    int64_t m_pos = 0;
};

inline EfsVolume::FileFactory memoryFactory(const std::shared_ptr<MemoryDisk>& disk) {
    return [disk] { return std::make_unique<MemoryHostFile>(disk); };
}

// Builds containers in memory, as the program writes them, from a volume whose trees do
// not exist yet: a lone header block carrying the parameters. Opening it for writing
// makes both trees and grows the host file by the growth step, so a small step gives a
// container a few blocks long that is valid in every other respect (the growth step is a
// volume parameter like any other).
class VolumeMaker final {
  public:
    explicit VolumeMaker(const efs::VolumeParams& params) : m_disk(std::make_shared<MemoryDisk>()) {
        std::vector<char>& host = m_disk->files[kPath];
        host.assign(efs::kBlockSize, '\0');
        auto* header = reinterpret_cast<uint8_t*>(host.data());
        std::copy(efs::kMagic.begin(), efs::kMagic.end(), header);
        efs::encodeFixed32(header + efs::kHeaderVersion, efs::kFormatVersion);
        params.encode(header + efs::kHeaderParams);
        m_volume = std::make_unique<EfsVolume>(memoryFactory(m_disk));
        m_ok = m_volume->openVolume(kPath);
    }
    // Growth by `blocks` blocks, the other parameters at their defaults.
    static efs::VolumeParams step(int64_t blocks) {
        efs::VolumeParams p;
        p.growthStep = blocks * efs::kBlockSize;
        return p;
    }

    EfsVolume& volume() { return *m_volume; }
    bool ok() const { return m_ok; }

    // Stores bytes as name (replacing it); false when anything failed.
    bool put(const std::string& name, const std::string& bytes) {
        const int32_t h =
            m_volume->openFile(name.c_str(), EfsVolume::AccessWrite, EfsVolume::CreateAlways);
        if (h == 0) return m_ok = false;
        if (!bytes.empty() &&
            !m_volume->writeFile(h, bytes.data(), static_cast<int32_t>(bytes.size())))
            m_ok = false;
        m_volume->closeFile(h);
        return m_ok;
    }
    // Stores the files a block at a time in turn, so that each lies in many fragments.
    bool putInTurns(const std::vector<std::pair<std::string, std::string>>& files) {
        std::vector<int32_t> handles;
        for (const auto& file : files) {
            handles.push_back(m_volume->openFile(file.first.c_str(), EfsVolume::AccessWrite,
                                                 EfsVolume::CreateAlways));
            if (handles.back() == 0) m_ok = false;
        }
        for (size_t done = 0; m_ok; done += efs::kBlockSize) {
            bool more = false;
            for (size_t i = 0; m_ok && i < files.size(); ++i) {
                const std::string& bytes = files[i].second;
                if (done >= bytes.size()) continue;
                const auto n =
                    static_cast<int32_t>(std::min<size_t>(efs::kBlockSize, bytes.size() - done));
                m_ok = m_volume->writeFile(handles[i], bytes.data() + done, n);
                more = true;
            }
            if (!more) break;
        }
        for (int32_t h : handles)
            if (h != 0) m_volume->closeFile(h);
        return m_ok;
    }
    bool remove(const std::string& name) {
        if (!m_volume->removeFile(name.c_str())) m_ok = false;
        return m_ok;
    }
    // The host file as it is now (with the open flag set: the form a process that died
    // leaves behind).
    std::string snapshot() const {
        const std::vector<char>& host = m_disk->files.at(kPath);
        return std::string(host.begin(), host.end());
    }
    // Closes the volume; its host file, or empty when anything failed on the way.
    std::string close() {
        m_volume->closeVolume();
        if (!m_ok || m_volume->lastError() != EfsVolume::ErrorNone) return std::string();
        return snapshot();
    }

    static inline const QString kPath = QStringLiteral("/memory/made.vx");

  private:
    std::shared_ptr<MemoryDisk> m_disk;
    std::unique_ptr<EfsVolume> m_volume;
    bool m_ok = false;
};

#endif  // VOXTRAIL_FUZZ_MEMORYDISK_H
