#include "tools/ReportSvg.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "analysis/Thresholds.h"
#include "analysis/WarningPolicy.h"
#include "tools/HtmlText.h"

namespace vxtool {

namespace {

using analysis::Cue;
using analysis::Thresholds;

// The chart's user space: the plot between these edges, labels around it.
constexpr double kChartWidth = 960;
constexpr double kChartHeight = 214;
constexpr double kLeft = 56;
constexpr double kRight = 904;
constexpr double kTop = 18;
constexpr double kBottom = 178;
constexpr double kLuStep = 3;       // the range is a multiple of this
constexpr double kWideRangeLu = 9;  // beyond it, grid lines every two steps
constexpr double kMinRangeLu = 6;
constexpr double kMaxRangeLu = 18;  // marks further away sit on the edge; a multiple of 6
// Longest name in a mark's tooltip, in characters.
constexpr int kTitleName = 60;

// A strip's user space: one unit per envelope point across, full scale over this height.
constexpr int kStripHeight = 60;
constexpr int kMarkBand = 8;  // true-peak marks along the top, clipping along the bottom

// A coordinate with at most one decimal, as short as it can be written.
QString num(double v) {
    double r = std::round(v * 10) / 10;
    if (r == 0) r = 0;  // no "-0"
    return QString::number(r, 'f', r == std::floor(r) ? 0 : 1);
}

QString signedLu(double lu) { return (lu > 0 ? "+" : "") + num(lu); }

QString shortName(const QString& name) {
    QString single = name.simplified();
    if (single.size() <= kTitleName) return single;
    single.truncate(kTitleName);
    if (single.back().isHighSurrogate()) single.chop(1);
    return single + QChar(0x2026);
}

QString withoutLoudness(const Cue& cue) {
    if (cue.sound == analysis::SoundState::None) return "no sound";
    if (!cue.plays()) return "will not play";
    const analysis::Analysis& a = cue.analysis;
    if (!a.measured) return "not measured";
    if (a.levels.silent) return "silent";
    if (a.levels.tooShortForLoudness) return "too short for a loudness";
    return "no loudness";
}

// "M12 0h3v60h-3z..." for each run of points where marked holds, from top to top + height.
QString runsPath(const std::vector<bool>& marked, int top, int height) {
    QString d;
    const size_t n = marked.size();
    for (size_t i = 0; i < n;) {
        if (!marked[i]) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < n && marked[j]) ++j;
        const QString w = QString::number(j - i);
        d += QString("M%1 %2h%3v%4h-%3z").arg(i).arg(top).arg(w).arg(height);
        i = j;
    }
    return d;
}

}  // namespace

QString offsetText(double lu) {
    return (std::round(lu * 10) > 0 ? "+" : "") + analysis::luText(lu);
}

