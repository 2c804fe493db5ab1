#include "analysis/LevelPlan.h"

#include <algorithm>
#include <cmath>

#include "analysis/SoundLeveller.h"

namespace analysis {

namespace {

// A gain this small changes nothing anyone hears: a cue held to it is left.
constexpr double kSmallestGainDb = 0.05;

std::optional<double> spreadOf(const std::vector<double>& values) {
    if (values.empty()) return std::nullopt;
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return *high - *low;
}

CueLevel leave(CueLevel level, const QString& reason, bool expected) {
    level.action = LevelAction::Left;
    level.reason = reason;
    level.expected = expected;
    level.afterLufs = level.beforeLufs;
    level.truePeakAfterDbtp = level.truePeakBeforeDbtp;
    return level;
}

// The decision for one cue, against target.
CueLevel decide(const Cue& cue, const LevelOptions& options, std::optional<double> target) {
    CueLevel level;
    level.cue = cue.number;
    const Levels& l = cue.analysis.levels;
    if (cue.analysis.measured) {
        level.beforeLufs = l.integratedLufs;
        level.truePeakBeforeDbtp = l.truePeakDbtp;
    }
    if (!options.cues.empty() &&
        std::find(options.cues.begin(), options.cues.end(), cue.number) == options.cues.end())
        return leave(level, "not among the cues given", true);
    if (cue.sound == SoundState::None) return leave(level, "no sound", true);
    if (!cue.plays()) return leave(level, "will not play: " + cue.problem(), false);
    if (!cue.analysis.decoded)
        return leave(level,
                     "not measured: libsndfile cannot read it (" + cue.analysis.decodeError + ")",
                     false);
    if (!cue.analysis.measured)
        return leave(level, "not measured: " + cue.analysis.measureError, false);
    if (l.silent) return leave(level, "silent", false);
    if (l.tooShortForLoudness) return leave(level, "too short to measure its loudness", false);
    if (!l.integratedLufs) return leave(level, "no loudness: below the -70 LUFS gate", false);
    if (!target) return leave(level, "no target", false);
    const double wanted = *target - *l.integratedLufs;
    if (std::fabs(wanted) <= options.toleranceLu)
        return leave(level, QString("within %1 of the target").arg(luText(options.toleranceLu)),
                     true);
    if (const QString problem = writeBackProblem(cue.analysis.recording); !problem.isEmpty())
        return leave(level, problem, false);
    const double largest =
        largestGainDb(cue.analysis.recording, l.truePeakDbtp, options.ceilingDbtp);
    double gain = wanted;
    if (wanted > largest) {
        if (wanted > 0 && largest < kSmallestGainDb)
            return leave(level,
                         QString("held by its peak: a true peak of %1 leaves no room below the "
                                 "ceiling of %2")
                             .arg(dbtpText(l.truePeakDbtp), dbtpText(options.ceilingDbtp)),
                         false);
        gain = largest;
    }
    level.gainDb = gain;
    level.afterLufs = *l.integratedLufs + gain;
    level.truePeakAfterDbtp = l.truePeakDbtp + gain;
    if (gain == wanted) {
        level.action = LevelAction::Changed;
        return level;
    }
    level.action = LevelAction::Held;
    level.reason =
        QString("reached %1 of %2: held by its peak")
            .arg(QString::number(*level.afterLufs, 'f', 1), QString::number(*target, 'f', 1));
    return level;
}

}  // namespace

bool LevelPlan::allReached() const {
    return std::all_of(cues.begin(), cues.end(), [](const CueLevel& c) {
        return c.action == LevelAction::Changed || (c.action == LevelAction::Left && c.expected);
    });
}

LevelPlan planLevels(const ShowAnalysis& show, const LevelOptions& options) {
    LevelPlan plan;
    plan.targetIsMedian = !options.targetLufs.has_value();
    plan.targetLufs = plan.targetIsMedian ? show.medianLufs : options.targetLufs;
    std::vector<double> before, after;
    for (const Cue& cue : show.cues) {
        CueLevel level = decide(cue, options, plan.targetLufs);
        if (cue.measurable()) {
            before.push_back(*level.beforeLufs);
            after.push_back(*level.afterLufs);
        }
        switch (level.action) {
            case LevelAction::Changed:
                ++plan.changed;
                break;
            case LevelAction::Held:
                ++plan.held;
                break;
            case LevelAction::Left:
                ++plan.left;
                break;
        }
        plan.cues.push_back(std::move(level));
    }
    plan.spreadBeforeLu = spreadOf(before);
    plan.spreadAfterLu = spreadOf(after);
    return plan;
}

}  // namespace analysis
