// vxtool project report: the show at a glance, for the stage manager's desk. The figures are
// project check's, from the same analysis measured once, with each sound's envelope taken in
// the same pass; the page is written whole beside its file and then renamed over it.
#include <QDateTime>
#include <QFileInfo>
#include <QSaveFile>
#include <cmath>
#include <optional>

#include "tools/ReportPage.h"
#include "tools/ShowCheck.h"
#include "tools/ShowReader.h"
#include "tools/ToolSupport.h"

namespace vxtool {

namespace {

constexpr char kCommand[] = "project report";
// Targets a show may be levelled to: up to full scale, down to the absolute gate of the
// loudness measure.
constexpr double kLowestTarget = -70.0;
constexpr double kHighestTarget = 0.0;

struct ReportArguments {
    QList<QByteArray> plain;
    QByteArray output;
    QByteArray target = "median";
};

// Parses "-o FILE", "--output[=]FILE" and "--target[=]VALUE" anywhere before "--"; a value
// is taken as it is, so "--target -16" works. Returns false after printing why.
bool parse(int argc, char** argv, int first, ReportArguments* args) {
    bool ended = false;
    for (int i = first; i < argc; ++i) {
        const QByteArray a(argv[i]);
        QByteArray* value = nullptr;
        if (!ended && a == "--") {
            ended = true;
            continue;
        }
        if (!ended && (a == "-o" || a == "--output")) value = &args->output;
        if (!ended && a == "--target") value = &args->target;
        if (value != nullptr) {
            if (i + 1 >= argc) {
                usageError(kCommand, QString::fromLocal8Bit(a) + " needs a value");
                return false;
            }
            *value = argv[++i];
        } else if (!ended && a.startsWith("--output=")) {
            args->output = a.mid(9);
        } else if (!ended && a.startsWith("--target=")) {
            args->target = a.mid(9);
        } else if (!ended && a.size() > 1 && a.startsWith('-')) {
            usageError(kCommand, "unknown option " + QString::fromLocal8Bit(a));
            return false;
        } else {
            args->plain << a;
        }
    }
    if (args->plain.size() != 1) {
        usageError(kCommand, "give one project file");
        return false;
    }
    if (args->output.isEmpty()) {
        usageError(kCommand, "give the report's file with -o REPORT.html");
        return false;
    }
    return true;
}

// The target in LUFS, none for "median"; false after printing why when it is neither.
bool targetOf(const QByteArray& text, std::optional<double>* target) {
    if (text == "median") return true;
    bool ok = false;
    const double lufs = text.toDouble(&ok);
    if (!ok || !std::isfinite(lufs) || lufs < kLowestTarget || lufs > kHighestTarget) {
        usageError(kCommand,
                   QString("--target %1: give a loudness in LUFS from %2 to %3, or median")
                       .arg(QString::fromLocal8Bit(text))
                       .arg(kLowestTarget)
                       .arg(kHighestTarget));
        return false;
    }
    *target = lufs;
    return true;
}

}  // namespace

int runProjectReport(int argc, char** argv, int first) {
    ReportArguments args;
    std::optional<double> target;
    if (!parse(argc, argv, first, &args) || !targetOf(args.target, &target)) return ExitUnusable;
    const QString path = pathArgument(args.plain[0]);
    const QString reportPath = pathArgument(args.output);
    const QFileInfo showInfo(path), reportInfo(reportPath);
    if (reportInfo.exists() && reportInfo.canonicalFilePath() == showInfo.canonicalFilePath())
        return fail(ExitUnusable, reportPath, "is the show itself; give another file");
    ShowReader show;
    if (!show.open(path)) return ExitUnusable;
    // Said before the sounds are measured, which can take minutes; the write says it again
    // if the folder changes meanwhile.
    if (reportInfo.isDir()) return fail(ExitUnusable, reportPath, "is a folder; give a file");
    const QFileInfo folder(reportInfo.absolutePath());
    if (!folder.isDir() || !folder.isWritable())
        return fail(ExitUnusable, reportPath,
                    "cannot be written: " + folder.filePath() +
                        (folder.isDir() ? " is not writable" : " is not a folder"));

    analysis::ShowAnalysis result;
    analysis::OutputFormat output;
    if (const int code = checkShow(show, {true, kReportEnvelopePoints}, &result, &output);
        code != ExitOk)
        return code;
    const QDateTime now = QDateTime::currentDateTime();
    const QByteArray page =
        reportPage({showInfo.completeBaseName(), showInfo.absoluteFilePath(),
                    now.toString("yyyy-MM-dd HH:mm ") + now.timeZoneAbbreviation(), show.chapters(),
                    result, target});

    QSaveFile out(reportPath);
    if (!out.open(QIODevice::WriteOnly))
        return fail(ExitUnusable, reportPath, "cannot be written: " + out.errorString());
    if (out.write(page) != page.size() || !out.commit())
        return fail(ExitUnusable, reportPath, "cannot be written: " + out.errorString());
    return ExitOk;
}

}  // namespace vxtool
