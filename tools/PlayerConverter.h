// Converts samples to the player's output format exactly as SDL's audio stream does,
// byte for byte, but resamples several times faster.
//
// The player's decoder feeds SDL_AudioStream, so the samples the audience hears are that
// stream's. Its resampler spends most of its time on two 64-bit divisions for every output
// sample and a branch for every filter tap; PlayerConverter computes the same sums in the
// same order from per-phase coefficients computed as SDL computes them, several frames at
// once. The channel and sample format steps before and after resampling stay SDL's own
// (SDL_BuildAudioCVT and SDL_ConvertAudio), run on buffers aligned as the stream aligns
// them; a conversion without resampling is SDL's stream itself.
//
// A later SDL may resample differently. So each sound's first puts also go through SDL's
// own stream, and on the first difference the sound continues on SDL's stream, as do all
// later sounds of every converter sharing the same ConverterTrust.
#pragma once

#include <SDL.h>

#include <QString>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vxtool {

// Whether the fast resampler has agreed with SDL's stream so far. Shared by every converter
// of a run, from any thread.
struct ConverterTrust {
    std::atomic<bool> fastAgrees{true};
};

class FastResamplingStream;

class PlayerConverter final {
  public:
    // Samples of srcFormat with srcChannels interleaved channels at srcRate into dstFormat
    // with dstChannels at dstRate, as SDL_NewAudioStream with these arguments would. *trust
    // must outlive the converter.
    PlayerConverter(SDL_AudioFormat srcFormat, int srcChannels, int srcRate,
                    SDL_AudioFormat dstFormat, int dstChannels, int dstRate, ConverterTrust* trust);
    ~PlayerConverter();
    PlayerConverter(const PlayerConverter&) = delete;
    PlayerConverter& operator=(const PlayerConverter&) = delete;

    // False when SDL cannot convert these formats; error() says why.
    bool ok() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }

    // As SDL_AudioStreamPut, SDL_AudioStreamFlush and SDL_AudioStreamGet: 0 (put, flush) on
    // success, -1 with error() set on failure; get returns the bytes copied into out.
    int put(const void* data, int bytes);
    int flush();
    int get(void* out, int bytes);

    // Whether this sound is converted by SDL's own stream (the fast resampler disagreed, or
    // no resampling is needed).
    bool usesSdlStream() const { return m_fast == nullptr; }

    // Test door: the fast resampler's next output is altered by one step in its first
    // sample, as a future SDL that resamples differently would show.
    static void TEST_perturbNextFastOutput();

  private:
    int compareSince(size_t before);
    int drainSdl();

    ConverterTrust* m_trust;
    QString m_error;
    SDL_AudioStream* m_sdl = nullptr;              // null once the fast stream is trusted
    std::unique_ptr<FastResamplingStream> m_fast;  // null when SDL's stream converts
    int m_putsLeftToCompare;
    std::vector<uint8_t> m_out;  // converted bytes not yet taken
    size_t m_outRead = 0;
};

}  // namespace vxtool
