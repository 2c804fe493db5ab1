#include "tools/ReportPage.h"

#include <QMap>
#include <cmath>
#include <vector>

#include "analysis/Thresholds.h"
#include "analysis/WarningPolicy.h"
#include "tools/HtmlText.h"
#include "tools/ReportSvg.h"
#include "tools/ToolSupport.h"

namespace vxtool {

namespace {

using analysis::Cue;
using analysis::SoundState;
using analysis::Thresholds;

// The page forbids itself every script and every load: even a text that slipped through
// unescaped could run nothing and fetch nothing.
const char kHead[] = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; style-src 'unsafe-inline'">
<meta name="viewport" content="width=device-width, initial-scale=1">
)";

// Print: the layout fits the narrower width of A4 and the shorter height of Letter, so the
// same page prints on either; chapters start on a new page, rows never split.
const char kStyle[] = R"(<style>
body{font:14px/1.35 system-ui,"DejaVu Sans",Arial,sans-serif;color:#1b1b1b;background:#fff;
margin:0 auto;max-width:78em;padding:1em 1.5em}
h1{font-size:1.7em;margin:.2em 0 .4em}
h2{font-size:1.2em;margin:1.4em 0 .3em;padding-bottom:.1em;border-bottom:2px solid #1b1b1b}
a{color:#1f4f99}
dl{margin:0}
dd{margin:0}
.f{display:grid;grid-template-columns:max-content 1fr;gap:.1em 1em}
.f dt,.fg dt{color:#555}
.k{color:#444;font-size:.9em;margin:.3em 0}
.sw{display:inline-block;width:1.6em;height:.8em;vertical-align:middle;margin:0 .3em}
.sw-w{background:#3461a8}
.sw-q{background:#d4d4d4}
.sw-c{background:#d0021b}
.sw-o{background:#f08c00}
.lc{display:block;width:100%;height:auto}
.lc text{font-size:11px;fill:#444}
.lc .yl{text-anchor:end}
.lc .cn{text-anchor:middle;fill:#1f4f99}
.b{fill:#e3f1e0}
.g{stroke:#ddd;stroke-width:1}
.z{stroke:#2e7d32;stroke-width:1.5}
.cl{stroke:#888;stroke-width:1;stroke-dasharray:3 3}
.mi{fill:#1e8c45}
.mo{fill:#e0302f}
.m0{stroke:#9e9e9e;stroke-width:2}
.pr ul{padding-left:1.2em;margin:.3em 0}
.pr a{margin-right:.35em}
.cd{color:#444;margin:.1em 0 .4em}
.cue{display:grid;grid-template-columns:2.2em 4.4em minmax(0,1fr) minmax(0,1.35fr) 12.5em;
gap:.15em .8em;padding:.45em .3em;border-bottom:1px solid #ddd;break-inside:avoid;
border-left:3px solid transparent}
.cue.pb{border-left-color:#c62828}
.cue>.ws,.cue>.nt,.cue>.np{grid-column:3/-1;margin:0}
.n{font-weight:700;font-size:1.15em}
.tm span{display:block;font-variant-numeric:tabular-nums}
.ln{color:#555}
.t{white-space:pre-wrap;overflow-wrap:anywhere}
.nm{font-weight:600}
.de{color:#333}
.no{color:#555;font-style:italic}
.s,.x{display:block;width:100%;height:3.4em;background:#f4f4f4}
.x{display:flex;align-items:center;justify-content:center;color:#777;font-size:.9em}
.q{fill:#d4d4d4}
.wv{fill:#3461a8}
.c,.o{stroke-width:1.5px;vector-effect:non-scaling-stroke}
.c{fill:#d0021b;stroke:#d0021b}
.o{fill:#f08c00;stroke:#f08c00}
.fg{display:grid;grid-template-columns:max-content 1fr;gap:0 .6em;font-size:.9em;
font-variant-numeric:tabular-nums}
.fg dd{white-space:nowrap}
.bad{color:#c62828;font-weight:600}
.ws{padding-left:1.2em;color:#c62828}
.nt{padding-left:1.2em;color:#555}
.np{color:#c62828;font-weight:600}
@page{margin:12mm}
@media print{
body{font-size:9pt;max-width:none;padding:0}
*{-webkit-print-color-adjust:exact;print-color-adjust:exact}
section.cp{break-before:page}
h2{break-after:avoid}
a{color:inherit;text-decoration:none}
}
</style>
)";

// Warning kinds in the order the summary lists them, with their headings.
const std::vector<std::pair<QString, QString>>& problemKinds() {
    static const std::vector<std::pair<QString, QString>> kinds = {
        {"will-not-play", "Will not play"},
        {"no-sound", "No sound"},
        {"silent", "Silent"},
        {"not-measured", "Not measured"},
        {"clipping", "Clipping"},
        {"true-peak", "True peak above " + analysis::dbtpText(Thresholds::kTruePeakDbtp)},
        {"loudness-jump", "Loudness jump"},
        {"off-target", "Off the target"},
        {"quiet", "Quiet take"},
        {"leading-silence", "Leading silence"},
        {"trailing-silence", "Trailing silence"},
        {"noise-floor", "Noise floor"},
    };
    return kinds;
}

// The figure a warning kind is about, by its class in the row.
QString figureOf(const QString& kind) {
    if (kind == "loudness-jump") return "lu";
    if (kind == "true-peak") return "tp";
    if (kind == "noise-floor") return "nf";
    if (kind == "quiet" || kind == "clipping" || kind == "silent") return "pk";
    return {};
}

class PageWriter final {
  public:
    explicit PageWriter(const ReportInput& input)
        : m_in(input), m_reference(input.targetLufs ? input.targetLufs : input.show.medianLufs) {}

    QByteArray page() {
        m_out = QString::fromLatin1(kHead);
        m_out += "<title>" + htmlText(m_in.name) + ": show report</title>\n";
        m_out += QString::fromLatin1(kStyle);
        m_out += "</head>\n<body>\n";
        header();
        chart();
        problems();
        key();
        chapters();
        m_out += "</body>\n</html>\n";
        return m_out.toUtf8();
    }

  private:
    bool offTarget(const Cue& cue) const {
        return m_in.targetLufs && cue.measurable() &&
               std::fabs(*cue.analysis.levels.integratedLufs - *m_in.targetLufs) >
                   Thresholds::kLoudnessJumpLu;
    }

    double showSeconds() const {
        double seconds = 0;
        for (const Cue& cue : m_in.show.cues)
            if (cue.plays()) seconds += cue.seconds;
        return seconds;
    }

    void header() {
        const analysis::ShowAnalysis& show = m_in.show;
        QString loudness = show.medianLufs ? "median " + analysis::lufsText(*show.medianLufs)
                                           : QString("no cue has a loudness");
        if (m_in.targetLufs) loudness += ", target " + analysis::lufsText(*m_in.targetLufs);
        m_out += "<header>\n<h1>" + htmlText(m_in.name) + "</h1>\n<dl class=\"f\">";
        m_out += "<dt>File</dt><dd>" + htmlText(m_in.file) + "</dd>";
        m_out += "<dt>Report</dt><dd>" + htmlText(m_in.date) + "</dd>";
        m_out += QString("<dt>Cues</dt><dd>%1 in %2 chapter(s)</dd>")
                     .arg(show.cues.size())
                     .arg(m_in.chapters.size());
        m_out += "<dt>Duration</dt><dd>" + clockText(showSeconds()) +
                 " (the cues that play, one after another)</dd>";
        m_out += "<dt>Loudness</dt><dd>" + loudness + "</dd></dl>\n</header>\n";
    }

    void chart() {
        m_out += "<section class=\"ch\">\n<h2>Loudness</h2>\n";
        m_out += loudnessChart(m_in.chapters, m_in.show, m_reference);
        const QString band = analysis::luText(Thresholds::kLoudnessJumpLu);
        QString key =
            "<p class=\"k\">One mark per cue, in running order, at its integrated loudness";
        if (m_in.targetLufs)
            key += " against the target of " + analysis::lufsText(*m_in.targetLufs) +
                   ". The green band is " + band +
                   " either side of it (as wide as project check's loudness jump, which is "
                   "measured from the median)";
        else if (m_in.show.medianLufs)
            key += " against the show's median of " + analysis::lufsText(*m_in.show.medianLufs) +
                   ". The green band is " + band +
                   " either side of it: a red mark outside it is project check's loudness jump";
        key +=
            ". Grey marks under the axis: cues without a loudness; triangles on an edge: cues "
            "beyond it. Dashed lines: where chapters begin. Each mark links to its cue.</p>\n";
        m_out += key + "</section>\n";
    }

    void problems() {
        const analysis::ShowAnalysis& show = m_in.show;
        QMap<QString, QList<int>> cuesOf;
        for (const Cue& cue : show.cues) {
            if (!cue.plays())
                cuesOf[cue.sound == SoundState::None ? "no-sound" : "will-not-play"] << cue.number;
            for (const analysis::Warning& w : cue.findings.warnings) cuesOf[w.kind] << cue.number;
            if (offTarget(cue)) cuesOf["off-target"] << cue.number;
        }
        m_out += "<section class=\"pr\">\n<h2>Problems</h2>\n";
        m_out += QString("<p class=\"sum\">%1 cue(s): %2 will not play, %3 warning(s).</p>\n")
                     .arg(show.cues.size())
                     .arg(show.notPlaying)
                     .arg(show.warnings);
        if (cuesOf.isEmpty()) {
            m_out += "<p>Every cue plays, with no warning.</p>\n</section>\n";
            return;
        }
        m_out += "<ul>\n";
        for (const auto& [kind, heading] : problemKinds()) {
            const auto it = cuesOf.constFind(kind);
            if (it == cuesOf.constEnd()) continue;
            m_out += QString("<li><b>%1</b> (%2):").arg(heading).arg(it->size());
            for (int number : *it) m_out += QString(" <a href=\"#cue-%1\">%1</a>").arg(number);
            m_out += "</li>\n";
        }
        m_out += "</ul>\n";
        m_out += "</section>\n";
    }

    void key() {
        m_out += QString(
                     "<p class=\"k\">Each strip shows its own cue from its start to its end: "
                     "the highest and lowest sample of each of up to %1 stretches"
                     "<span class=\"sw sw-w\"></span>, the silence at either end"
                     "<span class=\"sw sw-q\"></span>, where a clipped run starts, along the bottom"
                     "<span class=\"sw sw-c\"></span>, and true peaks above %2, along the top"
                     "<span class=\"sw sw-o\"></span>. Start: when the cue starts if every "
                     "cue follows the one before; a cue that will not play takes no time.</p>\n")
                     .arg(kReportEnvelopePoints)
                     .arg(analysis::dbtpText(Thresholds::kTruePeakDbtp));
    }

    void chapters() {
        double clock = 0;
        size_t next = 0;
        for (size_t c = 0; c < m_in.chapters.size(); ++c) {
            const Chapter& chapter = *m_in.chapters[c];
            double seconds = 0;
            for (int e = 0; e < chapter.entryCount(); ++e)
                if (const Cue& cue = m_in.show.cues[next + static_cast<size_t>(e)]; cue.plays())
                    seconds += cue.seconds;
            m_out += QString("<section class=\"cp\" id=\"chapter-%1\">\n<h2>Chapter %1").arg(c + 1);
            if (!chapter.name.isEmpty())
                m_out += ": <span class=\"t\">" + htmlText(chapter.name) + "</span>";
            m_out += QString("</h2>\n<p class=\"cd\">%1 cue(s), %2, from %3</p>\n")
                         .arg(chapter.entryCount())
                         .arg(clockText(seconds), clockText(clock));
            for (int e = 0; e < chapter.entryCount(); ++e) {
                const Cue& cue = m_in.show.cues[next++];
                row(cue, *chapter.entry(e), clock);
                if (cue.plays()) clock += cue.seconds;
            }
            m_out += "</section>\n";
        }
    }

    void row(const Cue& cue, const Entry& entry, double start) {
        const analysis::Analysis& a = cue.analysis;
        const bool bad = !cue.plays() || !cue.findings.warnings.empty() || offTarget(cue);
        m_out += QString("<div class=\"cue%1\" id=\"cue-%2\">\n<div class=\"n\">%2</div>")
                     .arg(bad ? " pb" : "")
                     .arg(cue.number);
        const bool known = a.decoded || cue.playback.seconds >= 0;
        m_out += "<div class=\"tm\"><span class=\"st\">" + clockText(start) +
                 "</span><span class=\"ln\">" + (known ? clockText(cue.seconds) : QString("-")) +
                 "</span></div>";
        m_out += "<div class=\"tx\"><div class=\"nm t\">" + htmlText(entry.name) + "</div>";
        if (!entry.desc.isEmpty())
            m_out += "<div class=\"de t\">" + htmlText(entry.desc) + "</div>";
        if (!entry.note.isEmpty())
            m_out += "<div class=\"no t\">" + htmlText(entry.note) + "</div>";
        m_out += "</div>\n";

        QString strip;
        if (cue.plays() && a.measured) strip = waveformStrip(a.levels, cue.seconds);
        if (strip.isEmpty()) {
            const QString what = cue.sound == SoundState::None ? "no sound"
                                 : !cue.plays()                ? "will not play"
                                                               : "not measured";
            strip = "<div class=\"x\">" + what + "</div>";
        }
        m_out += "<div class=\"sv\">" + strip + "</div>\n";
        if (cue.plays() && a.measured)
            figures(cue);
        else
            m_out += "<div></div>";
        m_out += "\n";

        if (cue.sound == SoundState::None)
            m_out += "<p class=\"np\">no sound</p>\n";
        else if (!cue.plays())
            m_out += "<p class=\"np\">will not play: " + htmlText(cue.problem()) + "</p>\n";
        QString warnings;
        for (const analysis::Warning& w : cue.findings.warnings)
            warnings += "<li>" + htmlText(w.text) + "</li>";
        if (offTarget(cue)) {
            const double off = *a.levels.integratedLufs - *m_in.targetLufs;
            warnings += "<li class=\"off\">" +
                        htmlText(QString("off the target: %1, %2 from %3 (more than %4 away)")
                                     .arg(analysis::lufsText(*a.levels.integratedLufs),
                                          offsetText(off), analysis::lufsText(*m_in.targetLufs),
                                          analysis::luText(Thresholds::kLoudnessJumpLu))) +
                        "</li>";
        }
        if (!warnings.isEmpty()) m_out += "<ul class=\"ws\">" + warnings + "</ul>\n";
        QString notes;
        for (const QString& note : cue.findings.notes) notes += "<li>" + htmlText(note) + "</li>";
        if (!notes.isEmpty()) m_out += "<ul class=\"nt\">" + notes + "</ul>\n";
        m_out += "</div>\n";
    }

    void figures(const Cue& cue) {
        const analysis::Levels& l = cue.analysis.levels;
        QStringList flagged;
        for (const analysis::Warning& w : cue.findings.warnings) flagged << figureOf(w.kind);
        if (offTarget(cue)) flagged << "lu";
        auto figure = [&](const char* label, const QString& cls, const QString& value) {
            m_out += QString("<dt>%1</dt><dd class=\"%2%3\">%4</dd>")
                         .arg(label, cls, flagged.contains(cls) ? " bad" : "", value);
        };
        QString loudness = l.integratedLufs        ? analysis::lufsText(*l.integratedLufs)
                           : l.tooShortForLoudness ? QString("none (too short)")
                                                   : QString("none");
        m_out += "<dl class=\"fg\">";
        figure("Loudness", "lu", loudness);
        if (l.integratedLufs && m_reference)
            figure(m_in.targetLufs ? "From target" : "From median", "of",
                   offsetText(*l.integratedLufs - *m_reference));
        figure("True peak", "tp", analysis::dbtpText(l.truePeakDbtp));
        figure("Noise floor", "nf",
               l.noiseFloorDbfs ? analysis::dbfsText(*l.noiseFloorDbfs) : QString("none"));
        figure("Peak", "pk", analysis::dbfsText(l.samplePeakDbfs));
        m_out += "</dl>";
    }

    const ReportInput& m_in;
    const std::optional<double> m_reference;  // what loudness is drawn against
    QString m_out;
};

}  // namespace

QByteArray reportPage(const ReportInput& input) { return PageWriter(input).page(); }

}  // namespace vxtool
