// Project::save and Project::load on real containers in real files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QFileInfo>
#include <random>

#include "ProjectTestSupport.h"
#include "efs/EfsVolumeProbe.h"
#include "project/ProjectArchive.h"
#include "project/ProjectDescription.h"
#include "tests/NonRegularFiles.h"

using namespace testsupport;

namespace {

Project& project() { return Project::instance(); }

class ProjectFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        project().setArchive(nullptr);
        project().clear();
    }
    void TearDown() override {
        project().setArchive(nullptr);
        project().clear();
    }
};

// The example project: two chapters, the first with a sound and a silent entry, the
// second with one sound.
Model twoChapters() {
    return {{"First", {{"a", "b", "c", "SOUND-0-0"}, {"silent", "", "", {}}}},
            {"Second", {{"d", "e", "f", "SOUND-1-0"}}}};
}

// A container holding exactly the given stored files.
void makeContainer(const QString& path,
                   const std::vector<std::pair<QByteArray, QByteArray>>& files) {
    ProjectArchive archive;
    ASSERT_TRUE(archive.open(path));
    for (const auto& [name, data] : files) ASSERT_TRUE(archive.writeFile(name.constData(), data));
    ASSERT_TRUE(archive.close());
}

// Points the first data run of the stored file name far beyond the end of the host file,
// so that its bytes cannot be read while its name is still found.
void damageSoundRecord(const QString& path, const char* name) {
    efs::FitRecord record;
    {
        EfsVolume volume;
        ASSERT_TRUE(volume.openVolumeReadOnly(path));
        ASSERT_TRUE(EfsVolumeProbe(volume).loadStoredRecord(name, &record)) << name;
        ASSERT_GT(record.fragmentsCount(), 0) << name << " is stored inline";
    }
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    uint8_t raw[4];
    efs::encodeFixed32(raw, 0x7FFFFF00);
    ASSERT_TRUE(file.seek(int64_t(record.addr()) * efs::kBlockSize + efs::kRecData));
    ASSERT_EQ(file.write(reinterpret_cast<const char*>(raw), 4), 4);
}

// Levels of the file table in the container at path, root to leaves, read from disk
// along the leftmost children; 0 when it cannot be read.
int fileTableLevels(const QString& path) {
    const QByteArray bytes = fileBytes(path);
    if (bytes.size() < efs::kBlockSize) return 0;
    auto at = [&](int64_t offset) {
        return efs::decodeFixed32(reinterpret_cast<const uint8_t*>(bytes.constData()) + offset);
    };
    int levels = 0;
    for (int32_t node = at(efs::kHeaderFileRoot); node > 0 && levels < 10; ++levels) {
        if ((int64_t(node) + 1) * efs::kBlockSize > bytes.size()) return 0;
        node = at(int64_t(node) * efs::kBlockSize + 4);  // child0, 0 in a leaf
    }
    return levels;
}

QByteArray storedBytes(const QString& path, const char* name) {
    ProjectArchive archive;
    QByteArray out;
    if (!archive.openReadOnly(path) || !archive.readFile(name, out)) return "<none>";
    return out;
}

}  // namespace

TEST_F(ProjectFileTest, AnEmptyProjectStoresOnlyTheDescriptionAndLoadsEmpty) {
    const QString path = freshFolder("file_empty") + "/empty.vx";
    ASSERT_TRUE(project().save(path)) << project().lastError().toStdString();
    EXPECT_TRUE(project().lastError().isEmpty());
    EXPECT_EQ(storedNames(path), QStringList({"desc.xml"}));
    EXPECT_EQ(storedBytes(path, "desc.xml"), QByteArray("<!DOCTYPE vxt_project>\n<chapters/>\n"));
    project().addChapter();
    ASSERT_TRUE(project().load(path));
    EXPECT_EQ(project().chapterCount(), 0);
}

