#include "analysis/SoundAnalysis.h"

#include <vector>

#include "analysis/SoundDecoder.h"

namespace analysis {

QString secondsText(double s) { return QString::number(s, 'f', 2) + " s"; }

Analysis analyzeSound(const QByteArray& bytes, const AnalysisOptions& options) {
    Analysis a;
    SoundDecoder decoder(bytes);
    if (!decoder.ok()) {
        a.decodeError = decoder.error();
        return a;
    }
    a.decoded = true;
    a.recording = decoder.recording();
    if (!options.measure) return a;
    const Recording& r = a.recording;
    LevelMeter meter(r.channels, r.rate, r.frames, options.envelopePoints);
    if (!meter.ok()) {
        a.measureError = QString(
                             "%1 channels at %2 Hz are beyond what is measured (up to %3 "
                             "channels at up to %4 Hz)")
                             .arg(r.channels)
                             .arg(r.rate)
                             .arg(LevelMeter::kMaxChannels)
                             .arg(LevelMeter::kMaxRate);
        return a;
    }
    constexpr int64_t kFrames = 4096;
    std::vector<float> block(static_cast<size_t>(kFrames * r.channels));
    int64_t decoded = 0;
    for (int64_t n; (n = decoder.read(block.data(), kFrames)) != 0;) {
        if (n < 0) {
            a.measureError =
                QString("decoding stopped after %1: %2")
                    .arg(secondsText(static_cast<double>(decoded) / r.rate), decoder.readError());
            return a;
        }
        meter.add(block.data(), n);
        decoded += n;
    }
    a.levels = meter.finish();
    a.measured = true;
    return a;
}

}  // namespace analysis
