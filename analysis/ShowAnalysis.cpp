#include "analysis/ShowAnalysis.h"

#include <algorithm>

#include "analysis/MeasuringQueue.h"

namespace analysis {

QString Cue::problem() const {
    if (sound == SoundState::None) return "the entry has no sound: PLAY plays nothing";
    if (sound == SoundState::Unreadable) return "the sound cannot be read from the container";
    return playback.error;
}

ShowAnalysis analyzeShow(const ChapterList& chapters, const ShowSource& source,
                         const OutputFormat& output, const AnalysisOptions& options, int threads) {
    ShowAnalysis show;
    {
        MeasuringQueue queue(threads);
        QByteArray bytes;  // the sound being read, before it joins the queue
        for (size_t c = 0; c < chapters.size(); ++c) {
            for (int e = 0; e < chapters[c]->entryCount(); ++e) {
                Cue cue;
                cue.chapter = static_cast<int>(c);
                cue.entry = e;
                cue.number = static_cast<int>(show.cues.size()) + 1;
                cue.sound = source.soundSize(cue.chapter, e, &cue.bytes);
                if (cue.sound == SoundState::Present) {
                    queue.waitForRoom(cue.bytes);
                    cue.sound = source.readSound(cue.chapter, e, &bytes);
                }
                if (cue.sound != SoundState::Present) {
                    cue.bytes = 0;
                    queue.submitDone({});
                } else {
                    cue.playback = source.playability(bytes);
                    if (cue.playback.plays && options.measure)
                        queue.submit([bytes, options] { return analyzeSound(bytes, options); },
                                     cue.bytes);
                    else
                        queue.submitDone(analyzeSound(bytes, {false, 0}));
                }
                bytes = QByteArray();
                show.cues.push_back(std::move(cue));
            }
        }
        for (Cue& cue : show.cues) queue.next(&cue.analysis, true);
    }

    std::vector<double> loudness;
    for (Cue& cue : show.cues) {
        const Analysis& a = cue.analysis;
        cue.seconds = a.decoded ? a.recording.seconds : std::max(0.0, cue.playback.seconds);
        if (cue.plays() && a.decoded) cue.conversions = conversionNotes(a.recording, output);
        if (cue.measurable()) loudness.push_back(*a.levels.integratedLufs);
    }
    show.medianLufs = medianOf(std::move(loudness));
    for (Cue& cue : show.cues) {
        cue.findings = judge(cue.analysis, cue.plays(), show.medianLufs);
        if (!cue.plays()) ++show.notPlaying;
        show.warnings += static_cast<int>(cue.findings.warnings.size());
    }
    return show;
}

}  // namespace analysis
