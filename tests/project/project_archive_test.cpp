#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFileInfo>
#include <random>

#include "ProjectTestSupport.h"
#include "efs/EfsFormat.h"
#include "efs/EfsVolumeProbe.h"
#include "project/ProjectArchive.h"

using namespace testsupport;

namespace {

QByteArray readStored(const QString& path, const char* name) {
    ProjectArchive archive;
    QByteArray out;
    if (!archive.openReadOnly(path)) return "<cannot open>";
    if (!archive.readFile(name, out)) return "<cannot read>";
    return out;
}

int openFlag(const QString& path) {
    const QByteArray bytes = fileBytes(path);
    if (bytes.size() < efs::kHeaderOpenFlag + 4) return -1;
    return efs::decodeFixed32(reinterpret_cast<const uint8_t*>(bytes.constData()) +
                              efs::kHeaderOpenFlag);
}

// A container at path holding the given files, written straight through the volume.
void makeContainer(const QString& path,
                   const std::vector<std::pair<QByteArray, QByteArray>>& files) {
    ProjectArchive archive;
    const efs::Status opened = archive.open(path);
    ASSERT_TRUE(opened) << opened.reason().toStdString();
    for (const auto& [name, data] : files) ASSERT_TRUE(archive.writeFile(name.constData(), data));
    ASSERT_TRUE(archive.close());
}

}  // namespace

TEST(ProjectArchiveTest, ReadingANameThatIsNotStoredFailsAndLeavesTheOutputAlone) {
    const QString path = freshFolder("archive_missing_name") + "/p.vx";
    makeContainer(path, {{"desc.xml", "<chapters/>"}});
    ProjectArchive archive;
    ASSERT_TRUE(archive.openReadOnly(path));
    QByteArray out = "untouched";
    const efs::Status read = archive.readFile("ch0_e0.snd", out);
    EXPECT_TRUE(read.isNotFound());
    EXPECT_EQ(out, QByteArray("untouched"));
    EXPECT_TRUE(read.reason().contains("ch0_e0.snd"));
    EXPECT_TRUE(archive.close());
}

TEST(ProjectArchiveTest, ReadingAnEmptyStoredFileGivesNoBytes) {
    const QString path = freshFolder("archive_empty_file") + "/p.vx";
    makeContainer(path, {{"empty.snd", QByteArray()}, {"full.snd", "x"}});
    EXPECT_EQ(storedNames(path), QStringList({"empty.snd", "full.snd"}));
    ProjectArchive archive;
    ASSERT_TRUE(archive.openReadOnly(path));
    QByteArray out = "untouched";
    EXPECT_TRUE(archive.readFile("empty.snd", out));
    EXPECT_TRUE(out.isEmpty());
    int64_t size = -1;
    EXPECT_TRUE(archive.storedSize("empty.snd", &size));
    EXPECT_EQ(size, 0);
    EXPECT_TRUE(archive.readFile("full.snd", out));
    EXPECT_EQ(out, QByteArray("x"));
}

TEST(ProjectArchiveTest, OpeningTwiceLeavesTheSecondOpenAndTheFirstClosed) {
    const QString folder = freshFolder("archive_open_twice");
    const QString first = folder + "/a.vx", second = folder + "/b.vx";
    makeContainer(first, {{"a", "first"}});
    makeContainer(second, {{"b", "second"}});
    ProjectArchive archive;
    ASSERT_TRUE(archive.open(first));
    EXPECT_EQ(openFlag(first), 1);
    ASSERT_TRUE(archive.open(second));
    EXPECT_EQ(openFlag(first), 0) << "the first container was not closed";
    EXPECT_EQ(openFlag(second), 1);
    ASSERT_TRUE(archive.writeFile("c", "written after the second open"));
    ASSERT_TRUE(archive.close());
    EXPECT_EQ(openFlag(second), 0);
    EXPECT_EQ(storedNames(first), QStringList({"a"}));
    EXPECT_EQ(storedNames(second), QStringList({"b", "c"}));
    EXPECT_TRUE(checkProblems(first).isEmpty());
    EXPECT_TRUE(checkProblems(second).isEmpty());
}

