// Volume operations under injected I/O faults and simulated crashes.
//
// One scripted workload (three sessions: create and fill a volume; grow, shrink, remove,
// rename and add; compact and add) runs again and again, each time with one fault at the
// Nth host-file call (failed, or shortened), until a run meets no fault. Every time:
//   - nothing crashes or hangs (a watchdog ends a case that runs too long);
//   - the operation that met the fault reports failure with a non-zero lastError;
//   - a plain volume then either opens the file or refuses it with ErrorIo; when it
//     opens, check() runs and what it says is recorded; when check() is clean, every file
//     the failing operation did not touch reads back exactly.
// The crash sweep stops all writes from the Nth write on: either the disk is frozen
// there (reopen: opens, or fails with ErrorIo; a clean check means files untouched since
// the last sync are intact), or everything since the last sync is dropped too (reopen
// must work, check clean, and every file closed before the last sync reads back intact).
#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <algorithm>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "FaultInjectionFile.h"
#include "Guard.h"
#include "efs/BlockStore.h"
#include "efs/EfsFormat.h"
#include "efs/EfsVolume.h"
#include "efs/EfsVolumeProbe.h"

using namespace reliability;

namespace {

bool longTests() { return qEnvironmentVariableIntValue("VOXTRAIL_LONG_TESTS") == 1; }

QString freshFolder(const QString& name) {
    QString base = qEnvironmentVariable("VOXTRAIL_TEST_TMP");
    if (base.isEmpty()) base = QDir::tempPath();
    QDir dir(base + "/" + name);
    dir.removeRecursively();
    QDir().mkpath(dir.path());
    return dir.path();
}

void emptyFolder(const QString& folder) {
    QDir dir(folder);
    for (const QString& n : dir.entryList(QDir::Files | QDir::Hidden)) dir.remove(n);
}

QByteArray pattern(int size, uint32_t variant) {
    std::mt19937 rng(variant);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes) c = static_cast<char>(rng());
    return bytes;
}

// What a stored file must hold: its size and the bytes known so far (a file grown by
// setFileSize holds whatever its new blocks held, so only a prefix is known).
struct Expected {
    QByteArray known;
    int64_t size = 0;
};
using Model = std::map<std::string, Expected>;

// Turns a checker message into its kind, for the tally of what check() said.
std::string kindOf(const QString& problem) {
    QString k = problem;
    k.replace(QRegularExpression("-?\\d+"), "#");
    k.replace(QRegularExpression("\"[^\"]*\""), "\"…\"");
    return k.toStdString();
}

struct Tally {
    int cases = 0;
    int faultPoints = 0;
    int reopenRefused = 0;
    int reopenClean = 0;
    int reopenDamaged = 0;
    std::map<std::string, int> problemKinds;
    std::map<std::string, int> absorbed;  // a fault the operation did not report
    std::map<std::string, std::set<std::string>> absorbedWhere;  // ... and in which steps

    void print(const char* title) const {
        std::cout << "[ tally    ] " << title << ": " << cases << " cases, " << faultPoints
                  << " fault/crash points; reopen refused " << reopenRefused << ", clean "
                  << reopenClean << ", damaged " << reopenDamaged << "\n";
        for (const auto& [k, n] : problemKinds)
            std::cout << "[ check    ]   " << n << " x " << k << "\n";
        for (const auto& [k, n] : absorbed) {
            std::cout << "[ absorbed ]   " << n << " x " << k << ":";
            for (const std::string& step : absorbedWhere.at(k)) std::cout << " [" << step << "]";
            std::cout << "\n";
        }
    }
};

// The scripted workload over one volume, run through one fault state.
class Workload {
  public:
    struct Step {
        std::string name;
        std::vector<std::string> touches;  // stored files whose content the step changes
        std::function<bool()> run;
    };

    Workload(QString path, std::shared_ptr<FaultState> state, int64_t growthBlocks)
        : m_path(std::move(path)), m_state(std::move(state)), m_growthBlocks(growthBlocks) {
        buildSteps();
    }