QString loudnessChart(const ChapterList& chapters, const analysis::ShowAnalysis& show,
                      std::optional<double> reference) {
    const size_t n = show.cues.size();
    const double step = (kRight - kLeft) / static_cast<double>(std::max<size_t>(n, 1));
    const double radius = std::clamp(step * 0.35, 1.5, 4.0);
    double range = kMinRangeLu;
    if (reference)
        for (const Cue& cue : show.cues)
            if (cue.measurable())
                range = std::max(
                    range, std::ceil(std::fabs(*cue.analysis.levels.integratedLufs - *reference) /
                                     kLuStep) *
                               kLuStep);
    range = std::min(range, kMaxRangeLu);
    // A wide range has a line every two steps, through 0 and both edges.
    const double gridStep = range > kWideRangeLu ? 2 * kLuStep : kLuStep;
    range = std::ceil(range / gridStep) * gridStep;
    auto y = [&](double lu) {
        return kTop + (range - std::clamp(lu, -range, range)) / (2 * range) * (kBottom - kTop);
    };
    auto x = [&](size_t cue) { return kLeft + (static_cast<double>(cue) + 0.5) * step; };

    QString svg = QString(
                      "<svg class=\"lc\" viewBox=\"0 0 %1 %2\" role=\"img\" "
                      "aria-label=\"loudness of every cue\">")
                      .arg(num(kChartWidth), num(kChartHeight));
    const double band = Thresholds::kLoudnessJumpLu;
    svg += QString("<rect class=\"b\" x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\"/>")
               .arg(num(kLeft), num(y(band)), num(kRight - kLeft), num(y(-band) - y(band)));
    QString grid;
    for (double lu = -range; lu <= range + 1e-9; lu += gridStep) {
        if (lu == 0) continue;
        grid += QString("M%1 %2H%3").arg(num(kLeft), num(y(lu)), num(kRight));
    }
    svg += "<path class=\"g\" d=\"" + grid + "\"/>";
    svg += QString("<path class=\"z\" d=\"M%1 %2H%3\"/>").arg(num(kLeft), num(y(0)), num(kRight));
    for (double lu = -range; lu <= range + 1e-9; lu += gridStep) {
        svg += QString("<text class=\"yl\" x=\"%1\" y=\"%2\">%3</text>")
                   .arg(num(kLeft - 6), num(y(lu) + 4), lu == 0 ? "0 LU" : signedLu(lu));
        if (reference)
            svg += QString("<text x=\"%1\" y=\"%2\">%3</text>")
                       .arg(num(kRight + 6), num(y(lu) + 4), num(*reference + lu));
    }
    if (reference)
        svg += QString("<text x=\"%1\" y=\"%2\">LUFS</text>").arg(num(kRight + 6), num(kTop - 8));

    // Chapters: a line where each begins, its number under the axis where there is room.
    QString lines, labels;
    size_t first = 0;
    for (size_t c = 0; c < chapters.size(); ++c) {
        const size_t count = static_cast<size_t>(chapters[c]->entryCount());
        if (count == 0) continue;
        const double left = kLeft + static_cast<double>(first) * step;
        if (first > 0) lines += QString("M%1 %2V%3").arg(num(left), num(kTop), num(kBottom + 16));
        if (static_cast<double>(count) * step >= 14)
            labels += QString(
                          "<a href=\"#chapter-%1\"><text class=\"cn\" x=\"%2\" y=\"%3\">%1"
                          "<title>Chapter %1: %4</title></text></a>")
                          .arg(c + 1)
                          .arg(num(left + static_cast<double>(count) * step / 2), num(kBottom + 28),
                               htmlText(shortName(chapters[c]->name)));
        first += count;
    }
    if (!lines.isEmpty()) svg += "<path class=\"cl\" d=\"" + lines + "\"/>";
    svg += labels;
    svg += QString("<text class=\"yl\" x=\"%1\" y=\"%2\">chapter</text>")
               .arg(num(kLeft - 6), num(kBottom + 28));

    for (size_t i = 0; i < n; ++i) {
        const Cue& cue = show.cues[i];
        const Entry& entry = *chapters[static_cast<size_t>(cue.chapter)]->entry(cue.entry);
        const QString title = QString("Cue %1: %2: ").arg(cue.number).arg(shortName(entry.name));
        svg += QString("<a href=\"#cue-%1\">").arg(cue.number);
        if (cue.measurable() && reference) {
            const double lufs = *cue.analysis.levels.integratedLufs;
            const double lu = lufs - *reference;
            const QString cls = std::fabs(lu) > band ? "mo" : "mi";
            const QString tip = htmlText(title + analysis::lufsText(lufs) + ", " + offsetText(lu));
            if (std::fabs(lu) <= range) {
                svg += QString(
                           "<circle class=\"%1\" cx=\"%2\" cy=\"%3\" r=\"%4\"><title>%5"
                           "</title></circle>")
                           .arg(cls, num(x(i)), num(y(lu)), num(radius), tip);
            } else {
                // Beyond the chart: a triangle inside its edge, pointing out the way the cue lies.
                const double depth = (lu > 0 ? -2 : 2) * radius;
                svg += QString("<path class=\"%1\" d=\"M%2 %3h%4l%5 %6z\"><title>%7</title></path>")
                           .arg(cls, num(x(i) - radius), num(y(lu) - depth), num(2 * radius),
                                num(-radius), num(depth), tip);
            }
        } else {
            svg += QString("<path class=\"m0\" d=\"M%1 %2v8\"><title>%3</title></path>")
                       .arg(num(x(i)), num(kBottom + 3), htmlText(title + withoutLoudness(cue)));
        }
        svg += "</a>";
    }
    return svg + "</svg>";
}

