#include "analysis/LevelMeter.h"

#include <ebur128.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

#include "analysis/Thresholds.h"

namespace analysis {

namespace {

using T = Thresholds;

// The noise floor's window is this many pieces, slid a piece at a time.
constexpr int kPiecesPerWindow = 10;
// The energy of the loudest piece of a steady window over that of its quietest.
const double kSteadyRatio = std::pow(10.0, T::kNoiseSteadyDb / 10.0);
// Frame counts from here on are not lengths a header can mean.
constexpr int64_t kUnknownLength = int64_t(1) << 48;
// A sample further from 0 than this is taken as this: floats far beyond full scale keep
// every figure finite.
constexpr float kLargestSample = 1000.0f;

float linear(double dbfs) { return static_cast<float>(std::pow(10.0, dbfs / 20.0)); }

double decibels(double level) {
    return level > 0 ? 20.0 * std::log10(level) : -std::numeric_limits<double>::infinity();
}

const float kSilence = linear(T::kSilenceDbfs);
const float kFullScale = linear(T::kFullScaleDbfs);
constexpr float kStep = 1.0f / 32768;  // one step of 16 bits: a flat top's tolerance

}  // namespace

struct LevelMeter::Loudness {
    Loudness() = default;
    ~Loudness() {
        if (state != nullptr) ebur128_destroy(&state);
    }
    Loudness(const Loudness&) = delete;
    Loudness& operator=(const Loudness&) = delete;

    ebur128_state* state = nullptr;
    std::vector<float> clean;  // a block with its non-finite samples replaced
};

LevelMeter::LevelMeter(int channels, int rate, int64_t expectedFrames, int envelopePoints)
    : m_channels(std::max(channels, 1)),
      m_rate(std::max(rate, 1)),
      m_previous(static_cast<size_t>(m_channels), 0.0f),
      m_pieceFrames(
          std::max<int64_t>(1, std::llround(m_rate * T::kNoiseWindowSeconds / kPiecesPerWindow))),
      m_pieces(kPiecesPerWindow, 0.0) {
    if (channels < 1 || channels > kMaxChannels || rate < 1 || rate > kMaxRate) return;
    auto loudness = std::make_unique<Loudness>();
    loudness->state =
        ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate),
                     EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    if (loudness->state == nullptr) return;
    // A mono recording plays on both channels: the audience hears it 3 LU louder than one
    // channel alone.
    if (channels == 1 && ebur128_set_channel(loudness->state, 0, EBUR128_DUAL_MONO) != 0) return;
    m_loudness = std::move(loudness);
    // A length libsndfile does not know reads as its largest count: no envelope then.
    if (expectedFrames > 0 && expectedFrames < kUnknownLength && envelopePoints > 0) {
        m_points = envelopePoints;
        m_pointFrames =
            std::max<int64_t>(1, (expectedFrames + envelopePoints - 1) / envelopePoints);
        m_envelope.reserve(static_cast<size_t>(envelopePoints));
    }
}

LevelMeter::~LevelMeter() = default;

void LevelMeter::add(const float* samples, int64_t frames) {
    if (!ok() || frames <= 0) return;
    const int64_t count = frames * m_channels;
    // Floats may hold infinities or NaN, which would poison the loudness filters for the
    // rest of the sound; integer recordings never do.
    if (!std::all_of(samples, samples + count, [](float s) { return std::isfinite(s); })) {
        std::vector<float>& clean = m_loudness->clean;
        clean.assign(samples, samples + count);
        for (float& s : clean)
            s = std::isnan(s) ? 0.0f : std::clamp(s, -kLargestSample, kLargestSample);
        samples = clean.data();
    }
    if (m_pointFrames == 0) {
        addStretch(samples, frames);
        return;
    }
    while (frames > 0) {
        const int64_t point = std::min<int64_t>(m_frame / m_pointFrames, m_points - 1);
        const int64_t take =
            point < m_points - 1 ? std::min(frames, (point + 1) * m_pointFrames - m_frame) : frames;
        if (static_cast<int64_t>(m_envelope.size()) <= point)
            m_envelope.push_back({FLT_MAX, -FLT_MAX, 0.0f, false});
        addStretch(samples, take);
        samples += take * m_channels;
        frames -= take;
    }
}

