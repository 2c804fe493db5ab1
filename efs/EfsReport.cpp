// The diagnostic report of a volume's stored files and free-space maps.
#include <QFile>
#include <QTextStream>

#include "efs/EfsVolume.h"

using namespace efs;

void EfsVolume::writeDebugReport() { writeDebugReport(QString::fromLatin1(kDebugReportPath)); }

bool EfsVolume::writeDebugReport(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    return writeDebugReport(&file);
}

bool EfsVolume::writeDebugReport(QIODevice* device) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_store.isOpen() || !device || !device->isWritable()) return false;
    std::vector<std::pair<FileNameKey, int>> entries;
    const bool listed = m_table.collectEntries(&entries);
    QTextStream out(device);
    const auto n = static_cast<unsigned>(entries.size());
    out << "FIT blocks count: " << n << "\n";
    out << QString(62, '=') << "\n\n";
    float fragmentSum = 0.0f;
    int32_t maxFragments = 0;
    int32_t loaded = 0;
    for (const auto& [key, block] : entries) {
        out << "hash: " << key.hash << "\n";
        // The stored bytes as they are: names have no encoding of their own.
        const std::string name = key.text();
        out << "Filename: ";
        out.flush();
        device->write(name.data(), static_cast<qint64>(name.size()));
        out << "\n";
        FitRecord rec;
        if (!m_records.load(block, &rec)) {
            // Nothing of a damaged record is trusted, so nothing of it is printed.
            out << "record at block " << block << " cannot be loaded\n\n";
            continue;
        }
        ++loaded;
        out << "============== File info: ==============\n\n";
        out << "fileSize: " << static_cast<qint64>(rec.fileSize()) << "\n";
        out << "attributes: " << rec.attributes() << "\n";
        out << "crc: " << rec.crc() << "\n";
        out << "creationTime: " << rec.creationTime() << "\n";
        out << "lastAccessTime: " << rec.lastAccessTime() << "\n";
        out << "lastChangeTime: " << rec.lastChangeTime() << "\n";
        out << "============== Service info: ==============\n\n";
        out << "addr: " << rec.addr() << "\n";
        out << "allBlocks: " << rec.allBlocks() << "\n";
        out << "liberalSize: " << rec.liberalSize() << "\n";
        out << "fragmentsCount: " << rec.fragmentsCount() << "\n";
        out << "fitSize: " << rec.fitSize() << "\n";
        if (rec.fragmentsCount() != 0) {
            out << "============== Fragments: ==============\n\n";
            std::vector<uint8_t> scratch(kBlockSize);
            for (int32_t i = 0; i < rec.fragmentsCount(); ++i) {
                const Fragment f = rec.fragment(i);
                out << "Fragment N: " << i << "\n";
                out << "Fragment Addr: " << f.addr << "\n";
                out << "Fragment Size: " << f.size << "\n";
                for (int32_t b = f.addr; b < f.addr + f.size; ++b) {
                    m_store.readBlock(b, scratch.data(), kBlockSize, 0);
                    out << "\tBlock Addr: " << b << "\n";
                }
            }
        }
        fragmentSum += static_cast<float>(rec.fragmentsCount());
        maxFragments = std::max(maxFragments, rec.fragmentsCount());
    }
    out << QString(36, '+') << "\n";
    out << "File Count: " << n << "\n";
    out << "Max Frag Size: " << maxFragments << "\n";
    out << "freePtrsSize: " << static_cast<qulonglong>(m_allocator.runCount()) << "\n";
    out << "freeSizesSize: " << static_cast<qulonglong>(m_allocator.sizeCount()) << "\n";
    // With no loadable record the average is 0, not 0 / 0.
    out << "averageFragCount: " << (loaded > 0 ? fragmentSum / static_cast<float>(loaded) : 0.0f)
        << "\n";
    out.flush();
    return listed && out.status() == QTextStream::Ok;
}

float EfsVolume::averageFragmentCount() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_store.isOpen()) return 0.0f;
    std::vector<int> blocks;
    if (!m_table.collectValues(&blocks)) return 0.0f;
    float sum = 0.0f;
    int32_t loaded = 0;
    for (int block : blocks) {
        FitRecord rec;
        if (!m_records.load(block, &rec)) continue;
        sum += static_cast<float>(rec.fragmentsCount());
        ++loaded;
    }
    return loaded > 0 ? sum / static_cast<float>(loaded) : 0.0f;
}
