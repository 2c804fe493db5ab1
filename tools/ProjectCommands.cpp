// vxtool project show / export / import: the project in a container, through Project's
// own load and save.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "efs/EfsFile.h"
#include "project/FileMappings.h"
#include "project/Project.h"
#include "tools/ShowReader.h"
#include "tools/ToolSupport.h"

namespace vxtool {

namespace {

constexpr char kProjectJson[] = "project.json";
constexpr int kProjectJsonFormat = 1;
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

bool writeWhole(const QString& path, const QByteArray& bytes, QString* error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

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
    QJsonArray chapterArray;
    for (int c = 0; c < chapterCount; ++c) {
        const Chapter& chapter = *chapters[c];
        const QString folder = numbered(c, chapterCount, chapter.name);
        const QString folderPath = dir.filePath(folder);
        if (!dir.mkdir(folder)) return abandon(folderPath, "cannot be created");
        trail.madeFolder(folderPath);
        QJsonArray entryArray;
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
            QJsonObject o;
            o["name"] = entry.name;
            o["desc"] = entry.desc;
            o["note"] = entry.note;
            o["file"] = file;
            entryArray.append(o);
        }
        QJsonObject o;
        o["name"] = chapter.name;
        o["folder"] = folder;
        o["entries"] = entryArray;
        chapterArray.append(o);
    }
    QJsonObject root;
    root["format"] = kProjectJsonFormat;
    root["chapters"] = chapterArray;
    // Written last, after the sounds are on the disk: a complete project.json means a
    // complete export.
    QString error;
    if (!syncFolder(dirPath, &error)) return abandon(dirPath, "cannot be synced: " + error);
    const QString jsonPath = dir.filePath(kProjectJson);
    if (!writeWhole(jsonPath, QJsonDocument(root).toJson(QJsonDocument::Indented), &error))
        return abandon(jsonPath, "cannot be written: " + error);
    // Everything readable is out; the sounds named on standard error are not.
    return show.status();
}

// ---- import --------------------------------------------------------------------------

// The sound files of an import, mapped into memory rather than read: the save copies
// each one into the container from the file itself. The mappings live until the import
// ends.
class SoundMappings final {
  public:
    // Maps the file at path as *out; prints the reason and returns false when it cannot.
    bool map(const QString& path, QByteArray* out) {
        QString reason;
        if (m_files.map(path, out, &reason)) return true;
        return fail(ExitUnusable, path, "cannot be read: " + reason), false;
    }

  private:
    FileMappings m_files;
};

// The save copies each sound from its file and never reads the mappings: a file another
// program cuts short fails the save with that reason. Should anything still read a mapped
// page that was cut off, SIGBUS ends the import with a message instead of a crash; the
// target was not touched (the save replaces it only when it is complete) and the next
// save there removes the unfinished temporary file.
char g_cutShortMessage[512];

void onCutShort(int) {
    const ssize_t ignored = ::write(2, g_cutShortMessage, std::strlen(g_cutShortMessage));
    (void)ignored;
    ::_exit(ExitUnusable);
}

class CutShortGuard final {
  public:
    explicit CutShortGuard(const QString& target) {
        const QByteArray text = QStringLiteral(
                                    "vxtool: %1: not written: a sound file was cut short "
                                    "by another program while it was imported\n")
                                    .arg(target)
                                    .toLocal8Bit();
        std::snprintf(g_cutShortMessage, sizeof g_cutShortMessage, "%s", text.constData());
        struct sigaction action {};
        action.sa_handler = onCutShort;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGBUS, &action, &m_previous);
    }
    ~CutShortGuard() { ::sigaction(SIGBUS, &m_previous, nullptr); }
    CutShortGuard(const CutShortGuard&) = delete;
    CutShortGuard& operator=(const CutShortGuard&) = delete;

  private:
    struct sigaction m_previous {};
};

// A relative path inside a folder as project.json gives it: no absolute paths, no "..",
// nothing that leaves the folder.
bool isPlainRelative(const QString& path) {
    if (path.isEmpty() || QDir::isAbsolutePath(path) || path.contains('\\')) return false;
    const QStringList parts = path.split('/');
    return std::none_of(parts.begin(), parts.end(),
                        [](const QString& p) { return p.isEmpty() || p == "." || p == ".."; });
}