TEST(ProjectArchiveTest, RemoveAllFilesEmptiesTheContainer) {
    const QString path = freshFolder("archive_remove_all") + "/p.vx";
    makeContainer(path, {{"desc.xml", "<chapters/>"},
                         {"ch0_e0.snd", QByteArray(20000, 'a')},
                         {"ch0_e1.snd", QByteArray(5, 'b')},
                         {"ch1_e0.snd", QByteArray(100000, 'c')}});
    EXPECT_EQ(storedNames(path).size(), 4);
    ProjectArchive archive;
    ASSERT_TRUE(archive.open(path));
    EXPECT_TRUE(archive.removeAllFiles());
    ASSERT_TRUE(archive.close());
    EXPECT_TRUE(storedNames(path).isEmpty());
    EXPECT_TRUE(checkProblems(path).isEmpty()) << checkProblems(path).join("\n").toStdString();
}

TEST(ProjectArchiveTest, WritingReplacesAnEarlierLongerContentExactly) {
    const QString path = freshFolder("archive_rewrite") + "/p.vx";
    makeContainer(path, {{"f", QByteArray(50000, 'L')}});
    makeContainer(path, {{"f", "short"}});
    EXPECT_EQ(readStored(path, "f"), QByteArray("short"));
}

TEST(ProjectArchiveTest, FilesLargerThanOneChunkRoundTripExactly) {
    const QString path = freshFolder("archive_chunks") + "/p.vx";
    std::mt19937_64 rng(7);
    // Sizes on both sides of the 4 MiB transfer pieces.
    const std::vector<qsizetype> sizes = {
        1, 8191, 8192, 4 * 1024 * 1024 - 1, 4 * 1024 * 1024, 9 * 1024 * 1024 + 3};
    std::vector<std::pair<QByteArray, QByteArray>> files;
    for (size_t i = 0; i < sizes.size(); ++i)
        files.push_back({"f" + QByteArray::number(int(i)), randomBytes(rng, sizes[i])});
    makeContainer(path, files);
    for (const auto& [name, data] : files) {
        const QByteArray back = readStored(path, name.constData());
        EXPECT_EQ(back.size(), data.size()) << name.constData();
        EXPECT_TRUE(back == data) << name.constData();
    }
    EXPECT_TRUE(checkProblems(path).isEmpty());
}

