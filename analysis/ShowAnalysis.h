// A whole show analysed in running order: for every entry, whether its sound plays, what
// the recording is, its levels and the warnings an audience would notice, some of which
// (the loudness jump) need every other cue's figures first. The report project check and
// the commands after it print.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "analysis/Recording.h"
#include "analysis/SoundAnalysis.h"
#include "analysis/WarningPolicy.h"
#include "project/Project.h"

namespace analysis {

enum class SoundState { None, Present, Unreadable };

// What the player's own decoder makes of a sound.
struct Playability {
    bool plays = false;
    QString error;        // why it will not play
    double seconds = -1;  // its duration as the player reads it; negative when unknown
};

// Where the sounds come from. Every call is made on the thread that runs analyzeShow, in
// running order, and readSound's bytes are held only until their sound is measured.
struct ShowSource {
    // Whether entry e of chapter c has a sound, and its size, without reading it.
    std::function<SoundState(int c, int e, int64_t* size)> soundSize;
    std::function<SoundState(int c, int e, QByteArray* bytes)> readSound;
    std::function<Playability(const QByteArray& bytes)> playability;
};

struct Cue {
    int chapter = 0;  // positions from 0
    int entry = 0;
    int number = 0;  // the cue number, from 1, running across chapters
    SoundState sound = SoundState::None;
    int64_t bytes = 0;  // the stored sound's size
    Playability playback;
    Analysis analysis;
    double seconds = 0;       // duration: the recording's, or the player's when unreadable
    QStringList conversions;  // how the output converts it, for a sound that plays
    Findings findings;

    bool plays() const { return sound == SoundState::Present && playback.plays; }
    // Why it will not play, when !plays().
    QString problem() const;
    // Whether its integrated loudness counts towards the show's median.
    bool measurable() const {
        return plays() && analysis.measured && analysis.levels.integratedLufs.has_value();
    }
};

struct ShowAnalysis {
    std::vector<Cue> cues;  // every entry, in running order
    std::optional<double> medianLufs;
    int notPlaying = 0;
    int warnings = 0;
};

// threads: measuring threads beside the calling one, at least 1.
ShowAnalysis analyzeShow(const ChapterList& chapters, const ShowSource& source,
                         const OutputFormat& output, const AnalysisOptions& options = {},
                         int threads = 2);

}  // namespace analysis
