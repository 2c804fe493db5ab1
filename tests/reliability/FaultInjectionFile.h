// A host file for tests that fails on purpose: every read, write, resize (truncate) and
// sync of every file made by one factory is counted in one shared FaultState, which can
//   - fail, or shorten, the Nth counted call (one fault per run),
//   - stop all writes from the Nth write on (a simulated crash: later writes, resizes and
//     syncs silently do nothing, or fail), optionally tearing the Nth write in half,
//   - drop everything written since the last sync of each file (an undo log of the
//     unsynced changes, replayed backwards), as a power loss would.
//
// The real work is done by EfsPosixFile; the undo log reads the bytes about to be
// overwritten through a descriptor of its own, so it adds no calls to the counted file.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QString>
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "efs/EfsFile.h"
#include "efs/EfsVolume.h"

namespace reliability {

enum class IoKind : int { Read = 0, Write, Resize, Sync };
constexpr int kIoKinds = 4;
inline const char* kindName(IoKind k) {
    switch (k) {
        case IoKind::Read:
            return "read";
        case IoKind::Write:
            return "write";
        case IoKind::Resize:
            return "resize";
        case IoKind::Sync:
            return "sync";
    }
    return "?";
}
inline unsigned kindBit(IoKind k) { return 1u << static_cast<int>(k); }
constexpr unsigned kAllKinds = 0xF;

enum class FaultMode {
    None,
    Fail,   // the call does nothing and reports failure
    Short,  // reads and writes move half the bytes and report that count; a resize moves
            // the end half-way and reports failure; a sync fails
};
inline const char* modeName(FaultMode m) {
    return m == FaultMode::Fail ? "fail" : m == FaultMode::Short ? "short" : "none";
}

enum class CrashMode {
    Ignore,  // writes after the crash point report success and change nothing
    Fail,    // writes after the crash point report failure and change nothing
};

// Shared by every file of one factory. All members are guarded by mutex.
class FaultState {
  public:
    // ---- configuration (set before the run) ----
    // The faulted call: the at-th call (1-based) among the kinds given, counted from now.
    void setFault(FaultMode mode, int64_t at, unsigned kinds = kAllKinds) {
        std::lock_guard<std::mutex> g(mutex);
        selected = 0;
        hit = false;
        faultMode = mode;
        faultAt = at;
        faultKinds = kinds;
    }
    // The fault hits the first call of kind at this file position moving this many bytes.
    void setFaultAtPlace(FaultMode mode, IoKind kind, int64_t position, int64_t bytes) {
        std::lock_guard<std::mutex> g(mutex);
        selected = 0;
        hit = false;
        faultMode = mode;
        faultAt = 0;
        faultKinds = kindBit(kind);
        placePosition = position;
        placeBytes = bytes;
    }
    // Writes number `at` (1-based, counting writes only) and later do not reach the disk.
    void setCrash(int64_t at, CrashMode mode, bool tearCrashingWrite = false) {
        std::lock_guard<std::mutex> g(mutex);
        crashAt = at;
        crashMode = mode;
        tear = tearCrashingWrite;
    }
    // Every rename fails (EIO) and changes nothing; renames are not counted calls.
    std::atomic<bool> failRenames{false};
    // Called (outside the lock) after each sync that reached the disk.
    std::function<void()> onSync;
    // Whether a sync also reaches the real disk (fsync); the crash model needs only the
    // undo log, and thousands of real syncs make a sweep slow.
    bool realSync = false;

    // ---- what happened ----
    int64_t count(IoKind k) const {
        std::lock_guard<std::mutex> g(mutex);
        return counts[static_cast<int>(k)];
    }
    int64_t countedCalls() const {
        std::lock_guard<std::mutex> g(mutex);
        return selected;
    }
    bool faultHit() const {
        std::lock_guard<std::mutex> g(mutex);
        return hit;
    }
    IoKind faultKind() const {
        std::lock_guard<std::mutex> g(mutex);
        return hitKind;
    }
    // Where the faulted call was: the file position and the bytes asked for (the new
    // length for a resize).
    int64_t faultPosition() const {
        std::lock_guard<std::mutex> g(mutex);
        return hitPosition;
    }
    int64_t faultBytes() const {
        std::lock_guard<std::mutex> g(mutex);
        return hitBytes;
    }
    bool crashed() const {
        std::lock_guard<std::mutex> g(mutex);
        return isCrashed;
    }
    // Unsynced changes still held in the undo logs, all files together.
    size_t unsyncedChanges() const {
        std::lock_guard<std::mutex> g(mutex);
        size_t n = 0;
        for (const auto& [path, log] : undo) n += log.size();
        return n;
    }

