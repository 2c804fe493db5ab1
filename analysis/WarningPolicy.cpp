#include "analysis/WarningPolicy.h"

#include <algorithm>
#include <cmath>

namespace analysis {

namespace {

QString oneDecimal(double value, bool plusSign) {
    const double tenths = std::round(value * 10.0) / 10.0;
    const QString text = QString::number(tenths == 0 ? 0.0 : tenths, 'f', 1);
    return plusSign && tenths > 0 ? "+" + text : text;
}

QString levelText(double value, const char* unit, bool plusSign) {
    if (std::isinf(value)) return QString(value < 0 ? "-inf " : "+inf ") + unit;
    return oneDecimal(value, plusSign) + " " + unit;
}

}  // namespace

QString dbfsText(double dbfs) { return levelText(dbfs, "dBFS", false); }
QString dbtpText(double dbtp) { return levelText(dbtp, "dBTP", true); }
QString lufsText(double lufs) { return levelText(lufs, "LUFS", false); }
QString luText(double lu) { return levelText(lu, "LU", false); }

std::optional<double> medianOf(std::vector<double> values) {
    if (values.empty()) return std::nullopt;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

Findings judge(const Analysis& a, bool plays, std::optional<double> medianLufs) {
    using T = Thresholds;
    Findings f;
    if (!plays) return f;
    if (!a.decoded) {
        f.warnings.push_back(
            {"not-measured", 0,
             QString("not measured: libsndfile cannot read it (%1)").arg(a.decodeError)});
        return f;
    }
    if (!a.measured) {
        f.warnings.push_back({"not-measured", 0, "not measured: " + a.measureError});
        return f;
    }
    const Levels& l = a.levels;
    if (l.silent) {
        f.warnings.push_back({"silent", l.samplePeakDbfs,
                              QString("silent: no sample reaches %1 (peak %2)")
                                  .arg(dbfsText(T::kSilenceDbfs), dbfsText(l.samplePeakDbfs))});
        return f;
    }
    if (l.leadingSeconds > T::kLeadingSeconds)
        f.warnings.push_back(
            {"leading-silence", l.leadingSeconds,
             QString("leading silence %1 (more than %2): GO will seem late")
                 .arg(secondsText(l.leadingSeconds), secondsText(T::kLeadingSeconds))});
    if (l.trailingSeconds > T::kTrailingSeconds)
        f.warnings.push_back(
            {"trailing-silence", l.trailingSeconds,
             QString("trailing silence %1 (more than %2): the next GO waits on nothing")
                 .arg(secondsText(l.trailingSeconds), secondsText(T::kTrailingSeconds))});
    if (l.clippedRuns > 0)
        f.warnings.push_back(
            {"clipping", static_cast<double>(l.clippedRuns),
             QString("clipping: %1 run(s) of %2 or more samples at full scale, the first at %3")
                 .arg(l.clippedRuns)
                 .arg(T::kClipRunSamples)
                 .arg(secondsText(l.firstClipSeconds))});
    if (l.samplePeakDbfs < T::kQuietPeakDbfs)
        f.warnings.push_back({"quiet", l.samplePeakDbfs,
                              QString("quiet take: peak %1 (below %2)")
                                  .arg(dbfsText(l.samplePeakDbfs), dbfsText(T::kQuietPeakDbfs))});
    if (l.truePeakDbtp > T::kTruePeakDbtp)
        f.warnings.push_back(
            {"true-peak", l.truePeakDbtp,
             QString("true peak %1 (above %2): will distort when converted for playing")
                 .arg(dbtpText(l.truePeakDbtp), dbtpText(T::kTruePeakDbtp))});
    if (l.noiseFloorDbfs && *l.noiseFloorDbfs > T::kNoiseFloorDbfs)
        f.warnings.push_back(
            {"noise-floor", *l.noiseFloorDbfs,
             QString("noise floor %1 (above %2): hiss between the words is heard through a PA")
                 .arg(dbfsText(*l.noiseFloorDbfs), dbfsText(T::kNoiseFloorDbfs))});
    if (l.integratedLufs && medianLufs) {
        const double off = *l.integratedLufs - *medianLufs;
        if (std::fabs(off) > T::kLoudnessJumpLu)
            f.warnings.push_back({"loudness-jump", *l.integratedLufs,
                                  QString("loudness jump: %1, %2 %3 the show's median of %4 "
                                          "(more than %5 away)")
                                      .arg(lufsText(*l.integratedLufs), luText(std::fabs(off)),
                                           off < 0 ? "below" : "above", lufsText(*medianLufs),
                                           luText(T::kLoudnessJumpLu))});
    }
    if (l.tooShortForLoudness)
        f.notes << QString("no loudness: shorter than one %1 gating block")
                       .arg(QString::number(T::kGatingBlockSeconds * 1000, 'f', 0) + " ms");
    return f;
}

}  // namespace analysis
