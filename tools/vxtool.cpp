// vxtool: the stored files of a .vx container and the project in it, from a shell.
//
// Every container operation goes through EfsVolume and every project operation through
// Project; this program only parses the command line and formats results. Read-only
// commands open the container with openVolumeReadOnly, so they never write to it, not
// even the open flag of a container that was not closed cleanly.
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "efs/EfsVolume.h"
#include "efs/EfsVolumeProbe.h"
#include "tools/ToolSupport.h"

namespace vxtool {

// ---- Shared helpers ------------------------------------------------------------------

Arguments splitArguments(int argc, char** argv, int first) {
    Arguments args;
    bool optionsEnded = false;
    for (int i = first; i < argc; ++i) {
        const QByteArray a(argv[i]);
        if (!optionsEnded && a == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && a.size() > 1 && a.startsWith('-')) {
            args.options << QString::fromLocal8Bit(a);
        } else {
            args.plain << a;
        }
    }
    return args;
}

QString pathArgument(const QByteArray& raw) { return QFile::decodeName(raw); }

double jsonRounded(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

QJsonValue jsonLevel(double db) {
    return std::isfinite(db) ? QJsonValue(jsonRounded(db, 2)) : QJsonValue();
}

QJsonValue jsonLevel(const std::optional<double>& db) { return db ? jsonLevel(*db) : QJsonValue(); }

int fail(int code, const QString& subject, const QString& reason) {
    std::fflush(stdout);
    const QByteArray line = QString("vxtool: %1: %2\n").arg(subject, reason).toLocal8Bit();
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    return code;
}

void warn(const QString& message) {
    const QByteArray line = QString("vxtool: %1\n").arg(message).toLocal8Bit();
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
}

int usageError(const QString& command, const QString& reason) {
    warn(QString("%1: %2 (see: vxtool %1 --help)").arg(command, reason));
    return ExitUnusable;
}

QString volumeReason(const EfsVolume& volume) { return volume.status().reason(); }

QString escapedText(const QString& text) {
    QString out = text;
    out.replace('\\', "\\\\");
    out.replace('\n', "\\n");
    out.replace('\r', "\\r");
    return out;
}

QString clockText(double seconds, bool withHours) {
    const int64_t tenths = std::llround(std::max(0.0, seconds) * 10.0);
    const int64_t h = tenths / 36000, m = tenths / 600 % 60, s = tenths / 10 % 60, t = tenths % 10;
    if (withHours || h > 0)
        return QString("%1:%2:%3.%4")
            .arg(h)
            .arg(m, 2, 10, QChar('0'))
            .arg(s, 2, 10, QChar('0'))
            .arg(t);
    return QString("%1:%2.%3").arg(m).arg(s, 2, 10, QChar('0')).arg(t);
}

namespace {
bool g_outputFailed = false;
}

bool writeOut(const char* data, int64_t length) {
    if (g_outputFailed) return false;
    if (length > 0 &&
        std::fwrite(data, 1, static_cast<size_t>(length), stdout) != static_cast<size_t>(length))
        g_outputFailed = true;
    return !g_outputFailed;
}

bool writeOut(const QByteArray& bytes) { return writeOut(bytes.constData(), bytes.size()); }

bool writeOut(const QString& text) { return writeOut(text.toUtf8()); }

int finishOutput(int code) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout) || g_outputFailed) {
        const int err = errno;
        return fail(ExitUnusable, "standard output",
                    QString("cannot be written (%1)").arg(QString::fromLocal8Bit(strerror(err))));
    }
    return code;
}