    // Puts every file back as it was at its last sync (or when it was first opened, or
    // created, by a file of this state), and forgets the logs.
    void dropUnsyncedData() {
        std::lock_guard<std::mutex> g(mutex);
        for (auto& [path, log] : undo) {
            const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
            if (fd < 0) continue;
            for (auto it = log.rbegin(); it != log.rend(); ++it) {
                if (!it->oldBytes.empty())
                    (void)!::pwrite(fd, it->oldBytes.data(), it->oldBytes.size(), it->offset);
                (void)!::ftruncate(fd, it->oldSize);
            }
            ::close(fd);
        }
        undo.clear();
    }

  private:
    friend class FaultInjectionFile;

    struct Change {
        int64_t oldSize = 0;
        int64_t offset = 0;
        std::string oldBytes;  // the bytes at offset before the change, within oldSize
    };

    enum class Verdict { Pass, Fault, Dropped };

    // Counts one call and says what to do with it.
    Verdict decide(IoKind kind, FaultMode* mode, bool* tearIt, int64_t position, int64_t bytes) {
        std::lock_guard<std::mutex> g(mutex);
        ++counts[static_cast<int>(kind)];
        *tearIt = false;
        if (kind != IoKind::Read) {
            if (kind == IoKind::Write && crashAt > 0 && !isCrashed &&
                counts[static_cast<int>(IoKind::Write)] >= crashAt) {
                isCrashed = true;
                *tearIt = tear;
            }
            if (isCrashed) return Verdict::Dropped;
        }
        if (faultMode != FaultMode::None && (faultKinds & kindBit(kind))) {
            ++selected;
            const bool chosen = placePosition >= 0
                                    ? position == placePosition && bytes == placeBytes
                                    : selected == faultAt;
            if (!hit && chosen) {
                hit = true;
                hitKind = kind;
                hitPosition = position;
                hitBytes = bytes;
                *mode = faultMode;
                return Verdict::Fault;
            }
        }
        return Verdict::Pass;
    }

    void record(const std::string& path, int fd, int64_t offset, int64_t length) {
        Change c;
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0) return;
        c.oldSize = st.st_size;
        c.offset = std::min<int64_t>(offset, c.oldSize);
        const int64_t end = std::min<int64_t>(offset + length, c.oldSize);
        if (end > c.offset) {
            c.oldBytes.resize(static_cast<size_t>(end - c.offset));
            if (::pread(fd, c.oldBytes.data(), c.oldBytes.size(), c.offset) !=
                static_cast<ssize_t>(c.oldBytes.size()))
                c.oldBytes.clear();
        }
        std::lock_guard<std::mutex> g(mutex);
        undo[path].push_back(std::move(c));
    }

    void synced(const std::string& path) {
        {
            std::lock_guard<std::mutex> g(mutex);
            undo.erase(path);
        }
        if (onSync) onSync();
    }

    void moved(const std::string& from, const std::string& to) {
        std::lock_guard<std::mutex> g(mutex);
        undo.erase(to);
        auto it = undo.find(from);
        if (it != undo.end()) {
            undo[to] = std::move(it->second);
            undo.erase(from);
        }
    }

    void removed(const std::string& path) {
        std::lock_guard<std::mutex> g(mutex);
        undo.erase(path);
    }

    mutable std::mutex mutex;
    std::array<int64_t, kIoKinds> counts{};
    int64_t selected = 0;
    FaultMode faultMode = FaultMode::None;
    int64_t faultAt = 0;
    unsigned faultKinds = kAllKinds;
    bool hit = false;
    IoKind hitKind = IoKind::Read;
    int64_t placePosition = -1;  // >= 0: the fault is chosen by place, not by number
    int64_t placeBytes = 0;
    int64_t hitPosition = -1;
    int64_t hitBytes = 0;
    int64_t crashAt = 0;
    CrashMode crashMode = CrashMode::Ignore;
    bool tear = false;
    bool isCrashed = false;
    std::map<std::string, std::vector<Change>> undo;
};

class FaultInjectionFile final : public EfsFile {
  public:
    explicit FaultInjectionFile(std::shared_ptr<FaultState> state) : m_state(std::move(state)) {}
    ~FaultInjectionFile() override {
        if (m_shadowFd >= 0) ::close(m_shadowFd);
    }
    FaultInjectionFile(const FaultInjectionFile&) = delete;
    FaultInjectionFile& operator=(const FaultInjectionFile&) = delete;

    bool open(const QString& path) override {
        if (!m_file.open(path)) return false;
        attach(path, O_RDONLY);
        return true;
    }
    bool openReadOnly(const QString& path) override {
        if (!m_file.openReadOnly(path)) return false;
        attach(path, O_RDONLY);
        return true;
    }