    const std::vector<Step>& steps() const { return m_steps; }
    const Model& model() const { return m_model; }
    EfsVolume* volume() const { return m_volume.get(); }
    // The error code left by the volume call that failed last in a step.
    int32_t failError() const { return m_failError; }
    void clearFailError() { m_failError = 0; }

    void closeIfOpen() {
        if (m_volume && m_volume->isOpen()) m_volume->closeVolume();
    }

  private:
    // Notes the volume's error code when ok is false, and passes ok on.
    bool noted(bool ok) {
        if (!ok && m_failError == 0) m_failError = m_volume->lastError();
        return ok;
    }

    bool openSession(bool first) {
        closeIfOpen();
        m_volume = std::make_unique<EfsVolume>(faultFactory(m_state));
        if (!noted(m_volume->openVolume(m_path))) return false;
        if (first && m_growthBlocks > 0) {
            m_volume->setGrowthStep(m_growthBlocks * efs::kBlockSize);
            if (!noted(m_volume->lastError() == 0)) return false;
        }
        return true;
    }

    bool closeSession() {
        m_volume->closeVolume();
        return noted(m_volume->lastError() == 0);
    }

    // Stores data whole under name, in pieces of chunk bytes.
    bool writeWhole(const std::string& name, const QByteArray& data, int chunk) {
        const int32_t h =
            m_volume->openFile(name.c_str(), EfsVolume::AccessWrite, EfsVolume::CreateAlways);
        if (!noted(h != 0)) return false;
        bool ok = true;
        for (int done = 0; ok && done < data.size(); done += chunk) {
            const int n = std::min<int>(chunk, static_cast<int>(data.size()) - done);
            ok = noted(m_volume->writeFile(h, data.constData() + done, n));
        }
        m_volume->closeFile(h);
        ok = noted(m_volume->lastError() == 0) && ok;
        if (ok) m_model[name] = {data, data.size()};
        return ok;
    }

    // Two files written in turns, a block at a time, so that each gets several fragments.
    bool writeInterleaved(const std::string& a, const std::string& b, int blocks) {
        const QByteArray da = pattern(blocks * efs::kBlockSize - 7, 11);
        const QByteArray db = pattern(blocks * efs::kBlockSize + 300, 12);
        const int32_t ha =
            m_volume->openFile(a.c_str(), EfsVolume::AccessWrite, EfsVolume::CreateNew);
        if (!noted(ha != 0)) return false;
        const int32_t hb =
            m_volume->openFile(b.c_str(), EfsVolume::AccessWrite, EfsVolume::CreateNew);
        if (!noted(hb != 0)) {
            m_volume->closeFile(ha);
            return false;
        }
        bool ok = true;
        auto piece = [&](int32_t h, const QByteArray& d, int at) {
            const int n = std::min<int>(efs::kBlockSize, static_cast<int>(d.size()) - at);
            if (ok && n > 0) ok = noted(m_volume->writeFile(h, d.constData() + at, n));
        };
        for (int i = 0; ok && i <= blocks; ++i) {
            piece(ha, da, i * efs::kBlockSize);
            piece(hb, db, i * efs::kBlockSize);
        }
        m_volume->closeFile(ha);
        ok = noted(m_volume->lastError() == 0) && ok;
        m_volume->closeFile(hb);
        ok = noted(m_volume->lastError() == 0) && ok;
        if (ok) {
            m_model[a] = {da, da.size()};
            m_model[b] = {db, db.size()};
        }
        return ok;
    }

    bool resize(const std::string& name, int64_t size) {
        const int32_t h =
            m_volume->openFile(name.c_str(), EfsVolume::AccessWrite, EfsVolume::OpenExisting);
        if (!noted(h != 0)) return false;
        bool ok = noted(m_volume->setFileSize(h, size));
        m_volume->closeFile(h);
        ok = noted(m_volume->lastError() == 0) && ok;
        if (ok) {
            Expected& e = m_model[name];
            if (size < e.known.size()) e.known.truncate(static_cast<qsizetype>(size));
            e.size = size;
        }
        return ok;
    }