bool fromProjectJson(const QDir& dir, SoundMappings* sounds, ChapterList* chapters) {
    const QString jsonPath = dir.filePath(kProjectJson);
    QFile file(jsonPath);
    if (!file.open(QIODevice::ReadOnly))
        return fail(ExitUnusable, jsonPath, "cannot be read: " + file.errorString()), false;
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    auto bad = [&](const QString& reason) { return fail(ExitUnusable, jsonPath, reason), false; };
    if (doc.isNull())
        return bad(QString("is not valid JSON at byte %1: %2")
                       .arg(parseError.offset)
                       .arg(parseError.errorString()));
    if (!doc.isObject() || !doc.object().value("chapters").isArray())
        return bad("has no \"chapters\" list");
    const QJsonValue format = doc.object().value("format");
    if (!format.isUndefined() && format.toInt(-1) != kProjectJsonFormat)
        return bad(QString("has format %1; this vxtool reads format %2")
                       .arg(format.toVariant().toString())
                       .arg(kProjectJsonFormat));
    auto text = [](const QJsonObject& o, const char* key, bool* ok) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isUndefined()) return QString();
        if (!v.isString()) *ok = false;
        return v.toString();
    };
    const QJsonArray chapterArray = doc.object().value("chapters").toArray();
    for (qsizetype c = 0; c < chapterArray.size(); ++c) {
        const QString where = QString("chapter %1").arg(c + 1);
        if (!chapterArray[c].isObject()) return bad(where + " is not an object");
        const QJsonObject co = chapterArray[c].toObject();
        bool ok = true;
        auto chapter = std::make_unique<Chapter>();
        chapter->name = text(co, "name", &ok);
        const QString folder = text(co, "folder", &ok);
        if (!ok) return bad(where + ": a text field is not a string");
        const QJsonValue entries = co.value("entries");
        if (!entries.isUndefined() && !entries.isArray())
            return bad(where + ": \"entries\" is not a list");
        const QJsonArray entryArray = entries.toArray();
        for (qsizetype e = 0; e < entryArray.size(); ++e) {
            const QString entryWhere = QString("%1, entry %2").arg(where).arg(e + 1);
            if (!entryArray[e].isObject()) return bad(entryWhere + " is not an object");
            const QJsonObject eo = entryArray[e].toObject();
            Entry* entry = chapter->addEntry();
            entry->name = text(eo, "name", &ok);
            entry->desc = text(eo, "desc", &ok);
            entry->note = text(eo, "note", &ok);
            const QString soundFile = text(eo, "file", &ok);
            if (!ok) return bad(entryWhere + ": a text field is not a string");
            if (soundFile.isEmpty()) continue;
            const QString relative = folder.isEmpty() ? soundFile : folder + '/' + soundFile;
            if (!isPlainRelative(relative))
                return bad(QString("%1: the sound file %2 is not inside the folder")
                               .arg(entryWhere, relative));
            if (!sounds->map(dir.filePath(relative), &entry->sound)) return false;
        }
        chapters->push_back(std::move(chapter));
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

bool addFolderChapter(const QDir& folder, const QString& name, SoundMappings* sounds,
                      ChapterList* chapters) {
    auto chapter = std::make_unique<Chapter>();
    chapter->name = name;
    for (const QString& file : wavFiles(folder)) {
        Entry* entry = chapter->addEntry();
        entry->name = QFileInfo(file).completeBaseName();
        if (!sounds->map(folder.filePath(file), &entry->sound)) return false;
    }
    chapters->push_back(std::move(chapter));
    return true;
}

bool fromFolders(const QDir& dir, SoundMappings* sounds, ChapterList* chapters) {
    QStringList subfolders = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    sortNaturally(&subfolders);
    const QString ownName = QFileInfo(dir.absolutePath()).fileName();
    // Sounds directly in the folder are never dropped: they form the first chapter.
    if (subfolders.isEmpty() || !wavFiles(dir).isEmpty()) {
        if (!addFolderChapter(dir, ownName, sounds, chapters)) return false;
    }
    for (const QString& sub : subfolders) {
        if (!addFolderChapter(QDir(dir.filePath(sub)), sub, sounds, chapters)) return false;
    }
    return true;
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
    CutShortGuard guard(path);
    SoundMappings sounds;
    ChapterList chapters;
    const bool read = QFileInfo::exists(dir.filePath(kProjectJson))
                          ? fromProjectJson(dir, &sounds, &chapters)
                          : fromFolders(dir, &sounds, &chapters);
    if (!read) return ExitUnusable;
    Project& project = Project::instance();
    project.replaceContent(std::move(chapters));
    const bool saved = project.save(path);
    const QString error = project.lastError();
    // The project's sounds point into the mappings, which end with this function.
    project.clear();
    if (!saved) return fail(ExitUnusable, path, error);
    return ExitOk;
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
