// vxtool's project commands, and the container commands on a project saved by the
// program's own save.
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "VxtoolTestSupport.h"
#include "project/Project.h"
#include "project/ProjectDescription.h"
#include "tests/NonRegularFiles.h"

using vxtest::freshPath;
using vxtest::readAll;
using vxtest::Result;
using vxtest::vxtool;

namespace {

// Bytes that begin like a WAV file; the tool treats sounds as opaque bytes.
QByteArray wavBytes(int dataBytes, uint32_t variant) {
    QByteArray b("RIFF");
    b += QByteArray(4, '\0');
    b += "WAVEfmt ";
    b += vxtest::patternBytes(dataBytes, variant);
    return b;
}

struct EntrySpec {
    QString name, desc, note;
    QByteArray sound;
};
struct ChapterSpec {
    QString name;
    std::vector<EntrySpec> entries;
};

// Saves chapters with the program's own save.
void saveProject(const QString& path, const std::vector<ChapterSpec>& chapters) {
    Project& project = Project::instance();
    project.clear();
    for (const ChapterSpec& cs : chapters) {
        Chapter* c = project.addChapter();
        c->name = cs.name;
        for (const EntrySpec& es : cs.entries) {
            Entry* e = c->addEntry();
            e->name = es.name;
            e->desc = es.desc;
            e->note = es.note;
            e->sound = es.sound;
        }
    }
    ASSERT_TRUE(project.save(path)) << project.lastError().toStdString();
    project.clear();
}

// A project with the awkward cases: names that file names cannot carry, non-ASCII text,
// line breaks, an empty chapter, entries without sounds, two entries of the same name.
std::vector<ChapterSpec> showProject() {
    return {
        {"Intro",
         {{"Opening line", "The narrator steps forward", "wait for the lights", wavBytes(30000, 1)},
          {"Opening line", "same name again", "", wavBytes(100, 2)},
          {"Silence", "no sound here", "cue: \"blackout\"", {}}}},
        {"Act 1: Storm / Rain?",
         {{"Thunder <loud>", "Rollen des Donners — ü ß 雷", "line one\nline two\\end",
           wavBytes(200000, 3)},
          {"", "an entry without a name", "", wavBytes(8046, 4)}}},
        {"", {}},
        {".hidden", {{"..", "dots", "", wavBytes(1, 5)}}},
    };
}

QJsonObject showJson(const QString& path) {
    const Result r = vxtool({"project", "show", "--json", path});
    EXPECT_EQ(r.code, 0) << r;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(r.out, &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << r.out.toStdString();
    return doc.object();
}

QStringList filesUnder(const QString& dir) {
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) files << QDir(dir).relativeFilePath(it.next());
    files.sort();
    return files;
}

}  // namespace

TEST(VxtoolProject, ShowDescribesAProjectSavedByTheProgram) {
    const QString path = freshPath("show.vx");
    const auto layout = showProject();
    saveProject(path, layout);
    const QByteArray before = readAll(path);

    const QJsonObject o = showJson(path);
    const QJsonArray chapters = o["chapters"].toArray();
    ASSERT_EQ(chapters.size(), static_cast<qsizetype>(layout.size()));
    for (size_t c = 0; c < layout.size(); ++c) {
        const QJsonObject co = chapters[c].toObject();
        EXPECT_EQ(co["name"].toString(), layout[c].name);
        const QJsonArray entries = co["entries"].toArray();
        ASSERT_EQ(entries.size(), static_cast<qsizetype>(layout[c].entries.size()));
        for (size_t e = 0; e < layout[c].entries.size(); ++e) {
            const QJsonObject eo = entries[e].toObject();
            const EntrySpec& es = layout[c].entries[e];
            EXPECT_EQ(eo["name"].toString(), es.name);
            EXPECT_EQ(eo["desc"].toString(), es.desc);
            EXPECT_EQ(eo["note"].toString(), es.note);
            EXPECT_EQ(eo["soundBytes"].toInteger(-1), es.sound.size());
        }
    }
    const Result text = vxtool({"project", "show", path});
    ASSERT_EQ(text.code, 0) << text;
    EXPECT_TRUE(text.out.contains("chapter 2: Act 1: Storm / Rain?\n")) << text.out.toStdString();
    EXPECT_TRUE(text.out.contains("    note: line one\\nline two\\\\end\n"));
    EXPECT_TRUE(text.out.contains("    sound: 200016 bytes\n"));
    EXPECT_TRUE(text.out.contains("    sound: none\n"));
    EXPECT_EQ(readAll(path), before) << "project show never changes the file";
}