TEST_F(ProjectFileTest, TheTwoChapterExampleStoresOneFilePerSound) {
    const QString folder = freshFolder("file_example");
    const QString path = folder + "/show.vx";
    setProject(twoChapters());
    ASSERT_TRUE(project().save(path)) << project().lastError().toStdString();
    EXPECT_EQ(storedNames(path), QStringList({"ch0_e0.snd", "ch1_e0.snd", "desc.xml"}));
    EXPECT_EQ(storedBytes(path, "ch0_e0.snd"), QByteArray("SOUND-0-0"));
    EXPECT_EQ(storedBytes(path, "ch1_e0.snd"), QByteArray("SOUND-1-0"));
    EXPECT_EQ(storedBytes(path, "desc.xml"), ProjectDescription::write(project().chapters()));
    EXPECT_EQ(folderEntries(folder), QStringList({"show.vx"}));
    EXPECT_TRUE(checkProblems(path).isEmpty());
    project().clear();
    ASSERT_TRUE(project().load(path));
    EXPECT_EQ(snapshot(), twoChapters());
}

TEST_F(ProjectFileTest, RemovingChapterZeroRenumbersTheStoredSoundsAndDropsStaleNames) {
    const QString path = freshFolder("file_renumber") + "/show.vx";
    setProject(twoChapters());
    ASSERT_TRUE(project().save(path));
    ASSERT_TRUE(project().removeChapter(0));
    ASSERT_TRUE(project().save(path));
    EXPECT_EQ(storedNames(path), QStringList({"ch0_e0.snd", "desc.xml"}));
    EXPECT_EQ(storedBytes(path, "ch0_e0.snd"), QByteArray("SOUND-1-0"));
    project().clear();
    ASSERT_TRUE(project().load(path));
    EXPECT_EQ(snapshot(), Model({twoChapters()[1]}));
}

TEST_F(ProjectFileTest, AwkwardTextsRoundTripAndUnstorableControlsAreDropped) {
    const QString path = freshFolder("file_texts") + "/t.vx";
    const QString awkward = QString::fromUtf8("<a href=\"x\">&amp; 'q' \t tab\nline\r\n") +
                            QString::fromUtf8("\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xa4 ]]> --> ");
    Model model = {{awkward, {{awkward, "  spaces  ", "\n", "S"}}},
                   {"", {{"", "", "", {}}}},
                   {QString::fromUtf8("\xf0\x90\x80\x80"), {}}};
    setProject(model);
    project().chapter(1)->entry(0)->note = QString("bell") + QChar(7) + "end" + QChar(0x1b);
    ASSERT_TRUE(project().save(path)) << project().lastError().toStdString();
    project().clear();
    ASSERT_TRUE(project().load(path)) << project().lastError().toStdString();
    model[1].entries[0].note = "bellend";
    EXPECT_EQ(snapshot(), model);
}

TEST_F(ProjectFileTest, ADescriptionThatIsNotWellFormedFailsWithTheParserMessage) {
    const QString path = freshFolder("file_bad_xml") + "/bad.vx";
    makeContainer(
        path,
        {{"desc.xml", "<!DOCTYPE vxt_project>\n<chapters>\n <chapter name=\"a\">\n</chapters>\n"},
         {"ch0_e0.snd", "S"}});
    const QByteArray before = fileBytes(path);
    setProject(twoChapters());
    EXPECT_FALSE(project().load(path));
    EXPECT_EQ(snapshot(), twoChapters());
    const QString error = project().lastError();
    EXPECT_TRUE(error.contains("bad.vx")) << error.toStdString();
    EXPECT_TRUE(error.contains("line 4")) << error.toStdString();
    EXPECT_TRUE(error.contains("column")) << error.toStdString();
    EXPECT_TRUE(error.endsWith(".") && !error.endsWith("..")) << error.toStdString();
    EXPECT_EQ(fileBytes(path), before);
}

TEST_F(ProjectFileTest, ADescriptionWithADeclarationAndCommentsBeforeTheRootLoads) {
    const QString path = freshFolder("file_prolog") + "/p.vx";
    makeContainer(path, {{"desc.xml",
                          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- made by hand -->\n"
                          "<?pi x?><chapters><chapter name=\"c\"><entry name=\"n\"/></chapter>"
                          "</chapters>"},
                         {"ch0_e0.snd", "S"}});
    ASSERT_TRUE(project().load(path)) << project().lastError().toStdString();
    EXPECT_EQ(snapshot(), Model({{"c", {{"n", "", "", "S"}}}}));
}

