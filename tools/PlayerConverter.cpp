// PlayerConverter: SDL 2.26's audio stream with a faster resampler.
//
// What must hold for the output to equal SDL_AudioStream's byte for byte, and why it does:
// - The stream's bookkeeping is SDL's: input is staged until it fills the resampler's padding
//   (the staging buffer), each run of the resampler starts its output count at 0 (so a run's
//   output frames are floor(input frames * out / in), its remainder dropped), the end of
//   each run's input is kept as the right padding of this run and the start of the next,
//   the left padding is updated as SDL updates it, and a flush pushes the staged frames and
//   then silence, cut to the number of bytes SDL computes. All of it is mirrored below.
// - Resampling is SDL's sum per output sample: the left wing's taps, then the right wing's,
//   each added as (float)(sample * (F[k] + interp * D[k])) to a float that starts at 0. The
//   coefficients F[k] + interp * D[k] depend only on the phase (i * in) mod out, so they
//   are computed once per phase with SDL's own float operations, and every frame's sum is
//   still taken in SDL's order. This file is compiled without contraction of a * b + c and
//   without fast-math, as SDL is, so each operation rounds as SDL's does.
// - A wing has 5 or 6 taps depending on the phase; the fast loops always take 6 and give
//   an absent tap the coefficient 0. For a finite sample that adds +0 or -0, which changes
//   no sum but the sign of a zero, and a zero of either sign becomes the same integer
//   sample: so the fast loops serve integer output formats only. An infinity or NaN in the
//   input would turn such a tap into NaN, so a run whose sums are not all finite is
//   computed again with SDL's tap counts.
// - Several output frames are computed at once, each sample in a lane of a vector of its
//   own; the lanes never mix, so each frame's sum is still taken in SDL's order.
// - The format steps before and after resampling are SDL's own converters, and some of them
//   round differently in their vector and scalar parts (SDL's float to 16-bit conversion
//   rounds in its SSE2 blocks and truncates elsewhere). Which samples take which part
//   depends on the buffer's address modulo 16, so the buffers are laid out at SDL's offsets
//   from a 16-byte aligned base.
#include "tools/PlayerConverter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#ifdef __SSE__
#include <xmmintrin.h>
#endif

#include "tools/SdlResamplerFilter.h"

namespace vxtool {

namespace {

constexpr int kWingTaps = RESAMPLER_ZERO_CROSSINGS + 1;  // the most taps of one wing
constexpr int kSamplesPerCrossing = RESAMPLER_SAMPLES_PER_ZERO_CROSSING;
// The rates SDL's 32-bit arithmetic handles without overflow (its padding and filter indexes
// are products of a rate and kSamplesPerCrossing), and a bound on the phases in a period
// (the output rate over the rates' greatest common divisor, at most 22050 for the player's
// output) that keeps a converter's tables under 9 MB. Other conversions are SDL's.
constexpr int kMaxRate = 1 << 21;
constexpr int kMaxPhases = 1 << 15;
// Puts with sound in their output compared against SDL's own stream before a sound is left
// to the fast one.
constexpr int kComparedPuts = 3;

std::atomic<bool> g_perturbNext{false};

// SDL's padding of the resampler, in frames.
int resamplerPadding(int inrate, int outrate) {
    if (inrate == outrate) return 0;
    if (inrate > outrate) return (kSamplesPerCrossing * inrate + outrate - 1) / outrate;
    return kSamplesPerCrossing;
}

}  // namespace

// The resampling half of SDL_AudioStream (any SDL format in and out), computed by
// output phase. create() returns null where it does not apply: then SDL's stream converts.
class FastResamplingStream final {
  public:
    static std::unique_ptr<FastResamplingStream> create(SDL_AudioFormat srcFormat, int srcChannels,
                                                        int srcRate, SDL_AudioFormat dstFormat,
                                                        int dstChannels, int dstRate) {
        if (srcRate == dstRate || srcRate <= 0 || dstRate <= 0 || srcRate > kMaxRate ||
            dstRate > kMaxRate || SDL_AUDIO_ISFLOAT(dstFormat) || srcChannels < 1 ||
            srcChannels > 255 || dstChannels < 1 || dstChannels > 255)
            return nullptr;
        const int gcd = std::gcd(srcRate, dstRate);
        if (dstRate / gcd > kMaxPhases) return nullptr;
        std::unique_ptr<FastResamplingStream> s(new FastResamplingStream);
        s->m_srcRate = srcRate;
        s->m_dstRate = dstRate;
        // Channels are reduced before resampling and increased after it, as SDL does.
        s->m_channels = std::min(srcChannels, dstChannels);
        s->m_srcFrameSize = SDL_AUDIO_BITSIZE(srcFormat) / 8 * srcChannels;
        s->m_dstFrameSize = SDL_AUDIO_BITSIZE(dstFormat) / 8 * dstChannels;
        s->m_rateIncr = static_cast<double>(dstRate) / static_cast<double>(srcRate);
        s->m_paddingSamples = resamplerPadding(srcRate, dstRate) * s->m_channels;
        s->m_savedPadding.assign(static_cast<size_t>(s->m_paddingSamples), 0.0f);
        s->m_history.assign(static_cast<size_t>(s->m_paddingSamples), 0.0f);
        s->m_staging.assign(static_cast<size_t>(resamplerPadding(srcRate, dstRate)) *
                                static_cast<size_t>(s->m_srcFrameSize),
                            0);
        if (SDL_BuildAudioCVT(&s->m_before, srcFormat, static_cast<Uint8>(srcChannels), srcRate,
                              AUDIO_F32SYS, static_cast<Uint8>(s->m_channels), srcRate) < 0 ||
            SDL_BuildAudioCVT(&s->m_after, AUDIO_F32SYS, static_cast<Uint8>(s->m_channels), dstRate,
                              dstFormat, static_cast<Uint8>(dstChannels), dstRate) < 0)
            return nullptr;
        s->buildPhases(gcd);
        return s;
    }

