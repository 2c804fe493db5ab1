// vxtool project check: before a performance, whether every cue of a show will play, what
// each recording is, and the level and timing problems an audience would notice.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <cmath>
#include <optional>

#include "analysis/ShowAnalysis.h"
#include "tools/ShowCheck.h"
#include "tools/ShowReader.h"
#include "tools/ToolSupport.h"

namespace vxtool {

namespace {

using analysis::Cue;
using analysis::SoundState;

QString channelsText(int channels) {
    if (channels == 1) return "mono";
    if (channels == 2) return "stereo";
    return QString("%1 channels").arg(channels);
}

QString loudnessText(const analysis::Levels& l) {
    const QString integrated =
        l.integratedLufs        ? analysis::lufsText(*l.integratedLufs) + " integrated"
        : l.tooShortForLoudness ? QString("no integrated loudness (too short)")
                                : QString("no integrated loudness");
    const QString noise = l.noiseFloorDbfs ? analysis::dbfsText(*l.noiseFloorDbfs)
                                           : QString("none (no pause of 0.5 s)");
    return QString("%1, true peak %2, noise floor %3")
        .arg(integrated, analysis::dbtpText(l.truePeakDbtp), noise);
}

QString entryText(const Cue& cue, const Entry& entry) {
    QString t = QString("  entry %1 (cue %2): %3\n")
                    .arg(cue.entry + 1)
                    .arg(cue.number)
                    .arg(escapedText(entry.name));
    const analysis::Analysis& a = cue.analysis;
    if (a.decoded)
        t += QString("    sound: %1, %2 Hz, %3, %4, %5 bytes\n")
                 .arg(analysis::formatText(a.recording), QString::number(a.recording.rate),
                      channelsText(a.recording.channels), clockText(a.recording.seconds))
                 .arg(cue.bytes);
    else if (cue.sound == SoundState::Present)
        t += QString("    sound: %1 bytes, a format libsndfile cannot read (%2)\n")
                 .arg(cue.bytes)
                 .arg(a.decodeError);
    if (!cue.plays()) return t + "    WILL NOT PLAY: " + cue.problem() + "\n";
    for (const QString& note : cue.conversions) t += "    converted: " + note + "\n";
    if (a.measured) {
        const analysis::Levels& l = a.levels;
        t += QString("    levels: peak %1, silence %2 s in front and %3 s at the end\n")
                 .arg(analysis::dbfsText(l.samplePeakDbfs))
                 .arg(l.leadingSeconds, 0, 'f', 2)
                 .arg(l.trailingSeconds, 0, 'f', 2);
        t += "    loudness: " + loudnessText(l) + "\n";
    }
    for (const QString& note : cue.findings.notes) t += "    note: " + note + "\n";
    for (const analysis::Warning& w : cue.findings.warnings) t += "    warning: " + w.text + "\n";
    return t;
}

QJsonObject entryJson(const Cue& cue, const Entry& entry) {
    const analysis::Analysis& a = cue.analysis;
    QJsonObject o;
    o["cue"] = cue.number;
    o["name"] = entry.name;
    o["sound"] = cue.sound == SoundState::None         ? "none"
                 : cue.sound == SoundState::Unreadable ? "unreadable"
                                                       : "present";
    o["soundBytes"] = static_cast<qint64>(cue.bytes);
    o["plays"] = cue.plays();
    if (!cue.plays()) o["problem"] = cue.problem();
    QJsonValue recording;
    if (a.decoded) {
        const analysis::Recording& r = a.recording;
        recording =
            QJsonObject{{"container", r.container}, {"encoding", r.encoding},
                        {"bits", r.bits},           {"rate", r.rate},
                        {"channels", r.channels},   {"durationSeconds", jsonRounded(r.seconds, 3)}};
    }
    o["recording"] = recording;
    o["conversions"] = QJsonArray::fromStringList(cue.conversions);
    QJsonValue levels;
    QJsonObject loudness{{"integratedLufs", QJsonValue()},
                         {"truePeakDbtp", QJsonValue()},
                         {"samplePeakDbfs", QJsonValue()},
                         {"noiseFloorDbfs", QJsonValue()}};
    if (a.measured) {
        const analysis::Levels& l = a.levels;
        levels = QJsonObject{{"peakDbfs", jsonLevel(l.samplePeakDbfs)},
                             {"leadingSilenceSeconds", jsonRounded(l.leadingSeconds, 3)},
                             {"trailingSilenceSeconds", jsonRounded(l.trailingSeconds, 3)},
                             {"clippedRuns", static_cast<qint64>(l.clippedRuns)},
                             {"firstClipSeconds", jsonRounded(l.firstClipSeconds, 3)}};
        loudness = QJsonObject{{"integratedLufs", jsonLevel(l.integratedLufs)},
                               {"truePeakDbtp", jsonLevel(l.truePeakDbtp)},
                               {"samplePeakDbfs", jsonLevel(l.samplePeakDbfs)},
                               {"noiseFloorDbfs", jsonLevel(l.noiseFloorDbfs)}};
    }
    o["levels"] = levels;
    o["loudness"] = loudness;
    o["notes"] = QJsonArray::fromStringList(cue.findings.notes);
    QJsonArray warnings;
    for (const analysis::Warning& w : cue.findings.warnings) {
        const bool seconds = w.kind == "leading-silence" || w.kind == "trailing-silence";
        const bool count = w.kind == "clipping" || w.kind == "not-measured";
        warnings.append(QJsonObject{
            {"kind", w.kind},
            {"value", seconds || count ? QJsonValue(jsonRounded(w.value, 3)) : jsonLevel(w.value)},
            {"text", w.text}});
    }
    o["warnings"] = warnings;
    return o;
}

QJsonObject thresholdsJson() {
    using T = analysis::Thresholds;
    return QJsonObject{{"silenceDbfs", T::kSilenceDbfs},
                       {"leadingSilenceSeconds", T::kLeadingSeconds},
                       {"trailingSilenceSeconds", T::kTrailingSeconds},
                       {"quietPeakDbfs", T::kQuietPeakDbfs},
                       {"fullScaleDbfs", T::kFullScaleDbfs},
                       {"clipRunSamples", T::kClipRunSamples},
                       {"loudnessJumpLu", T::kLoudnessJumpLu},
                       {"truePeakDbtp", T::kTruePeakDbtp},
                       {"noiseFloorDbfs", T::kNoiseFloorDbfs}};
}

}  // namespace

int runProjectCheck(const Arguments& args) {
    for (const QString& option : args.options)
        if (option != "--json") return usageError("project check", "unknown option " + option);
    if (args.plain.size() != 1) return usageError("project check", "give one project file");
    const QString path = pathArgument(args.plain[0]);
    ShowReader show;
    if (!show.open(path)) return ExitUnusable;
    analysis::ShowAnalysis result;
    analysis::OutputFormat output;
    if (const int code = checkShow(show, {}, &result, &output); code != ExitOk) return code;
    const bool json = args.has("--json");
    const ChapterList& chapters = show.chapters();

    QString text;
    QJsonArray chapterArray;
    QStringList chapterTotals;
    double showSeconds = 0;
    size_t next = 0;  // the first cue of the chapter
    for (size_t c = 0; c < chapters.size(); ++c) {
        const Chapter& chapter = *chapters[c];
        if (!json) text += QString("chapter %1: %2\n").arg(c + 1).arg(escapedText(chapter.name));
        QJsonArray entries;
        double chapterSeconds = 0;
        for (int e = 0; e < chapter.entryCount(); ++e) {
            const Cue& cue = result.cues[next++];
            if (cue.plays()) chapterSeconds += cue.seconds;
            if (json)
                entries.append(entryJson(cue, *chapter.entry(e)));
            else
                text += entryText(cue, *chapter.entry(e));
        }
        showSeconds += chapterSeconds;
        chapterTotals << QString("  chapter %1: %2  %3\n")
                             .arg(c + 1)
                             .arg(clockText(chapterSeconds), escapedText(chapter.name));
        chapterArray.append(QJsonObject{{"name", chapter.name},
                                        {"durationSeconds", jsonRounded(chapterSeconds, 3)},
                                        {"entries", entries}});
    }
    const int entries = static_cast<int>(result.cues.size());
    const int status = result.notPlaying > 0 || result.warnings > 0 || show.status() != ExitOk
                           ? ExitRefused
                           : ExitOk;
    if (json) {
        const QJsonObject summary{{"entries", entries},
                                  {"notPlaying", result.notPlaying},
                                  {"warnings", result.warnings},
                                  {"durationSeconds", jsonRounded(showSeconds, 3)},
                                  {"medianLufs", jsonLevel(result.medianLufs)}};
        const QJsonObject root{{"output", QJsonObject{{"rate", output.rate},
                                                      {"channels", output.channels},
                                                      {"bits", output.bits}}},
                               {"thresholds", thresholdsJson()},
                               {"chapters", chapterArray},
                               {"summary", summary}};
        writeOut(QJsonDocument(root).toJson(QJsonDocument::Indented));
        return finishOutput(status);
    }
    text += "summary:\n";
    text += QString("  entries: %1\n").arg(entries);
    text += QString("  will not play: %1\n").arg(result.notPlaying);
    text += QString("  warnings: %1\n").arg(result.warnings);
    text += QString("  median loudness: %1\n")
                .arg(result.medianLufs ? analysis::lufsText(*result.medianLufs)
                                       : QString("none (no cue to measure)"));
    text += chapterTotals.join(QString());
    text += QString("  show: %1\n").arg(clockText(showSeconds));
    writeOut(text);
    return finishOutput(status);
}

}  // namespace vxtool