    bool remove(const std::string& name) {
        if (!noted(m_volume->removeFile(name.c_str()))) return false;
        m_model.erase(name);
        return true;
    }

    bool rename(const std::string& from, const std::string& to) {
        if (!noted(m_volume->renameFile(from.c_str(), to.c_str()))) return false;
        m_model[to] = m_model[from];
        m_model.erase(from);
        return true;
    }

    void buildSteps() {
        m_steps = {
            {"create the volume", {}, [this] { return openSession(true); }},
            {"write a 100-byte file",
             {"a.snd"},
             [this] { return writeWhole("a.snd", pattern(100, 1), 100); }},
            {"write a file at the inline limit",
             {"b.snd"},
             [this] { return writeWhole("b.snd", pattern(efs::kInlineLimit, 2), 4000); }},
            {"write a file one byte past the inline limit",
             {"c.snd"},
             [this] { return writeWhole("c.snd", pattern(efs::kInlineLimit + 1, 3), 8046); }},
            {"write a three-block file in pieces",
             {"d.snd"},
             [this] { return writeWhole("d.snd", pattern(3 * efs::kBlockSize + 5, 4), 5000); }},
            {"write two fragmented files in turns",
             {"e.snd", "f.snd"},
             [this] { return writeInterleaved("e.snd", "f.snd", 4); }},
            {"close the volume", {}, [this] { return closeSession(); }},
            {"reopen the volume", {}, [this] { return openSession(false); }},
            {"grow a file with setFileSize", {"d.snd"}, [this] { return resize("d.snd", 50000); }},
            {"shrink a grown file", {"d.snd"}, [this] { return resize("d.snd", 20000); }},
            {"shrink a file back inline", {"c.snd"}, [this] { return resize("c.snd", 100); }},
            {"grow an inline file past the limit",
             {"a.snd"},
             [this] { return resize("a.snd", 9000); }},
            {"remove a fragmented file", {"e.snd"}, [this] { return remove("e.snd"); }},
            {"rename a file", {"b.snd", "b2.snd"}, [this] { return rename("b.snd", "b2.snd"); }},
            {"write a new five-block file",
             {"g.snd"},
             [this] { return writeWhole("g.snd", pattern(40000, 7), 8192); }},
            {"close the volume again", {}, [this] { return closeSession(); }},
            {"open for compacting", {}, [this] { return openSession(false); }},
            {"compact", {}, [this] { return noted(m_volume->compact()); }},
            {"write after compacting",
             {"h.snd"},
             [this] { return writeWhole("h.snd", pattern(9000, 8), 9000); }},
            {"final close", {}, [this] { return closeSession(); }},
        };
    }

    QString m_path;
    std::shared_ptr<FaultState> m_state;
    int64_t m_growthBlocks;
    std::unique_ptr<EfsVolume> m_volume;
    int32_t m_failError = 0;
    Model m_model;
    std::vector<Step> m_steps;
};