TEST(VxtoolProject, ContainerCommandsWorkOnASavedProject) {
    const QString path = freshPath("saved.vx");
    saveProject(path, showProject());
    vxtest::expectCheckClean(path);
    const Result ls = vxtool({"ls", path});
    ASSERT_EQ(ls.code, 0) << ls;
    EXPECT_TRUE(ls.out.contains("\tdesc.xml\n")) << ls.out.toStdString();
    EXPECT_TRUE(ls.out.contains("200016\tch1_e0.snd\n")) << ls.out.toStdString();
    EXPECT_FALSE(ls.out.contains("ch0_e2.snd")) << "an entry without a sound has no file";

    // The description as stored is what the project code writes for this content.
    const Result desc = vxtool({"cat", path, "desc.xml"});
    ASSERT_EQ(desc.code, 0);
    ASSERT_TRUE(Project::instance().load(path));
    EXPECT_EQ(desc.out, ProjectDescription::write(Project::instance().chapters()));
    EXPECT_EQ(vxtool({"cat", path, "ch1_e0.snd"}).out, wavBytes(200000, 3));
    Project::instance().clear();

    const QJsonObject info = QJsonDocument::fromJson(vxtool({"info", "--json", path}).out).object();
    EXPECT_EQ(info["fileCount"].toInt(), 6);
    EXPECT_EQ(vxtool({"dump", path}).code, 0);

    // A sound replaced with put is what the program then loads.
    const QByteArray replacement = wavBytes(5000, 77);
    ASSERT_EQ(vxtool({"put", path, "ch0_e0.snd"}, replacement).code, 0);
    ASSERT_TRUE(Project::instance().load(path)) << Project::instance().lastError().toStdString();
    EXPECT_EQ(Project::instance().chapter(0)->entry(0)->sound, replacement);
    Project::instance().clear();
    ASSERT_EQ(vxtool({"mv", path, "ch0_e1.snd", "spare"}).code, 0);
    EXPECT_EQ(showJson(path)["chapters"]
                  .toArray()[0]
                  .toObject()["entries"]
                  .toArray()[1]
                  .toObject()["soundBytes"]
                  .toInteger(-1),
              0);
    ASSERT_EQ(vxtool({"rm", path, "spare"}).code, 0);
    ASSERT_EQ(vxtool({"compact", path}).code, 0);
    vxtest::expectCheckClean(path);
    EXPECT_EQ(showJson(path)["chapters"].toArray().size(), 4);
}

TEST(VxtoolProject, ExportThenImportGivesTheSameProject) {
    const QString path = freshPath("roundtrip.vx");
    saveProject(path, showProject());
    const QByteArray before = readAll(path);
    const QString dir = freshPath("export");

    const Result ex = vxtool({"project", "export", path, dir});
    ASSERT_EQ(ex.code, 0) << ex;
    EXPECT_EQ(readAll(path), before) << "export never changes the container";
    const QStringList files = filesUnder(dir);
    EXPECT_EQ(files,
              (QStringList{"01-Intro/01-Opening line.wav", "01-Intro/02-Opening line.wav",
                           "02-Act 1_ Storm _ Rain_/01-Thunder _loud_.wav",
                           "02-Act 1_ Storm _ Rain_/02.wav", "04-_hidden/01.wav", "project.json"}))
        << files.join(", ").toStdString();
    EXPECT_TRUE(QFileInfo(dir + "/03").isDir()) << "an empty chapter still gets its folder";
    EXPECT_EQ(readAll(dir + "/02-Act 1_ Storm _ Rain_/01-Thunder _loud_.wav"), wavBytes(200000, 3));

    const QString imported = freshPath("imported.vx");
    const Result im = vxtool({"project", "import", dir, imported});
    ASSERT_EQ(im.code, 0) << im;
    EXPECT_EQ(vxtool({"project", "show", "--json", imported}).out,
              vxtool({"project", "show", "--json", path}).out);
    vxtest::expectCheckClean(imported);
    // The sounds themselves came back, not only their sizes.
    EXPECT_EQ(vxtool({"cat", imported, "ch3_e0.snd"}).out, wavBytes(1, 5));
    EXPECT_EQ(vxtool({"cat", imported, "ch1_e1.snd"}).out, wavBytes(8046, 4));

    // A second export into the same, now full, folder is refused and changes nothing.
    const Result again = vxtool({"project", "export", path, dir});
    EXPECT_EQ(again.code, 1);
    EXPECT_TRUE(again.err.contains("is not empty")) << again;
    EXPECT_EQ(filesUnder(dir).size(), files.size());

    // Import never replaces an existing file unless told to.
    const QByteArray importedBytes = readAll(imported);
    const Result refused = vxtool({"project", "import", dir, imported});
    EXPECT_EQ(refused.code, 1);
    EXPECT_TRUE(refused.err.contains("already exists")) << refused;
    EXPECT_EQ(readAll(imported), importedBytes);
    EXPECT_EQ(vxtool({"project", "import", "--force", dir, imported}).code, 0);
    EXPECT_EQ(vxtool({"project", "show", "--json", imported}).out,
              vxtool({"project", "show", "--json", path}).out);
}