    // SDL_AudioStreamPut: appends what the put converts to *out.
    int put(const void* data, int len, std::vector<uint8_t>* out) {
        if (len == 0) return 0;
        if (len < 0 || len % m_srcFrameSize != 0) return -1;
        auto* buf = static_cast<const uint8_t*>(data);
        const int stagingSize = static_cast<int>(m_staging.size());
        while (len > 0) {
            if (m_stagingFilled == 0 && len >= stagingSize)
                return putInternal(buf, len, nullptr, out);
            if (m_stagingFilled + len < stagingSize) {
                std::memcpy(m_staging.data() + m_stagingFilled, buf, static_cast<size_t>(len));
                m_stagingFilled += len;
                return 0;
            }
            const int amount = stagingSize - m_stagingFilled;
            std::memcpy(m_staging.data() + m_stagingFilled, buf, static_cast<size_t>(amount));
            m_stagingFilled = 0;
            if (putInternal(m_staging.data(), stagingSize, nullptr, out) < 0) return -1;
            buf += amount;
            len -= amount;
        }
        return 0;
    }

    // SDL_AudioStreamFlush. Like SDL's, it flushes nothing when no frame is staged, and it
    // leaves the left padding as it is for whatever is put next.
    int flush(std::vector<uint8_t>* out) {
        const int filled = m_stagingFilled;
        if (filled > 0) {
            int inputFrames = filled / m_srcFrameSize;
            if (!m_firstRun) inputFrames += m_paddingSamples / m_channels;
            if (inputFrames > 0) {
                int remaining =
                    static_cast<int>(std::ceil(inputFrames * m_rateIncr)) * m_dstFrameSize;
                const int size = static_cast<int>(m_staging.size());
                std::memset(m_staging.data() + filled, 0, static_cast<size_t>(size - filled));
                if (putInternal(m_staging.data(), size, &remaining, out) < 0) return -1;
                std::memset(m_staging.data(), 0, static_cast<size_t>(filled));
                if (putInternal(m_staging.data(), size, &remaining, out) < 0) return -1;
            }
        }
        m_stagingFilled = 0;
        m_firstRun = true;
        return 0;
    }

  private:
    // One output phase: where its frame's input sits and the coefficients of its taps.
    struct Phase {
        int srcOffset;  // input frame of the phase's output frame, from its period's start
        int leftTaps;
        int rightTaps;
        float left[kWingTaps];   // 0 beyond leftTaps
        float right[kWingTaps];  // 0 beyond rightTaps
    };

#ifdef __SSE__
    // Consecutive output frames whose samples share a vector, a lane each: four frames of
    // one channel, or two frames of two. Their input frames from the start of their cycle
    // (a whole number of periods and of groups), and their phases' coefficients by lane.
    struct Group {
        int srcOffset[4];
        __m128 left[kWingTaps];
        __m128 right[kWingTaps];
    };
#endif

