// vxtool's container commands, run as a program on real container files.
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include "VxtoolTestSupport.h"

using vxtest::freshPath;
using vxtest::readAll;
using vxtest::Result;
using vxtest::vxtool;

namespace {

QList<QByteArray> lines(const QByteArray& out) {
    QList<QByteArray> l = out.split('\n');
    if (!l.isEmpty() && l.back().isEmpty()) l.removeLast();
    return l;
}

// A container holding the given names with pattern bytes of the given sizes, made by put.
QString containerWith(const QString& name, const std::vector<std::pair<QByteArray, int>>& files) {
    const QString path = freshPath(name);
    uint32_t variant = 1;
    for (const auto& [stored, size] : files) {
        const Result r = vxtool({"put", path, stored}, vxtest::patternBytes(size, variant++));
        EXPECT_EQ(r.code, 0) << r;
    }
    return path;
}

}  // namespace

TEST(VxtoolHelp, DescribesEveryCommandAndTheStableFormats) {
    const Result help = vxtool({"--help"});
    ASSERT_EQ(help.code, 0) << help;
    for (const char* word : {"ls", "cat", "put", "rm", "mv", "info", "check", "dump", "compact",
                             "project show", "project export", "project import", "--json",
                             "SIZE<TAB>NAME", "\"fileCount\"", "\"soundBytes\"", "Exit status"})
        EXPECT_TRUE(help.out.contains(word)) << word;
    for (const char* command :
         {"ls", "cat", "put", "rm", "mv", "info", "check", "dump", "compact"}) {
        const Result r = vxtool({command, "--help"});
        EXPECT_EQ(r.code, 0) << command << r;
        EXPECT_TRUE(r.out.startsWith(QByteArray("Usage: vxtool ") + command)) << command;
    }
    for (const char* sub : {"show", "export", "import"}) {
        const Result r = vxtool({"project", sub, "--help"});
        EXPECT_EQ(r.code, 0) << sub << r;
        EXPECT_TRUE(r.out.startsWith(QByteArray("Usage: vxtool project ") + sub)) << sub;
    }
    const Result version = vxtool({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_TRUE(version.out.startsWith("vxtool ")) << version.out.toStdString();

    const Result unknown = vxtool({"frobnicate", "x.vx"});
    EXPECT_EQ(unknown.code, 2);
    EXPECT_TRUE(unknown.err.contains("unknown command frobnicate")) << unknown;
    const Result badOption = vxtool({"ls", "--wide", "x.vx"});
    EXPECT_EQ(badOption.code, 2);
    EXPECT_TRUE(badOption.err.contains("unknown option --wide")) << badOption;
    EXPECT_EQ(vxtool({"cat", "x.vx"}).code, 2) << "a missing argument is a usage error";
    EXPECT_FALSE(QFile::exists("x.vx"));
}

TEST(VxtoolPutCat, RoundTripsEverySizeAroundTheInlineLimit) {
    const QString path = freshPath("sizes.vx");
    const QString src = freshPath("source.bin");
    const std::vector<int> sizes = {0, 1, 8045, 8046, 8047, 8192, 8193, 1 << 20};
    uint32_t variant = 7;
    for (int size : sizes) {
        const QByteArray data = vxtest::patternBytes(size, variant++);
        const QByteArray viaFile = "file-" + QByteArray::number(size);
        const QByteArray viaStdin = "stdin-" + QByteArray::number(size);
        vxtest::writeAll(src, data);
        Result r = vxtool({"put", path, viaFile, src});
        ASSERT_EQ(r.code, 0) << size << r;
        r = vxtool({"put", path, viaStdin}, data);
        ASSERT_EQ(r.code, 0) << size << r;
        for (const QByteArray& name : {viaFile, viaStdin}) {
            const Result cat = vxtool({"cat", path, name});
            ASSERT_EQ(cat.code, 0) << name.toStdString() << cat;
            EXPECT_EQ(cat.out.size(), data.size()) << name.toStdString();
            EXPECT_TRUE(cat.out == data) << name.toStdString() << " differs";
        }
    }
    // ls gives every size, in file-table order, one line each.
    const Result ls = vxtool({"ls", path});
    ASSERT_EQ(ls.code, 0) << ls;
    const QList<QByteArray> listed = lines(ls.out);
    ASSERT_EQ(listed.size(), static_cast<qsizetype>(sizes.size() * 2));
    int seen = 0;
    for (const QByteArray& line : listed) {
        const QList<QByteArray> fields = line.split('\t');
        ASSERT_EQ(fields.size(), 2) << line.toStdString();
        const QByteArray suffix = fields[1].mid(fields[1].indexOf('-') + 1);
        EXPECT_EQ(fields[0], suffix) << "size column of " << line.toStdString();
        ++seen;
    }
    EXPECT_EQ(seen, 16);
    vxtest::expectCheckClean(path);
}

TEST(VxtoolPutCat, PutReplacesEarlierContentAndKeepsOneEntry) {
    const QString path = containerWith("replace.vx", {{"take", 1 << 20}});
    const QByteArray small("short again");
    ASSERT_EQ(vxtool({"put", path, "take"}, small).code, 0);
    EXPECT_EQ(vxtool({"cat", path, "take"}).out, small);
    const Result ls = vxtool({"ls", path});
    EXPECT_EQ(ls.out, QByteArray("11\ttake\n"));
    // Growing it again works the same way.
    const QByteArray big = vxtest::patternBytes(300000, 99);
    ASSERT_EQ(vxtool({"put", path, "take"}, big).code, 0);
    EXPECT_TRUE(vxtool({"cat", path, "take"}).out == big);
    EXPECT_EQ(lines(vxtool({"ls", path}).out).size(), 1);
    vxtest::expectCheckClean(path);
}

TEST(VxtoolPutCat, LongNamesAreCutWithAWarning) {
    const QString path = freshPath("long.vx");
    const QByteArray longName = "a-name-that-is-far-longer-than-the-field.wav";
    const Result r = vxtool({"put", path, longName}, "data");
    ASSERT_EQ(r.code, 0) << r;
    const QByteArray cut = longName.left(29);
    EXPECT_TRUE(r.err.contains("longer than 29 bytes")) << r;
    EXPECT_TRUE(r.err.contains(cut)) << r;
    EXPECT_EQ(vxtool({"ls", path}).out, "4\t" + cut + "\n");
    EXPECT_EQ(vxtool({"cat", path, cut}).out, QByteArray("data"));
    // A name of exactly 29 bytes is stored whole, without a warning.
    const Result exact = vxtool({"put", path, cut.left(28) + "Z"}, "x");
    EXPECT_EQ(exact.code, 0);
    EXPECT_TRUE(exact.err.isEmpty()) << exact;
    vxtest::expectCheckClean(path);
}

TEST(VxtoolPutCat, RefusesBadSourcesAndNonContainersWithoutWriting) {
    const QString path = freshPath("never.vx");
    Result r = vxtool({"put", path, "x", freshPath("no-such-source.wav")});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.contains("no-such-source.wav")) << r;
    EXPECT_FALSE(QFile::exists(path)) << "a failed put creates no container";

    const QString text = freshPath("notes.txt");
    const QByteArray notes = vxtest::patternBytes(20000, 3);
    vxtest::writeAll(text, notes);
    r = vxtool({"put", text, "x"}, "bytes");
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.startsWith("vxtool: " + text.toLocal8Bit() + ": ")) << r;
    EXPECT_TRUE(readAll(text) == notes) << "a non-container is never written to";

    r = vxtool({"put", vxtest::tempDir(), "x"}, "bytes");
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.contains("folder")) << r;

    r = vxtool({"put", path, ""}, "bytes");
    EXPECT_EQ(r.code, 1) << "an empty name is refused";
    EXPECT_FALSE(QFile::exists(path));

    // cat of a missing name is refused, the container stays as it was.
    const QString good = containerWith("cat_missing.vx", {{"here", 10}});
    const QByteArray before = readAll(good);
    r = vxtool({"cat", good, "absent"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("no stored file absent")) << r;
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_EQ(readAll(good), before);
}