TEST_F(ProjectFileTest, AContainerWithoutADescriptionFailsAndKeepsTheProject) {
    const QString path = freshFolder("file_no_desc") + "/p.vx";
    makeContainer(path, {{"ch0_e0.snd", "S"}});
    setProject(twoChapters());
    EXPECT_FALSE(project().load(path));
    EXPECT_TRUE(project().lastError().contains("desc.xml"));
    EXPECT_EQ(snapshot(), twoChapters());

    makeContainer(path, {{"desc.xml", QByteArray()}});
    EXPECT_FALSE(project().load(path));
    EXPECT_TRUE(project().lastError().contains("empty"));
    EXPECT_EQ(snapshot(), twoChapters());
}

TEST_F(ProjectFileTest, LoadingAMissingPathFailsAndCreatesNothing) {
    const QString folder = freshFolder("file_load_missing");
    setProject(twoChapters());
    EXPECT_FALSE(project().load(folder + "/nothing.vx"));
    EXPECT_TRUE(project().lastError().contains("nothing.vx"));
    EXPECT_TRUE(folderEntries(folder).isEmpty());
    EXPECT_FALSE(project().load(""));
    EXPECT_FALSE(project().load(folder));
    EXPECT_TRUE(project().lastError().contains("folder")) << project().lastError().toStdString();
    EXPECT_TRUE(folderEntries(folder).isEmpty());
    EXPECT_EQ(snapshot(), twoChapters());
}

TEST_F(ProjectFileTest, LoadingANonContainerFailsAndChangesNothing) {
    const QString path = freshFolder("file_load_text") + "/text.vx";
    const QByteArray text = QByteArray("plain text\n").repeated(3000);
    ASSERT_TRUE(writeBytes(path, text));
    setProject(twoChapters());
    EXPECT_FALSE(project().load(path));
    EXPECT_FALSE(project().lastError().isEmpty());
    EXPECT_EQ(fileBytes(path), text);
    EXPECT_EQ(snapshot(), twoChapters());
}

TEST_F(ProjectFileTest, SavingOverANonContainerIsRefusedAndTheFileIsByteIdentical) {
    const QString folder = freshFolder("file_save_refused");
    const QString path = folder + "/thesis.vx";
    const QByteArray text = QByteArray("chapter one of my thesis\n").repeated(2000);
    ASSERT_TRUE(writeBytes(path, text));
    setProject(twoChapters());
    EXPECT_FALSE(project().save(path));
    EXPECT_TRUE(project().lastError().contains("thesis.vx"));
    EXPECT_EQ(fileBytes(path), text);
    EXPECT_EQ(folderEntries(folder), QStringList({"thesis.vx"}));
    EXPECT_FALSE(project().save(""));
}

TEST_F(ProjectFileTest, SavingKeepsPermissionsAndLeavesNoTemporaryFile) {
    const QString folder = freshFolder("file_permissions");
    const QString path = folder + "/p.vx";
    setProject(twoChapters());
    ASSERT_TRUE(project().save(path));
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(fileMode(path), static_cast<int>(0666 & ~mask));
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0604), 0);
    project().chapter(0)->name = "renamed";
    ASSERT_TRUE(project().save(path));
    EXPECT_EQ(fileMode(path), 0604);
    EXPECT_EQ(folderEntries(folder), QStringList({"p.vx"}));
    project().clear();
    ASSERT_TRUE(project().load(path));
    EXPECT_EQ(project().chapter(0)->name, QString("renamed"));
}

TEST_F(ProjectFileTest, SavingIntoAMissingFolderFailsAndCreatesNothing) {
    const QString folder = freshFolder("file_no_folder");
    setProject(twoChapters());
    EXPECT_FALSE(project().save(folder + "/missing/p.vx"));
    EXPECT_TRUE(project().lastError().contains("missing"));
    EXPECT_TRUE(folderEntries(folder).isEmpty());
}

