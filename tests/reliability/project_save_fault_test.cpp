// Project::save over an existing container with one fault at the Nth host-file call,
// for N = 1, 2, 3, ... until a save meets no fault. Every time either the save reports
// failure, the old file is byte-identical and still loads as the old project with a
// clean check, and no temporary file remains; or it reports success and the file loads
// as the new project with a clean check.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <iostream>
#include <memory>
#include <random>
#include <vector>

#include "FaultInjectionFile.h"
#include "Guard.h"
#include "project/Project.h"
#include "project/ProjectArchive.h"

using namespace reliability;

namespace {

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
using ProjectModel = std::vector<ChapterModel>;

QByteArray sound(int size, uint32_t variant) {
    std::mt19937 rng(variant);
    QByteArray b(size, Qt::Uninitialized);
    for (char& c : b) c = static_cast<char>(rng());
    return b;
}

void setProject(const ProjectModel& model) {
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

ProjectModel snapshot() {
    ProjectModel model;
    for (const auto& c : Project::instance().chapters()) {
        ChapterModel cm{c->name, {}};
        for (const auto& e : c->entries())
            cm.entries.push_back({e->name, e->desc, e->note, e->sound});
        model.push_back(std::move(cm));
    }
    return model;
}

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList folderEntries(const QString& folder) {
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

QStringList checkProblems(const QString& path) {
    EfsVolume volume;
    if (!volume.openVolumeReadOnly(path)) return {QStringLiteral("cannot open")};
    return volume.check();
}

// The old project: sounds inline, at the inline limit and fragmented.
ProjectModel oldProject() {
    return {{"Act one",
             {{"Opening", "the first cue", "slow", sound(100, 1)},
              {"Storm", "", "", sound(8046, 2)},
              {"Silence", "no sound", "", {}}}},
            {"Act two", {{"Finale", "loud", "end", sound(3 * 8192 + 17, 3)}}}};
}

// The new project differs in texts, sound sizes and numbering.
ProjectModel newProject() {
    return {{"Prologue", {{"Welcome", "", "", sound(8047, 4)}}},
            {"Act one",
             {{"Opening", "changed", "fast", sound(20000, 5)}, {"Storm", "", "", sound(40000, 6)}}},
            {"Epilogue", {}}};
}

class ProjectSaveFaults : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { capAddressSpace(4ull << 30); }
    void TearDown() override {
        Project::instance().setArchive(nullptr);
        Project::instance().clear();
    }
};

}  // namespace

TEST_F(ProjectSaveFaults, ASaveThatMeetsAFaultKeepsTheOldFileOrWritesTheNewOne) {
    QString base = qEnvironmentVariable("VOXTRAIL_TEST_TMP");
    if (base.isEmpty()) base = QDir::tempPath();
    const QString folder = base + "/project_save_faults";
    QDir(folder).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString path = folder + "/show.vx";
    Project& project = Project::instance();

    setProject(oldProject());
    ASSERT_TRUE(project.save(path)) << project.lastError().toStdString();
    const QByteArray oldBytes = fileBytes(path);
    ASSERT_FALSE(oldBytes.isEmpty());
    const QStringList before = folderEntries(folder);

    int points = 0, failedSaves = 0, succeededWithFault = 0;
    for (FaultMode mode : {FaultMode::Fail, FaultMode::Short}) {
        bool complete = false;
        for (int64_t n = 1; n <= 20000 && !complete; ++n) {
            const std::string label =
                std::string(modeName(mode)) + " fault at call " + std::to_string(n);
            CaseWatchdog watchdog(label, 30);
            auto state = std::make_shared<FaultState>();
            state->setFault(mode, n);
            project.setArchive(std::make_unique<ProjectArchive>(faultFactory(state)));
            setProject(newProject());
            const bool saved = project.save(path);
            project.setArchive(nullptr);
            complete = !state->faultHit();
            if (!complete) ++points;

            if (!saved) {
                ASSERT_TRUE(state->faultHit())
                    << label
                    << ": a save with no fault failed: " << project.lastError().toStdString();
                ++failedSaves;
                EXPECT_FALSE(project.lastError().isEmpty()) << label << ": no reason given";
                EXPECT_TRUE(fileBytes(path) == oldBytes)
                    << label << ": a failed save changed the old file";
                EXPECT_EQ(folderEntries(folder), before)
                    << label << ": a failed save left files behind";
                EXPECT_TRUE(checkProblems(path).isEmpty()) << label;
                project.clear();
                ASSERT_TRUE(project.load(path))
                    << label << ": " << project.lastError().toStdString();
                EXPECT_TRUE(snapshot() == oldProject()) << label << ": the old project changed";
                continue;
            }
            if (state->faultHit()) ++succeededWithFault;
            const QStringList problems = checkProblems(path);
            EXPECT_TRUE(problems.isEmpty())
                << label << ": a save reported success but the file is damaged: "
                << problems.join("; ").toStdString();
            project.clear();
            ASSERT_TRUE(project.load(path)) << label << ": " << project.lastError().toStdString();
            EXPECT_TRUE(snapshot() == newProject()) << label << ": the saved project differs";
            EXPECT_EQ(folderEntries(folder), before) << label << ": a temporary file remains";
            // Put the old file back for the next case.
            QFile::remove(path);
            QFile out(path);
            ASSERT_TRUE(out.open(QIODevice::WriteOnly));
            ASSERT_EQ(out.write(oldBytes), oldBytes.size());
            out.close();
            if (HasFatalFailure()) return;
        }
        EXPECT_TRUE(complete) << modeName(mode) << ": the sweep did not reach a clean save";
    }
    std::cout << "[ tally    ] project save: " << points << " fault points, " << failedSaves
              << " saves failed and kept the old file, " << succeededWithFault
              << " saves met a fault and still wrote the new project\n";
    EXPECT_GT(points, 50);
}