    FastResamplingStream() = default;

    // The output repeats its phases every dstRate / gcd frames, in which the input advances
    // srcRate / gcd frames. Each phase's fraction, filter indexes and interpolation weights
    // are computed with SDL's expressions.
    void buildPhases(int gcd) {
        const int periods = m_dstRate / gcd;
        m_periodStep = m_srcRate / gcd;
        m_phases.resize(static_cast<size_t>(periods));
        for (int p = 0; p < periods; ++p) {
            Phase& ph = m_phases[static_cast<size_t>(p)];
            const int64_t product = static_cast<int64_t>(p) * m_srcRate;
            ph.srcOffset = static_cast<int>(product / m_dstRate);
            const int fraction = static_cast<int>(product % m_dstRate);
            const float interpolation1 =
                static_cast<float>(fraction) / static_cast<float>(m_dstRate);
            const int filterIndex1 = fraction * kSamplesPerCrossing / m_dstRate;
            const float interpolation2 = 1.0f - interpolation1;
            const int filterIndex2 = (m_dstRate - fraction) * kSamplesPerCrossing / m_dstRate;
            ph.leftTaps = wing(filterIndex1, interpolation1, ph.left);
            ph.rightTaps = wing(filterIndex2, interpolation2, ph.right);
        }
#ifdef __SSE__
        if (m_channels > 2) return;
        const int frames = 4 / m_channels;  // per group
        const int cycle = std::lcm(periods, frames);
        m_cycleStep = static_cast<int64_t>(m_periodStep) * (cycle / periods);
        m_groups.resize(static_cast<size_t>(cycle / frames));
        for (int f = 0; f < cycle; ++f) {
            const Phase& ph = m_phases[static_cast<size_t>(f % periods)];
            Group& group = m_groups[static_cast<size_t>(f / frames)];
            group.srcOffset[f % frames] = (f / periods) * m_periodStep + ph.srcOffset;
            for (int lane = f % frames * m_channels; lane < (f % frames + 1) * m_channels; ++lane) {
                for (int j = 0; j < kWingTaps; ++j) {
                    group.left[j][lane] = ph.left[j];
                    group.right[j][lane] = ph.right[j];
                }
            }
        }
#endif
    }

    static int wing(int filterIndex, float interpolation, float* coefficients) {
        int taps = 0;
        for (int j = 0; j < kWingTaps; ++j) {
            const int k = filterIndex + j * kSamplesPerCrossing;
            coefficients[j] = 0.0f;
            if (k < RESAMPLER_FILTER_SIZE) {
                coefficients[j] =
                    ResamplerFilter[k] + (interpolation * ResamplerFilterDifference[k]);
                taps = j + 1;
            }
        }
        return taps;
    }