QString waveformStrip(const analysis::Levels& levels, double seconds) {
    const std::vector<analysis::EnvelopePoint>& envelope = levels.envelope;
    const size_t n = envelope.size();
    if (n == 0) return {};
    const int half = kStripHeight / 2;
    const float over = static_cast<float>(std::pow(10.0, Thresholds::kTruePeakDbtp / 20.0));
    std::vector<int> top(n), bottom(n);
    std::vector<bool> clipped(n), overs(n);
    for (size_t i = 0; i < n; ++i) {
        const analysis::EnvelopePoint& p = envelope[i];
        const double high = std::clamp<double>(p.high, -1, 1);
        const double low = std::clamp<double>(p.low, -1, 1);
        // Outwards, and at least one unit apart: silence stays a visible line.
        top[i] = std::clamp(static_cast<int>(std::floor((1 - high) * half)), 0, kStripHeight - 1);
        bottom[i] =
            std::clamp(static_cast<int>(std::ceil((1 - low) * half)), top[i] + 1, kStripHeight);
        clipped[i] = p.clipped;
        overs[i] = std::max({p.truePeak, p.high, -p.low}) > over;
    }
    QString svg = QString(
                      "<svg class=\"s\" viewBox=\"0 0 %1 %2\" preserveAspectRatio=\"none\" "
                      "role=\"img\" aria-label=\"waveform\">")
                      .arg(n)
                      .arg(kStripHeight);
    if (seconds > 0) {
        const double width = static_cast<double>(n);
        const double lead = std::min(width, levels.leadingSeconds / seconds * width);
        const double trail = std::min(width, levels.trailingSeconds / seconds * width);
        QString quiet;
        if (lead > 0) quiet += QString("M0 0h%1v%2H0z").arg(num(lead)).arg(kStripHeight);
        if (trail > 0)
            quiet += QString("M%1 0H%2v%3h-%4z")
                         .arg(num(width - trail))
                         .arg(n)
                         .arg(kStripHeight)
                         .arg(num(trail));
        if (!quiet.isEmpty()) svg += "<path class=\"q\" d=\"" + quiet + "\"/>";
    }
    // The envelope as one outline: the highs left to right, the lows back, each run of
    // equal values one step.
    QString d = QString("M0 %1").arg(top[0]);
    for (size_t i = 0; i < n;) {
        size_t j = i;
        while (j < n && top[j] == top[i]) ++j;
        if (i > 0) d += QString("V%1").arg(top[i]);
        d += QString("h%1").arg(j - i);
        i = j;
    }
    for (size_t i = n; i > 0;) {
        size_t j = i - 1;
        while (j > 0 && bottom[j - 1] == bottom[i - 1]) --j;
        d += QString("V%1h-%2").arg(bottom[i - 1]).arg(i - j);
        i = j;
    }
    svg += "<path class=\"wv\" d=\"" + d + "z\"/>";
    const QString clips = runsPath(clipped, kStripHeight - kMarkBand, kMarkBand);
    if (!clips.isEmpty()) svg += "<path class=\"c\" d=\"" + clips + "\"/>";
    const QString peaks = runsPath(overs, 0, kMarkBand);
    if (!peaks.isEmpty()) svg += "<path class=\"o\" d=\"" + peaks + "\"/>";
    return svg + "</svg>";
}

}  // namespace vxtool