TEST(VxtoolProject, ImportBuildsChaptersFromFoldersInNaturalOrder) {
    const QString dir = freshPath("recordings");
    ASSERT_TRUE(QDir().mkpath(dir + "/10 Finale"));
    ASSERT_TRUE(QDir().mkpath(dir + "/2 Middle"));
    ASSERT_TRUE(QDir().mkpath(dir + "/1 Start"));
    vxtest::writeAll(dir + "/1 Start/take 10.wav", wavBytes(10, 1));
    vxtest::writeAll(dir + "/1 Start/take 2.wav", wavBytes(20, 2));
    vxtest::writeAll(dir + "/1 Start/take 1.WAV", wavBytes(30, 3));
    vxtest::writeAll(dir + "/1 Start/notes.txt", "not a sound");
    vxtest::writeAll(dir + "/2 Middle/only.wav", wavBytes(40, 4));
    vxtest::writeAll(dir + "/10 Finale/end.part.wav", wavBytes(50, 5));

    const QString path = freshPath("folders.vx");
    const Result r = vxtool({"project", "import", dir, path});
    ASSERT_EQ(r.code, 0) << r;
    const QJsonArray chapters = showJson(path)["chapters"].toArray();
    ASSERT_EQ(chapters.size(), 3);
    EXPECT_EQ(chapters[0].toObject()["name"].toString(), "1 Start");
    EXPECT_EQ(chapters[1].toObject()["name"].toString(), "2 Middle");
    EXPECT_EQ(chapters[2].toObject()["name"].toString(), "10 Finale");
    const QJsonArray first = chapters[0].toObject()["entries"].toArray();
    ASSERT_EQ(first.size(), 3);
    EXPECT_EQ(first[0].toObject()["name"].toString(), "take 1");
    EXPECT_EQ(first[1].toObject()["name"].toString(), "take 2");
    EXPECT_EQ(first[2].toObject()["name"].toString(), "take 10");
    EXPECT_EQ(first[2].toObject()["soundBytes"].toInteger(), wavBytes(10, 1).size());
    EXPECT_EQ(chapters[2].toObject()["entries"].toArray()[0].toObject()["name"].toString(),
              "end.part");
    vxtest::expectCheckClean(path);

    // A flat folder is one chapter named after it.
    const QString flat = freshPath("Scene Nine");
    ASSERT_TRUE(QDir().mkpath(flat));
    vxtest::writeAll(flat + "/b.wav", wavBytes(5, 6));
    vxtest::writeAll(flat + "/a.wav", wavBytes(6, 7));
    const QString flatPath = freshPath("flat.vx");
    ASSERT_EQ(vxtool({"project", "import", flat, flatPath}).code, 0);
    const QJsonArray one = showJson(flatPath)["chapters"].toArray();
    ASSERT_EQ(one.size(), 1);
    EXPECT_EQ(one[0].toObject()["name"].toString(), "Scene Nine");
    EXPECT_EQ(one[0].toObject()["entries"].toArray()[0].toObject()["name"].toString(), "a");
    EXPECT_EQ(vxtool({"cat", flatPath, "ch0_e1.snd"}).out, wavBytes(5, 6));
}