// A descriptor's bytes are stored from the file itself, exactly; a file shorter than the
// size asked for (cut short by another program while it is copied) fails the store with
// that reason, and nothing of it is kept.
TEST(ProjectArchiveTest, FilesAreStoredFromADescriptorAndOneCutShortFails) {
    const QString folder = freshFolder("archive_from_descriptor");
    std::mt19937_64 rng(11);
    const QByteArray data = randomBytes(rng, 4 * 1024 * 1024 + 8192 * 3 + 5);
    ASSERT_TRUE(writeBytes(folder + "/sound.wav", data));
    const int fd = ::open(QFile::encodeName(folder + "/sound.wav").constData(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ProjectArchive archive;
    ASSERT_TRUE(archive.open(folder + "/p.vx"));
    const efs::Status whole = archive.writeFileFrom("whole", fd, data.size());
    ASSERT_TRUE(whole) << whole.reason().toStdString();
    ASSERT_EQ(::truncate(QFile::encodeName(folder + "/sound.wav").constData(), 5000), 0);
    const efs::Status cut = archive.writeFileFrom("cut", fd, data.size());
    ::close(fd);
    EXPECT_FALSE(cut);
    EXPECT_TRUE(cut.reason().startsWith("cut cannot be stored: the file copied from was cut short"))
        << cut.reason().toStdString();
    ASSERT_TRUE(archive.close());
    EXPECT_TRUE(readStored(folder + "/p.vx", "whole") == data);
    EXPECT_EQ(readStored(folder + "/p.vx", "cut"), QByteArray("<cannot read>"));
    EXPECT_TRUE(checkProblems(folder + "/p.vx").isEmpty());
}

TEST(ProjectArchiveTest, ReadOnlyOpenOfAMissingPathFailsAndCreatesNothing) {
    const QString folder = freshFolder("archive_open_missing");
    ProjectArchive archive;
    const efs::Status opened = archive.openReadOnly(folder + "/nothing.vx");
    EXPECT_FALSE(opened);
    EXPECT_FALSE(archive.isOpen());
    EXPECT_EQ(opened.sysError(), ENOENT);
    EXPECT_EQ(opened.reason(), QString::fromLocal8Bit(strerror(ENOENT)));
    EXPECT_TRUE(folderEntries(folder).isEmpty());
}

TEST(ProjectArchiveTest, ReadWriteOpenOfAMissingPathCreatesAnEmptyContainer) {
    const QString path = freshFolder("archive_open_create") + "/new.vx";
    ProjectArchive archive;
    ASSERT_TRUE(archive.open(path));
    ASSERT_TRUE(archive.close());
    EXPECT_TRUE(QFileInfo::exists(path));
    EXPECT_TRUE(storedNames(path).isEmpty());
    EXPECT_EQ(openFlag(path), 0);
}

TEST(ProjectArchiveTest, ReadOnlyOpenOfANonContainerFailsWithAReasonAndChangesNothing) {
    const QString path = freshFolder("archive_non_container") + "/notes.vx";
    const QByteArray text = QByteArray("these are my notes, not a project\n").repeated(500);
    ASSERT_TRUE(writeBytes(path, text));
    ProjectArchive archive;
    const efs::Status opened = archive.openReadOnly(path);
    EXPECT_EQ(opened.kind(), efs::Status::Kind::Corruption);
    EXPECT_EQ(opened.reason(), "it does not start with a voxtrail container header");
    EXPECT_EQ(fileBytes(path), text);
}

TEST(ProjectArchiveTest, ReplacingANonContainerIsRefusedAndTheFileKept) {
    const QString folder = freshFolder("archive_replace_refused");
    const QString path = folder + "/notes.vx";
    const QByteArray text = QByteArray("not a container").repeated(1000);
    ASSERT_TRUE(writeBytes(path, text));
    ProjectArchive archive;
    const efs::Status begun = archive.beginReplace(path);
    EXPECT_FALSE(begun);
    EXPECT_TRUE(begun.reason().contains("not overwritten")) << begun.reason().toStdString();
    EXPECT_EQ(fileBytes(path), text);
    EXPECT_EQ(folderEntries(folder), QStringList({"notes.vx"}));
}

TEST(ProjectArchiveTest, AnAbortedReplacementLeavesTheTargetAndNoTemporaryFile) {
    const QString folder = freshFolder("archive_abort");
    const QString path = folder + "/p.vx";
    makeContainer(path, {{"desc.xml", "old"}});
    const QByteArray before = fileBytes(path);
    ProjectArchive archive;
    ASSERT_TRUE(archive.beginReplace(path));
    const QString temp = archive.replacementPath();
    EXPECT_TRUE(QFileInfo(temp).fileName().startsWith(".p.vx."));
    EXPECT_TRUE(temp.endsWith(".tmp"));
    EXPECT_EQ(QFileInfo(temp).absolutePath(), QFileInfo(path).absolutePath());
    ASSERT_TRUE(archive.writeFile("desc.xml", "new"));
    archive.abortReplace();
    EXPECT_EQ(fileBytes(path), before);
    EXPECT_EQ(folderEntries(folder), QStringList({"p.vx"}));
}

TEST(ProjectArchiveTest, CommittingReplacesTheTargetAndKeepsItsPermissions) {
    const QString folder = freshFolder("archive_commit");
    const QString path = folder + "/p.vx";
    makeContainer(path, {{"desc.xml", "old"}, {"ch0_e0.snd", "old sound"}});
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0640), 0);
    ProjectArchive archive;
    ASSERT_TRUE(archive.beginReplace(path));
    ASSERT_TRUE(archive.writeFile("desc.xml", "new"));
    ASSERT_TRUE(archive.commitReplace());
    EXPECT_EQ(fileMode(path), 0640);
    EXPECT_EQ(storedNames(path), QStringList({"desc.xml"}));
    EXPECT_EQ(readStored(path, "desc.xml"), QByteArray("new"));
    EXPECT_EQ(folderEntries(folder), QStringList({"p.vx"}));
    EXPECT_EQ(openFlag(path), 0);
}

