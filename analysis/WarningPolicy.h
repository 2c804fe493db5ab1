// What project check warns about, and why: each warning with its figure and a stable key,
// from one cue's analysis and, for the loudness jump, the show's median loudness.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

#include "analysis/SoundAnalysis.h"
#include "analysis/Thresholds.h"

namespace analysis {

struct Warning {
    // Stable key of the JSON output: leading-silence, trailing-silence, clipping, quiet,
    // silent, not-measured, loudness-jump, true-peak, noise-floor.
    QString kind;
    double value = 0;  // the figure: seconds, dBFS, dBTP, LUFS or runs, by kind
    QString text;      // the warning in words, with its figure
};

struct Findings {
    std::vector<Warning> warnings;
    QStringList notes;  // facts that are not problems (a sound too short for loudness)
};

// The findings of a cue that plays (or not: a cue that will not play gets none here, its
// problem is that). medianLufs: the show's median loudness, when it has one.
Findings judge(const Analysis& analysis, bool plays, std::optional<double> medianLufs);

// The median of values; none for no values.
std::optional<double> medianOf(std::vector<double> values);

// Levels with one decimal: "-6.0 dBFS" ("-inf dBFS" for digital silence), "+0.9 dBTP",
// "-23.0 LUFS", "3.4 LU".
QString dbfsText(double dbfs);
QString dbtpText(double dbtp);
QString lufsText(double lufs);
QString luText(double lu);

}  // namespace analysis