// Folders and files import in the order a person reads them: letters without regard to
// case, numbers by value whatever their zero padding and however many digits; names that
// differ only in case keep a fixed order (capitals first), so an import is repeatable.
TEST(VxtoolProject, ImportOrderIgnoresCaseAndZeroPaddingAndReadsNumbersWhole) {
    const QString dir = freshPath("show order");
    const QStringList folders = {"act 9", "Act 10", "ACT 1", "act 2"};
    for (const QString& f : folders) ASSERT_TRUE(QDir().mkpath(dir + "/" + f));
    const QStringList takes = {"take 11", "Take 10", "take 1", "take 002", "TAKE 1", "take 9"};
    for (int i = 0; i < takes.size(); ++i)
        vxtest::writeAll(dir + "/act 2/" + takes[i] + ".wav", wavBytes(10 + i, i));
    for (const char* f : {"act 9", "Act 10", "ACT 1"})
        vxtest::writeAll(dir + "/" + f + "/x.wav", wavBytes(100, 9));

    const QString path = freshPath("order.vx");
    ASSERT_EQ(vxtool({"project", "import", dir, path}).code, 0);
    const QJsonArray chapters = showJson(path)["chapters"].toArray();
    QStringList chapterNames;
    for (const QJsonValue& c : chapters) chapterNames << c.toObject()["name"].toString();
    EXPECT_EQ(chapterNames, (QStringList{"ACT 1", "act 2", "act 9", "Act 10"}));
    ASSERT_EQ(chapters.size(), 4);
    QStringList entryNames;
    for (const QJsonValue& e : chapters[1].toObject()["entries"].toArray()) {
        const QString name = e.toObject()["name"].toString();
        entryNames << name;
        EXPECT_EQ(e.toObject()["soundBytes"].toInteger(),
                  wavBytes(10 + takes.indexOf(name), 0).size())
            << name.toStdString() << " keeps its own sound";
    }
    EXPECT_EQ(entryNames,
              (QStringList{"TAKE 1", "take 1", "take 002", "take 9", "Take 10", "take 11"}));
}

TEST(VxtoolProject, RefusalsNameTheProblemAndCreateNothing) {
    // A container that is not a project.
    const QString plain = freshPath("plain.vx");
    ASSERT_EQ(vxtool({"put", plain, "something"}, "x").code, 0);
    const QByteArray plainBytes = readAll(plain);
    Result r = vxtool({"project", "show", plain});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.contains("desc.xml")) << r;
    const QString dir = freshPath("never-exported");
    r = vxtool({"project", "export", plain, dir});
    EXPECT_EQ(r.code, 2);
    EXPECT_FALSE(QFileInfo::exists(dir)) << "a failed export leaves no folder";
    EXPECT_EQ(readAll(plain), plainBytes);

    // project.json that points outside its folder.
    const QString evil = freshPath("evil");
    ASSERT_TRUE(QDir().mkpath(evil + "/01"));
    vxtest::writeAll(
        evil + "/project.json",
        R"({"format":1,"chapters":[{"name":"c","folder":"01","entries":[{"name":"e","file":"../../plain.vx"}]}]})");
    const QString out = freshPath("evil.vx");
    r = vxtool({"project", "import", evil, out});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.contains("not inside the folder")) << r;
    EXPECT_FALSE(QFileInfo::exists(out));

    // Broken JSON, and a sound file that is missing.
    vxtest::writeAll(evil + "/project.json", "{\"chapters\": [");
    r = vxtool({"project", "import", evil, out});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.contains("project.json")) << r;
    vxtest::writeAll(
        evil + "/project.json",
        R"({"chapters":[{"name":"c","folder":"01","entries":[{"name":"e","file":"gone.wav"}]}]})");
    r = vxtool({"project", "import", evil, out});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.contains("gone.wav")) << r;
    EXPECT_FALSE(QFileInfo::exists(out));

    // Import onto a file that is not a container: refused even with --force.
    const QString text = freshPath("keep.txt");
    vxtest::writeAll(text, "precious notes");
    const QString flat = freshPath("flat-src");
    ASSERT_TRUE(QDir().mkpath(flat));
    vxtest::writeAll(flat + "/a.wav", wavBytes(5, 1));
    r = vxtool({"project", "import", "--force", flat, text});
    EXPECT_EQ(r.code, 2) << r;
    EXPECT_EQ(readAll(text), QByteArray("precious notes"));

    r = vxtool({"project", "import", freshPath("no-such-dir"), out});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.contains("no such folder")) << r;
}

