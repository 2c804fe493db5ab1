// vxtool project level: every cue of a show brought to one loudness by one constant gain
// in its recording, written as a new show (or in place of the old one, in one step).
#include <sys/stat.h>

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <cmath>

#include "analysis/LevelPlan.h"
#include "analysis/ShowLeveller.h"
#include "project/ProjectArchive.h"
#include "tools/ShowCheck.h"
#include "tools/ShowReader.h"
#include "tools/ToolSupport.h"

namespace vxtool {

namespace {

using analysis::CueLevel;
using analysis::LevelAction;

const char kCommand[] = "project level";

struct LevelArguments {
    QString show;
    QString output;
    bool inPlace = false;
    bool dryRun = false;
    bool json = false;
    bool force = false;
    analysis::LevelOptions options;
};

bool parseNumber(const QString& text, double* value) {
    bool ok = false;
    *value = text.toDouble(&ok);
    return ok && std::isfinite(*value);
}

// A list of cue numbers from 1: "3", "3,7", "2-5,9".
bool isCueList(const QString& text) {
    static const QRegularExpression kList("^\\d+(-\\d+)?(,\\d+(-\\d+)?)*$");
    return kList.match(text).hasMatch();
}

bool parseCues(const QString& text, std::vector<int>* cues) {
    if (!isCueList(text)) return false;
    for (const QString& part : text.split(',')) {
        const QStringList range = part.split('-');
        const int from = range[0].toInt();
        const int to = range.size() > 1 ? range[1].toInt() : from;
        if (from < 1 || to < from || to - from > 100000) return false;
        for (int n = from; n <= to; ++n) cues->push_back(n);
    }
    return true;
}

// The options that take a value, as "--name VALUE" or "--name=VALUE".
int parse(const std::vector<QByteArray>& raw, LevelArguments* a) {
    QList<QByteArray> plain;
    for (size_t i = 0; i < raw.size(); ++i) {
        const QString arg = QString::fromLocal8Bit(raw[i]);
        if (arg == "--") {
            for (++i; i < raw.size(); ++i) plain << raw[i];
            break;
        }
        if (arg.size() < 2 || !arg.startsWith('-')) {
            plain << raw[i];
            continue;
        }
        QString name = arg, value;
        bool hasValue = false;
        if (const qsizetype eq = arg.indexOf('='); eq > 0 && arg.startsWith("--")) {
            name = arg.left(eq);
            value = arg.mid(eq + 1);
            hasValue = true;
        }
        auto takeValue = [&]() {
            if (hasValue) return true;
            if (i + 1 >= raw.size()) return false;
            value = QString::fromLocal8Bit(raw[++i]);
            return true;
        };
        if (name == "--dry-run") {
            a->dryRun = true;
        } else if (name == "--json") {
            a->json = true;
        } else if (name == "--force") {
            a->force = true;
        } else if (name == "--in-place") {
            a->inPlace = true;
        } else if (name == "-o" || name == "--output") {
            if (!takeValue()) return usageError(kCommand, name + " needs a file");
            a->output = pathArgument(value.toLocal8Bit());
        } else if (name == "--target") {
            if (!takeValue()) return usageError(kCommand, "--target needs LUFS or median");
            double lufs = 0;
            if (value == "median")
                a->options.targetLufs.reset();
            else if (parseNumber(value, &lufs) && lufs < 0 && lufs >= -70)
                a->options.targetLufs = lufs;
            else
                return usageError(kCommand,
                                  "--target takes a loudness in LUFS from -70 to "
                                  "below 0, or median; not " +
                                      value);
        } else if (name == "--ceiling") {
            double dbtp = 0;
            if (!takeValue() || !parseNumber(value, &dbtp) || dbtp > 0 || dbtp < -60)
                return usageError(kCommand,
                                  "--ceiling takes a true peak in dBTP from -60 to 0 "
                                  "(above 0 a sample would clip)");
            a->options.ceilingDbtp = dbtp;
        } else if (name == "--tolerance") {
            double lu = 0;
            if (!takeValue() || !parseNumber(value, &lu) || lu < 0 || lu > 20)
                return usageError(kCommand, "--tolerance takes LU from 0 to 20");
            a->options.toleranceLu = lu;
        } else if (name == "--cue") {
            if (!takeValue() || !parseCues(value, &a->options.cues))
                return usageError(kCommand, "--cue takes cue numbers: 3, 3,7 or 2-5");
            // "--cue 3 7 9": the numbers that follow are cues too.
            while (!hasValue && i + 1 < raw.size() && isCueList(QString::fromLocal8Bit(raw[i + 1])))
                parseCues(QString::fromLocal8Bit(raw[++i]), &a->options.cues);
        } else {
            return usageError(kCommand, "unknown option " + arg);
        }
    }
    if (plain.size() != 1) return usageError(kCommand, "give one project file");
    a->show = pathArgument(plain[0]);
    if (a->inPlace && !a->output.isEmpty())
        return usageError(kCommand, "give either -o OUT.vx or --in-place, not both");
    if (!a->inPlace && a->output.isEmpty() && !a->dryRun)
        return usageError(kCommand, "give -o OUT.vx, --in-place or --dry-run");
    return ExitOk;
}

// Whether out names the same file as show.
bool sameFile(const QString& show, const QString& out) {
    struct stat a {
    }, b{};
    return ::stat(QFile::encodeName(show).constData(), &a) == 0 &&
           ::stat(QFile::encodeName(out).constData(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

QString actionName(LevelAction action) {
    switch (action) {
        case LevelAction::Changed:
            return "changed";
        case LevelAction::Held:
            return "held";
        default:
            return "left";
    }
}

QString lufs(const std::optional<double>& v) {
    return v ? analysis::lufsText(*v) : QString("no loudness");
}

QString cueText(const CueLevel& level, int entry, const Entry& e) {
    QString t =
        QString("  cue %1 (entry %2): %3\n").arg(level.cue).arg(entry + 1).arg(escapedText(e.name));
    if (level.changes()) {
        t += QString("    %1 -> %2, gain %3 dB, true peak %4 -> %5\n")
                 .arg(lufs(level.beforeLufs), lufs(level.afterLufs))
                 .arg((level.gainDb > 0 ? "+" : "") + QString::number(level.gainDb, 'f', 1))
                 .arg(analysis::dbtpText(*level.truePeakBeforeDbtp),
                      analysis::dbtpText(*level.truePeakAfterDbtp));
        if (level.action == LevelAction::Held) t += "    held: " + level.reason + "\n";
    } else {
        t += "    left: " + level.reason +
             (level.beforeLufs ? " (" + lufs(level.beforeLufs) + ")" : QString()) + "\n";
    }
    return t;
}

QJsonObject cueJson(const CueLevel& level, const Entry& e) {
    return QJsonObject{{"cue", level.cue},
                       {"name", e.name},
                       {"action", actionName(level.action)},
                       {"reason", level.reason.isEmpty() ? QJsonValue() : level.reason},
                       {"beforeLufs", jsonLevel(level.beforeLufs)},
                       {"afterLufs", jsonLevel(level.afterLufs)},
                       {"gainDb", jsonLevel(level.gainDb)},
                       {"truePeakBeforeDbtp", jsonLevel(level.truePeakBeforeDbtp)},
                       {"truePeakAfterDbtp", jsonLevel(level.truePeakAfterDbtp)}};
}

}  // namespace

int runProjectLevel(int argc, char** argv, int first) {
    std::vector<QByteArray> raw;
    for (int i = first; i < argc; ++i) raw.emplace_back(argv[i]);
    LevelArguments a;
    if (const int code = parse(raw, &a); code != ExitOk) return code;
    const QString target = a.inPlace ? a.show : a.output;
    if (!a.dryRun && !a.inPlace) {
        const QFileInfo out(target);
        if (out.isDir()) return fail(ExitUnusable, target, "is a folder");
        if (sameFile(a.show, target))
            return fail(ExitUnusable, target, "is the show itself; give --in-place to replace it");
        if (out.exists() && !a.force)
            return fail(ExitUnusable, target, "already exists; give --force to replace it");
    }

    ShowReader show;
    if (!show.open(a.show)) return ExitUnusable;
    analysis::ShowAnalysis measured;
    analysis::OutputFormat output;
    if (const int code = checkShow(show, {}, &measured, &output); code != ExitOk) return code;
    if (show.status() != ExitOk)
        return fail(ExitUnusable, a.show,
                    "a sound cannot be read (named above), so the show cannot be levelled "
                    "without losing it");
    const analysis::LevelPlan plan = analysis::planLevels(measured, a.options);

    bool written = false;
    if (!a.dryRun) {
        analysis::ShowSource source;
        source.readSound = [&](int c, int e, QByteArray* bytes) {
            return show.readSound(c, e, bytes);
        };
        ProjectArchive archive;
        QString error;
        if (!analysis::writeLevelledShow(show.chapters(), plan, source, archive, target, &error))
            return fail(ExitUnusable, target, "not written: " + error);
        written = true;
    }

    const ChapterList& chapters = show.chapters();
    QString text;
    QJsonArray chapterArray;
    size_t next = 0;
    for (size_t c = 0; c < chapters.size(); ++c) {
        text += QString("chapter %1: %2\n").arg(c + 1).arg(escapedText(chapters[c]->name));
        QJsonArray entries;
        for (int e = 0; e < chapters[c]->entryCount(); ++e) {
            const CueLevel& level = plan.cues[next++];
            text += cueText(level, e, *chapters[c]->entry(e));
            entries.append(cueJson(level, *chapters[c]->entry(e)));
        }
        chapterArray.append(QJsonObject{{"name", chapters[c]->name}, {"entries", entries}});
    }
    const int status = plan.allReached() ? ExitOk : ExitRefused;
    if (a.json) {
        const QJsonObject summary{{"changed", plan.changed},
                                  {"held", plan.held},
                                  {"left", plan.left},
                                  {"spreadBeforeLu", jsonLevel(plan.spreadBeforeLu)},
                                  {"spreadAfterLu", jsonLevel(plan.spreadAfterLu)}};
        const QJsonObject root{{"targetLufs", jsonLevel(plan.targetLufs)},
                               {"target", plan.targetIsMedian ? "median" : "given"},
                               {"ceilingDbtp", a.options.ceilingDbtp},
                               {"toleranceLu", a.options.toleranceLu},
                               {"written", written ? QJsonValue(target) : QJsonValue()},
                               {"chapters", chapterArray},
                               {"summary", summary}};
        writeOut(QJsonDocument(root).toJson(QJsonDocument::Indented));
        return finishOutput(status);
    }
    QString head =
        "target: " + lufs(plan.targetLufs) +
        (plan.targetIsMedian ? " (the median of the show's measurable cues)\n" : QString("\n"));
    head += QString("ceiling: %1, tolerance: %2\n")
                .arg(analysis::dbtpText(a.options.ceilingDbtp),
                     analysis::luText(a.options.toleranceLu));
    auto spread = [](const std::optional<double>& s) {
        return s ? analysis::luText(*s) : QString("none");
    };
    text = head + text + "summary:\n";
    text += QString("  changed: %1\n  held: %2\n  left: %3\n")
                .arg(plan.changed)
                .arg(plan.held)
                .arg(plan.left);
    text += QString("  spread of loudness: %1 before, %2 after\n")
                .arg(spread(plan.spreadBeforeLu), spread(plan.spreadAfterLu));
    text +=
        written ? QString("  written: %1\n").arg(target) : QString("  dry run: nothing written\n");
    writeOut(text);
    return finishOutput(status);
}

}  // namespace vxtool