TEST(VxtoolLs, LongFormShowsTheRecordLayout) {
    const QString path = containerWith("ls_long.vx", {{"inline", 100}, {"blocks", 50000}});
    const Result r = vxtool({"ls", "-l", path});
    ASSERT_EQ(r.code, 0) << r;
    const QList<QByteArray> listed = lines(r.out);
    ASSERT_EQ(listed.size(), 2);
    const QRegularExpression time("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$");
    for (const QByteArray& line : listed) {
        const QList<QByteArray> f = line.split('\t');
        ASSERT_EQ(f.size(), 9) << line.toStdString();
        const efs::FitRecord record = vxtest::storedRecord(path, f[8].constData());
        EXPECT_EQ(f[0].toLongLong(), record.fileSize());
        EXPECT_EQ(f[1].toInt(), record.addr());
        EXPECT_EQ(f[2].toInt(), record.fitSize());
        EXPECT_EQ(f[3].toInt(), record.fragmentsCount());
        EXPECT_EQ(f[4].toInt(), record.allBlocks());
        for (int i = 5; i < 8; ++i)
            EXPECT_TRUE(time.match(QString::fromLatin1(f[i])).hasMatch()) << f[i].toStdString();
        if (f[8] == "inline") {
            EXPECT_EQ(f[3], "0") << "100 bytes stay inside the record";
        } else {
            EXPECT_GE(f[3].toInt(), 1);
            EXPECT_GE(f[4].toLongLong() * efs::kBlockSize, 50000);
        }
    }
}