// Reopens path with a plain volume and holds it to model. Files in uncertain may hold
// anything or be missing. With mustBeClean the volume has to open and check clean.
// Returns what was wrong, one line each; empty when all held.
std::vector<std::string> verifyReopen(const QString& path, const Model& model,
                                      const std::set<std::string>& uncertain, bool mustBeClean,
                                      Tally* tally) {
    std::vector<std::string> wrong;
    // A volume with no faults; its syncs stay in memory, which keeps thousands of cases fast.
    EfsVolume plain(faultFactory(std::make_shared<FaultState>()));
    if (!plain.openVolume(path)) {
        ++tally->reopenRefused;
        if (mustBeClean || plain.lastError() != EfsVolume::ErrorIo)
            wrong.push_back("reopening failed with error " + std::to_string(plain.lastError()));
        return wrong;
    }
    const QStringList problems = plain.check();
    if (problems.isEmpty())
        ++tally->reopenClean;
    else
        ++tally->reopenDamaged;
    for (const QString& p : problems) ++tally->problemKinds[kindOf(p)];
    if (mustBeClean && !problems.isEmpty())
        wrong.push_back("check after reopen: " + problems.join("; ").toStdString());

    QList<QByteArray> names;
    plain.listFiles(&names);
    std::set<std::string> listed;
    for (const QByteArray& n : names) {
        const std::string name = n.toStdString();
        listed.insert(name);
        const int32_t h =
            plain.openFile(n.constData(), EfsVolume::AccessRead, EfsVolume::OpenExisting);
        if (h == 0) {
            if (problems.isEmpty())
                wrong.push_back(name + " is listed by a clean volume but cannot be opened");
            continue;
        }
        const int64_t size = plain.fileSize(h);
        // A damaged size must not drive the allocation: nothing here is larger than 1 MB.
        const int64_t wanted = std::clamp<int64_t>(size, 0, 1 << 20);
        QByteArray data(static_cast<qsizetype>(wanted), '\0');
        const int32_t got = plain.readFile(h, data.data(), static_cast<int32_t>(wanted));
        plain.closeFile(h);
        if (!problems.isEmpty()) continue;
        if (got != wanted) wrong.push_back("reading " + name + " from a clean volume fails");
        if (uncertain.count(name)) continue;
        auto it = model.find(name);
        if (it == model.end()) {
            wrong.push_back("a clean volume holds " + name + ", which it should not");
            continue;
        }
        if (size != it->second.size)
            wrong.push_back("size of " + name + " is " + std::to_string(size) + ", not " +
                            std::to_string(it->second.size));
        else if (data.left(it->second.known.size()) != it->second.known)
            wrong.push_back("the bytes of " + name + " changed");
    }
    if (problems.isEmpty()) {
        std::string lost;
        for (const auto& [name, e] : model)
            if (!uncertain.count(name) && !listed.count(name)) lost += " " + name;
        if (!lost.empty()) wrong.push_back("a clean volume lost" + lost);
    }
    plain.closeVolume();
    return wrong;
}

// Where in the host file a call was, in the volume's terms.
std::string placeOf(IoKind kind, int64_t position, int64_t bytes) {
    if (kind == IoKind::Sync) return "sync";
    if (kind == IoKind::Resize)
        return "resize to " + std::to_string(bytes / efs::kBlockSize) + " blocks";
    if (position == efs::kHeaderFreeRoot && bytes == 4)
        return std::string(kindName(kind)) + " of the free-space root slot";
    if (position == efs::kHeaderFileRoot && bytes == 4)
        return std::string(kindName(kind)) + " of the file-table root slot";
    if (position == 0) return std::string(kindName(kind)) + " of the header";
    return std::string(kindName(kind)) + " of a block";
}

struct FaultSweepConfig {
    FaultMode mode;
    int64_t growthBlocks;  // 0: the default growth step
};

void runFaultSweep(const FaultSweepConfig& config, Tally* tally) {
    const QString folder =
        freshFolder(QString("fault_%1_%2").arg(modeName(config.mode)).arg(config.growthBlocks));
    const QString path = folder + "/show.vx";
    const int64_t limit = 20000;
    for (int64_t n = 1; n <= limit; ++n) {
        emptyFolder(folder);
        std::string label = std::string(modeName(config.mode)) + " fault at call " +
                            std::to_string(n) + " (growth " + std::to_string(config.growthBlocks) +
                            ")";
        CaseWatchdog watchdog(label, 30);
        auto state = std::make_shared<FaultState>();
        state->setFault(config.mode, n);
        Workload work(path, state, config.growthBlocks);
        std::set<std::string> uncertain;
        bool absorbed = false;
        std::string absorbedStep;
        bool reportedLater = false;
        for (const auto& step : work.steps()) {
            const bool before = state->faultHit();
            work.clearFailError();
            const bool ok = step.run();
            if (before) {
                if (!ok) {
                    reportedLater = true;
                    break;
                }
                continue;
            }
            if (!state->faultHit()) {
                // Without a fault every step must work.
                ASSERT_TRUE(ok) << label << ": " << step.name << " failed with no fault";
                continue;
            }
            uncertain.insert(step.touches.begin(), step.touches.end());
            label += " in " + step.name + ", " +
                     placeOf(state->faultKind(), state->faultPosition(), state->faultBytes());
            if (ok) {
                absorbed = true;
                absorbedStep = step.name;
                continue;
            }
            EXPECT_NE(work.failError(), 0) << label << ": failed without an error code";
            break;
        }
        work.closeIfOpen();
        if (!state->faultHit()) {
            // The whole workload ran clean: the sweep is complete.
            const auto wrong = verifyReopen(path, work.model(), {}, true, tally);
            EXPECT_TRUE(wrong.empty()) << label << " (no fault): " << wrong.front();
            break;
        }
        ++tally->cases;
        ++tally->faultPoints;
        if (absorbed) {
            const std::string what =
                std::string(modeName(config.mode)) + " " +
                placeOf(state->faultKind(), state->faultPosition(), state->faultBytes()) +
                (reportedLater ? ", reported by a later operation" : ", never reported");
            ++tally->absorbed[what];
            tally->absorbedWhere[what].insert(absorbedStep);
        }
        const auto wrong = verifyReopen(path, work.model(), uncertain, false, tally);
        for (const std::string& w : wrong) ADD_FAILURE() << label << ": " << w;
        if (::testing::Test::HasFatalFailure()) return;
    }
}