// Every failing host write during a save, wherever it falls, fails the save, keeps the
// previous file byte for byte and leaves no temporary file.
TEST_F(ProjectFileTest, AWriteFailureAnywhereInASaveKeepsThePreviousFile) {
    const QString folder = freshFolder("file_write_faults");
    const QString path = folder + "/p.vx";
    std::mt19937_64 rng(11);
    Model old = {{"old", {{"o", "", "", randomBytes(rng, 30000)}}}};
    setProject(old);
    ASSERT_TRUE(project().save(path));
    const QByteArray before = fileBytes(path);

    Model next = {{"new", {{"a", "", "", randomBytes(rng, 300000)}, {"b", "", "", {}}}},
                  {"two", {{"c", "d", "e", randomBytes(rng, 70000)}}}};
    setProject(next);
    auto counting = std::make_shared<FaultPlan>();
    project().setArchive(std::make_unique<ProjectArchive>(faultyFactory(counting)));
    const QString copy = folder + "/copy.vx";
    ASSERT_TRUE(QFile::copy(path, copy));
    ASSERT_TRUE(project().save(copy));
    const int64_t total = counting->written;
    ASSERT_GT(total, 300000);
    QFile::remove(copy);

    std::vector<int64_t> budgets = {0, 1, 8191, 8192, total - 1};
    for (int i = 0; i < 25; ++i) budgets.push_back(static_cast<int64_t>(rng() % total));
    for (int64_t budget : budgets) {
        auto plan = std::make_shared<FaultPlan>();
        plan->writeBudget = budget;
        project().setArchive(std::make_unique<ProjectArchive>(faultyFactory(plan)));
        EXPECT_FALSE(project().save(path)) << "budget " << budget;
        EXPECT_TRUE(project().lastError().contains("p.vx")) << project().lastError().toStdString();
        EXPECT_TRUE(fileBytes(path) == before) << "budget " << budget;
        EXPECT_EQ(folderEntries(folder), QStringList({"p.vx"})) << "budget " << budget;
    }
    project().setArchive(nullptr);
    ASSERT_TRUE(project().load(path));
    EXPECT_EQ(snapshot(), old);
}

// Random edits, each followed by a save and a load checked against a plain model.
TEST_F(ProjectFileTest, RandomProjectsRoundTripExactly) {
    const QString folder = freshFolder("file_random");
    const QString path = folder + "/r.vx";
    std::mt19937_64 rng(2024);
    auto randomText = [&]() {
        static const char32_t pool[] = {U'a',      U'Z',          U' ',  U'<',  U'>',  U'&',
                                        U'"',      U'\'',         U'\t', U'\n', U'\r', U'\u00e9',
                                        U'\u20ac', U'\U0001F3A4', U']',  U'=',  U'/'};
        QString s;
        const int n = static_cast<int>(rng() % 12);
        for (int i = 0; i < n; ++i) {
            const char32_t ch = pool[rng() % (sizeof pool / sizeof pool[0])];
            s += QString::fromUcs4(&ch, 1);
        }
        return s;
    };
    Model model;
    for (int round = 0; round < 40; ++round) {
        for (int op = 0; op < 6; ++op) {
            const int kind = static_cast<int>(rng() % 5);
            if (kind == 0 || model.empty()) {
                model.push_back({randomText(), {}});
            } else if (kind == 1) {
                model.erase(model.begin() + static_cast<long>(rng() % model.size()));
            } else if (kind == 2 || kind == 3) {
                ChapterModel& c = model[rng() % model.size()];
                const qsizetype size = rng() % 3 == 0 ? 0 : static_cast<qsizetype>(rng() % 20000);
                c.entries.push_back(
                    {randomText(), randomText(), randomText(), randomBytes(rng, size)});
            } else {
                ChapterModel& c = model[rng() % model.size()];
                if (!c.entries.empty())
                    c.entries.erase(c.entries.begin() +
                                    static_cast<long>(rng() % c.entries.size()));
            }
        }
        setProject(model);
        ASSERT_TRUE(project().save(path)) << project().lastError().toStdString();
        project().clear();
        ASSERT_TRUE(project().load(path)) << project().lastError().toStdString();
        ASSERT_EQ(snapshot(), model) << "round " << round;
        QStringList expectedNames = {"desc.xml"};
        for (size_t c = 0; c < model.size(); ++c)
            for (size_t e = 0; e < model[c].entries.size(); ++e)
                if (!model[c].entries[e].sound.isEmpty())
                    expectedNames << QString::fromLatin1(
                        ProjectDescription::soundFileName(int(c), int(e)));
        expectedNames.sort();
        ASSERT_EQ(storedNames(path), expectedNames) << "round " << round;
    }
    EXPECT_TRUE(checkProblems(path).isEmpty());
    EXPECT_EQ(folderEntries(folder), QStringList({"r.vx"}));
}