// While a save is written its temporary file is readable by its owner only, whatever the
// umask: the project may be private. It takes its final permissions just before the rename,
// the target's own or, for a new file, those of any new file.
TEST(ProjectArchiveTest, TheTemporaryFileIsPrivateUntilItTakesTheTargetsPlace) {
    const mode_t savedMask = ::umask(022);
    for (const int targetMode : {0600, 0644, -1}) {
        SCOPED_TRACE(targetMode);
        const QString folder = freshFolder("archive_private_temporary");
        const QString path = folder + "/p.vx";
        if (targetMode >= 0) {
            makeContainer(path, {{"desc.xml", "old"}});
            ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode_t(targetMode)), 0);
        }
        ProjectArchive archive;
        ASSERT_TRUE(archive.beginReplace(path));
        const QString temporary = archive.replacementPath();
        EXPECT_EQ(fileMode(temporary), 0600);
        ASSERT_TRUE(archive.writeFile("desc.xml", QByteArray(100000, 'x')));
        EXPECT_EQ(fileMode(temporary), 0600);
        ASSERT_TRUE(archive.commitReplace());
        EXPECT_EQ(fileMode(path), targetMode >= 0 ? targetMode : 0644);
        EXPECT_EQ(folderEntries(folder), QStringList({"p.vx"}));
    }
    ::umask(savedMask);
}

TEST(ProjectArchiveTest, StaleTemporaryFilesAreRemovedButOnesInUseAreKept) {
    const QString folder = freshFolder("archive_stale");
    const QString path = folder + "/show.vx";
    makeContainer(path, {{"desc.xml", "old"}});
    // Left by a save that died, one still held by a save in progress, and files that
    // only look alike.
    const QString stale = folder + "/.show.vx.Ab3dEf.tmp";
    const QString held = folder + "/.show.vx.Zz9yXx.tmp";
    const QString other = folder + "/.other.vx.Ab3dEf.tmp";
    const QString longer = folder + "/.show.vx.Ab3dEfG.tmp";
    for (const QString& f : {stale, held, other, longer}) ASSERT_TRUE(writeBytes(f, "junk"));
    const int fd = ::open(QFile::encodeName(held).constData(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);

    ProjectArchive archive;
    ASSERT_TRUE(archive.beginReplace(path));
    ASSERT_TRUE(archive.writeFile("desc.xml", "new"));
    ASSERT_TRUE(archive.commitReplace());
    ::close(fd);
    EXPECT_FALSE(QFileInfo::exists(stale));
    EXPECT_TRUE(QFileInfo::exists(held));
    EXPECT_TRUE(QFileInfo::exists(other));
    EXPECT_TRUE(QFileInfo::exists(longer));
    EXPECT_EQ(readStored(path, "desc.xml"), QByteArray("new"));
}

TEST(ProjectArchiveTest, SavingThroughASymbolicLinkReplacesTheFileItPointsTo) {
    const QString folder = freshFolder("archive_symlink");
    QDir().mkpath(folder + "/real");
    const QString real = folder + "/real/p.vx";
    const QString link = folder + "/link.vx";
    makeContainer(real, {{"desc.xml", "old"}});
    ASSERT_TRUE(QFile::link(real, link));
    ProjectArchive archive;
    ASSERT_TRUE(archive.beginReplace(link));
    ASSERT_TRUE(archive.writeFile("desc.xml", "new"));
    ASSERT_TRUE(archive.commitReplace());
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(readStored(real, "desc.xml"), QByteArray("new"));
    EXPECT_EQ(folderEntries(folder + "/real"), QStringList({"p.vx"}));
}

TEST(ProjectArchiveTest, ReplacingAReadOnlyFileOrAFolderIsRefused) {
    const QString folder = freshFolder("archive_read_only");
    const QString path = folder + "/p.vx";
    makeContainer(path, {{"desc.xml", "old"}});
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0444), 0);
    const QByteArray before = fileBytes(path);
    ProjectArchive archive;
    EXPECT_EQ(archive.beginReplace(path).reason(), "the file is read-only");
    EXPECT_EQ(fileBytes(path), before);
    EXPECT_EQ(fileMode(path), 0444);

    QDir().mkpath(folder + "/dir.vx");
    EXPECT_EQ(archive.beginReplace(folder + "/dir.vx").reason(), "it is a folder");
    EXPECT_FALSE(archive.beginReplace(folder + "/missing/p.vx"));
    EXPECT_EQ(folderEntries(folder), QStringList({"dir.vx", "p.vx"}));
}

