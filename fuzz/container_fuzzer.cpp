// Opening and walking an arbitrary container: open, list, read every stored file, check,
// close, on a host file held in memory.
//
// Input: one mode byte (bit 0: open for reading and writing instead of read-only), then
// the bytes of the host file. Whatever the bytes:
// - a refused open reports a lastError code and leaves the host file byte for byte as it
//   was;
// - a read-only open, walk and close never write to the host file;
// - a volume that opened for writing and was closed opens again read-only.
// A loop or an allocation without bound shows up as a libFuzzer timeout or out-of-memory.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "efs/EfsFile.h"
#include "efs/EfsVolume.h"

namespace {

// Host files by path, shared by every EfsFile object of one run.
struct MemoryDisk {
    std::map<QString, std::vector<char>> files;
    int changes = 0;  // writes, truncations, removals and moves, successful or not
};

// A host file beyond this size is refused, which keeps every run's memory bounded.
constexpr int64_t kMaxHostSize = 64 << 20;

class MemoryHostFile final : public EfsFile {
  public:
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
    void move(const QString& from, const QString& to) override {
        ++m_disk->changes;
        auto it = m_disk->files.find(from);
        if (it == m_disk->files.end()) return;
        std::vector<char> bytes = std::move(it->second);
        m_disk->files.erase(it);
        m_disk->files[to] = std::move(bytes);
    }
    bool sync() override { return m_file != nullptr; }

  private:
    std::shared_ptr<MemoryDisk> m_disk;
    std::vector<char>* m_file = nullptr;  // in m_disk->files; null when closed
    bool m_readOnly = false;
    int64_t m_pos = 0;
};

const QString kPath = QStringLiteral("/memory/show.vx");

EfsVolume::FileFactory factoryFor(const std::shared_ptr<MemoryDisk>& disk) {
    return [disk] { return std::make_unique<MemoryHostFile>(disk); };
}

// Lists, reads and checks an open volume.
void walk(EfsVolume& volume, const std::string& fuzzContext) {
    QList<QByteArray> names;
    volume.listFiles(&names);
    std::vector<char> chunk(64 * 1024);
    int opened = 0;
    for (const QByteArray& name : names) {
        if (++opened > 2000) break;
        const int32_t handle =
            volume.openFile(name.constData(), EfsVolume::AccessRead, EfsVolume::OpenExisting);
        if (handle == 0) {
            FUZZ_CHECK(volume.lastError() != 0);
            continue;
        }
        (void)volume.fileSize(handle);
        int64_t total = 0;
        // Every stored byte lies in the host file; the bound only keeps a damaged volume
        // that repeats blocks from making one run slow.
        while (total < (int64_t(16) << 20)) {
            const int32_t got =
                volume.readFile(handle, chunk.data(), static_cast<int32_t>(chunk.size()));
            FUZZ_CHECK(got >= 0 && got <= static_cast<int32_t>(chunk.size()));
            if (got == 0) break;
            total += got;
        }
        volume.closeFile(handle);
    }
    (void)volume.check();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
        return true;
    }();
    (void)quiet;
    if (size == 0) return 0;
    const bool readWrite = (data[0] & 1) != 0;
    const std::vector<char> original(data + 1, data + size);
    auto disk = std::make_shared<MemoryDisk>();
    disk->files[kPath] = original;
    std::string fuzzContext = readWrite ? "open for writing" : "open read-only";

    {
        EfsVolume volume(factoryFor(disk));
        const bool opened = readWrite ? volume.openVolume(kPath) : volume.openVolumeReadOnly(kPath);
        if (!opened) {
            FUZZ_CHECK(volume.lastError() != EfsVolume::ErrorNone);
            FUZZ_CHECK(!volume.isOpen());
            fuzzContext += ", refused";
            FUZZ_CHECK(disk->files.count(kPath) == 1 && disk->files[kPath] == original);
            return 0;
        }
        fuzzContext += ", walk";
        walk(volume, fuzzContext);
        volume.closeVolume();
    }
    if (!readWrite) {
        fuzzContext = "after a read-only walk";
        FUZZ_CHECK(disk->changes == 0);
        FUZZ_CHECK(disk->files.count(kPath) == 1 && disk->files[kPath] == original);
        return 0;
    }

    fuzzContext = "reopen read-only after a walk with writing open";
    FUZZ_CHECK(disk->files.count(kPath) == 1);
    EfsVolume again(factoryFor(disk));
    FUZZ_CHECK(again.openVolumeReadOnly(kPath));
    walk(again, fuzzContext);
    again.closeVolume();
    return 0;
}

namespace {

// The bytes of a volume made by the program with the given stored files.
std::string makeVolume(const std::vector<std::pair<std::string, std::string>>& files) {
    auto disk = std::make_shared<MemoryDisk>();
    {
        EfsVolume volume(factoryFor(disk));
        if (!volume.openVolume(kPath)) return std::string();
        for (const auto& [name, bytes] : files) {
            const int32_t h =
                volume.openFile(name.c_str(), EfsVolume::AccessRead | EfsVolume::AccessWrite,
                                EfsVolume::CreateAlways);
            if (h == 0) continue;
            volume.writeFile(h, bytes.data(), static_cast<int32_t>(bytes.size()));
            volume.closeFile(h);
        }
        volume.closeVolume();
    }
    const std::vector<char>& bytes = disk->files[kPath];
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

int fuzzWriteCorpus(const std::string& dir) {
    int n = 0;
    auto save = [&](const std::string& name, const std::string& volume) {
        if (volume.empty()) return;
        for (char mode : {'\0', '\1'})
            if (fuzzWriteFile(dir, name + (mode ? "-rw" : "-ro"), std::string(1, mode) + volume))
                ++n;
    };
    const std::string desc =
        "<!DOCTYPE vxt_project>\n<chapters>\n <chapter name=\"One\">\n"
        "  <entry name=\"a\" desc=\"\" note=\"\"/>\n </chapter>\n</chapters>\n";
    std::string sound = "RIFF....WAVEfmt ";
    for (int i = 0; sound.size() < 20000; ++i) sound += static_cast<char>(i * 31);

    save("empty", makeVolume({}));
    save("project", makeVolume({{"desc.xml", desc}, {"ch0_e0.snd", sound}}));
    std::vector<std::pair<std::string, std::string>> many;
    for (int i = 0; i < 16; ++i)
        many.push_back({"file" + std::to_string(i),
                        std::string(static_cast<size_t>(i * 301), static_cast<char>('a' + i))});
    const std::string manyVolume = makeVolume(many);
    save("many-files", manyVolume);
    // Cut short at block boundaries and inside the header.
    for (size_t cut : {size_t(16), size_t(100), size_t(8192), size_t(16384), size_t(24576)})
        if (cut < manyVolume.size())
            save("truncated-" + std::to_string(cut), manyVolume.substr(0, cut));
    // Single bytes changed in the header.
    for (size_t at : {size_t(0), size_t(8), size_t(12), size_t(16), size_t(24), size_t(40)}) {
        std::string damaged = manyVolume;
        if (at < damaged.size()) {
            damaged[at] = static_cast<char>(damaged[at] ^ 0x5a);
            save("header-byte-" + std::to_string(at), damaged);
        }
    }
    return n;
}
