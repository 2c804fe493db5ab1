// Random sequences of file operations against an in-memory model of names and bytes,
// with the volume checker after every batch and after close and reopen.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "EfsTestUtil.h"
#include "efs/EfsVolumeProbe.h"

using efs::kInlineLimit;

namespace {

struct ModelFile {
    std::vector<char> bytes;
    std::vector<bool> known;  // bytes past an old end are whatever the blocks held
};

struct ModelHandle {
    std::string name;
    int64_t pos = 0;
};

std::string cut(const std::string& name) { return name.substr(0, efs::kMaxNameLength); }

class ModelRun {
  public:
    ModelRun(const QString& path, int32_t reserve, int32_t mode, uint32_t variant)
        : m_path(path), m_rng(variant) {
        EXPECT_TRUE(m_v.openVolume(path));
        efs::VolumeParams p = m_v.parameters();
        p.reserveBlocks = reserve;
        p.allocMode = mode;
        p.growthStep = 32 * efs::kBlockSize;
        EXPECT_TRUE(m_v.setParameters(p));
    }

    void run(int ops) {
        for (int i = 0; i < ops && !::testing::Test::HasFatalFailure(); ++i) {
            step();
            if ((i + 1) % 150 == 0) verify("after a batch");
        }
        if (::testing::Test::HasFatalFailure()) return;
        verify("at the end");
        reopen();
        verify("after reopen");
    }

  private:
    uint32_t pick(uint32_t n) { return m_rng() % n; }

    std::string randomName() {
        static const char* names[] = {"desc.xml",
                                      "ch0_e0.snd",
                                      "ch0_e1.snd",
                                      "ch1_e0.snd",
                                      "ch2_e5.snd",
                                      "a",
                                      "b",
                                      "a_name_of_exactly_forty_bytes_0123456789",
                                      "a_name_of_exactly_forty_bytes_0123456789_but_longer"};
        return names[pick(std::size(names))];
    }

    int64_t randomLength() {
        switch (pick(5)) {
            case 0:
                return 1 + pick(16);
            case 1:
                return 1 + pick(3000);
            case 2:
                return 1 + pick(40000);
            case 3:
                return kInlineLimit - 5 + pick(10);
            default:
                return efs::kBlockSize * (1 + pick(3)) + pick(3) - 1;
        }
    }

    bool isOpen(const std::string& key) const {
        for (const auto& [h, mh] : m_handles)
            if (mh.name == key) return true;
        return false;
    }

    int32_t randomHandle() {
        auto it = m_handles.begin();
        std::advance(it, pick(static_cast<uint32_t>(m_handles.size())));
        return it->first;
    }

    void step() {
        const uint32_t roll = pick(100);
        if (m_handles.empty() || roll < 15) return openSomething();
        if (roll < 25) return closeSomething();
        if (roll < 50) return writeSomething();
        if (roll < 68) return readSomething();
        if (roll < 78) return resizeSomething();
        if (roll < 84) return renameSomething();
        if (roll < 90) return removeSomething();
        if (roll < 99) {
            const int32_t h = randomHandle();
            const int64_t to = pick(70000);
            ASSERT_EQ(m_v.seekFile(h, to), to);
            m_handles[h].pos = to;
            return;
        }
        reopen();
    }

    void openSomething() {
        const std::string name = randomName();
        const std::string key = cut(name);
        const int32_t disposition = pick(12) == 0 ? static_cast<int32_t>(pick(8)) : 1 + pick(5);
        const bool exists = m_files.count(key) != 0;
        const int32_t h = m_v.openFile(name.c_str(), 1 + pick(2), disposition);
        bool expectOk;
        int32_t expectError = 0;
        if (exists) {
            expectOk = disposition >= 2 && disposition <= 5;
            if (!expectOk) expectError = EfsVolume::ErrorArgument;
        } else {
            expectOk = disposition == 1 || disposition == 2 || disposition == 4;
            if (!expectOk) expectError = EfsVolume::ErrorState;
        }
        ASSERT_EQ(h != 0, expectOk) << name << " disposition " << disposition;
        if (!expectOk) {
            ASSERT_EQ(m_v.lastError(), expectError);
            return;
        }
        ASSERT_GT(h, m_lastHandle);
        m_lastHandle = h;
        if (!exists) m_files[key] = {};
        if (disposition == 2 || disposition == 5) m_files[key] = {};
        m_handles[h] = {key, 0};
        ASSERT_EQ(m_v.fileSize(h), static_cast<int64_t>(m_files[key].bytes.size()));
    }