namespace {

// ---- Opening a container -------------------------------------------------------------

// Why path cannot be a container before the volume is asked, or empty when it might be.
QString hostProblem(const QString& path, bool mustExist) {
    const QFileInfo info(path);
    if (!info.exists()) return mustExist ? QString("no such file") : QString();
    if (info.isDir()) return "is a folder, not a container file";
    if (!info.isFile()) return "is not a regular file";
    if (mustExist && info.size() == 0) return "is empty, not a container";
    return {};
}

// Opens path read-only; prints the reason and returns false when it cannot.
bool openForReading(EfsVolume* volume, const QString& path) {
    const QString problem = hostProblem(path, true);
    if (!problem.isEmpty()) return fail(ExitUnusable, path, problem), false;
    if (!volume->openVolumeReadOnly(path))
        return fail(ExitUnusable, path, "cannot be opened: " + volumeReason(*volume)), false;
    return true;
}

// Opens path for changes. Only `put` may create a new container (mayCreate); a file
// created here that then fails to open is removed again, so no stray file is left.
bool openForWriting(EfsVolume* volume, const QString& path, bool mayCreate) {
    const QString problem = hostProblem(path, !mayCreate);
    if (!problem.isEmpty()) return fail(ExitUnusable, path, problem), false;
    const bool existed = QFileInfo::exists(path);
    if (!volume->openVolume(path)) {
        const QString reason = volumeReason(*volume);
        if (!existed) QFile::remove(path);
        return fail(ExitUnusable, path, "cannot be opened: " + reason), false;
    }
    return true;
}

// Closes a volume that was changed; a failed close (the last writes or the clean flag
// did not reach the disk) is an error of its own.
int closeWritten(EfsVolume* volume, const QString& path, int code) {
    volume->closeVolume();
    if (volume->lastError() != EfsVolume::ErrorNone)
        return fail(ExitUnusable, path, "was not closed cleanly: " + volumeReason(*volume));
    return code;
}

QString timeText(int32_t seconds) {
    if (seconds == 0) return "-";
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(Qt::ISODate);
}

QString allocModeName(int32_t mode) {
    switch (mode) {
        case EfsVolume::AllocFromStart:
            return "start";
        case EfsVolume::AllocFromMiddle:
            return "middle";
        case EfsVolume::AllocBestFit:
            return "best fit";
        default:
            return "unknown";
    }
}

// Checks the command's options and number of plain arguments; prints a usage error when
// they do not fit.
bool argumentsFit(const QString& command, const Arguments& args, const QStringList& allowed,
                  int minPlain, int maxPlain, int* code) {
    for (const QString& option : args.options) {
        if (!allowed.contains(option)) {
            *code = usageError(command, QString("unknown option %1").arg(option));
            return false;
        }
    }
    if (args.plain.size() < minPlain) {
        *code = usageError(command, "missing arguments");
        return false;
    }
    if (maxPlain >= 0 && args.plain.size() > maxPlain) {
        *code = usageError(command, "too many arguments");
        return false;
    }
    return true;
}

QString nameText(const QByteArray& name) { return QString::fromUtf8(name); }

// ---- Commands ------------------------------------------------------------------------

int cmdLs(const Arguments& args) {
    int code = 0;
    if (!argumentsFit("ls", args, {"-l"}, 1, 1, &code)) return code;
    const QString path = pathArgument(args.plain[0]);
    EfsVolume volume;
    if (!openForReading(&volume, path)) return ExitUnusable;
    const bool longForm = args.has("-l");
    QList<QByteArray> names;
    volume.listFiles(&names);
    if (volume.lastError() != EfsVolume::ErrorNone)
        return fail(ExitUnusable, path, "the file table cannot be read: " + volumeReason(volume));
    int status = ExitOk;
    for (const QByteArray& name : names) {
        efs::FitRecord record;
        if (!EfsVolumeProbe(volume).loadStoredRecord(name.constData(), &record)) {
            fail(ExitRefused, path,
                 QString("%1: the record cannot be read: %2")
                     .arg(nameText(name), volumeReason(volume)));
            status = ExitRefused;
            continue;
        }
        QByteArray line = QByteArray::number(static_cast<qlonglong>(record.fileSize()));
        if (longForm) {
            line += '\t' + QByteArray::number(record.addr()) + '\t' +
                    QByteArray::number(record.fitSize()) + '\t' +
                    QByteArray::number(record.fragmentsCount()) + '\t' +
                    QByteArray::number(record.allBlocks()) + '\t' +
                    timeText(record.creationTime()).toLatin1() + '\t' +
                    timeText(record.lastChangeTime()).toLatin1() + '\t' +
                    timeText(record.lastAccessTime()).toLatin1();
        }
        line += '\t' + name + '\n';
        if (!writeOut(line)) break;
    }
    return finishOutput(status);
}

int cmdCat(const Arguments& args) {
    int code = 0;
    if (!argumentsFit("cat", args, {}, 2, 2, &code)) return code;
    const QString path = pathArgument(args.plain[0]);
    const QByteArray name = args.plain[1];
    EfsVolume volume;
    if (!openForReading(&volume, path)) return ExitUnusable;
    if (!volume.fileExists(name.constData()) && (volume.lastError() == EfsVolume::ErrorNone ||
                                                 volume.lastError() == EfsVolume::ErrorNotFound))
        return fail(ExitRefused, path, QString("no stored file %1").arg(nameText(name)));
    const int32_t handle =
        volume.openFile(name.constData(), EfsVolume::AccessRead, EfsVolume::OpenExisting);
    if (handle == 0) {
        return fail(ExitUnusable, path,
                    QString("%1 cannot be opened: %2").arg(nameText(name), volumeReason(volume)));
    }
    const int64_t size = volume.fileSize(handle);
    std::vector<char> buffer(1 << 20);
    int64_t done = 0;
    while (done < size) {
        const int32_t want = static_cast<int32_t>(std::min<int64_t>(size - done, buffer.size()));
        const int32_t got = volume.readFile(handle, buffer.data(), want);
        if (got <= 0) {
            volume.closeFile(handle);
            return fail(ExitUnusable, path,
                        QString("%1 cannot be read after %2 of %3 bytes: %4")
                            .arg(nameText(name))
                            .arg(done)
                            .arg(size)
                            .arg(volumeReason(volume)));
        }
        if (!writeOut(buffer.data(), got)) break;
        done += got;
    }
    volume.closeFile(handle);
    return finishOutput(ExitOk);
}

// A stored name not used by any file, for the new content while it is being written.
QByteArray unusedName(EfsVolume* volume) {
    for (int n = 0;; ++n) {
        const QByteArray candidate =
            QByteArray(".vxtool-put-") + QByteArray::number(getpid()) + '-' + QByteArray::number(n);
        if (!volume->fileExists(candidate.constData())) return candidate;
    }
}

int cmdPut(const Arguments& args) {
    int code = 0;
    if (!argumentsFit("put", args, {}, 2, 3, &code)) return code;
    const QString path = pathArgument(args.plain[0]);
    QByteArray name = args.plain[1];
    if (name.isEmpty()) return fail(ExitRefused, path, "an empty stored name is not allowed");
    if (name.size() > efs::kMaxNameLength) {
        const QByteArray cut = name.left(efs::kMaxNameLength);
        warn(QString("%1: the name %2 is longer than %3 bytes and is stored as %4")
                 .arg(path, nameText(name))
                 .arg(efs::kMaxNameLength)
                 .arg(nameText(cut)));
        name = cut;
    }

    // The source is opened before the container, so a wrong source changes nothing.
    QFile source;
    QString sourceName = "standard input";
    if (args.plain.size() == 3) {
        sourceName = pathArgument(args.plain[2]);
        if (QFileInfo(sourceName).isDir()) return fail(ExitUnusable, sourceName, "is a folder");
        source.setFileName(sourceName);
        if (!source.open(QIODevice::ReadOnly))
            return fail(ExitUnusable, sourceName, "cannot be read: " + source.errorString());
    } else if (!source.open(stdin, QIODevice::ReadOnly)) {
        return fail(ExitUnusable, sourceName, "cannot be read: " + source.errorString());
    }
    if (QFileInfo(sourceName).exists() && QFileInfo(path).exists() &&
        QFileInfo(sourceName).canonicalFilePath() == QFileInfo(path).canonicalFilePath())
        return fail(ExitRefused, path, "cannot store the container in itself");

    EfsVolume volume;
    const bool existed = QFileInfo::exists(path);
    if (!openForWriting(&volume, path, true)) return ExitUnusable;
    // A container this put created is removed again when the put fails.
    auto finish = [&](int code) {
        const int result = closeWritten(&volume, path, code);
        if (result != ExitOk && !existed) QFile::remove(path);
        return result;
    };

    // The new content goes under a name of its own and replaces the old file only once
    // it is complete: a failed read or a full disk leaves the earlier content in place.
    const QByteArray temporary = unusedName(&volume);
    const int32_t handle =
        volume.openFile(temporary.constData(), EfsVolume::AccessWrite, EfsVolume::CreateAlways);
    if (handle == 0) {
        const QString reason = volumeReason(volume);
        return finish(fail(ExitUnusable, path,
                           QString("%1 cannot be created: %2").arg(nameText(name), reason)));
    }
    auto abandon = [&](const QString& reason) {
        volume.closeFile(handle);
        volume.removeFile(temporary.constData());
        return finish(fail(ExitUnusable, path, reason));
    };
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const qint64 got = source.read(buffer.data(), static_cast<qint64>(buffer.size()));
        if (got < 0)
            return abandon(QString("%1 cannot be read: %2").arg(sourceName, source.errorString()));
        if (got == 0) break;
        if (!volume.writeFile(handle, buffer.data(), static_cast<int32_t>(got)))
            return abandon(
                QString("%1 cannot be written: %2").arg(nameText(name), volumeReason(volume)));
    }
    volume.closeFile(handle);
    if (volume.lastError() != EfsVolume::ErrorNone)
        return abandon(
            QString("%1 cannot be written: %2").arg(nameText(name), volumeReason(volume)));