    // SDL_AudioStreamPutInternal with SDL's own converters before and after resampling.
    int putInternal(const uint8_t* buf, int buflen, int* maxputbytes, std::vector<uint8_t>* out) {
        const int needed = m_paddingSamples * static_cast<int>(sizeof(float));
        const int paddingBytes = m_firstRun ? 0 : needed;
        m_firstRun = false;
        const int framesize = m_channels * static_cast<int>(sizeof(float));
        const int convertedMax = m_before.needed ? buflen * m_before.len_mult : buflen;
        const int resampleBufLen =
            static_cast<int>(std::ceil((convertedMax / framesize) * m_rateIncr)) * framesize;

        // [left padding][prepended padding][input][resampled output], the input starting
        // 16-byte aligned as SDL's work buffer does.
        const size_t lead = (static_cast<size_t>(needed) + 15) & ~size_t{15};
        const size_t total = lead + static_cast<size_t>(paddingBytes) +
                             static_cast<size_t>(convertedMax) +
                             static_cast<size_t>(resampleBufLen) *
                                 static_cast<size_t>(m_after.needed ? m_after.len_mult : 1) +
                             16;
        if (m_work.size() < total) m_work.resize(total);
        uint8_t* base = m_work.data();
        base += (16 - reinterpret_cast<uintptr_t>(base) % 16) % 16;
        uint8_t* work = base + lead;

        std::memcpy(work + paddingBytes, buf, static_cast<size_t>(buflen));
        int len = buflen;
        if (m_before.needed) {
            m_before.buf = work + paddingBytes;
            m_before.len = len;
            if (SDL_ConvertAudio(&m_before) == -1) return -1;
            len = m_before.len_cvt;
        }
        if (paddingBytes > 0) {
            std::memcpy(work, m_savedPadding.data(), static_cast<size_t>(paddingBytes));
            len += paddingBytes;
        }
        std::memcpy(m_savedPadding.data(), work + (len - needed), static_cast<size_t>(needed));

        uint8_t* resampled = work + len;
        int outLen = 0;
        if (len > needed) {
            const int inLen = len - needed;
            std::memcpy(work - needed, m_history.data(), static_cast<size_t>(needed));
            const int inFrames = inLen / framesize;
            const int wanted =
                static_cast<int>(static_cast<int64_t>(inFrames) * m_dstRate / m_srcRate);
            const int outFrames = std::min(wanted, resampleBufLen / framesize);
            resample(reinterpret_cast<const float*>(work), reinterpret_cast<float*>(resampled),
                     outFrames);
            const int copied = std::min(inLen, needed);
            std::memcpy(reinterpret_cast<uint8_t*>(m_history.data()) + (needed - copied),
                        work + (inLen - copied), static_cast<size_t>(copied));
            outLen = outFrames * framesize;
        }
        if (m_after.needed && outLen > 0) {
            m_after.buf = resampled;
            m_after.len = outLen;
            if (SDL_ConvertAudio(&m_after) == -1) return -1;
            outLen = m_after.len_cvt;
        }
        if (maxputbytes != nullptr) {
            outLen = std::min(outLen, *maxputbytes);
            *maxputbytes -= outLen;
        }
        out->insert(out->end(), resampled, resampled + outLen);
        return 0;
    }

    // SDL_ResampleAudio on in[0, inFrames), with valid padding frames before and after it.
    void resample(const float* in, float* out, int outFrames) const {
        // An infinity or NaN anywhere in a frame's window makes its sum infinite or NaN, on
        // a tap of coefficient 0 too (0 * infinity is NaN); a sum of finite samples may
        // overflow as well. Either way the frames are computed again with SDL's tap counts.
        const int c = m_channels;
        bool finite = true;
        int done = 0;
#ifdef __SSE__
        if (c == 1 && m_phases.size() == 1 && m_periodStep == 2)
            done = resampleHalving(in, out, outFrames, &finite);
        else if (c == 1)
            done = resampleFours(in, out, outFrames, &finite);
        if (c == 2) done = resamplePairs(in, out, outFrames, &finite);
#endif
        if (c == 1)
            resampleFixed<1>(in, out, done, outFrames, &finite);
        else if (c == 2)
            resampleFixed<2>(in, out, done, outFrames, &finite);
        else
            resampleFixed<0>(in, out, done, outFrames, &finite);
        if (!finite) resampleExact(in, out, outFrames);
    }

#ifdef __SSE__
    // Output frames of one channel four at a time, one in each lane of a vector: each lane
    // takes its own frame's sum in SDL's order, so it rounds exactly as resampleFixed does.
    // A lane's window (the kWindow frames its taps read) is loaded whole, and the four
    // windows are transposed so that a vector holds one tap's sample of the four frames.
    // Returns how many frames it wrote (a multiple of 4); clears *finite if a sum is not
    // finite.
    int resampleFours(const float* in, float* out, int outFrames, bool* finite) const {
        constexpr int kWindow = 2 * kWingTaps;  // frames -(kWingTaps - 1) .. kWingTaps
        const int groups = static_cast<int>(m_groups.size());
        const int frames = outFrames / 4 * 4;
        int64_t cycleStart = 0;
        int g = 0;
        const __m128 zero = _mm_setzero_ps();
        __m128 nonFinite = zero;  // NaN in a lane once a sum there was not finite
        for (int i = 0; i < frames; i += 4) {
            const Group& group = m_groups[static_cast<size_t>(g)];
            __m128 x[kWindow];  // x[t]: the window's sample t of lanes 0..3
            const float* w[4];
            for (int l = 0; l < 4; ++l)
                w[l] = in + cycleStart + group.srcOffset[l] - (kWingTaps - 1);
            for (int v = 0; v < kWindow / 4; ++v) {
                __m128 r0 = _mm_loadu_ps(w[0] + 4 * v), r1 = _mm_loadu_ps(w[1] + 4 * v);
                __m128 r2 = _mm_loadu_ps(w[2] + 4 * v), r3 = _mm_loadu_ps(w[3] + 4 * v);
                _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
                x[4 * v] = r0;
                x[4 * v + 1] = r1;
                x[4 * v + 2] = r2;
                x[4 * v + 3] = r3;
            }
            __m128 sum = zero;
            for (int j = 0; j < kWingTaps; ++j)
                sum = _mm_add_ps(sum, _mm_mul_ps(x[kWingTaps - 1 - j], group.left[j]));
            for (int j = 0; j < kWingTaps; ++j)
                sum = _mm_add_ps(sum, _mm_mul_ps(x[kWingTaps + j], group.right[j]));
            nonFinite = _mm_add_ps(nonFinite, _mm_mul_ps(sum, zero));
            _mm_storeu_ps(out + i, sum);
            if (++g == groups) {
                g = 0;
                cycleStart += m_cycleStep;
            }
        }
        if (_mm_movemask_ps(_mm_cmpunord_ps(nonFinite, nonFinite)) != 0) *finite = false;
        return frames;
    }