enum class CrashVariant { DropUnsynced, Frozen, FrozenTorn, FailingWrites };

const char* variantName(CrashVariant v) {
    switch (v) {
        case CrashVariant::DropUnsynced:
            return "crash, unsynced data dropped";
        case CrashVariant::Frozen:
            return "crash, disk frozen";
        case CrashVariant::FrozenTorn:
            return "crash, disk frozen, last write torn";
        case CrashVariant::FailingWrites:
            return "writes fail from a point on";
    }
    return "?";
}

void runCrashSweep(CrashVariant variant, int64_t growthBlocks, Tally* tally) {
    const QString folder =
        freshFolder(QString("crash_%1_%2").arg(static_cast<int>(variant)).arg(growthBlocks));
    const QString path = folder + "/show.vx";
    for (int64_t n = 1; n <= 20000; ++n) {
        emptyFolder(folder);
        const std::string label = std::string(variantName(variant)) + " at write " +
                                  std::to_string(n) + " (growth " + std::to_string(growthBlocks) +
                                  ")";
        CaseWatchdog watchdog(label, 30);
        auto state = std::make_shared<FaultState>();
        state->setCrash(
            n, variant == CrashVariant::FailingWrites ? CrashMode::Fail : CrashMode::Ignore,
            variant == CrashVariant::FrozenTorn);
        Workload work(path, state, growthBlocks);
        Model durable;
        std::set<std::string> touched;
        state->onSync = [&] {
            durable = work.model();
            touched.clear();
        };
        for (const auto& step : work.steps()) {
            // A sync inside the step (a close) clears the set again.
            touched.insert(step.touches.begin(), step.touches.end());
            const bool ok = step.run();
            ASSERT_TRUE(ok || state->crashed()) << label << ": " << step.name << " failed";
        }
        work.closeIfOpen();
        if (!state->crashed()) break;
        ++tally->cases;
        ++tally->faultPoints;
        if (variant == CrashVariant::DropUnsynced) {
            state->dropUnsyncedData();
            for (const std::string& w : verifyReopen(path, durable, {}, true, tally))
                ADD_FAILURE() << label << ": " << w;
        } else {
            // Files changed since the last sync may hold the old bytes, the new ones or be
            // gone; the others must be as they were.
            for (const std::string& w : verifyReopen(path, durable, touched, false, tally))
                ADD_FAILURE() << label << ": " << w;
        }
        if (::testing::Test::HasFatalFailure()) return;
    }
}

class VolumeFaults : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { capAddressSpace(4ull << 30); }
};

}  // namespace

TEST_F(VolumeFaults, FailedCallsAnywhereInTheWorkloadFailCleanly) {
    Tally tally;
    runFaultSweep({FaultMode::Fail, 0}, &tally);
    runFaultSweep({FaultMode::Fail, 4}, &tally);
    tally.print("failed calls");
    EXPECT_GT(tally.faultPoints, 100);
    EXPECT_TRUE(tally.absorbed.empty()) << "a failed call that no operation reported";
}