    if (volume.fileExists(name.constData()) && !volume.removeFile(name.constData())) {
        const QString reason = volumeReason(volume);
        volume.removeFile(temporary.constData());
        return closeWritten(
            &volume, path,
            fail(ExitUnusable, path,
                 QString("the earlier %1 cannot be replaced: %2").arg(nameText(name), reason)));
    }
    if (!volume.renameFile(temporary.constData(), name.constData())) {
        return closeWritten(
            &volume, path,
            fail(ExitUnusable, path,
                 QString("the new content is stored as %1 but cannot be "
                         "renamed to %2: %3")
                     .arg(nameText(temporary), nameText(name), volumeReason(volume))));
    }
    return finish(ExitOk);
}

int cmdRm(const Arguments& args) {
    int code = 0;
    if (!argumentsFit("rm", args, {}, 2, -1, &code)) return code;
    const QString path = pathArgument(args.plain[0]);
    EfsVolume volume;
    if (!openForWriting(&volume, path, false)) return ExitUnusable;
    int status = ExitOk;
    for (qsizetype i = 1; i < args.plain.size(); ++i) {
        const QByteArray& name = args.plain[i];
        if (volume.removeFile(name.constData())) continue;
        if (volume.lastError() == EfsVolume::ErrorNotFound) {
            fail(ExitRefused, path, QString("no stored file %1").arg(nameText(name)));
            status = std::max<int>(status, ExitRefused);
        } else {
            fail(ExitUnusable, path,
                 QString("%1 cannot be removed: %2").arg(nameText(name), volumeReason(volume)));
            status = ExitUnusable;
        }
    }
    return closeWritten(&volume, path, status);
}