TEST(VxtoolRmMv, RemoveAndRenameWithTheirRefusals) {
    const QString path = containerWith("rmmv.vx", {{"one", 10}, {"two", 20000}, {"three", 30}});
    const QByteArray twoBytes = vxtool({"cat", path, "two"}).out;

    Result r = vxtool({"rm", path, "nothing"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("vxtool: " + path.toLocal8Bit() + ": no stored file nothing")) << r;

    // Present names go, missing ones are reported, the status says something was missing.
    r = vxtool({"rm", path, "one", "ghost"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("ghost")) << r;
    EXPECT_EQ(vxtool({"cat", path, "one"}).code, 1) << "one was removed";

    r = vxtool({"mv", path, "ghost", "other"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("no stored file ghost")) << r;

    r = vxtool({"mv", path, "two", "three"});
    EXPECT_EQ(r.code, 1) << "renaming onto a taken name is refused";
    EXPECT_TRUE(r.err.contains("three already exists")) << r;
    EXPECT_EQ(vxtool({"cat", path, "three"}).out.size(), 30);
    EXPECT_TRUE(vxtool({"cat", path, "two"}).out == twoBytes);
    EXPECT_EQ(vxtool({"ls", path}).out.count('\n'), 2);

    r = vxtool({"mv", path, "two", "renamed"});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_EQ(vxtool({"cat", path, "two"}).code, 1);
    EXPECT_TRUE(vxtool({"cat", path, "renamed"}).out == twoBytes);

    r = vxtool({"rm", path, "renamed", "three"});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_TRUE(vxtool({"ls", path}).out.isEmpty());
    vxtest::expectCheckClean(path);
}

TEST(VxtoolRmMv, ChangingCommandsNeverCreateOrTouchOtherFiles) {
    const QString missing = freshPath("missing.vx");
    for (const QStringList& args :
         {QStringList{"rm", missing, "a"}, QStringList{"mv", missing, "a", "b"},
          QStringList{"compact", missing}}) {
        const Result r = vxtool(args);
        EXPECT_EQ(r.code, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains("no such file")) << r;
        EXPECT_FALSE(QFile::exists(missing)) << args.join(' ').toStdString();
    }
    const QString text = freshPath("plain.txt");
    const QByteArray content = vxtest::patternBytes(9000, 5);
    vxtest::writeAll(text, content);
    for (const QStringList& args : {QStringList{"rm", text, "a"}, QStringList{"mv", text, "a", "b"},
                                    QStringList{"compact", text}}) {
        const Result r = vxtool(args);
        EXPECT_EQ(r.code, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(readAll(text) == content) << args.join(' ').toStdString();
    }
    const QString empty = freshPath("empty.vx");
    vxtest::writeAll(empty, {});
    EXPECT_EQ(vxtool({"rm", empty, "a"}).code, 2);
    EXPECT_EQ(QFileInfo(empty).size(), 0) << "an empty file is not turned into a container";
}

TEST(VxtoolInfo, TextAndJsonDescribeTheContainer) {
    const QString path = containerWith("info.vx", {{"a", 100}, {"b", 70000}, {"c", 0}});
    const Result text = vxtool({"info", path});
    ASSERT_EQ(text.code, 0) << text;
    EXPECT_TRUE(text.out.contains("format version: 6\n")) << text.out.toStdString();
    EXPECT_TRUE(text.out.contains("open flag: 0 (closed cleanly)\n"));
    EXPECT_TRUE(text.out.contains("block size: 8192\n"));
    EXPECT_TRUE(text.out.contains("files: 3\n"));
    EXPECT_TRUE(text.out.contains("host size: " + QByteArray::number(QFileInfo(path).size())));

    const Result json = vxtool({"info", "--json", path});
    ASSERT_EQ(json.code, 0) << json;
    QJsonParseError error;
    const QJsonObject o = QJsonDocument::fromJson(json.out, &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json.out.toStdString();
    EXPECT_EQ(o["formatVersion"].toInt(), efs::kFormatVersion);
    EXPECT_EQ(o["openFlag"].toInt(-1), 0);
    EXPECT_EQ(o["fileCount"].toInt(), 3);
    EXPECT_EQ(o["hostSize"].toInteger(), QFileInfo(path).size());
    const qint64 freeBytes = o["freeBytes"].toInteger(-1);
    EXPECT_GE(freeBytes, 0);
    EXPECT_LT(freeBytes, QFileInfo(path).size() - 70000) << "the stored bytes are not free";
    EXPECT_NEAR(o["freePercent"].toDouble(), 100.0 * freeBytes / QFileInfo(path).size(), 0.01);
    const QJsonObject p = o["parameters"].toObject();
    EXPECT_EQ(p["blockSize"].toInteger(), efs::kBlockSize);
    EXPECT_EQ(p["growthStep"].toInteger(), efs::kDefaultGrowthStep);
    EXPECT_EQ(p["allocMode"].toInt(-1), 1);
}

TEST(VxtoolInfo, ANonContainerIsRefusedAndLeftUnchanged) {
    const QString junk = freshPath("junk.bin");
    const QByteArray bytes = vxtest::patternBytes(3 * efs::kBlockSize + 17, 11);
    vxtest::writeAll(junk, bytes);
    for (const QStringList& args :
         {QStringList{"info", junk}, QStringList{"info", "--json", junk}, QStringList{"ls", junk},
          QStringList{"check", junk}, QStringList{"cat", junk, "x"}, QStringList{"dump", junk}}) {
        const Result r = vxtool(args);
        EXPECT_EQ(r.code, 2) << args.join(' ').toStdString() << r;
        EXPECT_TRUE(r.err.startsWith("vxtool: " + junk.toLocal8Bit() + ": cannot be opened: "))
            << r;
        EXPECT_TRUE(r.out.isEmpty()) << args.join(' ').toStdString();
        EXPECT_TRUE(readAll(junk) == bytes) << args.join(' ').toStdString();
    }
    // A file that starts like a container but is cut short.
    const QString cut = containerWith("cut.vx", {{"a", 5000}});
    const QByteArray head = readAll(cut).left(100);
    vxtest::writeAll(cut, head);
    EXPECT_EQ(vxtool({"info", cut}).code, 2);
    EXPECT_EQ(readAll(cut), head);

    const Result missing = vxtool({"info", freshPath("absent.vx")});
    EXPECT_EQ(missing.code, 2);
    EXPECT_TRUE(missing.err.contains("no such file")) << missing;
    EXPECT_FALSE(QFile::exists(freshPath("absent.vx")));
}

TEST(VxtoolReadOnly, ReadingCommandsLeaveTheFileByteIdentical) {
    const QString path =
        containerWith("readonly.vx", {{"a", 10}, {"b", 9000}, {"c", 300000}, {"d", 0}});
    const QString out = freshPath("readonly-report.txt");
    for (bool flagSet : {false, true}) {
        if (flagSet) vxtest::putFixed32(path, efs::kHeaderOpenFlag, 1);
        const QByteArray before = readAll(path);
        const QList<QStringList> commands = {
            {"ls", path},       {"ls", "-l", path}, {"cat", path, "c"},
            {"cat", path, "d"}, {"info", path},     {"info", "--json", path},
            {"check", path},    {"dump", path},     {"dump", path, out}};
        for (const QStringList& args : commands) {
            const Result r = vxtool(args);
            EXPECT_EQ(r.code, 0) << args.join(' ').toStdString() << r;
            EXPECT_TRUE(readAll(path) == before)
                << args.join(' ').toStdString() << " changed the container (open flag " << flagSet
                << ")";
        }
        const QJsonObject o =
            QJsonDocument::fromJson(vxtool({"info", "--json", path}).out).object();
        EXPECT_EQ(o["openFlag"].toInt(-1), flagSet ? 1 : 0) << "the flag is reported as found";
        EXPECT_EQ(vxtest::fixed32At(readAll(path), efs::kHeaderOpenFlag), flagSet ? 1 : 0);
    }
}

TEST(VxtoolDump, WritesTheReportToStandardOutputOrAFile) {
    const QString path = containerWith("dump.vx", {{"alpha", 100}, {"beta", 40000}});
    const Result r = vxtool({"dump", path});
    ASSERT_EQ(r.code, 0) << r;
    EXPECT_TRUE(r.out.contains("Filename: alpha")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("Filename: beta"));
    const QString out = freshPath("dump.txt");
    ASSERT_EQ(vxtool({"dump", path, out}).code, 0);
    EXPECT_EQ(readAll(out), r.out);

    const QByteArray before = readAll(path);
    const Result self = vxtool({"dump", path, path});
    EXPECT_EQ(self.code, 1) << "the report never overwrites the container";
    EXPECT_TRUE(self.err.contains("is the container itself")) << self;
    EXPECT_EQ(readAll(path), before);
}

TEST(VxtoolCompact, ShrinksAndKeepsEveryFile) {
    std::vector<std::pair<QByteArray, int>> files;
    for (int i = 0; i < 12; ++i) files.push_back({"f" + QByteArray::number(i), 200000 + i * 999});
    const QString path = containerWith("compact.vx", files);
    std::map<QByteArray, QByteArray> kept;
    for (int i = 0; i < 12; ++i) {
        const QByteArray name = "f" + QByteArray::number(i);
        if (i % 3 == 0)
            ASSERT_EQ(vxtool({"rm", path, name}).code, 0);
        else
            kept[name] = vxtool({"cat", path, name}).out;
    }
    const qint64 before = QFileInfo(path).size();
    const Result r = vxtool({"compact", path});
    ASSERT_EQ(r.code, 0) << r;
    EXPECT_LE(QFileInfo(path).size(), before);
    for (const auto& [name, bytes] : kept) {
        const Result cat = vxtool({"cat", path, name});
        EXPECT_EQ(cat.code, 0);
        EXPECT_TRUE(cat.out == bytes) << name.toStdString();
    }
    EXPECT_EQ(lines(vxtool({"ls", path}).out).size(), static_cast<qsizetype>(kept.size()));
    vxtest::expectCheckClean(path);
}

// ---- check on damaged containers ---------------------------------------------------------

namespace {

// Two fragmented files and an inline one, written by vxtool and closed cleanly.
QString damageBase(const QString& name) {
    const QString path = containerWith(name, {{"a", 30000}, {"b", 30000}, {"c", 100}});
    vxtest::expectCheckClean(path);
    return path;
}

void expectDamageFound(const QString& path, const char* what) {
    const QByteArray before = readAll(path);
    const Result r = vxtool({"check", path});
    EXPECT_EQ(r.code, 1) << what << ": " << r.out.toStdString() << r;
    EXPECT_TRUE(r.out.contains("problem(s) found")) << what << r.out.toStdString();
    EXPECT_GE(lines(r.out).size(), 2) << what << ": each problem on a line of its own";
    EXPECT_EQ(readAll(path), before) << what << ": check changed the file";
}

}  // namespace

TEST(VxtoolCheck, FindsADamagedNode) {
    const QString path = damageBase("damaged_node.vx");
    // The file table's root: its entry count (offset 8148 of the node) now says two.
    const int32_t root = vxtest::fixed32At(readAll(path), efs::kHeaderFileRoot);
    ASSERT_GT(root, 0);
    vxtest::putFixed32(path, int64_t(root) * efs::kBlockSize + 8148, 2);
    expectDamageFound(path, "file-table node");
}

TEST(VxtoolCheck, FindsADamagedRecord) {
    const QString path = damageBase("damaged_record.vx");
    const efs::FitRecord a = vxtest::storedRecord(path, "a");
    ASSERT_GT(a.fragmentsCount(), 0);
    vxtest::putFixed32(path, int64_t(a.addr()) * efs::kBlockSize + efs::kRecAllBlocks, 99);
    expectDamageFound(path, "record allBlocks");
}

TEST(VxtoolCheck, FindsTwoFilesClaimingOneBlock) {
    const QString path = damageBase("claimed_twice.vx");
    const efs::FitRecord a = vxtest::storedRecord(path, "a");
    const efs::FitRecord b = vxtest::storedRecord(path, "b");
    ASSERT_GT(a.fragmentsCount(), 0);
    ASSERT_GT(b.fragmentsCount(), 0);
    // b's first fragment now starts at a's first data block.
    vxtest::putFixed32(path, int64_t(b.addr()) * efs::kBlockSize + efs::kRecData,
                       a.fragment(0).addr);
    expectDamageFound(path, "shared block");
    const Result r = vxtool({"check", path});
    EXPECT_TRUE(r.out.contains("claimed twice")) << r.out.toStdString();
}

TEST(VxtoolFresh, EveryCommandOnAFreshContainer) {
    const QString path = freshPath("fresh.vx");
    {
        EfsVolume volume;
        ASSERT_TRUE(volume.openVolume(path));
        volume.closeVolume();
        ASSERT_EQ(volume.lastError(), EfsVolume::ErrorNone);
    }
    const QByteArray fresh = readAll(path);
    Result r = vxtool({"ls", path});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_EQ(vxtool({"ls", "-l", path}).out, QByteArray());
    r = vxtool({"info", path});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_TRUE(r.out.contains("files: 0\n")) << r.out.toStdString();
    EXPECT_EQ(QJsonDocument::fromJson(vxtool({"info", "--json", path}).out)
                  .object()["fileCount"]
                  .toInt(-1),
              0);
    vxtest::expectCheckClean(path);
    r = vxtool({"dump", path});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_TRUE(r.out.startsWith("FIT blocks count: 0")) << r.out.toStdString();
    EXPECT_EQ(vxtool({"cat", path, "x"}).code, 1);
    r = vxtool({"project", "show", path});
    EXPECT_EQ(r.code, 2) << "a container without a description is no project";
    EXPECT_TRUE(r.err.contains("desc.xml")) << r;
    EXPECT_EQ(vxtool({"project", "export", path, freshPath("fresh-export")}).code, 2);
    EXPECT_FALSE(QFileInfo::exists(freshPath("fresh-export")));
    EXPECT_EQ(readAll(path), fresh) << "the reading commands left the fresh container alone";

    EXPECT_EQ(vxtool({"rm", path, "x"}).code, 1);
    EXPECT_EQ(vxtool({"mv", path, "x", "y"}).code, 1);
    r = vxtool({"compact", path});
    EXPECT_EQ(r.code, 0) << r;
    vxtest::expectCheckClean(path);
    ASSERT_EQ(vxtool({"put", path, "first"}, "hello").code, 0);
    EXPECT_EQ(vxtool({"ls", path}).out, QByteArray("5\tfirst\n"));
    vxtest::expectCheckClean(path);
}