    void closeSomething() {
        const int32_t h = randomHandle();
        m_v.closeFile(h);
        ASSERT_EQ(m_v.lastError(), 0);
        m_handles.erase(h);
    }

    void writeSomething() {
        const int32_t h = randomHandle();
        ModelHandle& mh = m_handles[h];
        ModelFile& f = m_files[mh.name];
        if (pick(3) == 0) {
            mh.pos = pick(static_cast<uint32_t>(f.bytes.size() + 20000));
            m_v.seekFile(h, mh.pos);
        }
        const int64_t n = randomLength();
        std::vector<char> data(static_cast<size_t>(n));
        for (char& c : data) c = static_cast<char>(m_rng());
        ASSERT_TRUE(m_v.writeFile(h, data.data(), static_cast<int32_t>(n))) << m_v.lastError();
        const auto end = static_cast<size_t>(mh.pos + n);
        if (end > f.bytes.size()) {
            f.bytes.resize(end, 0);
            f.known.resize(end, false);
        }
        for (int64_t i = 0; i < n; ++i) {
            f.bytes[static_cast<size_t>(mh.pos + i)] = data[static_cast<size_t>(i)];
            f.known[static_cast<size_t>(mh.pos + i)] = true;
        }
        mh.pos += n;
        ASSERT_EQ(m_v.tellFile(h), mh.pos);
        ASSERT_EQ(m_v.fileSize(h), static_cast<int64_t>(f.bytes.size()));
    }

    void readSomething() {
        const int32_t h = randomHandle();
        ModelHandle& mh = m_handles[h];
        const ModelFile& f = m_files[mh.name];
        if (pick(2) == 0) {
            mh.pos = pick(static_cast<uint32_t>(f.bytes.size() + 100));
            m_v.seekFile(h, mh.pos);
        }
        const int64_t n = randomLength();
        std::vector<char> got(static_cast<size_t>(n));
        const int32_t delivered = m_v.readFile(h, got.data(), static_cast<int32_t>(n));
        const int64_t expected = std::max<int64_t>(
            0, std::min<int64_t>(n, static_cast<int64_t>(f.bytes.size()) - mh.pos));
        ASSERT_EQ(delivered, expected);
        for (int64_t i = 0; i < expected; ++i) {
            const auto at = static_cast<size_t>(mh.pos + i);
            if (f.known[at]) {
                ASSERT_EQ(got[static_cast<size_t>(i)], f.bytes[at]) << "byte " << at;
            }
        }
        mh.pos += expected;
        ASSERT_EQ(m_v.atEndOfFile(h), mh.pos == static_cast<int64_t>(f.bytes.size()));
    }

    void resizeSomething() {
        const int32_t h = randomHandle();
        ModelFile& f = m_files[m_handles[h].name];
        static const int64_t sizes[] = {
            0, 1, kInlineLimit - 1, kInlineLimit, kInlineLimit + 1, 8192, 8193, 20000, 65536};
        const int64_t size = pick(2) ? sizes[pick(std::size(sizes))] : pick(70000);
        ASSERT_TRUE(m_v.setFileSize(h, size)) << m_v.lastError();
        f.bytes.resize(static_cast<size_t>(size), 0);
        f.known.resize(static_cast<size_t>(size), false);
        ASSERT_EQ(m_v.fileSize(h), size);
    }