int cmdMv(const Arguments& args) {
    int code = 0;
    if (!argumentsFit("mv", args, {}, 3, 3, &code)) return code;
    const QString path = pathArgument(args.plain[0]);
    const QByteArray& from = args.plain[1];
    QByteArray to = args.plain[2];
    if (to.isEmpty()) return fail(ExitRefused, path, "an empty stored name is not allowed");
    if (to.size() > efs::kMaxNameLength) {
        const QByteArray cut = to.left(efs::kMaxNameLength);
        warn(QString("%1: the name %2 is longer than %3 bytes and is stored as %4")
                 .arg(path, nameText(to))
                 .arg(efs::kMaxNameLength)
                 .arg(nameText(cut)));
        to = cut;
    }
    EfsVolume volume;
    if (!openForWriting(&volume, path, false)) return ExitUnusable;
    if (!volume.fileExists(from.constData()))
        return closeWritten(
            &volume, path,
            fail(ExitRefused, path, QString("no stored file %1").arg(nameText(from))));
    if (from.left(efs::kMaxNameLength) != to && volume.fileExists(to.constData()))
        return closeWritten(
            &volume, path,
            fail(ExitRefused, path,
                 QString("%1 already exists; remove it first to replace it").arg(nameText(to))));
    if (!volume.renameFile(from.constData(), to.constData()))
        return closeWritten(&volume, path,
                            fail(ExitUnusable, path,
                                 QString("%1 cannot be renamed to %2: %3")
                                     .arg(nameText(from), nameText(to), volumeReason(volume))));
    return closeWritten(&volume, path, ExitOk);
}