// A project of 25,000 sounds: the file table has three levels (root, inner nodes,
// leaves). Every other sound is then removed from the container itself, so the table
// borrows and merges on every level; the project loads with those entries silent. Half
// the entries are then removed from the project, and it saves and loads again.
TEST_F(ProjectFileTest, AProjectWithAThreeLevelFileTableSavesLoadsAndShrinks) {
    const QString folder = freshFolder("file_three_levels");
    const QString path = folder + "/big.vx";
    std::mt19937_64 rng(3);
    Model model;
    for (int c = 0; c < 50; ++c) {
        model.push_back({QString("chapter %1").arg(c), {}});
        for (int e = 0; e < 500; ++e)
            model.back().entries.push_back(
                {QString("entry %1").arg(e), "d", "n",
                 randomBytes(rng, 1 + static_cast<qsizetype>(rng() % 40))});
    }
    setProject(model);
    ASSERT_TRUE(project().save(path)) << project().lastError().toStdString();
    EXPECT_EQ(fileTableLevels(path), 3);
    project().clear();
    ASSERT_TRUE(project().load(path)) << project().lastError().toStdString();
    ASSERT_TRUE(snapshot() == model);

    {
        EfsVolume volume;
        ASSERT_TRUE(volume.openVolume(path));
        volume.setDeferredWrites(true);
        for (int c = 0; c < 50; ++c)
            for (int e = c % 2; e < 500; e += 2) {
                ASSERT_TRUE(volume.removeFile(ProjectDescription::soundFileName(c, e).constData()));
                model[c].entries[e].sound.clear();
            }
        const QStringList problems = volume.check();
        EXPECT_TRUE(problems.isEmpty()) << problems.join("\n").toStdString();
    }
    EXPECT_EQ(fileTableLevels(path), 2) << "the table lost a level as it shrank";
    ASSERT_TRUE(project().load(path)) << project().lastError().toStdString();
    EXPECT_TRUE(project().unreadableSounds().empty());
    ASSERT_TRUE(snapshot() == model);

    for (ChapterModel& c : model) c.entries.resize(c.entries.size() / 2);
    setProject(model);
    ASSERT_TRUE(project().save(path)) << project().lastError().toStdString();
    project().clear();
    ASSERT_TRUE(project().load(path)) << project().lastError().toStdString();
    ASSERT_TRUE(snapshot() == model);
    EXPECT_EQ(storedNames(path).size(), 50 * 125 + 1);
    EXPECT_TRUE(checkProblems(path).isEmpty());
    QFile::remove(path);
}

TEST_F(ProjectFileTest, AHundredMegabyteSoundRoundTrips) {
    const QString path = freshFolder("file_100mb") + "/big.vx";
    std::mt19937_64 rng(100);
    const Model model = {
        {"big",
         {{"one", "", "", randomBytes(rng, 100 * 1000 * 1000 + 7)}, {"two", "", "", "tail"}}}};
    setProject(model);
    ASSERT_TRUE(project().save(path)) << project().lastError().toStdString();
    project().clear();
    ASSERT_TRUE(project().load(path)) << project().lastError().toStdString();
    EXPECT_TRUE(snapshot() == model);
    EXPECT_TRUE(checkProblems(path).isEmpty());
}