    // One channel at exactly half its rate (44100 Hz to 22050), four frames at a time as in
    // resampleFours: every frame has phase 0 and its input two frames after the last one's,
    // so a tap's samples of four frames are every other sample from one place, two loads
    // and one shuffle.
    int resampleHalving(const float* in, float* out, int outFrames, bool* finite) const {
        const Group& group = m_groups[0];  // all four lanes phase 0
        const int frames = outFrames / 4 * 4;
        const __m128 zero = _mm_setzero_ps();
        __m128 nonFinite = zero;
        for (int i = 0; i < frames; i += 4) {
            const float* w = in + 2 * i - (kWingTaps - 1);  // lane l's window starts at 2l
            auto tap = [&](int t) {
                return _mm_shuffle_ps(_mm_loadu_ps(w + t), _mm_loadu_ps(w + t + 4),
                                      _MM_SHUFFLE(2, 0, 2, 0));
            };
            __m128 sum = zero;
            for (int j = 0; j < kWingTaps; ++j)
                sum = _mm_add_ps(sum, _mm_mul_ps(tap(kWingTaps - 1 - j), group.left[j]));
            for (int j = 0; j < kWingTaps; ++j)
                sum = _mm_add_ps(sum, _mm_mul_ps(tap(kWingTaps + j), group.right[j]));
            nonFinite = _mm_add_ps(nonFinite, _mm_mul_ps(sum, zero));
            _mm_storeu_ps(out + i, sum);
        }
        if (_mm_movemask_ps(_mm_cmpunord_ps(nonFinite, nonFinite)) != 0) *finite = false;
        return frames;
    }

    // Output frames of two channels two at a time: the lanes are the first frame's two
    // channels and the second frame's, each tap's samples two loads of a channel pair.
    // Otherwise as resampleFours; returns how many frames it wrote (a multiple of 2).
    int resamplePairs(const float* in, float* out, int outFrames, bool* finite) const {
        const int groups = static_cast<int>(m_groups.size());
        const int frames = outFrames / 2 * 2;
        int64_t cycleStart = 0;
        int g = 0;
        const __m128 zero = _mm_setzero_ps();
        __m128 nonFinite = zero;
        for (int i = 0; i < frames; i += 2) {
            const Group& group = m_groups[static_cast<size_t>(g)];
            const float* a = in + (cycleStart + group.srcOffset[0]) * 2;
            const float* b = in + (cycleStart + group.srcOffset[1]) * 2;
            auto pair = [&](int frame) {
                const __m128 low =
                    _mm_loadl_pi(zero, reinterpret_cast<const __m64*>(a + 2 * frame));
                return _mm_loadh_pi(low, reinterpret_cast<const __m64*>(b + 2 * frame));
            };
            __m128 sum = zero;
            for (int j = 0; j < kWingTaps; ++j)
                sum = _mm_add_ps(sum, _mm_mul_ps(pair(-j), group.left[j]));
            for (int j = 0; j < kWingTaps; ++j)
                sum = _mm_add_ps(sum, _mm_mul_ps(pair(j + 1), group.right[j]));
            nonFinite = _mm_add_ps(nonFinite, _mm_mul_ps(sum, zero));
            _mm_storeu_ps(out + 2 * i, sum);
            if (++g == groups) {
                g = 0;
                cycleStart += m_cycleStep;
            }
        }
        if (_mm_movemask_ps(_mm_cmpunord_ps(nonFinite, nonFinite)) != 0) *finite = false;
        return frames;
    }
#endif