void LevelMeter::addStretch(const float* s, int64_t frames) {
    const int64_t count = frames * m_channels;
    // Most stretches are settled by their extremes alone; only those that reach full scale
    // are searched for flat tops, and only those with sound for where it starts and ends.
    float high = -FLT_MAX, low = FLT_MAX;
    for (int64_t i = 0; i < count; ++i) {
        high = std::max(high, s[i]);
        low = std::min(low, s[i]);
    }
    const float peak = std::max(high, -low);
    m_peak = std::max(m_peak, peak);
    if (peak >= kSilence) {
        if (m_firstSound < 0) {
            int64_t i = 0;
            while (std::fabs(s[i]) < kSilence) ++i;
            m_firstSound = m_frame + i / m_channels;
        }
        int64_t j = count - 1;
        while (std::fabs(s[j]) < kSilence) --j;
        m_lastSound = m_frame + j / m_channels;
    }
    const int64_t runsBefore = m_clippedRuns;
    if (peak >= kFullScale) {
        for (int64_t n = 0; n < count; ++n) {
            const float v = s[n];
            if (std::fabs(v) < kFullScale) continue;
            const int64_t frame = n / m_channels;
            const float previous =
                frame > 0 ? s[n - m_channels] : m_previous[static_cast<size_t>(n % m_channels)];
            const int64_t at = m_frame + frame;
            if (std::fabs(v - previous) > kStep || at == m_lastFlat) continue;
            m_run = at == m_lastFlat + 1 ? m_run + 1 : 1;
            m_lastFlat = at;
            if (m_run == T::kClipRunSamples - 1) {
                if (m_clippedRuns == 0) m_firstClip = at - m_run;
                ++m_clippedRuns;
            }
        }
    }
    for (int c = 0; c < m_channels; ++c)
        m_previous[static_cast<size_t>(c)] = s[count - m_channels + c];

    // The noise floor's pieces.
    for (int64_t f = 0; f < frames;) {
        const int64_t take = std::min(frames - f, m_pieceFrames - m_pieceFill);
        const float* p = s + f * m_channels;
        double sum = 0;
        for (int64_t k = 0; k < take * m_channels; ++k) sum += static_cast<double>(p[k]) * p[k];
        m_pieceSum += sum;
        m_pieceFill += take;
        f += take;
        if (m_pieceFill < m_pieceFrames) break;
        m_pieces[static_cast<size_t>(m_piecesDone % kPiecesPerWindow)] = m_pieceSum;
        ++m_piecesDone;
        m_pieceSum = 0;
        m_pieceFill = 0;
        if (m_piecesDone >= kPiecesPerWindow) {
            // Only a steady stretch is a pause: one that holds a word varies far more from
            // piece to piece than hiss or room tone does.
            const auto [quietest, loudest] = std::minmax_element(m_pieces.begin(), m_pieces.end());
            if (*loudest <= *quietest * kSteadyRatio) {
                double window = 0;
                for (double piece : m_pieces) window += piece;
                if (m_quietestSum < 0 || window < m_quietestSum) m_quietestSum = window;
            }
        }
    }

    ebur128_add_frames_float(m_loudness->state, s, static_cast<size_t>(frames));
    if (m_pointFrames > 0) {
        EnvelopePoint& point = m_envelope.back();
        point.low = std::min(point.low, low);
        point.high = std::max(point.high, high);
        for (int c = 0; c < m_channels; ++c) {
            double truePeak = 0;
            if (ebur128_prev_true_peak(m_loudness->state, static_cast<unsigned>(c), &truePeak) == 0)
                point.truePeak = std::max(point.truePeak, static_cast<float>(truePeak));
        }
        point.clipped = point.clipped || m_clippedRuns > runsBefore;
    }
    m_frame += frames;
}

Levels LevelMeter::finish() {
    Levels levels;
    if (!ok()) return levels;
    levels.samplePeakDbfs = decibels(m_peak);
    double truePeak = m_peak;
    for (int c = 0; c < m_channels; ++c) {
        double channelPeak = 0;
        if (ebur128_true_peak(m_loudness->state, static_cast<unsigned>(c), &channelPeak) == 0)
            truePeak = std::max(truePeak, channelPeak);
    }
    levels.truePeakDbtp = decibels(truePeak);
    levels.silent = m_firstSound < 0;
    if (levels.silent) {
        levels.leadingSeconds = levels.trailingSeconds = static_cast<double>(m_frame) / m_rate;
    } else {
        levels.leadingSeconds = static_cast<double>(m_firstSound) / m_rate;
        levels.trailingSeconds = static_cast<double>(m_frame - 1 - m_lastSound) / m_rate;
    }
    levels.clippedRuns = m_clippedRuns;
    levels.firstClipSeconds = m_clippedRuns > 0 ? static_cast<double>(m_firstClip) / m_rate : 0.0;
    levels.tooShortForLoudness =
        m_frame < static_cast<int64_t>(std::ceil(T::kGatingBlockSeconds * m_rate));
    double lufs = 0;
    if (!levels.tooShortForLoudness &&
        ebur128_loudness_global(m_loudness->state, &lufs) == EBUR128_SUCCESS && std::isfinite(lufs))
        levels.integratedLufs = lufs;
    if (m_quietestSum >= 0) {
        const double samples = static_cast<double>(kPiecesPerWindow * m_pieceFrames * m_channels);
        levels.noiseFloorDbfs = m_quietestSum > 0 ? 10.0 * std::log10(m_quietestSum / samples)
                                                  : -std::numeric_limits<double>::infinity();
    }
    for (EnvelopePoint& point : m_envelope) {
        if (point.low > point.high) point.low = point.high = 0;
    }
    levels.envelope = std::move(m_envelope);
    return levels;
}

}  // namespace analysis