    int32_t read(void* buffer, int32_t count) override {
        FaultMode mode = FaultMode::None;
        bool tear = false;
        if (m_state->decide(IoKind::Read, &mode, &tear, m_file.pos(), count) ==
            FaultState::Verdict::Fault) {
            if (mode == FaultMode::Fail || count <= 1) return failed();
            return m_file.read(buffer, count / 2);
        }
        return m_file.read(buffer, count);
    }

    int32_t write(const void* buffer, int32_t count) override {
        FaultMode mode = FaultMode::None;
        bool tear = false;
        const auto verdict = m_state->decide(IoKind::Write, &mode, &tear, m_file.pos(), count);
        if (verdict == FaultState::Verdict::Dropped) {
            if (tear && count > 1) {
                const int64_t at = m_file.pos();
                m_state->record(m_pathKey, m_shadowFd, at, count / 2);
                m_file.write(buffer, count / 2);
            }
            return m_state->crashMode == CrashMode::Ignore ? count : failed();
        }
        if (verdict == FaultState::Verdict::Fault) {
            if (mode == FaultMode::Fail || count <= 1) return failed();
            const int64_t at = m_file.pos();
            m_state->record(m_pathKey, m_shadowFd, at, count / 2);
            return m_file.write(buffer, count / 2);
        }
        m_state->record(m_pathKey, m_shadowFd, m_file.pos(), count);
        return m_file.write(buffer, count);
    }

    bool truncate(int64_t length) override {
        FaultMode mode = FaultMode::None;
        bool tear = false;
        const auto verdict = m_state->decide(IoKind::Resize, &mode, &tear, m_file.pos(), length);
        if (verdict == FaultState::Verdict::Dropped)
            return m_state->crashMode == CrashMode::Ignore || refused();
        const int64_t old = m_file.size();
        if (verdict == FaultState::Verdict::Fault) {
            if (mode == FaultMode::Fail || old < 0) return refused();
            // The end moves half-way, as a disk that filled up part way through.
            const int64_t half = old + (length - old) / 2;
            m_state->record(m_pathKey, m_shadowFd, std::min(half, old),
                            std::max<int64_t>(0, old - half));
            m_file.truncate(half);
            errno = ENOSPC;
            return false;
        }
        if (old >= 0)
            m_state->record(m_pathKey, m_shadowFd, std::min(length, old),
                            std::max<int64_t>(0, old - length));
        return m_file.truncate(length);
    }

    bool sync() override {
        FaultMode mode = FaultMode::None;
        bool tear = false;
        const auto verdict = m_state->decide(IoKind::Sync, &mode, &tear, m_file.pos(), 0);
        if (verdict == FaultState::Verdict::Dropped)
            return m_state->crashMode == CrashMode::Ignore || refused();
        if (verdict == FaultState::Verdict::Fault) return refused();
        // Durability is what the undo log says; the disk itself is synced only on request.
        if (m_state->realSync && !m_file.sync()) return false;
        m_state->synced(m_pathKey);
        return true;
    }

    int64_t seek(int64_t position) override { return m_file.seek(position); }
    int64_t pos() override { return m_file.pos(); }
    int64_t size() override { return m_file.size(); }
    bool close() override {
        if (m_shadowFd >= 0) ::close(m_shadowFd);
        m_shadowFd = -1;
        return m_file.close();
    }
    bool isEmpty() override { return m_file.isEmpty(); }
    // After a crash the process is gone: nothing it asks of the folder happens either.
    void remove(const QString& path) override {
        if (m_state->crashed()) return;
        m_file.remove(path);
        m_state->removed(key(path));
    }
    bool move(const QString& from, const QString& to) override {
        if (m_state->crashed()) return m_state->crashMode == CrashMode::Ignore || refused();
        if (m_state->failRenames) return refused();
        if (!m_file.move(from, to)) return false;
        m_state->moved(key(from), key(to));
        return true;
    }

  private:
    static std::string key(const QString& path) { return QFile::encodeName(path).toStdString(); }
    // A failed call says why, as a real disk would: EIO.
    static int32_t failed() {
        errno = EIO;
        return -1;
    }
    static bool refused() {
        errno = EIO;
        return false;
    }

    void attach(const QString& path, int flags) {
        m_pathKey = key(path);
        if (m_shadowFd >= 0) ::close(m_shadowFd);
        m_shadowFd = ::open(m_pathKey.c_str(), flags | O_CLOEXEC);
    }

    std::shared_ptr<FaultState> m_state;
    EfsPosixFile m_file;
    std::string m_pathKey;
    int m_shadowFd = -1;  // reads the bytes an unsynced change overwrites
};

inline EfsVolume::FileFactory faultFactory(std::shared_ptr<FaultState> state) {
    return [state]() -> std::unique_ptr<EfsFile> {
        return std::make_unique<FaultInjectionFile>(state);
    };
}

}  // namespace reliability