// A sound that cannot be read (its record points beyond the file): show lists the project
// with that entry marked, names it on standard error and exits 1; the file stays as it was.
TEST(VxtoolProject, ShowMarksAnEntryWhoseSoundCannotBeReadAndExitsNonZero) {
    const QString path = freshPath("damaged_sound.vx");
    const auto layout = showProject();
    saveProject(path, layout);
    const efs::FitRecord thunder = vxtest::storedRecord(path, "ch1_e0.snd");
    ASSERT_GT(thunder.fragmentsCount(), 0);
    vxtest::putFixed32(path, int64_t(thunder.addr()) * efs::kBlockSize + efs::kRecData, 0x7FFFFF00);
    const QByteArray before = readAll(path);

    const Result text = vxtool({"project", "show", path});
    EXPECT_EQ(text.code, 1) << text;
    EXPECT_EQ(text.out.count("    sound: UNREADABLE\n"), 1) << text.out.toStdString();
    EXPECT_TRUE(text.out.contains("  entry 1: Thunder <loud>\n")) << text.out.toStdString();
    EXPECT_TRUE(text.err.contains("chapter 2, entry 1")) << text;

    const Result json = vxtool({"project", "show", "--json", path});
    EXPECT_EQ(json.code, 1) << json;
    const QJsonArray chapters = QJsonDocument::fromJson(json.out).object()["chapters"].toArray();
    ASSERT_EQ(chapters.size(), static_cast<qsizetype>(layout.size()));
    for (size_t c = 0; c < layout.size(); ++c) {
        const QJsonArray entries = chapters[c].toObject()["entries"].toArray();
        ASSERT_EQ(entries.size(), static_cast<qsizetype>(layout[c].entries.size()));
        for (size_t e = 0; e < layout[c].entries.size(); ++e) {
            const bool hit = c == 1 && e == 0;
            const QJsonObject eo = entries[e].toObject();
            EXPECT_EQ(eo["soundUnreadable"].toBool(false), hit) << c << "/" << e;
            EXPECT_EQ(eo["soundBytes"].toInteger(-1), hit ? 0 : layout[c].entries[e].sound.size());
        }
    }
    EXPECT_EQ(readAll(path), before);

    // Export leaves out both damaged sounds, the one whose first block still reads
    // included: it names them, leaves no file for either, and exits 1.
    const efs::FitRecord opening = vxtest::storedRecord(path, "ch0_e0.snd");
    ASSERT_GT(opening.allBlocks(), 1);
    vxtest::putFixed32(path, int64_t(opening.addr()) * efs::kBlockSize + efs::kRecData + 4, 1);
    const QString dir = freshPath("damaged-export");
    const Result exported = vxtool({"project", "export", path, dir});
    EXPECT_EQ(exported.code, 1) << exported;
    EXPECT_TRUE(exported.err.contains("chapter 1, entry 1")) << exported;
    EXPECT_TRUE(exported.err.contains("chapter 2, entry 1")) << exported;
    EXPECT_EQ(filesUnder(dir).filter(".wav").size(), 3) << filesUnder(dir).join(' ').toStdString();
}

// A FIFO, a socket or a device given as the container fails at once and says what it is.
TEST(VxtoolProject, NonRegularFilesAreRefusedAtOnce) {
    const QString folder = freshPath("special");
    ASSERT_TRUE(QDir().mkpath(folder));
    nonregular::NonRegularFiles files(folder);
    ASSERT_TRUE(files.ok());
    const QStringList before = files.state();
    const QString exported = freshPath("special-export");
    for (const nonregular::Special& special : files.all()) {
        for (const QStringList& args : {QStringList{"project", "show", special.path},
                                        QStringList{"project", "export", special.path, exported},
                                        QStringList{"ls", special.path}}) {
            const Result r = vxtool(args, {}, 10000);
            EXPECT_EQ(r.code, 2) << special.kind << " " << args.join(' ').toStdString() << ": "
                                 << r;
            EXPECT_TRUE(r.err.contains("not a regular file"))
                << special.kind << " " << args.join(' ').toStdString() << ": " << r;
        }
    }
    EXPECT_EQ(files.state(), before);
    EXPECT_FALSE(QFileInfo::exists(exported));
}