// A sound above 2 GiB and above 3 GiB: sizes travel as 64-bit counts end to end. Needs
// about 7 GiB of disk and memory, so it runs only with VOXTRAIL_LONG_TESTS=1.
TEST_F(ProjectFileTest, AThreeGigabyteSoundRoundTrips) {
    if (qEnvironmentVariableIntValue("VOXTRAIL_LONG_TESTS") != 1)
        GTEST_SKIP() << "set VOXTRAIL_LONG_TESTS=1 to run";
    const QString folder = freshFolder("file_3gb");
    const qsizetype size = 3LL * 1024 * 1024 * 1024 + 4099;
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs(QFile::encodeName(folder).constData(), &vfs), 0);
    const long long freeDisk = static_cast<long long>(vfs.f_bavail) * vfs.f_frsize;
    const long long freeMemory =
        static_cast<long long>(::sysconf(_SC_AVPHYS_PAGES)) * ::sysconf(_SC_PAGESIZE);
    if (freeDisk < 2 * size + (1LL << 30) || freeMemory < 2 * size + (1LL << 30))
        GTEST_SKIP() << "not enough free disk or memory";
    const QString path = folder + "/huge.vx";
    std::mt19937_64 rng(3);
    QByteArray sound = randomBytes(rng, size);
    setProject({{"huge", {{"one", "", "", sound}}}});
    ASSERT_TRUE(project().save(path)) << project().lastError().toStdString();
    project().clear();
    ASSERT_TRUE(project().load(path)) << project().lastError().toStdString();
    ASSERT_EQ(project().chapterCount(), 1);
    const QByteArray& back = project().chapter(0)->entry(0)->sound;
    EXPECT_EQ(back.size(), size);
    EXPECT_TRUE(back == sound);
    project().clear();
    QFile::remove(path);
}

// Loads only read: whatever the damage, a load never crashes and never changes the file,
// and a load that fails keeps the project and says why.
TEST_F(ProjectFileTest, DamagedContainersFailCleanlyAndStayUnchanged) {
    const QString folder = freshFolder("file_damaged");
    const QString good = folder + "/good.vx", damaged = folder + "/damaged.vx";
    std::mt19937_64 rng(99);
    Model model = twoChapters();
    model[0].entries[0].sound = randomBytes(rng, 40000);
    model[1].entries[0].sound = randomBytes(rng, 9000);
    setProject(model);
    ASSERT_TRUE(project().save(good));
    const QByteArray intact = fileBytes(good);
    // Damage goes into the blocks in use (the rest of the host file is free space).
    qsizetype used = intact.size() / 8192;
    while (used > 1 && intact.mid((used - 1) * 8192, 8192).count('\0') == 8192) --used;
    ASSERT_GT(used, 2);

    auto check = [&](const QByteArray& bytes, int round) {
        setProject(twoChapters());
        if (!project().load(damaged)) {
            EXPECT_EQ(snapshot(), twoChapters()) << "round " << round;
            EXPECT_FALSE(project().lastError().isEmpty()) << "round " << round;
        }
        EXPECT_TRUE(fileBytes(damaged) == bytes)
            << "round " << round << ": a load changed the file";
        return !project().lastError().isEmpty();
    };
    int failed = 0;
    // Cut short at random lengths.
    for (int round = 0; round < 12; ++round) {
        const QByteArray bytes =
            intact.left(static_cast<qsizetype>(rng() % static_cast<uint64_t>(used * 8192)));
        ASSERT_TRUE(writeBytes(damaged, bytes));
        failed += check(bytes, round) ? 1 : 0;
    }
    // Random bytes changed in place, mostly near the start of a block, where headers,
    // nodes and records begin; each round starts again from the intact file.
    ASSERT_TRUE(writeBytes(damaged, intact));
    QFile file(damaged);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    for (int round = 0; round < 250; ++round) {
        QByteArray bytes = intact;
        std::vector<qsizetype> changed;
        const int count = 1 + static_cast<int>(rng() % 6);
        for (int i = 0; i < count; ++i) {
            const qsizetype block = static_cast<qsizetype>(rng() % static_cast<uint64_t>(used));
            const qsizetype at =
                block * 8192 + static_cast<qsizetype>(rng() % (rng() % 2 ? 160 : 8192));
            bytes[at] = static_cast<char>(rng());
            changed.push_back(at);
        }
        for (qsizetype at : changed) {
            ASSERT_TRUE(file.seek(at) && file.write(bytes.constData() + at, 1) == 1);
        }
        ASSERT_TRUE(file.flush());
        failed += check(bytes, 100 + round) ? 1 : 0;
        for (qsizetype at : changed) {
            ASSERT_TRUE(file.seek(at) && file.write(intact.constData() + at, 1) == 1);
        }
        ASSERT_TRUE(file.flush());
    }
    EXPECT_GT(failed, 0);
}