int cmdInfo(const Arguments& args) {
    int code = 0;
    if (!argumentsFit("info", args, {"--json"}, 1, 1, &code)) return code;
    const QString path = pathArgument(args.plain[0]);
    EfsVolume volume;
    if (!openForReading(&volume, path)) return ExitUnusable;
    VolumeStatistics stats;
    volume.volumeStatistics(&stats);
    QList<QByteArray> names;
    volume.listFiles(&names);
    if (volume.lastError() != EfsVolume::ErrorNone)
        return fail(ExitUnusable, path, "the file table cannot be read: " + volumeReason(volume));
    const efs::VolumeParams params = volume.parameters();
    const int32_t flag = volume.openFlagAtOpen();
    if (args.has("--json")) {
        QJsonObject p;
        p["blockSize"] = static_cast<qint64>(params.blockSize);
        p["growthStep"] = static_cast<qint64>(params.growthStep);
        p["minLargestRun"] = params.minLargestRun;
        p["reserveBlocks"] = params.reserveBlocks;
        p["allocMode"] = params.allocMode;
        QJsonObject o;
        o["formatVersion"] = volume.formatVersion();
        o["openFlag"] = flag;
        o["parameters"] = p;
        o["hostSize"] = static_cast<qint64>(stats.hostSize);
        o["freeBytes"] = static_cast<qint64>(stats.freeBytes);
        o["freePercent"] = std::round(static_cast<double>(stats.freePercent) * 100.0) / 100.0;
        o["fileCount"] = static_cast<qint64>(names.size());
        writeOut(QJsonDocument(o).toJson(QJsonDocument::Indented));
        return finishOutput(ExitOk);
    }
    const QString flagText = flag == 0   ? "closed cleanly"
                             : flag == 1 ? "not closed cleanly"
                                         : "invalid value";
    QString text;
    text += QString("format version: %1\n").arg(volume.formatVersion());
    text += QString("open flag: %1 (%2)\n").arg(flag).arg(flagText);
    text += QString("block size: %1\n").arg(params.blockSize);
    text += QString("growth step: %1\n").arg(params.growthStep);
    text += QString("min largest run: %1\n").arg(params.minLargestRun);
    text += QString("reserve blocks: %1\n").arg(params.reserveBlocks);
    text +=
        QString("alloc mode: %1 (%2)\n").arg(params.allocMode).arg(allocModeName(params.allocMode));
    text += QString("host size: %1\n").arg(stats.hostSize);
    text += QString("free bytes: %1\n").arg(stats.freeBytes);
    text += QString("free percent: %1\n").arg(static_cast<double>(stats.freePercent), 0, 'f', 2);
    text += QString("files: %1\n").arg(names.size());
    writeOut(text);
    return finishOutput(ExitOk);
}

int cmdCheck(const Arguments& args) {
    int code = 0;
    if (!argumentsFit("check", args, {}, 1, 1, &code)) return code;
    const QString path = pathArgument(args.plain[0]);
    EfsVolume volume;
    if (!openForReading(&volume, path)) return ExitUnusable;
    const QStringList problems = volume.check();
    if (problems.isEmpty()) {
        writeOut(QString("%1: no problems found\n").arg(path));
        return finishOutput(ExitOk);
    }
    for (const QString& problem : problems) writeOut(problem + '\n');
    writeOut(QString("%1: %2 problem(s) found\n").arg(path).arg(problems.size()));
    return finishOutput(ExitRefused);
}

