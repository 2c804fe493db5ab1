// The figures that turn measures into warnings, named in `vxtool project check --help` and
// given in its JSON output. Levels in dBFS are relative to full scale (a sample of ±1).
#pragma once

namespace analysis {

struct Thresholds {
    static constexpr double kSilenceDbfs = -50.0;    // below this a sample counts as silence
    static constexpr double kLeadingSeconds = 0.5;   // more silence in front: GO seems late
    static constexpr double kTrailingSeconds = 2.0;  // more at the end: the next GO waits
    static constexpr double kQuietPeakDbfs = -20.0;  // a peak below this: a take too quiet
    // A clipped run: this many samples in a row at one level (within one step of 16 bits)
    // and at or above kFullScaleDbfs, a flat top at full scale. Counted by frames, so that
    // a flat top on every channel of a frame counts once.
    static constexpr double kFullScaleDbfs = -0.1;
    static constexpr int kClipRunSamples = 3;
    // A cue further than this from the median loudness of the show's measurable cues jumps
    // out: the audience hears it as a fault.
    static constexpr double kLoudnessJumpLu = 3.0;
    // A true peak above this distorts once the player converts the recording.
    static constexpr double kTruePeakDbtp = -1.0;
    // Hiss between the words above this is heard through a PA (audiobook practice).
    static constexpr double kNoiseFloorDbfs = -60.0;
    // The noise floor is the RMS level of the quietest steady stretch of this length: a
    // pause, in which no twentieth of the stretch is more than kNoiseSteadyDb louder than
    // another (a stretch that holds part of a word varies far more).
    static constexpr double kNoiseWindowSeconds = 0.5;
    static constexpr double kNoiseSteadyDb = 6.0;
    // Integrated loudness needs at least one gating block of this length.
    static constexpr double kGatingBlockSeconds = 0.4;
};

}  // namespace analysis
