// vxtool project show / export / import: the project in a container, through Project's
// own load and save.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "efs/EfsFile.h"
#include "efs/FileReplacement.h"
#include "project/Project.h"
#include "project/ProjectArchive.h"
#include "project/ProjectJson.h"
#include "project/ProjectSave.h"
#include "tools/ShowReader.h"
#include "tools/ToolSupport.h"

namespace vxtool {

namespace {

// Longest name part of an exported file or folder, in characters; keeps every path well
// below the usual 255-byte limit of one path component even in UTF-8.
constexpr int kMaxNamePart = 60;

// ---- Natural order -------------------------------------------------------------------

// Compares names so that runs of digits compare by value: "take 2" before "take 10".
// Equal values compare by their text so the order is total.
int naturalCompare(const QString& a, const QString& b) {
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype ie = i, je = j;
            while (ie < a.size() && a[ie].isDigit()) ++ie;
            while (je < b.size() && b[je].isDigit()) ++je;
            // Compare the digit runs without their leading zeros: first by length, then
            // digit by digit, so no run can overflow an integer.
            qsizetype is = i, js = j;
            while (is + 1 < ie && a[is] == '0') ++is;
            while (js + 1 < je && b[js] == '0') ++js;
            if (ie - is != je - js) return ie - is < je - js ? -1 : 1;
            for (qsizetype k = 0; k < ie - is; ++k)
                if (a[is + k] != b[js + k]) return a[is + k] < b[js + k] ? -1 : 1;
            i = ie;
            j = je;
            continue;
        }
        const int c = QString::compare(QString(a[i]), QString(b[j]), Qt::CaseInsensitive);
        if (c != 0) return c;
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size()) return i < a.size() ? 1 : -1;
    return QString::compare(a, b);
}

void sortNaturally(QStringList* names) {
    std::sort(names->begin(), names->end(),
              [](const QString& a, const QString& b) { return naturalCompare(a, b) < 0; });
}

// ---- Export names --------------------------------------------------------------------

// name made fit for a file name on any common file system: separators, characters that
// some systems refuse and control characters become "_", a leading dot (a hidden file)
// too; surrounding spaces and trailing dots go; long names are cut.
QString safeNamePart(const QString& name) {
    QString out;
    for (const QChar c : name) {
        const bool unsafe =
            c.unicode() < 0x20 || c.unicode() == 0x7f || QStringLiteral("/\\:*?\"<>|").contains(c);
        out += unsafe ? QChar('_') : c;
    }
    out = out.trimmed();
    if (out.size() > kMaxNamePart) {
        out.truncate(kMaxNamePart);
        if (out.back().isHighSurrogate()) out.chop(1);
    }
    while (out.endsWith('.') || out.endsWith(' ')) out.chop(1);
    if (out.startsWith('.')) out[0] = '_';
    return out;
}

QString numbered(int index, int count, const QString& name) {
    const int width = std::max(2, static_cast<int>(QString::number(count).size()));
    const QString number = QString("%1").arg(index + 1, width, 10, QChar('0'));
    const QString safe = safeNamePart(name);
    return safe.isEmpty() ? number : number + '-' + safe;
}

// The extension that tells what the sound's bytes are; .wav when they are not recognised.
QString soundExtension(const QByteArray& sound) {
    if (sound.startsWith("OggS")) return ".ogg";
    if (sound.startsWith("fLaC")) return ".flac";
    if (sound.startsWith("ID3") || (sound.size() > 1 && static_cast<uint8_t>(sound[0]) == 0xFF &&
                                    (static_cast<uint8_t>(sound[1]) & 0xE0) == 0xE0))
        return ".mp3";
    return ".wav";
}

// ---- show ----------------------------------------------------------------------------