TEST_F(VolumeFaults, ShortCallsAnywhereInTheWorkloadFailCleanly) {
    Tally tally;
    runFaultSweep({FaultMode::Short, 0}, &tally);
    runFaultSweep({FaultMode::Short, 4}, &tally);
    tally.print("short calls");
    EXPECT_GT(tally.faultPoints, 100);
    EXPECT_TRUE(tally.absorbed.empty()) << "a short call that no operation reported";
}

TEST_F(VolumeFaults, ACrashThatDropsUnsyncedDataLeavesTheLastSyncedVolume) {
    Tally tally;
    runCrashSweep(CrashVariant::DropUnsynced, 0, &tally);
    if (longTests()) runCrashSweep(CrashVariant::DropUnsynced, 4, &tally);
    tally.print(variantName(CrashVariant::DropUnsynced));
    EXPECT_GT(tally.faultPoints, 50);
}

TEST_F(VolumeFaults, ACrashWithTheDiskFrozenOpensOrFailsCleanly) {
    Tally tally;
    runCrashSweep(CrashVariant::Frozen, 0, &tally);
    runCrashSweep(CrashVariant::FrozenTorn, 4, &tally);
    if (longTests()) {
        runCrashSweep(CrashVariant::Frozen, 4, &tally);
        runCrashSweep(CrashVariant::FrozenTorn, 0, &tally);
    }
    tally.print("crash, disk frozen");
    EXPECT_GT(tally.faultPoints, 50);
}

TEST_F(VolumeFaults, WritesThatFailFromAPointOnFailCleanly) {
    Tally tally;
    runCrashSweep(CrashVariant::FailingWrites, 0, &tally);
    tally.print(variantName(CrashVariant::FailingWrites));
    EXPECT_GT(tally.faultPoints, 50);
}

