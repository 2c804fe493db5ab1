// Helpers shared by the archive, load/save and durability tests: private folders, a plain
// model of a project to compare against, and host files that fail on purpose.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "efs/EfsFile.h"
#include "efs/EfsVolume.h"
#include "project/Project.h"

namespace testsupport {

struct EntryModel {
    QString name, desc, note;
    QByteArray sound;
    bool operator==(const EntryModel&) const = default;
};
struct ChapterModel {
    QString name;
    std::vector<EntryModel> entries;
    bool operator==(const ChapterModel&) const = default;
};
using Model = std::vector<ChapterModel>;

inline void setProject(const Model& model) {
    Project& p = Project::instance();
    p.clear();
    for (const ChapterModel& cm : model) {
        Chapter* c = p.addChapter();
        c->name = cm.name;
        for (const EntryModel& em : cm.entries) {
            Entry* e = c->addEntry();
            e->name = em.name;
            e->desc = em.desc;
            e->note = em.note;
            e->sound = em.sound;
        }
    }
}

inline Model snapshot() {
    Model model;
    for (const auto& c : Project::instance().chapters()) {
        ChapterModel cm{c->name, {}};
        for (const auto& e : c->entries())
            cm.entries.push_back({e->name, e->desc, e->note, e->sound});
        model.push_back(std::move(cm));
    }
    return model;
}

// A fresh empty folder below the test's private working folder.
inline QString freshFolder(const QString& name) {
    QString base = qEnvironmentVariable("VOXTRAIL_TEST_TMP");
    if (base.isEmpty()) base = QDir::tempPath();
    QDir dir(base + "/" + name);
    dir.removeRecursively();
    EXPECT_TRUE(QDir().mkpath(dir.path()));
    return dir.path();
}

inline QStringList folderEntries(const QString& folder) {
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

inline QByteArray fileBytes(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

inline bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

inline int fileMode(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return -1;
    return static_cast<int>(st.st_mode & 07777);
}

// Bytes that differ from run to run of the generator but repeat for the same starting state.
inline QByteArray randomBytes(std::mt19937_64& rng, qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    char* p = bytes.data();
    qsizetype i = 0;
    for (; i + 8 <= size; i += 8) {
        const uint64_t v = rng();
        std::memcpy(p + i, &v, 8);
    }
    for (; i < size; ++i) p[i] = static_cast<char>(rng());
    return bytes;
}

// The names stored in the container at path, sorted; empty when it cannot be opened.
inline QStringList storedNames(const QString& path) {
    EfsVolume volume;
    QStringList names;
    if (!volume.openVolumeReadOnly(path)) return names;
    QList<QByteArray> list;
    volume.listFiles(&list);
    for (const QByteArray& n : list) names << QString::fromLatin1(n);
    names.sort();
    return names;
}

// Problems the volume checker finds in the container at path ("cannot open" when it
// does not open at all).
inline QStringList checkProblems(const QString& path) {
    EfsVolume volume;
    if (!volume.openVolumeReadOnly(path)) return {QStringLiteral("cannot open")};
    return volume.check();
}

// Host files whose writes succeed until a shared budget of bytes is spent, then fail
// (after writing what the budget still allowed, as a full disk does); reads likewise with
// their own budget; sync fails when told to.
struct FaultPlan {
    std::atomic<int64_t> writeBudget{INT64_MAX};
    std::atomic<int64_t> written{0};
    std::atomic<bool> failSync{false};
    // Reads fail once this many bytes were read.
    std::atomic<int64_t> readBudget{INT64_MAX};
    std::atomic<int64_t> read{0};
};

class FaultyFile final : public EfsFile {
  public:
    explicit FaultyFile(std::shared_ptr<FaultPlan> plan) : m_plan(std::move(plan)) {}
    bool open(const QString& path) override { return m_file.open(path); }
    bool openReadOnly(const QString& path) override { return m_file.openReadOnly(path); }
    int32_t read(void* buffer, int32_t count) override {
        if (m_plan->readBudget.fetch_sub(count) < count) {
            m_plan->readBudget = 0;
            return -1;
        }
        m_plan->read += count;
        return m_file.read(buffer, count);
    }
    int32_t write(const void* buffer, int32_t count) override {
        const int64_t left = m_plan->writeBudget.fetch_sub(count);
        if (left >= count) {
            m_plan->written += count;
            return m_file.write(buffer, count);
        }
        if (left > 0) m_file.write(buffer, static_cast<int32_t>(left));
        m_plan->writeBudget = 0;
        return -1;
    }
    int64_t seek(int64_t position) override { return m_file.seek(position); }
    int64_t pos() override { return m_file.pos(); }
    int64_t size() override { return m_file.size(); }
    bool close() override { return m_file.close(); }
    bool truncate(int64_t length) override {
        if (m_plan->writeBudget <= 0) return false;
        return m_file.truncate(length);
    }
    bool isEmpty() override { return m_file.isEmpty(); }
    void remove(const QString& path) override { m_file.remove(path); }
    bool move(const QString& from, const QString& to) override { return m_file.move(from, to); }
    bool sync() override { return !m_plan->failSync && m_file.sync(); }

  private:
    std::shared_ptr<FaultPlan> m_plan;
    EfsPosixFile m_file;
};

inline EfsVolume::FileFactory faultyFactory(std::shared_ptr<FaultPlan> plan) {
    return [plan]() -> std::unique_ptr<EfsFile> { return std::make_unique<FaultyFile>(plan); };
}

}  // namespace testsupport