TEST(ProjectArchiveTest, AnEmptyFileMayBeReplaced) {
    const QString folder = freshFolder("archive_empty_target");
    const QString path = folder + "/p.vx";
    ASSERT_TRUE(writeBytes(path, QByteArray()));
    ProjectArchive archive;
    ASSERT_TRUE(archive.beginReplace(path));
    ASSERT_TRUE(archive.writeFile("desc.xml", "new"));
    ASSERT_TRUE(archive.commitReplace());
    EXPECT_EQ(readStored(path, "desc.xml"), QByteArray("new"));
}

TEST(ProjectArchiveTest, AFailedSyncFailsTheCommitAndKeepsTheTarget) {
    const QString folder = freshFolder("archive_sync_fails");
    const QString path = folder + "/p.vx";
    makeContainer(path, {{"desc.xml", "old"}});
    const QByteArray before = fileBytes(path);
    auto plan = std::make_shared<FaultPlan>();
    ProjectArchive archive(faultyFactory(plan));
    ASSERT_TRUE(archive.beginReplace(path));
    ASSERT_TRUE(archive.writeFile("desc.xml", "new"));
    plan->failSync = true;
    const efs::Status committed = archive.commitReplace();
    EXPECT_FALSE(committed);
    EXPECT_TRUE(committed.reason().startsWith("writing the new file failed: "))
        << committed.reason().toStdString();
    EXPECT_FALSE(archive.replaced());
    EXPECT_EQ(fileBytes(path), before);
    EXPECT_EQ(folderEntries(folder), QStringList({"p.vx"}));
}

TEST(ProjectArchiveTest, AContainerLeftOpenIsReadWithoutBeingChanged) {
    const QString path = freshFolder("archive_left_open") + "/p.vx";
    makeContainer(path, {{"desc.xml", "d"}, {"ch0_e0.snd", QByteArray(30000, 's')}});
    // Mark it as not closed cleanly, as a process that died inside the volume leaves it.
    QByteArray bytes = fileBytes(path);
    efs::encodeFixed32(reinterpret_cast<uint8_t*>(bytes.data()) + efs::kHeaderOpenFlag, 1);
    ASSERT_TRUE(writeBytes(path, bytes));
    EXPECT_EQ(readStored(path, "ch0_e0.snd"), QByteArray(30000, 's'));
    EXPECT_EQ(readStored(path, "desc.xml"), QByteArray("d"));
    EXPECT_TRUE(fileBytes(path) == bytes);
}

TEST(ProjectArchiveTest, StaleTemporaryFilesOfANameWithWildcardCharactersAreRemoved) {
    const QString folder = freshFolder("archive_stale_wildcards");
    const QString path = folder + "/show [final] *.vx";
    makeContainer(path, {{"desc.xml", "old"}});
    const QString stale = folder + "/.show [final] *.vx.a1B2c3.tmp";
    ASSERT_TRUE(writeBytes(stale, "junk"));
    ProjectArchive archive;
    ASSERT_TRUE(archive.beginReplace(path));
    ASSERT_TRUE(archive.writeFile("desc.xml", "new"));
    ASSERT_TRUE(archive.commitReplace());
    EXPECT_EQ(folderEntries(folder), QStringList({"show [final] *.vx"}));
    EXPECT_EQ(readStored(path, "desc.xml"), QByteArray("new"));
}

