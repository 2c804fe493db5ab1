// The drawings of the show report, as inline SVG that needs no script and loads nothing:
// the loudness chart of the whole show, and one cue's waveform strip.
#pragma once

#include <QString>
#include <optional>

#include "analysis/ShowAnalysis.h"
#include "project/Project.h"

namespace vxtool {

// The loudness chart: one mark per cue of show, in running order, at its integrated
// loudness against reference (the show's median or a target, in LUFS; none when there is
// neither), with the band of Thresholds::kLoudnessJumpLu either side of it and the
// chapters of chapters along the axis. A mark links to its cue's row (#cue-N), a chapter
// label to its section (#chapter-C). Cues without a loudness get a grey mark under the axis.
QString loudnessChart(const ChapterList& chapters, const analysis::ShowAnalysis& show,
                      std::optional<double> reference);

// An offset in LU with its sign: "+1.3 LU", "-0.4 LU", "0.0 LU".
QString offsetText(double lu);

// The waveform strip of a measured cue of the given duration, on its own time scale: the
// envelope's lowest and highest sample at each point, the silence at both ends shaded,
// the points where a clipped run reaches its length and those with a true peak above
// Thresholds::kTruePeakDbtp marked. Empty when levels hold no envelope.
QString waveformStrip(const analysis::Levels& levels, double seconds);

}  // namespace vxtool
