// Runs a real volume and the reference of AllocationModel.h side by side: each file
// operation goes to both, and after it the free runs (in both orders and in the
// free-space tree), the host size and the touched file's record on disk must be the ones
// the model predicts.
#pragma once

#include <gtest/gtest.h>

#include <QFile>
#include <memory>
#include <string>
#include <vector>

#include "AllocationModel.h"
#include "EfsTestUtil.h"
#include "efs/EfsVolumeProbe.h"

namespace efsmodel {

struct Variant {
    uint32_t randomStart;
    int32_t mode;
    int64_t growthBlocks;
    int32_t reserve;
    int32_t minLargestRun;
    bool deferred;
    // Writes with data take it from a scratch file through writeFileFrom.
    bool fromDescriptor = false;
};

class Harness {
  public:
    Harness(const QString& name, const Variant& variant)
        : m_path(efstest::freshPath(name)), m_fromDescriptor(variant.fromDescriptor) {
        m_volume = std::make_unique<EfsVolume>();
        EfsVolumeProbe(*m_volume).setAllocationTrace(m_model.recorder());
        m_volume->setDeferredWrites(variant.deferred);
        EXPECT_TRUE(m_volume->openVolume(m_path));
        m_model.create();
        efs::VolumeParams p = m_volume->parameters();
        p.allocMode = variant.mode;
        p.growthStep = variant.growthBlocks * efs::kBlockSize;
        p.reserveBlocks = variant.reserve;
        p.minLargestRun = variant.minLargestRun;
        EXPECT_TRUE(m_volume->setParameters(p));
        m_model.allocMode = p.allocMode;
        m_model.growthStep = p.growthStep;
        m_model.reserveBlocks = p.reserveBlocks;
        m_model.minLargestRun = p.minLargestRun;
        compare({});
    }

    ~Harness() {
        if (m_volume) EfsVolumeProbe(*m_volume).setAllocationTrace({});
    }

    VolumeModel& model() { return m_model; }
    bool exists(const std::string& name) const { return m_model.files.count(name) != 0; }

    // Opens (creating when missing), writes the pieces at pos one after another, closes.
    // The bytes come from data, or are zeros when it is null.
    void write(const std::string& name, int64_t pos, const std::vector<int32_t>& pieces,
               const char* data = nullptr) {
        const bool existed = exists(name);
        const int32_t h =
            m_volume->openFile(name.c_str(), EfsVolume::AccessWrite, EfsVolume::OpenAlways);
        if (!existed) {
            const bool created = m_model.createFile(name);
            ASSERT_EQ(h != 0, created) << name << ": " << m_model.diverged;
            if (!created) return end(name);
        }
        ASSERT_NE(h, 0);
        for (int32_t n : pieces) {
            if (m_zeros.size() < static_cast<size_t>(n)) m_zeros.resize(static_cast<size_t>(n));
            m_volume->seekFile(h, pos);
            const bool ok = data && m_fromDescriptor
                                ? writeFromScratch(h, data, n)
                                : m_volume->writeFile(h, data ? data : m_zeros.data(), n);
            if (data) data += n;
            ASSERT_EQ(ok, m_model.write(name, pos, n))
                << "write " << n << " at " << pos << " of " << name << ": " << m_model.diverged;
            if (!ok) {
                ASSERT_EQ(m_volume->lastError(), EfsVolume::ErrorNoSpace);
                break;
            }
            pos += n;
        }
        closeAndEnd(h, name);
    }

    void setSize(const std::string& name, int64_t size) {
        const int32_t h =
            m_volume->openFile(name.c_str(), EfsVolume::AccessWrite, EfsVolume::OpenExisting);
        ASSERT_NE(h, 0) << name;
        const bool ok = m_volume->setFileSize(h, size);
        ASSERT_EQ(ok, m_model.setSize(name, size))
            << "size " << size << " of " << name << ": " << m_model.diverged;
        closeAndEnd(h, name);
    }

    // Opening an existing file with CreateAlways empties it.
    void recreate(const std::string& name) {
        const int32_t h =
            m_volume->openFile(name.c_str(), EfsVolume::AccessWrite, EfsVolume::CreateAlways);
        ASSERT_NE(h, 0) << name;
        ASSERT_TRUE(m_model.setSize(name, 0)) << m_model.diverged;
        closeAndEnd(h, name);
    }

    void remove(const std::string& name) {
        ASSERT_TRUE(m_volume->removeFile(name.c_str())) << name;
        m_model.remove(name);
        end(name);
    }

    void rename(const std::string& from, const std::string& to) {
        if (from == to) return;
        const bool ok = m_volume->renameFile(from.c_str(), to.c_str());
        ASSERT_EQ(ok, !exists(to)) << from << " -> " << to;
        if (ok) m_model.rename(from, to);
        end(ok ? to : from);
    }

    void reopen() {
        m_volume->closeVolume();
        ASSERT_EQ(m_volume->lastError(), EfsVolume::ErrorNone);
        ASSERT_TRUE(m_volume->openVolume(m_path));
        m_model.reopen();
        compare({});
    }

