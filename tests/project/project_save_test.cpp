// ProjectSave::save with a supplier: the order it is asked in, sounds from bytes, files and
// nowhere, each released before the next is asked for, a supplier that fails, and a show
// rewritten in place while another archive reads the old one, with and without faults.
#include <fcntl.h>
#include <unistd.h>

#include "ProjectTestSupport.h"
#include "project/ProjectArchive.h"
#include "project/ProjectDescription.h"
#include "project/ProjectSave.h"

using namespace testsupport;

namespace {

ChapterList textsOf(const Model& model) {
    setProject(model);
    ChapterList chapters;
    for (const auto& c : Project::instance().chapters()) {
        auto copy = std::make_unique<Chapter>();
        copy->name = c->name;
        for (const auto& e : c->entries()) {
            Entry* entry = copy->addEntry();
            entry->name = e->name;
            entry->note = e->note;
        }
        chapters.push_back(std::move(copy));
    }
    Project::instance().clear();
    return chapters;
}

Model loaded(const QString& path) {
    Project::instance().clear();
    EXPECT_TRUE(Project::instance().load(path)) << Project::instance().lastError().toStdString();
    return snapshot();
}

int openFile(const QString& path) { return ::open(QFile::encodeName(path).constData(), O_RDONLY); }

}  // namespace

TEST(ProjectSave, SoundsComeInRunningOrderOneAtATimeFromBytesFilesOrNowhere) {
    const QString folder = freshFolder("save_supplier");
    std::mt19937_64 rng(3);
    const Model model = {{"one", {{"a", "", "", randomBytes(rng, 9000)}, {"b", "", "", {}}}},
                         {"empty", {}},
                         {"two", {{"c", "", "", randomBytes(rng, 300000)}}}};
    ASSERT_TRUE(writeBytes(folder + "/a.wav", model[0].entries[0].sound));
    ASSERT_TRUE(writeBytes(folder + "/c.wav", model[2].entries[0].sound));
    const ChapterList chapters = textsOf(model);
    std::vector<std::pair<int, int>> asked;
    int lastFd = -1;
    ProjectArchive archive;
    const efs::Status saved = ProjectSave::save(
        archive, folder + "/p.vx", chapters, [&](int c, int e, const Entry& entry) {
            asked.emplace_back(c, e);
            EXPECT_EQ(&entry, chapters[size_t(c)]->entry(e));
            // The source handed before was released before this one is asked for.
            if (lastFd >= 0) EXPECT_EQ(::fcntl(lastFd, F_GETFD), -1) << "fd still open";
            if (lastFd >= 0) lastFd = -1;
            if (e == 0)
                return SoundSource::file(lastFd = openFile(folder + (c ? "/c.wav" : "/a.wav")));
            return SoundSource::bytes(model[size_t(c)].entries[size_t(e)].sound);
        });
    ASSERT_TRUE(saved) << saved.reason().toStdString();
    EXPECT_EQ(asked, (std::vector<std::pair<int, int>>{{0, 0}, {0, 1}, {2, 0}}));
    EXPECT_EQ(::fcntl(lastFd, F_GETFD), -1) << "the last file was not closed";
    EXPECT_EQ(loaded(folder + "/p.vx"), model);
    EXPECT_EQ(storedNames(folder + "/p.vx"), QStringList({"ch0_e0.snd", "ch2_e0.snd", "desc.xml"}));
}

// The show is rewritten at its own path while an archive has it open and the supplier
// reads each old sound from there: the new file replaces the old one whole, and a fault
// part way (a failing host file, or a supplier that gives up) leaves the old one exactly.
TEST(ProjectSave, AShowRewrittenInPlaceIsReplacedWholeOrNotAtAll) {
    const QString path = freshFolder("save_in_place") + "/show.vx";
    std::mt19937_64 rng(4);
    const Model before = {
        {"act", {{"a", "", "", randomBytes(rng, 50000)}, {"b", "", "", randomBytes(rng, 20000)}}}};
    setProject(before);
    ASSERT_TRUE(Project::instance().save(path));
    const QByteArray oldBytes = fileBytes(path);
    Model after = before;
    after[0].entries[1].sound = "new sound";
    const ChapterList chapters = textsOf(before);

    // Faults from the first write on: every case must fail and keep the old file; the
    // last one meets no fault and saves.
    for (int64_t budget : {int64_t{0}, int64_t{8192}, int64_t{60000}, INT64_MAX}) {
        SCOPED_TRACE(budget);
        ProjectArchive reader;
        ASSERT_TRUE(reader.openReadOnly(path));
        auto plan = std::make_shared<FaultPlan>();
        plan->writeBudget = budget;
        ProjectArchive writer(faultyFactory(plan));
        const efs::Status saved =
            ProjectSave::save(writer, path, chapters, [&](int c, int e, const Entry&) {
                if (e == 1) return SoundSource::bytes("new sound");
                QByteArray old;
                const efs::Status read =
                    reader.readFile(ProjectDescription::soundFileName(c, e).constData(), old);
                return read ? SoundSource::bytes(old) : SoundSource::failure(read);
            });
        EXPECT_TRUE(reader.close());
        if (budget != INT64_MAX) {
            EXPECT_FALSE(saved);
            EXPECT_TRUE(fileBytes(path) == oldBytes);
        } else {
            ASSERT_TRUE(saved) << saved.reason().toStdString();
            EXPECT_EQ(loaded(path), after);
        }
        EXPECT_EQ(folderEntries(QFileInfo(path).absolutePath()), QStringList{"show.vx"});
    }

    const QByteArray savedBytes = fileBytes(path);
    ProjectArchive writer;
    const efs::Status refused =
        ProjectSave::save(writer, path, chapters, [](int c, int, const Entry&) {
            return c == 0
                       ? SoundSource::failure(efs::Status::ioError(EACCES, "while reading x.wav"))
                       : SoundSource::none();
        });
    EXPECT_EQ(refused.reason(), "chapter 1, entry 1: " + QString::fromLocal8Bit(strerror(EACCES)) +
                                    " while reading x.wav");
    EXPECT_TRUE(fileBytes(path) == savedBytes);
    EXPECT_EQ(folderEntries(QFileInfo(path).absolutePath()), QStringList{"show.vx"});
}
