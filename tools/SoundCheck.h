// What vxtool learns about one entry's sound before a performance: whether the player can
// play it, what the recording is, how the player will convert it, and its levels as they
// will be heard.
//
// Playability is asked of SDL_mixer with the player's own call on the stored bytes, on an
// audio output opened by the player's own code on SDL's dummy driver (no sound card, nothing
// heard). Recordings are decoded by libsndfile and converted to the format the output was
// opened with into exactly the samples SDL's own audio stream gives (PlayerConverter), and
// every level is measured on those samples.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <vector>

class SoundPlayer;

namespace vxtool {

// The thresholds of the warnings, named in `vxtool project check --help`.
struct Thresholds {
    static constexpr double kSilenceDbfs = -50.0;    // below this a sample counts as silence
    static constexpr double kLeadingSeconds = 0.5;   // more silence in front: GO seems late
    static constexpr double kTrailingSeconds = 2.0;  // more at the end: the next GO waits
    static constexpr double kQuietPeakDbfs = -20.0;  // a peak below this: a take too quiet
    // A clipped run: this many samples in a row at one level (within one step of 16 bits)
    // and at or above kFullScaleDbfs, a flat top at full scale. Counted by frames, so that
    // a mono recording played on both channels counts once.
    static constexpr double kFullScaleDbfs = -0.1;
    static constexpr int kClipRunSamples = 3;
};

struct Warning {
    QString kind;  // stable key: leading-silence, trailing-silence, clipping, quiet, silent,
                   // not-measured
    double value;  // the figure: seconds, dBFS, or runs, by kind (0 for not-measured)
    QString text;  // the warning in words, with its figure
};

// The output the player opens, as SDL_mixer reports it.
struct OutputFormat {
    int rate = 0;
    int channels = 0;
    int bits = 0;
};

struct SoundReport {
    bool plays = false;
    QString playError;  // why it will not play, when !plays

    // The recording as libsndfile reads it; known only when decoded.
    bool decoded = false;
    QString decodeError;
    QString container;  // wav, wav-extensible, rf64, ogg, flac, mp3, aiff, other
    QString encoding;   // pcm8, pcm16, pcm24, pcm32, float32, float64, alaw, ulaw, vorbis,
                        // opus, mp3, other
    int bits = 0;       // sample size of the stored samples; 0 for compressed encodings
    int rate = 0;
    int channels = 0;
    double seconds = 0;  // duration; from SDL_mixer when libsndfile cannot read the format

    QStringList conversions;  // how the player turns it into its output format

    // Levels on the converted samples; only when `measured`.
    bool measured = false;
    bool silent = false;         // no sample reaches the silence threshold
    double peakDbfs = 0;         // -infinity printed as "-inf" when every sample is 0
    double leadingSeconds = 0;   // silence before the first sound
    double trailingSeconds = 0;  // silence after the last sound
    int64_t clippedRuns = 0;
    double firstClipSeconds = 0;  // start of the first clipped run

    std::vector<Warning> warnings;
};

// A level as "-6.0 dBFS" (one decimal; "-inf dBFS" for digital silence).
QString dbfsText(double dbfs);

// Human words for the container and encoding of a report ("WAV, 16-bit PCM").
QString formatText(const SoundReport& report);

class Decoder;
struct ConverterTrust;

// One sound part way through its check: SoundChecker::begin has asked SDL_mixer whether it
// plays and read its header; finish() decodes and measures it. finish() may run on any
// thread, one thread at a time; it shares the sound's bytes until it returns.
class PendingSound final {
  public:
    PendingSound();
    ~PendingSound();
    PendingSound(const PendingSound&) = delete;
    PendingSound& operator=(const PendingSound&) = delete;

    // The whole report; call once.
    SoundReport finish();
    // Whether finish() has samples to decode and measure, or only returns what begin found.
    bool hasWork() const { return m_decoder != nullptr; }

  private:
    friend class SoundChecker;
    SoundReport m_report;
    std::unique_ptr<Decoder> m_decoder;  // null when there is nothing to measure
    OutputFormat m_output;
    std::shared_ptr<ConverterTrust> m_trust;  // the checker's, shared with its other sounds
};

// Checks sounds one at a time. Owns the process's sound player (for the audio output only),
// so at most one may exist; it must outlive nothing it checked (reports copy what they need).
class SoundChecker final {
  public:
    SoundChecker();
    ~SoundChecker();
    SoundChecker(const SoundChecker&) = delete;
    SoundChecker& operator=(const SoundChecker&) = delete;

    // False when the dummy output could not be opened; outputError() says why.
    bool ready() const;
    QString outputError() const;
    OutputFormat output() const { return m_output; }

    // Everything about bytes (a whole stored sound, not empty): whether it plays, what it
    // is, and its levels measured on every sample.
    SoundReport check(const QByteArray& bytes);
    // The part of check that must run on the thread that made this checker (SDL_mixer's
    // load, the header); the rest is the result's finish(). The result shares bytes (no
    // copy) until finish() returns.
    std::unique_ptr<PendingSound> begin(const QByteArray& bytes);

  private:
    std::unique_ptr<SoundPlayer> m_player;
    OutputFormat m_output;
    // Whether the fast converter has agreed with SDL's stream on every sound so far.
    std::shared_ptr<ConverterTrust> m_trust;
};

// The duration of the recording in bytes from its header alone (libsndfile), or a negative
// value when libsndfile cannot read it. Needs no audio output.
double headerSeconds(const QByteArray& bytes);

}  // namespace vxtool
