// The levels of a recording, measured on its own decoded samples at its own rate: sample
// and true peak, integrated loudness (ITU-R BS.1770 / EBU R 128, through libebur128),
// silence at both ends, clipped runs and the noise floor, optionally with an envelope of
// the whole sound for drawing it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace analysis {

// One point of a sound's envelope: the lowest and highest sample of its stretch over all
// channels, its true peak (linear), and whether a clipped run ends in it.
struct EnvelopePoint {
    float low = 0;
    float high = 0;
    float truePeak = 0;
    bool clipped = false;
};

struct Levels {
    bool silent = false;        // no sample reaches Thresholds::kSilenceDbfs
    double samplePeakDbfs = 0;  // -infinity for digital silence; above 0 for floats beyond
    double truePeakDbtp = 0;    // the peak between samples too (4x oversampled below 96 kHz)
    // Integrated loudness in LUFS; none when the sound is shorter than one gating block
    // (tooShortForLoudness) or no block of it rises above the absolute gate (-70 LUFS).
    // A mono recording is measured as dual mono: it plays on both channels.
    std::optional<double> integratedLufs;
    bool tooShortForLoudness = false;
    // The RMS level of the quietest steady half-second (a pause, see Thresholds) in dBFS;
    // -infinity when that is digital silence; none for a sound shorter than half a second
    // or without a pause that long.
    std::optional<double> noiseFloorDbfs;
    double leadingSeconds = 0;   // silence before the first sound
    double trailingSeconds = 0;  // silence after the last sound
    int64_t clippedRuns = 0;
    double firstClipSeconds = 0;          // start of the first clipped run
    std::vector<EnvelopePoint> envelope;  // empty unless asked for
};

class LevelMeter final {
  public:
    // What the meter measures; a recording beyond it is not measured.
    static constexpr int kMaxChannels = 8;
    static constexpr int kMaxRate = 384000;

    // expectedFrames and envelopePoints: an envelope of at most envelopePoints points over
    // expectedFrames frames (none when either is 0).
    LevelMeter(int channels, int rate, int64_t expectedFrames = 0, int envelopePoints = 0);
    ~LevelMeter();
    LevelMeter(const LevelMeter&) = delete;
    LevelMeter& operator=(const LevelMeter&) = delete;

    // False when the format is beyond the meter or libebur128 refused it.
    bool ok() const { return m_loudness != nullptr; }

    // Feeds `frames` interleaved frames, in order.
    void add(const float* samples, int64_t frames);
    // The levels of everything fed; call once, after the last add().
    Levels finish();

  private:
    struct Loudness;
    // Feeds one stretch that lies inside one envelope point.
    void addStretch(const float* samples, int64_t frames);

    int m_channels;
    int m_rate;
    std::unique_ptr<Loudness> m_loudness;  // null when the format is refused
    int64_t m_frame = 0;
    float m_peak = 0;
    int64_t m_firstSound = -1;
    int64_t m_lastSound = -1;
    // Clipped runs.
    std::vector<float> m_previous;  // each channel's last sample
    int64_t m_lastFlat = -2;        // the last frame that held a flat top
    int64_t m_run = 0;              // flat frames in a row up to m_lastFlat
    int64_t m_clippedRuns = 0;
    int64_t m_firstClip = 0;
    // Noise floor: sums of squares of consecutive pieces of a tenth of the window each.
    int64_t m_pieceFrames;
    int64_t m_pieceFill = 0;
    double m_pieceSum = 0;
    std::vector<double> m_pieces;  // the last ten pieces' sums, as a ring
    int64_t m_piecesDone = 0;
    double m_quietestSum = -1;  // the smallest window sum so far; -1 before the first
    // Envelope.
    int64_t m_pointFrames = 0;  // frames a point; 0: no envelope
    int m_points = 0;
    std::vector<EnvelopePoint> m_envelope;
};

}  // namespace analysis
