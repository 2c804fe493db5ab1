// What levelling a show does to each cue: one constant gain that brings its integrated
// loudness to the target, lowered where the true peak would pass the ceiling; or the
// reason it is left as it is.
#pragma once

#include <QString>
#include <optional>
#include <vector>

#include "analysis/ShowAnalysis.h"

namespace analysis {

struct LevelOptions {
    std::optional<double> targetLufs;  // none: the median of the show's measurable cues
    double ceilingDbtp = -1.0;
    double toleranceLu = 0.5;
    std::vector<int> cues;  // the cue numbers to level; empty for every cue
};

enum class LevelAction { Changed, Held, Left };

struct CueLevel {
    int cue = 0;  // the cue number, from 1
    LevelAction action = LevelAction::Left;
    // Why it was held or left, in words; empty for a cue that reached the target.
    QString reason;
    // A cue left as a levelled show expects it: within the tolerance, not among the cues
    // asked for, or without a sound. Held cues and every other left one are not.
    bool expected = false;
    std::optional<double> beforeLufs;
    std::optional<double> afterLufs;
    double gainDb = 0;  // 0 for a cue left
    std::optional<double> truePeakBeforeDbtp;
    std::optional<double> truePeakAfterDbtp;
    bool changes() const { return action != LevelAction::Left; }
};

struct LevelPlan {
    std::optional<double> targetLufs;  // none when the show has no measurable cue
    bool targetIsMedian = false;
    std::vector<CueLevel> cues;  // one per entry, in running order
    int changed = 0;
    int held = 0;
    int left = 0;
    // Loudest minus quietest measurable cue, before and after.
    std::optional<double> spreadBeforeLu;
    std::optional<double> spreadAfterLu;
    // Every measurable cue reached the target (or was within the tolerance of it).
    bool allReached() const;
};

LevelPlan planLevels(const ShowAnalysis& show, const LevelOptions& options);

}  // namespace analysis