int cmdShow(const Arguments& args) {
    if (args.plain.size() != 1) return usageError("project show", "give one project file");
    for (const QString& option : args.options)
        if (option != "--json") return usageError("project show", "unknown option " + option);
    const QString path = pathArgument(args.plain[0]);
    ShowReader show;
    if (!show.open(path)) return ExitUnusable;
    const ChapterList& chapters = show.chapters();
    // Sizes come from the stored records: no sound is read.
    const bool json = args.has("--json");
    QJsonArray chapterArray;
    QString text;
    for (size_t c = 0; c < chapters.size(); ++c) {
        const Chapter& chapter = *chapters[c];
        QJsonArray entryArray;
        text += QString("chapter %1: %2\n").arg(c + 1).arg(escapedText(chapter.name));
        for (int e = 0; e < chapter.entryCount(); ++e) {
            const Entry& entry = *chapter.entry(e);
            int64_t size = 0;
            const ShowReader::Sound sound = show.soundSize(static_cast<int>(c), e, &size);
            QJsonObject o;
            o["name"] = entry.name;
            o["desc"] = entry.desc;
            o["note"] = entry.note;
            o["soundBytes"] = static_cast<qint64>(size);
            if (sound == ShowReader::Sound::Unreadable) o["soundUnreadable"] = true;
            entryArray.append(o);
            text += QString("  entry %1: %2\n").arg(e + 1).arg(escapedText(entry.name));
            text += QString("    desc: %1\n").arg(escapedText(entry.desc));
            text += QString("    note: %1\n").arg(escapedText(entry.note));
            if (sound == ShowReader::Sound::Unreadable)
                text += QString("    sound: UNREADABLE\n");
            else if (sound == ShowReader::Sound::Present)
                text += QString("    sound: %1 bytes\n").arg(size);
            else
                text += QString("    sound: none\n");
        }
        QJsonObject o;
        o["name"] = chapter.name;
        o["entries"] = entryArray;
        chapterArray.append(o);
    }
    if (json) {
        QJsonObject root;
        root["chapters"] = chapterArray;
        writeOut(QJsonDocument(root).toJson(QJsonDocument::Indented));
    } else {
        writeOut(text);
    }
    return finishOutput(show.status());
}

// ---- export --------------------------------------------------------------------------

// The files and folders an export has made, removed again when it fails part way so that
// a failed export leaves the folder as it found it.
class ExportTrail final {
  public:
    void madeFolder(const QString& path) { m_made.push_back({path, true}); }
    void madeFile(const QString& path) { m_made.push_back({path, false}); }
    void undo() {
        for (auto it = m_made.rbegin(); it != m_made.rend(); ++it) {
            if (it->second)
                QDir().rmdir(it->first);
            else
                QFile::remove(it->first);
        }
        m_made.clear();
    }

  private:
    std::vector<std::pair<QString, bool>> m_made;
};

// A new file for writing, which must not exist yet; -1 with the reason in *error.
int createNew(const QString& path, QString* error) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) *error = QString::fromLocal8Bit(std::strerror(errno));
    return fd;
}

// Writes the sound of entry e of chapter c into a new file at path, without making it
// durable yet: the export syncs every sound at once before it writes project.json. The
// sound is copied inside the kernel; when that fails, reading it into memory tells
// whether the sound is unreadable (named on standard error; *written is then false and
// no file is left) or the new file cannot take it (false, with the reason in *error).
bool exportSound(ShowReader& show, int c, int e, const QString& path, bool* written,
                 QString* error) {
    *written = false;
    const int fd = createNew(path, error);
    if (fd < 0) return false;
    bool ok = true;
    if (show.copySound(c, e, fd)) {
        *written = true;
    } else {
        QByteArray sound;
        if (::ftruncate(fd, 0) != 0) {
            *error = QString::fromLocal8Bit(std::strerror(errno));
            ok = false;
        } else if (show.readSound(c, e, &sound) == ShowReader::Sound::Present) {
            errno = 0;
            ok = efs::writeFully(fd, sound.constData(), sound.size(), 0);
            if (!ok)
                *error = errno != 0 ? QString::fromLocal8Bit(std::strerror(errno))
                                    : QStringLiteral("nothing could be written");
            *written = ok;
        }
    }
    if (::close(fd) != 0 && ok) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        ok = false;
    }
    if (!*written) ::unlink(QFile::encodeName(path).constData());
    return ok;
}

