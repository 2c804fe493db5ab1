// vxtool project check: before a performance, whether every cue of a show will play, what
// each recording is, and the level and timing problems an audience would notice.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <algorithm>
#include <cmath>
#include <thread>
#include <vector>

#include "tools/MeasuringQueue.h"
#include "tools/ShowReader.h"
#include "tools/SoundCheck.h"
#include "tools/ToolSupport.h"

namespace vxtool {

namespace {

double rounded(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

QJsonValue dbfsValue(double dbfs) {
    return std::isinf(dbfs) ? QJsonValue() : QJsonValue(rounded(dbfs, 2));
}

QString channelsText(int channels) {
    if (channels == 1) return "mono";
    if (channels == 2) return "stereo";
    return QString("%1 channels").arg(channels);
}

struct EntryResult {
    ShowReader::Sound sound = ShowReader::Sound::None;
    int64_t bytes = 0;
    SoundReport report;
    bool plays() const { return sound == ShowReader::Sound::Present && report.plays; }
    QString problem() const {
        if (sound == ShowReader::Sound::None) return "the entry has no sound: PLAY plays nothing";
        if (sound == ShowReader::Sound::Unreadable)
            return "the sound cannot be read from the container";
        return report.playError;
    }
};

QString entryText(int e, int cue, const Entry& entry, const EntryResult& r) {
    QString t =
        QString("  entry %1 (cue %2): %3\n").arg(e + 1).arg(cue).arg(escapedText(entry.name));
    const SoundReport& s = r.report;
    if (s.decoded)
        t += QString("    sound: %1, %2 Hz, %3, %4, %5 bytes\n")
                 .arg(formatText(s), QString::number(s.rate), channelsText(s.channels),
                      clockText(s.seconds))
                 .arg(r.bytes);
    else if (r.sound == ShowReader::Sound::Present)
        t += QString("    sound: %1 bytes, a format libsndfile cannot read (%2)\n")
                 .arg(r.bytes)
                 .arg(s.decodeError);
    if (!r.plays()) return t + "    WILL NOT PLAY: " + r.problem() + "\n";
    for (const QString& note : s.conversions) t += "    converted: " + note + "\n";
    if (s.measured)
        t += QString("    levels: peak %1, silence %2 s in front and %3 s at the end\n")
                 .arg(dbfsText(s.peakDbfs))
                 .arg(s.leadingSeconds, 0, 'f', 2)
                 .arg(s.trailingSeconds, 0, 'f', 2);
    for (const Warning& w : s.warnings) t += "    warning: " + w.text + "\n";
    return t;
}

QJsonObject entryJson(int cue, const Entry& entry, const EntryResult& r) {
    const SoundReport& s = r.report;
    QJsonObject o;
    o["cue"] = cue;
    o["name"] = entry.name;
    o["sound"] = r.sound == ShowReader::Sound::None         ? "none"
                 : r.sound == ShowReader::Sound::Unreadable ? "unreadable"
                                                            : "present";
    o["soundBytes"] = static_cast<qint64>(r.bytes);
    o["plays"] = r.plays();
    if (!r.plays()) o["problem"] = r.problem();
    QJsonValue recording;
    if (s.decoded) {
        QJsonObject rec;
        rec["container"] = s.container;
        rec["encoding"] = s.encoding;
        rec["bits"] = s.bits;
        rec["rate"] = s.rate;
        rec["channels"] = s.channels;
        rec["durationSeconds"] = rounded(s.seconds, 3);
        recording = rec;
    }
    o["recording"] = recording;
    o["conversions"] = QJsonArray::fromStringList(s.conversions);
    QJsonValue levels;
    if (s.measured) {
        QJsonObject l;
        l["peakDbfs"] = dbfsValue(s.peakDbfs);
        l["leadingSilenceSeconds"] = rounded(s.leadingSeconds, 3);
        l["trailingSilenceSeconds"] = rounded(s.trailingSeconds, 3);
        l["clippedRuns"] = static_cast<qint64>(s.clippedRuns);
        l["firstClipSeconds"] = rounded(s.firstClipSeconds, 3);
        levels = l;
    }
    o["levels"] = levels;
    QJsonArray warnings;
    for (const Warning& w : s.warnings) {
        QJsonObject wo;
        wo["kind"] = w.kind;
        wo["value"] = w.kind == "quiet" || w.kind == "silent" ? dbfsValue(w.value)
                                                              : QJsonValue(rounded(w.value, 3));
        wo["text"] = w.text;
        warnings.append(wo);
    }
    o["warnings"] = warnings;
    return o;
}

QJsonObject thresholdsJson() {
    using T = Thresholds;
    QJsonObject t;
    t["silenceDbfs"] = T::kSilenceDbfs;
    t["leadingSilenceSeconds"] = T::kLeadingSeconds;
    t["trailingSilenceSeconds"] = T::kTrailingSeconds;
    t["quietPeakDbfs"] = T::kQuietPeakDbfs;
    t["fullScaleDbfs"] = T::kFullScaleDbfs;
    t["clipRunSamples"] = T::kClipRunSamples;
    return t;
}

}  // namespace

int runProjectCheck(const Arguments& args) {
    for (const QString& option : args.options)
        if (option != "--json") return usageError("project check", "unknown option " + option);
    if (args.plain.size() != 1) return usageError("project check", "give one project file");
    const QString path = pathArgument(args.plain[0]);
    ShowReader show;
    if (!show.open(path)) return ExitUnusable;
    SoundChecker checker;
    if (!checker.ready())
        return fail(ExitUnusable, "sound output",
                    "SDL's dummy audio output cannot be opened, so nothing can be checked: " +
                        checker.outputError());
    const bool json = args.has("--json");
    const ChapterList& chapters = show.chapters();

    // The entries in running order; their reports come back from the queue in this order.
    struct Slot {
        int chapter, entry, cue;
        ShowReader::Sound sound;
        int64_t bytes;
    };
    std::vector<Slot> running;
    size_t printed = 0;
    int notPlaying = 0, warnings = 0;
    double showSeconds = 0, chapterSeconds = 0;
    QJsonArray chapterArray, entryArray;
    QStringList chapterTotals;
    int chapterOpen = -1;  // the chapter whose heading was printed last
    auto closeChapter = [&] {
        if (chapterOpen < 0) return;
        const Chapter& chapter = *chapters[static_cast<size_t>(chapterOpen)];
        showSeconds += chapterSeconds;
        chapterTotals << QString("  chapter %1: %2  %3\n")
                             .arg(chapterOpen + 1)
                             .arg(clockText(chapterSeconds), escapedText(chapter.name));
        QJsonObject o;
        o["name"] = chapter.name;
        o["durationSeconds"] = rounded(chapterSeconds, 3);
        o["entries"] = entryArray;
        chapterArray.append(o);
        entryArray = QJsonArray();
        chapterSeconds = 0;
    };
    // Headings and totals of every chapter up to `chapter`, empty ones included.
    auto openChapter = [&](int chapter) {
        while (chapterOpen < chapter) {
            closeChapter();
            ++chapterOpen;
            if (!json)
                writeOut(QString("chapter %1: %2\n")
                             .arg(chapterOpen + 1)
                             .arg(escapedText(chapters[static_cast<size_t>(chapterOpen)]->name)));
        }
    };
    auto print = [&](const SoundReport& report) {
        const Slot& slot = running[printed++];
        EntryResult r{slot.sound, slot.bytes, report};
        openChapter(slot.chapter);
        if (r.plays())
            chapterSeconds += r.report.seconds;
        else
            ++notPlaying;
        warnings += static_cast<int>(r.report.warnings.size());
        const Entry& entry = *chapters[static_cast<size_t>(slot.chapter)]->entry(slot.entry);
        if (json)
            entryArray.append(entryJson(slot.cue, entry, r));
        else
            writeOut(entryText(slot.entry, slot.cue, entry, r));
    };

    {
        // Two measuring threads: the main thread mostly reads and waits.
        MeasuringQueue queue(
            std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 2));
        QByteArray bytes;  // the sound being read, before it joins the queue
        for (size_t c = 0; c < chapters.size(); ++c) {
            for (int e = 0; e < chapters[c]->entryCount(); ++e) {
                const int chapter = static_cast<int>(c);
                Slot slot{chapter, e, static_cast<int>(running.size()) + 1, ShowReader::Sound::None,
                          0};
                slot.sound = show.soundSize(chapter, e, &slot.bytes);
                std::unique_ptr<PendingSound> pending;
                if (slot.sound == ShowReader::Sound::Present) {
                    queue.waitForRoom(slot.bytes);
                    slot.sound = show.readSound(chapter, e, &bytes);
                    if (slot.sound == ShowReader::Sound::Present) pending = checker.begin(bytes);
                    bytes = QByteArray();
                }
                if (slot.sound != ShowReader::Sound::Present) slot.bytes = 0;
                running.push_back(slot);
                queue.submit(std::move(pending), slot.bytes);
                for (SoundReport report; queue.next(&report, false);) print(report);
            }
        }
        for (SoundReport report; queue.next(&report, true);) print(report);
    }
    openChapter(static_cast<int>(chapters.size()) - 1);
    closeChapter();
    const int entries = static_cast<int>(running.size());
    const int status =
        notPlaying > 0 || warnings > 0 || show.status() != ExitOk ? ExitRefused : ExitOk;
    if (json) {
        QJsonObject output;
        output["rate"] = checker.output().rate;
        output["channels"] = checker.output().channels;
        output["bits"] = checker.output().bits;
        QJsonObject summary;
        summary["entries"] = entries;
        summary["notPlaying"] = notPlaying;
        summary["warnings"] = warnings;
        summary["durationSeconds"] = rounded(showSeconds, 3);
        QJsonObject root;
        root["output"] = output;
        root["thresholds"] = thresholdsJson();
        root["chapters"] = chapterArray;
        root["summary"] = summary;
        writeOut(QJsonDocument(root).toJson(QJsonDocument::Indented));
        return finishOutput(status);
    }
    QString text = "summary:\n";
    text += QString("  entries: %1\n").arg(entries);
    text += QString("  will not play: %1\n").arg(notPlaying);
    text += QString("  warnings: %1\n").arg(warnings);
    text += chapterTotals.join(QString());
    text += QString("  show: %1\n").arg(clockText(showSeconds));
    writeOut(text);
    return finishOutput(status);
}

}  // namespace vxtool