TEST(ProjectArchiveTest, OpeningAnotherContainerAbandonsAReplacementInProgress) {
    const QString folder = freshFolder("archive_open_during_replace");
    const QString path = folder + "/p.vx", other = folder + "/o.vx";
    makeContainer(path, {{"desc.xml", "old"}});
    makeContainer(other, {{"desc.xml", "other"}});
    const QByteArray before = fileBytes(path);
    ProjectArchive archive;
    ASSERT_TRUE(archive.beginReplace(path));
    ASSERT_TRUE(archive.writeFile("desc.xml", "new"));
    ASSERT_TRUE(archive.openReadOnly(other));
    QByteArray out;
    EXPECT_TRUE(archive.readFile("desc.xml", out));
    EXPECT_EQ(out, QByteArray("other"));
    EXPECT_FALSE(archive.commitReplace());
    EXPECT_TRUE(archive.close());
    EXPECT_EQ(fileBytes(path), before);
    EXPECT_EQ(folderEntries(folder), QStringList({"o.vx", "p.vx"}));
}

// Each refusal of the archive says which stored file and why, and changes nothing on disk.
TEST(ProjectArchiveTest, EveryRefusalNamesTheStoredFileAndTheReason) {
    const QString folder = freshFolder("archive_refusals");
    ProjectArchive archive;
    auto expectReason = [&](const efs::Status& status, const QString& text) {
        EXPECT_FALSE(status);
        EXPECT_TRUE(status.reason().contains(text))
            << status.reason().toStdString() << " lacks " << text.toStdString();
    };
    QByteArray out = "kept";
    expectReason(archive.readFile("desc.xml", out), "desc.xml: no container is open");
    EXPECT_EQ(out, "kept");
    expectReason(archive.writeFile("desc.xml", "x"), "desc.xml: no container is open");
    int64_t size = 0;
    expectReason(archive.storedSize("desc.xml", &size), "desc.xml: no container is open");
    expectReason(archive.removeAllFiles(), "none is open");
    for (bool readOnly : {false, true}) {
        expectReason(readOnly ? archive.openReadOnly("") : archive.open(""),
                     "no file name was given");
        expectReason(readOnly ? archive.openReadOnly(folder) : archive.open(folder),
                     "it is a folder");
    }

    const QString notes = folder + "/notes.vx";
    const QByteArray text = QByteArray("not a container\n").repeated(1000);
    ASSERT_TRUE(writeBytes(notes, text));
    expectReason(archive.open(notes), "it does not start with a voxtrail container header");
    EXPECT_EQ(fileBytes(notes), text);
    const QString empty = folder + "/empty.vx";
    ASSERT_TRUE(writeBytes(empty, {}));
    expectReason(archive.openReadOnly(empty), "the file is empty");

    // A stored file whose record claims more bytes than the whole host file holds.
    const QString path = folder + "/claims.vx";
    makeContainer(path, {{"big.snd", QByteArray(20000, 's')}});
    efs::FitRecord record;
    {
        EfsVolume volume;
        ASSERT_TRUE(volume.openVolumeReadOnly(path));
        ASSERT_TRUE(EfsVolumeProbe(volume).loadStoredRecord("big.snd", &record));
    }
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    uint8_t raw[8];
    efs::encodeFixed64(raw, int64_t(1) << 40);
    file.seek(int64_t(record.addr()) * efs::kBlockSize + efs::kRecFileSize);
    file.write(reinterpret_cast<const char*>(raw), 8);
    file.close();
    const QString damaged =
        QString("big.snd cannot be read: the file record at block %1 fails its checks")
            .arg(record.addr());
    ASSERT_TRUE(archive.openReadOnly(path));
    expectReason(archive.readFile("big.snd", out), damaged);
    EXPECT_EQ(out, "kept");
    expectReason(archive.storedSize("big.snd", &size), damaged);
    // A read-only container takes nothing.
    expectReason(archive.writeFile("new.snd", "x"), "new.snd cannot be stored: ");
    expectReason(archive.removeAllFiles(), "big.snd cannot be deleted: ");
    EXPECT_TRUE(archive.close());
    EXPECT_EQ(storedNames(path), QStringList{"big.snd"});
}