bool sameFile(const QString& a, const QString& b) {
    struct stat sa {
    }, sb{};
    if (::stat(QFile::encodeName(a).constData(), &sa) != 0) return false;
    if (::stat(QFile::encodeName(b).constData(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int cmdDump(const Arguments& args) {
    int code = 0;
    if (!argumentsFit("dump", args, {}, 1, 2, &code)) return code;
    const QString path = pathArgument(args.plain[0]);
    EfsVolume volume;
    if (!openForReading(&volume, path)) return ExitUnusable;
    if (args.plain.size() == 1) {
        std::fflush(stdout);
        QFile out;
        if (!out.open(stdout, QIODevice::WriteOnly) || !volume.writeDebugReport(&out))
            return fail(ExitUnusable, "standard output", "the report cannot be written");
        out.close();
        return finishOutput(ExitOk);
    }
    const QString target = pathArgument(args.plain[1]);
    if (sameFile(target, path))
        return fail(ExitRefused, target, "is the container itself; give another file");
    // The report replaces OUT only once it is complete.
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly))
        return fail(ExitUnusable, target, "cannot be written: " + out.errorString());
    if (!volume.writeDebugReport(&out)) {
        out.cancelWriting();
        return fail(ExitUnusable, target, "the report cannot be written: " + out.errorString());
    }
    if (!out.commit()) return fail(ExitUnusable, target, "cannot be written: " + out.errorString());
    return ExitOk;
}

int cmdCompact(const Arguments& args) {
    int code = 0;
    if (!argumentsFit("compact", args, {}, 1, 1, &code)) return code;
    const QString path = pathArgument(args.plain[0]);
    EfsVolume volume;
    if (!openForWriting(&volume, path, false)) return ExitUnusable;
    if (!volume.compact()) {
        const QString reason = volumeReason(volume);
        return closeWritten(&volume, path,
                            fail(ExitUnusable, path, "cannot be compacted: " + reason));
    }
    return closeWritten(&volume, path, ExitOk);
}

}  // namespace
}  // namespace vxtool

int main(int argc, char** argv) {
    using namespace vxtool;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("vxtool");
    QCoreApplication::setApplicationVersion(QStringLiteral(VOXTRAIL_VERSION));

    if (argc < 2) {
        printMainHelp();
        return ExitUnusable;
    }
    const QString command = QString::fromLocal8Bit(argv[1]);
    if (command == "--help" || command == "-h" || command == "help") {
        if (command == "help" && argc > 2) {
            const QString topic = QString::fromLocal8Bit(argv[2]);
            if (!printCommandHelp(topic)) return usageError("help", "no command " + topic);
            return finishOutput(ExitOk);
        }
        printMainHelp();
        return finishOutput(ExitOk);
    }
    if (command == "--version") {
        writeOut(QString("vxtool %1 (container format %2)\n")
                     .arg(QStringLiteral(VOXTRAIL_VERSION))
                     .arg(efs::kFormatVersion));
        return finishOutput(ExitOk);
    }
    const Arguments args = splitArguments(argc, argv, 2);
    if (args.has("--help") || args.has("-h")) {
        QString topic = command;
        if (command == "project" && !args.plain.isEmpty())
            topic = "project " + QString::fromLocal8Bit(args.plain[0]);
        if (!printCommandHelp(topic)) return usageError(topic, "no such command");
        return finishOutput(ExitOk);
    }
    if (command == "ls") return cmdLs(args);
    if (command == "cat") return cmdCat(args);
    if (command == "put") return cmdPut(args);
    if (command == "rm") return cmdRm(args);
    if (command == "mv") return cmdMv(args);
    if (command == "info") return cmdInfo(args);
    if (command == "check") return cmdCheck(args);
    if (command == "dump") return cmdDump(args);
    if (command == "compact") return cmdCompact(args);
    if (command == "project") return runProject(argc, argv, 2);
    warn(QString("unknown command %1 (see: vxtool --help)").arg(command));
    return ExitUnusable;
}