    void setGrowthBlocks(int64_t blocks) {
        m_volume->setGrowthStep(blocks * efs::kBlockSize);
        m_model.growthStep = blocks * efs::kBlockSize;
    }

    // The whole state, every file's record included.
    void compareAll() {
        for (const auto& [name, f] : m_model.files) {
            compare(name);
            if (::testing::Test::HasFatalFailure()) return;
        }
        const QStringList problems = m_volume->check();
        ASSERT_TRUE(problems.isEmpty()) << efstest::joined(problems).toStdString();
    }

    size_t freeRuns() const { return m_model.ptrs.size(); }

    // The whole content of a stored file.
    std::string read(const std::string& name) {
        const int32_t h =
            m_volume->openFile(name.c_str(), EfsVolume::AccessRead, EfsVolume::OpenExisting);
        EXPECT_NE(h, 0) << name;
        std::string got(static_cast<size_t>(m_volume->fileSize(h)), '\0');
        if (!got.empty()) {
            EXPECT_EQ(m_volume->readFile(h, got.data(), static_cast<int32_t>(got.size())),
                      static_cast<int32_t>(got.size()));
        }
        m_volume->closeFile(h);
        end(name);
        return got;
    }

    // Closes the volume for good; the host file is then complete.
    void close() {
        m_volume->closeVolume();
        EXPECT_EQ(m_volume->lastError(), EfsVolume::ErrorNone);
    }

  private:
    // The piece goes to a scratch file behind some unrelated bytes, and from there into
    // the volume.
    bool writeFromScratch(int32_t h, const char* data, int32_t n) {
        if (!m_scratch.isOpen()) {
            m_scratch.setFileName(m_path + ".scratch");
            EXPECT_TRUE(m_scratch.open(QIODevice::ReadWrite | QIODevice::Truncate));
        }
        constexpr int64_t kAt = 777;
        m_scratch.resize(0);
        m_scratch.seek(kAt);
        EXPECT_EQ(m_scratch.write(data, n), n);
        EXPECT_TRUE(m_scratch.flush());
        return m_volume->writeFileFrom(h, m_scratch.handle(), kAt, n);
    }
    void closeAndEnd(int32_t h, const std::string& name) {
        m_volume->closeFile(h);
        ASSERT_EQ(m_volume->lastError(), EfsVolume::ErrorNone) << name;
        ASSERT_TRUE(m_model.close(name)) << m_model.diverged;
        end(name);
    }

    void end(const std::string& name) {
        m_model.takeNodesAndEnd("an operation");
        compare(name);
    }

    void compare(const std::string& name) {
        ASSERT_EQ(m_model.diverged, "");
        const EfsVolumeProbe look(*m_volume);
        ASSERT_EQ(look.hostBlocks(), m_model.hostBlocks);
        std::vector<efs::Run> byStart, bySize;
        for (const auto& [first, length] : m_model.ptrs) byStart.push_back({first, length});
        for (const auto& [length, first] : m_model.sizes) bySize.push_back({first, length});
        const std::vector<efs::Run> engineByStart = look.freeRunsByStart();
        ASSERT_TRUE(engineByStart == byStart)
            << "engine " << efsmodel::str(engineByStart) << "\nmodel  " << efsmodel::str(byStart);
        const std::vector<efs::Run> inTree = look.freeRunsInTree();
        ASSERT_TRUE(inTree == byStart)
            << "tree " << efsmodel::str(inTree) << "\nmodel  " << efsmodel::str(byStart);
        const std::vector<efs::Run> engineBySize = look.freeRunsBySize();
        ASSERT_TRUE(engineBySize == bySize)
            << "engine " << efsmodel::str(engineBySize) << "\nmodel  " << efsmodel::str(bySize);
        if (name.empty() || !exists(name)) return;
        const efsmodel::FileModel& f = m_model.files.at(name);
        efs::FitRecord r;
        ASSERT_TRUE(look.loadStoredRecord(name.c_str(), &r)) << name;
        std::vector<efs::Run> fragments;
        for (int32_t i = 0; i < r.fragmentsCount(); ++i)
            fragments.push_back({r.fragment(i).addr, r.fragment(i).size});
        EXPECT_EQ(r.addr(), f.addr) << name;
        EXPECT_EQ(r.fitSize(), f.fitSize) << name;
        EXPECT_TRUE(fragments == f.fragments) << name << ": engine " << efsmodel::str(fragments)
                                              << ", model " << efsmodel::str(f.fragments);
        EXPECT_EQ(r.allBlocks(), f.allBlocks) << name;
        EXPECT_EQ(r.liberalSize(), f.liberalSize) << name;
        ASSERT_EQ(r.fileSize(), f.size) << name;
    }

    QString m_path;
    std::unique_ptr<EfsVolume> m_volume;
    VolumeModel m_model;
    std::vector<char> m_zeros;
    bool m_fromDescriptor;
    QFile m_scratch;
};

}  // namespace efsmodel
