// analysis::analyzeSound on arbitrary bytes, as a stored sound of any origin reaches it, and
// the warnings judged from what it found.
//
// Whatever the bytes, the analysis returns: either not decoded with a reason, or a
// recording with a rate and channels; a measured one has figures that are numbers (never
// NaN), a true peak no lower than its sample peak, silences within its length, and an
// envelope no longer than asked for. Every warning has a kind and a text.

#include <sndfile.h>

#include <QByteArray>
#include <QFile>
#include <QTemporaryFile>
#include <cmath>
#include <string>
#include <vector>

#include "FuzzQuietQt.h"
#include "FuzzSupport.h"
#include "analysis/SoundAnalysis.h"
#include "analysis/WarningPolicy.h"

namespace {

constexpr int kEnvelopePoints = 64;

bool isNumber(double v) { return !std::isnan(v); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzQuietQt();
    std::string fuzzContext = "analyse";
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const analysis::Analysis a = analysis::analyzeSound(bytes, {true, kEnvelopePoints});
    if (!a.decoded) {
        FUZZ_CHECK(!a.decodeError.isEmpty());
        FUZZ_CHECK(!a.measured);
    } else {
        FUZZ_CHECK(a.recording.rate > 0 && a.recording.channels > 0);
        FUZZ_CHECK(!a.recording.container.isEmpty() && !a.recording.encoding.isEmpty());
        FUZZ_CHECK(a.measured || !a.measureError.isEmpty());
    }
    if (a.measured) {
        fuzzContext = "levels";
        const analysis::Levels& l = a.levels;
        FUZZ_CHECK(isNumber(l.samplePeakDbfs) && isNumber(l.truePeakDbtp));
        FUZZ_CHECK(l.truePeakDbtp >= l.samplePeakDbfs - 1e-9);
        FUZZ_CHECK(!l.integratedLufs || std::isfinite(*l.integratedLufs));
        FUZZ_CHECK(!l.noiseFloorDbfs || isNumber(*l.noiseFloorDbfs));
        FUZZ_CHECK(!(l.tooShortForLoudness && l.integratedLufs));
        FUZZ_CHECK(l.leadingSeconds >= 0 && l.trailingSeconds >= 0);
        FUZZ_CHECK(l.clippedRuns >= 0);
        FUZZ_CHECK(l.envelope.size() <= static_cast<size_t>(kEnvelopePoints));
        for (const analysis::EnvelopePoint& p : l.envelope) {
            FUZZ_CHECK(p.low <= p.high);
            FUZZ_CHECK(isNumber(p.truePeak));
        }
    }
    fuzzContext = "judge";
    for (bool plays : {false, true}) {
        const analysis::Findings f = analysis::judge(a, plays, -23.0);
        if (!plays) FUZZ_CHECK(f.warnings.empty());
        for (const analysis::Warning& w : f.warnings)
            FUZZ_CHECK(!w.kind.isEmpty() && !w.text.isEmpty() && isNumber(w.value));
    }
    return 0;
}

namespace {

// A recording of `frames` frames written by libsndfile in the given format.
std::string recording(int format, int rate, int channels, int frames, double amplitude) {
    QTemporaryFile file;
    if (!file.open()) return {};
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(file.fileName().toLocal8Bit().constData(), SFM_WRITE, &info);
    if (f == nullptr) return {};
    std::vector<double> samples(static_cast<size_t>(frames * channels));
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            samples[static_cast<size_t>(i * channels + c)] =
                (i / 2000) % 2 == 0 ? amplitude * std::sin(0.05 * i * (c + 1)) : 0.0;
    sf_writef_double(f, samples.data(), frames);
    sf_close(f);
    return file.readAll().toStdString();
}

}  // namespace

int fuzzWriteCorpus(const std::string& dir) {
    int n = 0;
    auto save = [&](const std::string& name, const std::string& bytes) {
        if (!bytes.empty() && fuzzWriteFile(dir, name, bytes)) ++n;
    };
    save("pcm16-stereo.wav", recording(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 22050, 2, 12000, 0.5));
    save("pcm8-mono.wav", recording(SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 8000, 1, 9000, 0.9));
    save("pcm24-ext.wav", recording(SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, 48000, 2, 30000, 0.3));
    save("float-over.wav", recording(SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 1, 25000, 2.5));
    save("ulaw.wav", recording(SF_FORMAT_WAV | SF_FORMAT_ULAW, 16000, 1, 9000, 0.7));
    save("alaw.wav", recording(SF_FORMAT_WAV | SF_FORMAT_ALAW, 16000, 1, 9000, 0.7));
    save("ima-adpcm.wav", recording(SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, 22050, 1, 9000, 0.5));
    save("six-channels.wav", recording(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 6, 5000, 0.5));
    save("short.wav", recording(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 22050, 1, 300, 0.5));
    save("flac.flac", recording(SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 22050, 1, 9000, 0.5));
    save("silence.wav", recording(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 22050, 1, 12000, 0.0));
    save("not-a-sound.bin", "RIFF\x10\0\0\0WAVEfmt nothing here");
    save("empty.bin", std::string(1, '\0'));
    return n;
}