// Makes everything written into the folder's file system durable.
bool syncFolder(const QString& dirPath, QString* error) {
    const int fd =
        ::open(QFile::encodeName(dirPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::syncfs(fd) == 0;
    if (!ok) *error = QString::fromLocal8Bit(std::strerror(errno));
    if (fd >= 0) ::close(fd);
    return ok;
}

int cmdExport(const Arguments& args) {
    if (!args.options.isEmpty())
        return usageError("project export", "unknown option " + args.options.first());
    if (args.plain.size() != 2) return usageError("project export", "give FILE and DIR");
    const QString path = pathArgument(args.plain[0]);
    const QString dirPath = pathArgument(args.plain[1]);
    const QFileInfo dirInfo(dirPath);
    if (dirInfo.exists() && !dirInfo.isDir())
        return fail(ExitUnusable, dirPath, "exists and is not a folder");
    if (dirInfo.exists() && !QDir(dirPath).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                   QDir::Hidden | QDir::System))
        return fail(ExitRefused, dirPath, "is not empty; export into a new or empty folder");
    ShowReader show;
    if (!show.open(path)) return ExitUnusable;

    ExportTrail trail;
    auto abandon = [&](const QString& subject, const QString& reason) {
        trail.undo();
        return fail(ExitUnusable, subject, reason);
    };
    if (!dirInfo.exists()) {
        if (!QDir().mkpath(dirPath)) return fail(ExitUnusable, dirPath, "cannot be created");
        trail.madeFolder(dirPath);
    }
    const QDir dir(dirPath);
    const ChapterList& chapters = show.chapters();
    const int chapterCount = static_cast<int>(chapters.size());
    QByteArray head;
    std::vector<ProjectJson::ChapterFiles> files;
    for (int c = 0; c < chapterCount; ++c) {
        const Chapter& chapter = *chapters[c];
        const QString folder = numbered(c, chapterCount, chapter.name);
        const QString folderPath = dir.filePath(folder);
        if (!dir.mkdir(folder)) return abandon(folderPath, "cannot be created");
        trail.madeFolder(folderPath);
        ProjectJson::ChapterFiles chapterFiles{folder, {}};
        for (int e = 0; e < chapter.entryCount(); ++e) {
            const Entry& entry = *chapter.entry(e);
            QString file;
            // The first bytes name the format, and with it the file's extension.
            if (show.readSoundHead(c, e, 4, &head) == ShowReader::Sound::Present) {
                file = numbered(e, chapter.entryCount(), entry.name) + soundExtension(head);
                const QString filePath = QDir(folderPath).filePath(file);
                QString error;
                bool written = false;
                if (!exportSound(show, c, e, filePath, &written, &error))
                    return abandon(filePath, "cannot be written: " + error);
                if (written)
                    trail.madeFile(filePath);
                else
                    file.clear();
            }
            chapterFiles.files.push_back(file);
        }
        files.push_back(std::move(chapterFiles));
    }
    // Written last, after the sounds are on the disk: a complete project.json means a
    // complete export.
    QString error;
    if (!syncFolder(dirPath, &error)) return abandon(dirPath, "cannot be synced: " + error);
    const QString jsonPath = dir.filePath(ProjectJson::kFileName);
    const efs::Status written =
        efs::FileReplacement::writeWhole(jsonPath, ProjectJson::write(chapters, files));
    if (!written) return abandon(jsonPath, "cannot be written: " + written.reason());
    // Everything readable is out; the sounds named on standard error are not.
    return show.status();
}

// ---- import --------------------------------------------------------------------------

// The chapters an import saves, with their texts, and the sound file of every entry
// (empty for none), opened only when the save asks for it.
struct ImportPlan {
    ChapterList chapters;
    std::vector<std::vector<QString>> soundFiles;
};

// The sound file at path, open for the save to copy from: nothing is read into memory or
// kept mapped, and one file is open at a time. Opened without waiting, so that a FIFO named
// like a sound cannot hang the import.
SoundSource openSound(const QString& path) {
    if (path.isEmpty()) return SoundSource::none();
    const QString context = path + " cannot be read: ";
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return SoundSource::failure(efs::Status::ioError(errno, {}).withContext(context));
    struct stat st {};
    QString problem;
    if (::fstat(fd, &st) != 0)
        problem = QString::fromLocal8Bit(std::strerror(errno));
    else if (!S_ISREG(st.st_mode))
        problem = "not a regular file";
    else if (st.st_size > std::numeric_limits<int32_t>::max())
        problem = "larger than a stored sound can be (2 GiB)";
    else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        problem = QString::fromLocal8Bit(std::strerror(errno));
    if (!problem.isEmpty()) {
        ::close(fd);
        return SoundSource::failure(efs::Status::invalidArgument(problem).withContext(context));
    }
    return SoundSource::file(fd, path);
}

bool fromProjectJson(const QDir& dir, ImportPlan* plan) {
    const QString jsonPath = dir.filePath(ProjectJson::kFileName);
    QFile file(jsonPath);
    if (!file.open(QIODevice::ReadOnly))
        return fail(ExitUnusable, jsonPath, "cannot be read: " + file.errorString()), false;
    ProjectJson::ReadResult read = ProjectJson::read(file.readAll());
    if (!read.ok) return fail(ExitUnusable, jsonPath, read.error), false;
    plan->chapters = std::move(read.chapters);
    for (std::vector<QString>& files : read.soundFiles) {
        for (QString& f : files)
            if (!f.isEmpty()) f = dir.filePath(f);
        plan->soundFiles.push_back(std::move(files));
    }
    return true;
}

QStringList wavFiles(const QDir& dir) {
    QStringList names;
    for (const QFileInfo& info : dir.entryInfoList(QDir::Files | QDir::Hidden)) {
        if (info.suffix().compare("wav", Qt::CaseInsensitive) == 0) names << info.fileName();
    }
    sortNaturally(&names);
    return names;
}

void addFolderChapter(const QDir& folder, const QString& name, ImportPlan* plan) {
    auto chapter = std::make_unique<Chapter>();
    chapter->name = name;
    std::vector<QString> files;
    for (const QString& file : wavFiles(folder)) {
        chapter->addEntry()->name = QFileInfo(file).completeBaseName();
        files.push_back(folder.filePath(file));
    }
    plan->chapters.push_back(std::move(chapter));
    plan->soundFiles.push_back(std::move(files));
}

void fromFolders(const QDir& dir, ImportPlan* plan) {
    QStringList subfolders = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    sortNaturally(&subfolders);
    const QString ownName = QFileInfo(dir.absolutePath()).fileName();
    // Sounds directly in the folder are never dropped: they form the first chapter.
    if (subfolders.isEmpty() || !wavFiles(dir).isEmpty()) addFolderChapter(dir, ownName, plan);
    for (const QString& sub : subfolders) addFolderChapter(QDir(dir.filePath(sub)), sub, plan);
}

int cmdImport(const Arguments& args) {
    for (const QString& option : args.options)
        if (option != "--force") return usageError("project import", "unknown option " + option);
    if (args.plain.size() != 2) return usageError("project import", "give DIR and FILE");
    const QString dirPath = pathArgument(args.plain[0]);
    const QString path = pathArgument(args.plain[1]);
    if (!QFileInfo(dirPath).isDir())
        return fail(ExitUnusable, dirPath,
                    QFileInfo::exists(dirPath) ? "is not a folder" : "no such folder");
    const QFileInfo target(path);
    if (target.isDir()) return fail(ExitUnusable, path, "is a folder");
    if (target.exists() && !args.has("--force"))
        return fail(ExitRefused, path, "already exists; give --force to replace it");

    const QDir dir(dirPath);
    ImportPlan plan;
    if (QFileInfo::exists(dir.filePath(ProjectJson::kFileName))) {
        if (!fromProjectJson(dir, &plan)) return ExitUnusable;
    } else {
        fromFolders(dir, &plan);
    }
    // Each sound is copied from its file into the container as the save reaches it; a file
    // that cannot be opened, or that another program cuts short meanwhile, fails the save
    // with that reason and leaves the target as it was.
    ProjectArchive archive;
    const efs::Status saved =
        ProjectSave::save(archive, path, plan.chapters, [&plan](int c, int e, const Entry&) {
            return openSound(plan.soundFiles[static_cast<size_t>(c)][static_cast<size_t>(e)]);
        });
    if (saved) return ExitOk;
    if (archive.replaced()) return fail(ExitUnusable, path, "was written, but " + saved.reason());
    return fail(ExitUnusable, path, saved.reason());
}

}  // namespace

int runProject(int argc, char** argv, int first) {
    if (first >= argc)
        return usageError("project", "give show, export, import, check, script, level or report");
    const QString sub = QString::fromLocal8Bit(argv[first]);
    if (sub == "script") return runProjectScript(argc, argv, first + 1);
    if (sub == "level") return runProjectLevel(argc, argv, first + 1);
    if (sub == "report") return runProjectReport(argc, argv, first + 1);
    const Arguments args = splitArguments(argc, argv, first + 1);
    if (sub == "show") return cmdShow(args);
    if (sub == "export") return cmdExport(args);
    if (sub == "import") return cmdImport(args);
    if (sub == "check") return runProjectCheck(args);
    return usageError("project", "unknown project command " + sub);
}

}  // namespace vxtool
