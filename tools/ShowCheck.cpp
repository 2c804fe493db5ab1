#include "tools/ShowCheck.h"

#include <algorithm>
#include <thread>

#include "audio/PlaybackProbe.h"
#include "tools/ToolSupport.h"

namespace vxtool {

int checkShow(ShowReader& show, const analysis::AnalysisOptions& options,
              analysis::ShowAnalysis* result, analysis::OutputFormat* output) {
    PlaybackProbe probe;
    if (!probe.ready())
        return fail(ExitUnusable, "sound output",
                    "SDL's dummy audio output cannot be opened, so nothing can be checked: " +
                        QString::fromStdString(probe.outputError()));
    *output = {probe.rate(), probe.channels(), probe.bits()};
    analysis::ShowSource source;
    source.soundSize = [&](int c, int e, int64_t* size) { return show.soundSize(c, e, size); };
    source.readSound = [&](int c, int e, QByteArray* bytes) { return show.readSound(c, e, bytes); };
    source.playability = [&](const QByteArray& bytes) {
        const PlaybackProbe::Result r = probe.probe(bytes.constData(), bytes.size());
        return analysis::Playability{r.plays, QString::fromStdString(r.error), r.seconds};
    };
    // Measuring threads for every core: the calling thread mostly reads and waits.
    const int threads = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 8);
    *result = analysis::analyzeShow(show.chapters(), source, *output, options, threads);
    return ExitOk;
}

}  // namespace vxtool