    // Output frames [from, to), one at a time, every phase with kWingTaps taps a wing,
    // absent ones 0; clears *finite if a sum is not finite. kChannels 0: m_channels.
    template <int kChannels>
    void resampleFixed(const float* in, float* out, int from, int to, bool* finite) const {
        const int c = kChannels > 0 ? kChannels : m_channels;
        const Phase* phases = m_phases.data();
        const int periods = static_cast<int>(m_phases.size());
        int64_t periodStart = static_cast<int64_t>(from / periods) * m_periodStep;
        int p = from % periods;
        bool allFinite = true;
        out += static_cast<size_t>(from) * c;
        for (int i = from; i < to; ++i) {
            const Phase& ph = phases[p];
            const float* s = in + (periodStart + ph.srcOffset) * c;
            for (int ch = 0; ch < c; ++ch) {
                float sum = 0.0f;
                for (int j = 0; j < kWingTaps; ++j) sum += s[ch - j * c] * ph.left[j];
                for (int j = 0; j < kWingTaps; ++j) sum += s[ch + (j + 1) * c] * ph.right[j];
                *out++ = sum;
                allFinite = allFinite && std::isfinite(sum);
            }
            if (++p == periods) {
                p = 0;
                periodStart += m_periodStep;
            }
        }
        if (!allFinite) *finite = false;
    }

    // SDL's own tap counts, for input that holds infinities or NaNs.
    void resampleExact(const float* in, float* out, int outFrames) const {
        const int c = m_channels;
        const int periods = static_cast<int>(m_phases.size());
        int64_t periodStart = 0;
        int p = 0;
        for (int i = 0; i < outFrames; ++i) {
            const Phase& ph = m_phases[static_cast<size_t>(p)];
            const float* s = in + (periodStart + ph.srcOffset) * c;
            for (int ch = 0; ch < c; ++ch) {
                float sum = 0.0f;
                for (int j = 0; j < ph.leftTaps; ++j) sum += s[ch - j * c] * ph.left[j];
                for (int j = 0; j < ph.rightTaps; ++j) sum += s[ch + (j + 1) * c] * ph.right[j];
                *out++ = sum;
            }
            if (++p == periods) {
                p = 0;
                periodStart += m_periodStep;
            }
        }
    }