    void renameSomething() {
        const std::string from = cut(randomName());
        const std::string to = cut(randomName());
        const bool ok = m_v.renameFile(from.c_str(), to.c_str());
        if (!m_files.count(from)) {
            ASSERT_FALSE(ok);
            ASSERT_EQ(m_v.lastError(), EfsVolume::ErrorNotFound);
        } else if (isOpen(from) || (from != to && m_files.count(to))) {
            ASSERT_FALSE(ok);
            ASSERT_EQ(m_v.lastError(), EfsVolume::ErrorState);
        } else {
            ASSERT_TRUE(ok) << m_v.lastError();
            ModelFile moved = m_files[from];
            m_files.erase(from);
            m_files[to] = moved;
        }
    }

    void removeSomething() {
        const std::string key = cut(randomName());
        const bool ok = m_v.removeFile(key.c_str());
        if (!m_files.count(key)) {
            ASSERT_FALSE(ok);
            ASSERT_EQ(m_v.lastError(), EfsVolume::ErrorNotFound);
        } else if (isOpen(key)) {
            ASSERT_FALSE(ok);
            ASSERT_EQ(m_v.lastError(), EfsVolume::ErrorState);
        } else {
            ASSERT_TRUE(ok);
            m_files.erase(key);
        }
    }

    void reopen() {
        m_v.closeVolume();
        ASSERT_EQ(m_v.lastError(), 0);
        m_handles.clear();
        ASSERT_TRUE(m_v.openVolume(m_path));
    }

    void verify(const char* when) {
        QList<QByteArray> names;
        m_v.listFiles(&names);
        std::set<std::string> listed;
        for (const QByteArray& n : names) listed.insert(n.toStdString());
        std::set<std::string> expected;
        for (const auto& [k, f] : m_files) expected.insert(k);
        ASSERT_EQ(listed, expected) << when;
        for (const auto& [key, f] : m_files) {
            const int32_t h =
                m_v.openFile(key.c_str(), EfsVolume::AccessRead, EfsVolume::OpenExisting);
            ASSERT_NE(h, 0) << key << " " << when;
            ASSERT_EQ(m_v.fileSize(h), static_cast<int64_t>(f.bytes.size())) << key << " " << when;
            std::vector<char> got(f.bytes.size() + 1);
            const int32_t n = m_v.readFile(h, got.data(), static_cast<int32_t>(got.size()));
            ASSERT_EQ(n, static_cast<int32_t>(f.bytes.size())) << key << " " << when;
            for (size_t i = 0; i < f.bytes.size(); ++i)
                if (f.known[i]) {
                    ASSERT_EQ(got[i], f.bytes[i]) << key << " byte " << i << " " << when;
                }
            m_v.closeFile(h);
        }
        ASSERT_EQ(EfsVolumeProbe(m_v).fileTableCachedNodes(), 1u) << when;
        ASSERT_EQ(EfsVolumeProbe(m_v).freeTreeCachedNodes(), 1u) << when;
        const QStringList problems = m_v.check();
        ASSERT_TRUE(problems.isEmpty()) << when << "\n" << efstest::joined(problems).toStdString();
    }

    QString m_path;
    EfsVolume m_v;
    std::mt19937 m_rng;
    std::map<std::string, ModelFile> m_files;
    std::map<int32_t, ModelHandle> m_handles;
    int32_t m_lastHandle = 7;
};

class FilesAgainstModel : public ::testing::TestWithParam<std::tuple<int, int>> {};

}  // namespace

TEST_P(FilesAgainstModel, RandomOperations) {
    const auto [reserve, mode] = GetParam();
    const int ops = efstest::longTests() ? 30000 : 1500;
    ModelRun run(efstest::freshPath(QString("model_%1_%2.vx").arg(reserve).arg(mode)), reserve,
                 mode, static_cast<uint32_t>(reserve * 10 + mode + 1));
    run.run(ops);
}

INSTANTIATE_TEST_SUITE_P(ReserveAndMode, FilesAgainstModel,
                         ::testing::Combine(::testing::Values(0, 3), ::testing::Values(0, 1, 2)));