// A FIFO, a socket or a device is no project: load, save and both archive opens refuse it
// at once, saying so, and neither the file nor the folder changes.
TEST_F(ProjectFileTest, NonRegularFilesAreRefusedAtOnceAndLeftAlone) {
    const QString folder = freshFolder("file_special");
    nonregular::NonRegularFiles files(folder);
    ASSERT_TRUE(files.ok());
    const QStringList before = files.state();
    for (const nonregular::Special& special : files.all()) {
        SCOPED_TRACE(special.kind);
        setProject(twoChapters());
        const bool prompt = nonregular::returnsAtOnce(special.path, [&] {
            EXPECT_FALSE(project().load(special.path));
            EXPECT_TRUE(project().lastError().contains("not a regular file"))
                << project().lastError().toStdString();
            EXPECT_FALSE(project().save(special.path));
            EXPECT_TRUE(project().lastError().contains("not a regular file"))
                << project().lastError().toStdString();
            ProjectArchive archive;
            EXPECT_EQ(archive.open(special.path).reason(), "it is not a regular file");
        });
        EXPECT_TRUE(prompt) << "the open waited for a writer that never came";
        EXPECT_EQ(snapshot(), twoChapters());
        EXPECT_EQ(files.state(), before);
    }
}

TEST_F(ProjectFileTest, LoadIgnoresTheTemporaryFileOfADeadSaveAndTheNextSaveRemovesIt) {
    const QString folder = freshFolder("file_stale");
    const QString path = folder + "/p.vx";
    setProject(twoChapters());
    ASSERT_TRUE(project().save(path));
    const QString stale = folder + "/.p.vx.q1W2e3.tmp";
    ASSERT_TRUE(writeBytes(stale, QByteArray(20000, '\x01')));
    project().clear();
    ASSERT_TRUE(project().load(path)) << project().lastError().toStdString();
    EXPECT_EQ(snapshot(), twoChapters());
    EXPECT_TRUE(QFileInfo::exists(stale));
    ASSERT_TRUE(project().save(path));
    EXPECT_EQ(folderEntries(folder), QStringList({"p.vx"}));
}

// A read error in the description fails the load, names the reason and leaves the
// project as it was. One in a sound does not: the project loads, every entry whose sound
// could not be read is listed and has no sound, and everything else is as stored.
TEST_F(ProjectFileTest, AReadFailureFailsTheLoadInTheDescriptionAndEmptiesOnlyTheSoundsHit) {
    const QString path = freshFolder("file_read_faults") + "/p.vx";
    std::mt19937_64 rng(5);
    Model stored = {{"one", {{"a", "", "", randomBytes(rng, 50000)}, {"b", "", "", {}}}},
                    {"two", {{"c", "", "", randomBytes(rng, 120000)}}}};
    setProject(stored);
    ASSERT_TRUE(project().save(path));

    auto counting = std::make_shared<FaultPlan>();
    project().setArchive(std::make_unique<ProjectArchive>(faultyFactory(counting)));
    ASSERT_TRUE(project().load(path));
    ASSERT_EQ(snapshot(), stored);
    EXPECT_TRUE(project().unreadableSounds().empty());
    const int64_t total = counting->read;
    ASSERT_GT(total, 170000);

    std::vector<int64_t> budgets = {0, 100, 8192, total - 1};
    for (int i = 0; i < 30; ++i) budgets.push_back(static_cast<int64_t>(rng() % total));
    int failed = 0, withUnreadable = 0;
    for (int64_t budget : budgets) {
        SCOPED_TRACE(budget);
        auto plan = std::make_shared<FaultPlan>();
        plan->readBudget = budget;
        project().setArchive(std::make_unique<ProjectArchive>(faultyFactory(plan)));
        setProject(twoChapters());
        if (!project().load(path)) {
            ++failed;
            EXPECT_TRUE(project().lastError().contains("p.vx"))
                << project().lastError().toStdString();
            EXPECT_EQ(snapshot(), twoChapters());
            EXPECT_TRUE(project().unreadableSounds().empty());
            continue;
        }
        // The oracle: the stored project with exactly the listed sounds emptied.
        Model expected = stored;
        for (const Project::UnreadableSound& lost : project().unreadableSounds()) {
            EntryModel& entry = expected.at(size_t(lost.chapter)).entries.at(size_t(lost.entry));
            EXPECT_FALSE(entry.sound.isEmpty()) << "an entry without a sound was listed";
            EXPECT_TRUE(lost.reason.startsWith(
                ProjectDescription::soundFileName(lost.chapter, lost.entry) + " cannot be read: "))
                << lost.reason.toStdString();
            entry.sound.clear();
        }
        EXPECT_EQ(snapshot(), expected);
        withUnreadable += project().unreadableSounds().empty() ? 0 : 1;
    }
    EXPECT_GT(failed, 0) << "no failure fell into the description";
    EXPECT_GT(withUnreadable, 0) << "no failure fell into the reading of a sound";
}