    int m_srcRate = 0;
    int m_dstRate = 0;
    int m_channels = 0;  // channels while resampling
    int m_srcFrameSize = 0;
    int m_dstFrameSize = 0;
    double m_rateIncr = 0;
    int m_paddingSamples = 0;
    SDL_AudioCVT m_before{};
    SDL_AudioCVT m_after{};
    bool m_firstRun = true;
    std::vector<uint8_t> m_staging;
    int m_stagingFilled = 0;
    std::vector<float> m_savedPadding;  // the end of the last run's input: its right padding
    std::vector<float> m_history;       // the resampler's left padding
    std::vector<uint8_t> m_work;
    std::vector<Phase> m_phases;
    int m_periodStep = 0;  // input frames a period of the phases advances
#ifdef __SSE__
    std::vector<Group> m_groups;
    int64_t m_cycleStep = 0;  // input frames a cycle of the groups advances
#endif
};

PlayerConverter::PlayerConverter(SDL_AudioFormat srcFormat, int srcChannels, int srcRate,
                                 SDL_AudioFormat dstFormat, int dstChannels, int dstRate,
                                 ConverterTrust* trust)
    : m_trust(trust), m_putsLeftToCompare(kComparedPuts) {
    if (srcChannels < 1 || srcChannels > 255 || dstChannels < 1 || dstChannels > 255) {
        m_error = QString("SDL cannot convert %1 channels to %2").arg(srcChannels).arg(dstChannels);
        return;
    }
    m_sdl = SDL_NewAudioStream(srcFormat, static_cast<Uint8>(srcChannels), srcRate, dstFormat,
                               static_cast<Uint8>(dstChannels), dstRate);
    if (m_sdl == nullptr) {
        m_error = QString::fromLocal8Bit(SDL_GetError());
        return;
    }
    if (m_trust->fastAgrees.load())
        m_fast = FastResamplingStream::create(srcFormat, srcChannels, srcRate, dstFormat,
                                              dstChannels, dstRate);
}

PlayerConverter::~PlayerConverter() {
    if (m_sdl != nullptr) SDL_FreeAudioStream(m_sdl);
}

void PlayerConverter::TEST_perturbNextFastOutput() { g_perturbNext.store(true); }

int PlayerConverter::put(const void* data, int bytes) {
    if (!ok()) return -1;
    const size_t before = m_out.size();
    if (m_fast != nullptr && m_fast->put(data, bytes, &m_out) < 0) {
        m_error = "cannot add partial sample frames";
        return -1;
    }
    if (m_sdl == nullptr) return 0;
    if (SDL_AudioStreamPut(m_sdl, data, bytes) != 0) {
        m_error = QString::fromLocal8Bit(SDL_GetError());
        return -1;
    }
    return m_fast != nullptr ? compareSince(before) : drainSdl();
}

int PlayerConverter::flush() {
    if (!ok()) return -1;
    const size_t before = m_out.size();
    if (m_fast != nullptr && m_fast->flush(&m_out) < 0) {
        m_error = "SDL cannot convert the last samples";
        return -1;
    }
    if (m_sdl == nullptr) return 0;
    if (SDL_AudioStreamFlush(m_sdl) != 0) {
        m_error = QString::fromLocal8Bit(SDL_GetError());
        return -1;
    }
    return m_fast != nullptr ? compareSince(before) : drainSdl();
}

int PlayerConverter::get(void* out, int bytes) {
    const size_t n = std::min(m_out.size() - m_outRead, static_cast<size_t>(std::max(bytes, 0)));
    if (n == 0) return 0;
    std::memcpy(out, m_out.data() + m_outRead, n);
    m_outRead += n;
    if (m_outRead == m_out.size()) {
        m_out.clear();
        m_outRead = 0;
    }
    return static_cast<int>(n);
}

int PlayerConverter::drainSdl() {
    const int available = SDL_AudioStreamAvailable(m_sdl);
    if (available <= 0) return 0;
    const size_t at = m_out.size();
    m_out.resize(at + static_cast<size_t>(available));
    const int got = SDL_AudioStreamGet(m_sdl, m_out.data() + at, available);
    m_out.resize(at + static_cast<size_t>(std::max(got, 0)));
    if (got < 0) {
        m_error = QString::fromLocal8Bit(SDL_GetError());
        return -1;
    }
    return 0;
}

// The fast stream's output since `before` against what SDL's stream made of the same put.
// Both streams have seen every put of this sound, so on a difference SDL's stream simply
// carries on with its own output in place of the fast one's.
//
// Why the first puts with sound in them are enough: every output sample of a put is made by
// the same filter table, the same per-phase arithmetic and the same converters, and the
// first puts take both of the stream's paths (the first run, without padding in front,
// and the runs after it, with the previous run's end in front). A later SDL that changed
// any of these changes almost every sample that is not silent, so kComparedPuts puts with
// a sample other than 0 show it; silent ones prove nothing, so they do not count. What the
// comparison cannot see is a change confined to the flush at a sound's end (its last few
// milliseconds) or to input it has not met yet.
int PlayerConverter::compareSince(size_t before) {
    if (m_out.size() > before && g_perturbNext.exchange(false)) m_out[before] ^= 1;
    std::vector<uint8_t> fast(m_out.begin() + static_cast<std::ptrdiff_t>(before), m_out.end());
    m_out.resize(before);
    if (drainSdl() < 0) return -1;
    const bool same = fast.size() == m_out.size() - before &&
                      std::equal(fast.begin(), fast.end(), m_out.begin() + before);
    if (!same) {
        m_trust->fastAgrees.store(false);
        m_fast.reset();
        return 0;
    }
    const bool sound = std::any_of(fast.begin(), fast.end(), [](uint8_t b) { return b != 0; });
    if (sound && --m_putsLeftToCompare == 0) {
        SDL_FreeAudioStream(m_sdl);
        m_sdl = nullptr;
    }
    return 0;
}

}  // namespace vxtool