// A record whose fragment table outgrows its block moves: it is written at its new place,
// its name is relinked there, and only then are its old blocks freed. When the write or
// the relink fails, the name still leads to the old record, and its blocks must still be
// taken: the process may end right after the failed operation, with the disk as it left
// it. At worst the blocks the move took leak.
TEST_F(VolumeFaults, AMovingRecordKeepsItsOldBlocksUntilItsNameIsRelinked) {
    const QString folder = freshFolder("moving_record");
    const QString base = folder + "/base.vx";
    auto contents = [](EfsVolume& v, int32_t h) {
        QByteArray data(static_cast<qsizetype>(v.fileSize(h)), '\0');
        v.seekFile(h, 0);
        v.readFile(h, data.data(), static_cast<int32_t>(data.size()));
        return data;
    };
    QByteArray before;
    {
        EfsVolume v;
        ASSERT_TRUE(v.openVolume(base));
        efs::VolumeParams p = v.parameters();
        p.allocMode = EfsVolume::AllocFromStart;
        ASSERT_TRUE(v.setParameters(p));
        // More names than one node holds: the name of a.snd lies in a leaf below the root.
        for (int i = 0; i < 200; ++i) {
            const int32_t h = v.openFile(("n" + std::to_string(i)).c_str(), EfsVolume::AccessWrite,
                                         EfsVolume::CreateNew);
            ASSERT_TRUE(v.writeFile(h, "x", 1));
            v.closeFile(h);
        }
        // Growing in turns, a block at a time, the two files take a fragment per block, until
        // the record of a.snd has no room for another. A last byte each uses the block that
        // each growth reserves ahead, so that no close gives it back.
        const int32_t a = v.openFile("a.snd", EfsVolume::AccessWrite, EfsVolume::CreateNew);
        const int32_t b = v.openFile("b.snd", EfsVolume::AccessWrite, EfsVolume::CreateNew);
        efs::FitRecord r;
        for (int i = 0; i < 1100 && r.fragmentsCount() < r.fragmentCapacity(); ++i) {
            for (const int32_t h : {a, b})
                ASSERT_TRUE(
                    v.writeFile(h, pattern(efs::kBlockSize, i).constData(), efs::kBlockSize));
            ASSERT_TRUE(EfsVolumeProbe(v).loadStoredRecord("a.snd", &r));
        }
        for (const int32_t h : {a, b}) ASSERT_TRUE(v.writeFile(h, "!", 1));
        before = contents(v, a);
        v.closeVolume();
        ASSERT_EQ(v.lastError(), 0);
    }

    struct Case {
        const char* failing;
        IoKind kind;  // of the host-file call that fails
        bool fullCache;
    };
    for (const Case& c : {Case{"the write of the record in its new place", IoKind::Write, true},
                          Case{"the relink of its name", IoKind::Read, false}}) {
        SCOPED_TRACE(c.failing);
        const QString path = folder + "/show.vx";
        QFile::remove(path);
        ASSERT_TRUE(QFile::copy(base, path));
        auto state = std::make_shared<FaultState>();
        EfsVolume v(faultFactory(state));
        ASSERT_TRUE(v.openVolume(path));
        const EfsVolumeProbe probe(v);
        efs::FitRecord r;
        ASSERT_TRUE(probe.loadStoredRecord("a.snd", &r));
        ASSERT_EQ(r.fitSize(), 1);
        ASSERT_EQ(r.fragmentsCount(), r.fragmentCapacity());
        const int32_t a = v.openFile("a.snd", EfsVolume::AccessWrite, EfsVolume::OpenExisting);
        // Drops the cached blocks: the relink reads the leaf that holds the name from disk.
        ASSERT_TRUE(v.check().isEmpty());
        if (c.fullCache) {
            // A full block cache: the record's new block gets room only once the blocks
            // waiting in the cache are written, and that write fails.
            const size_t full = efs::BlockStore::kCacheBlocks;
            const int32_t pad = v.openFile("pad", EfsVolume::AccessWrite, EfsVolume::CreateNew);
            for (size_t i = 1; i < 3 * full && probe.cachedBlocks() < full; ++i) {
                v.seekFile(pad, static_cast<int64_t>(i) * efs::kBlockSize);
                ASSERT_TRUE(v.writeFile(pad, "p", 1));
            }
            ASSERT_EQ(probe.cachedBlocks(), full);
        }
        // The fault strikes the first call of its kind once the record has its new place.
        int32_t placed = 0;
        bool givenBack = false;
        probe.setAllocationTrace([&](const efs::AllocationEvent& e) {
            if (e.kind == efs::AllocationEvent::Kind::PlaceEnd && e.ok && placed == 0) {
                placed = e.first;
                state->setFault(FaultMode::Fail, 1, kindBit(c.kind));
            } else if (e.kind == efs::AllocationEvent::Kind::Release && placed != 0) {
                givenBack = givenBack || e.first == placed;
            }
        });
        EXPECT_FALSE(v.setFileSize(a, before.size() + efs::kBlockSize));
        probe.setAllocationTrace({});
        ASSERT_NE(placed, 0) << "the record did not move";
        ASSERT_TRUE(state->faultHit());
        ASSERT_TRUE(givenBack) << "the fault did not stop the move";
        // The process ends here: nothing it does from now on reaches the disk.
        state->setCrash(state->count(IoKind::Write) + 1, CrashMode::Ignore);
        v.closeVolume();

        EfsVolume plain;
        ASSERT_TRUE(plain.openVolume(path));
        const QStringList problems = plain.check();
        for (const QString& problem : problems) {
            EXPECT_FALSE(problem.contains("claimed twice")) << problem.toStdString();
            EXPECT_TRUE(problem.contains("belong to nothing") || problem.contains("\"a.snd\""))
                << problem.toStdString();
        }
        if (!problems.join('\n').contains("\"a.snd\"")) {
            const int32_t h =
                plain.openFile("a.snd", EfsVolume::AccessRead, EfsVolume::OpenExisting);
            ASSERT_NE(h, 0);
            EXPECT_TRUE(contents(plain, h) == before) << "the old contents of a.snd changed";
        }
    }
}