// A damaged record: the entry loads without its sound and is named; the other sounds are
// intact; a save keeps the entry without a sound, and the project then loads whole.
TEST_F(ProjectFileTest, ASoundWhoseRecordIsDamagedLeavesOnlyItsEntryWithoutASound) {
    const QString path = freshFolder("file_damaged_sound") + "/p.vx";
    std::mt19937_64 rng(17);
    Model stored = twoChapters();
    stored[0].entries[0].sound = randomBytes(rng, 30000);
    stored[1].entries[0].sound = randomBytes(rng, 20000);
    setProject(stored);
    ASSERT_TRUE(project().save(path));
    damageSoundRecord(path, "ch0_e0.snd");

    setProject(twoChapters());
    ASSERT_TRUE(project().load(path)) << project().lastError().toStdString();
    EXPECT_TRUE(project().lastError().isEmpty());
    ASSERT_EQ(project().unreadableSounds().size(), 1u);
    EXPECT_EQ(project().unreadableSounds()[0].chapter, 0);
    EXPECT_EQ(project().unreadableSounds()[0].entry, 0);
    Model expected = stored;
    expected[0].entries[0].sound.clear();
    EXPECT_EQ(snapshot(), expected);

    ASSERT_TRUE(project().save(path));
    ASSERT_TRUE(project().load(path));
    EXPECT_TRUE(project().unreadableSounds().empty());
    EXPECT_EQ(snapshot(), expected);
}

TEST_F(ProjectFileTest, AProjectFromAContainerWithAHugeGrowthStepSavesWithTheDefaults) {
    const QString folder = freshFolder("file_growth_step");
    const QString path = folder + "/odd.vx";
    setProject(twoChapters());
    ASSERT_TRUE(project().save(path)) << project().lastError().toStdString();
    // A growth step that the header accepts but no host file can take.
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        uint8_t raw[8];
        efs::encodeFixed64(raw, int64_t{1} << 57);
        ASSERT_TRUE(f.seek(efs::kHeaderParams + 8));
        ASSERT_EQ(f.write(reinterpret_cast<const char*>(raw), 8), 8);
    }
    ASSERT_TRUE(project().load(path)) << project().lastError().toStdString();
    const QString copy = folder + "/copy.vx";
    ASSERT_TRUE(project().save(copy)) << project().lastError().toStdString();
    EfsVolume v;
    ASSERT_TRUE(v.openVolumeReadOnly(copy));
    EXPECT_EQ(v.parameters().growthStep, efs::VolumeParams().growthStep);
    v.closeVolume();
    setProject({});
    ASSERT_TRUE(project().load(copy)) << project().lastError().toStdString();
    EXPECT_EQ(snapshot(), twoChapters());
}
