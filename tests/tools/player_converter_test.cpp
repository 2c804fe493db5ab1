// PlayerConverter against its oracle, SDL_AudioStream itself: the same puts and the final
// flush must give the same bytes, and only a converter whose fast resampler disagrees may
// fall back to SDL's stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "tools/PlayerConverter.h"

namespace vxtool {
namespace {

const int kRates[] = {8000, 11025, 16000, 22050, 32000, 44056, 44100, 44101, 48000, 88200, 96000};

// A signal of kind 0..4: noise, full-scale square bursts, beyond full scale, a tone with
// silence around it, and noise with an infinity and a NaN in it.
std::vector<float> signal(std::mt19937& rng, int kind, int frames, int channels) {
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::vector<float> s(static_cast<size_t>(frames) * channels);
    for (size_t i = 0; i < s.size(); ++i) {
        const size_t frame = i / channels;
        switch (kind) {
            case 0:
                s[i] = unit(rng);
                break;
            case 1:
                s[i] = (frame / 37) % 2 ? 1.0f : -1.0f;
                break;
            case 2:
                s[i] = 3.0f * unit(rng);
                break;
            case 3:
                s[i] =
                    frame % 3000 < 1000 ? 0.0f : 0.9f * std::sin(0.05f * static_cast<float>(frame));
                break;
            default:
                s[i] = unit(rng);
                break;
        }
    }
    if (kind == 4) {
        s[s.size() / 3] = std::numeric_limits<float>::infinity();
        s[s.size() / 2] = std::numeric_limits<float>::quiet_NaN();
    }
    return s;
}

std::vector<uint8_t> takeAll(PlayerConverter& c) {
    std::vector<uint8_t> out;
    uint8_t buf[4000];
    for (int got; (got = c.get(buf, sizeof buf)) > 0;) out.insert(out.end(), buf, buf + got);
    return out;
}

std::vector<uint8_t> takeAll(SDL_AudioStream* s) {
    std::vector<uint8_t> out;
    uint8_t buf[4000];
    for (int got; (got = SDL_AudioStreamGet(s, buf, sizeof buf)) > 0;)
        out.insert(out.end(), buf, buf + got);
    return out;
}

struct Outputs {
    std::vector<uint8_t> converted;
    std::vector<uint8_t> oracle;
    bool usedSdl = false;
};

// Feeds the same puts (their frame counts in `puts`) and a flush to both: floats to SDL's
// stream, and to the converter those floats or, when given, the 16-bit samples they came
// from (as libsndfile reads 16-bit PCM both ways).
Outputs convert(const std::vector<float>& in, const std::vector<int16_t>* shorts, int channels,
                int rate, int dstChannels, int dstRate, const std::vector<int>& puts,
                ConverterTrust* trust) {
    Outputs run;
    PlayerConverter converter(shorts != nullptr ? AUDIO_S16SYS : AUDIO_F32SYS, channels, rate,
                              AUDIO_S16SYS, dstChannels, dstRate, trust);
    SDL_AudioStream* oracle =
        SDL_NewAudioStream(AUDIO_F32SYS, static_cast<Uint8>(channels), rate, AUDIO_S16SYS,
                           static_cast<Uint8>(dstChannels), dstRate);
    EXPECT_TRUE(converter.ok()) << converter.error().toStdString();
    EXPECT_NE(oracle, nullptr);
    if (!converter.ok() || oracle == nullptr) return run;
    size_t at = 0;
    for (const int frames : puts) {
        const int bytes = frames * channels * static_cast<int>(sizeof(float));
        if (shorts != nullptr)
            EXPECT_EQ(converter.put(shorts->data() + at, bytes / 2), 0);
        else
            EXPECT_EQ(converter.put(in.data() + at, bytes), 0);
        EXPECT_EQ(SDL_AudioStreamPut(oracle, in.data() + at, bytes), 0);
        at += static_cast<size_t>(frames) * channels;
        // Taking output in between must not change it.
        const std::vector<uint8_t> a = takeAll(converter), b = takeAll(oracle);
        run.converted.insert(run.converted.end(), a.begin(), a.end());
        run.oracle.insert(run.oracle.end(), b.begin(), b.end());
    }
    EXPECT_EQ(converter.flush(), 0);
    EXPECT_EQ(SDL_AudioStreamFlush(oracle), 0);
    const std::vector<uint8_t> a = takeAll(converter), b = takeAll(oracle);
    run.converted.insert(run.converted.end(), a.begin(), a.end());
    run.oracle.insert(run.oracle.end(), b.begin(), b.end());
    run.usedSdl = converter.usesSdlStream();
    SDL_FreeAudioStream(oracle);
    return run;
}

// Frame counts of puts covering `frames`: mostly small and irregular (below the staging
// buffer too), sometimes one large block, ending with a short put.
std::vector<int> putSizes(std::mt19937& rng, int frames) {
    std::vector<int> puts;
    std::uniform_int_distribution<int> kind(0, 9), small(1, 700), large(701, 9000);
    int left = frames;
    while (left > 0) {
        const int n = std::min(left, kind(rng) < 7 ? small(rng) : large(rng));
        puts.push_back(n);
        left -= n;
    }
    if (puts.size() > 1 && puts.back() > 3) {
        puts.back() -= 3;
        puts.push_back(3);
    }
    return puts;
}

TEST(PlayerConverterTest, EqualsSdlAudioStreamByteForByte) {
    std::mt19937 rng(20261208);
    int cases = 0, resampled = 0;
    for (const int rate : kRates) {
        for (int channels = 1; channels <= 6; ++channels) {
            // Mostly the player's output; sometimes mono or another rate out.
            const int dstChannels = (cases % 4 == 3) ? 1 : 2;
            const int dstRate = (cases % 7 == 6) ? 44100 : 22050;
            const int kind = cases % 5;
            const int frames = std::uniform_int_distribution<int>(1, 30000)(rng);
            std::vector<float> in = signal(rng, kind, frames, channels);
            // Every third case as 16-bit samples, and the floats they stand for.
            std::vector<int16_t> shorts;
            const bool sixteen = cases % 3 == 1;
            if (sixteen) {
                for (float& x : in) {
                    const float scaled = std::isfinite(x) ? x * 32768.0f : 0.0f;
                    shorts.push_back(static_cast<int16_t>(std::clamp(scaled, -32768.0f, 32767.0f)));
                    x = static_cast<float>(shorts.back()) / 32768.0f;
                }
            }
            ConverterTrust trust;
            const Outputs run = convert(in, sixteen ? &shorts : nullptr, channels, rate,
                                        dstChannels, dstRate, putSizes(rng, frames), &trust);
            SCOPED_TRACE(testing::Message()
                         << rate << " Hz, " << channels << " channels, " << frames
                         << " frames, signal " << kind << (sixteen ? " in 16 bits" : "") << " to "
                         << dstRate << " Hz, " << dstChannels << " channels");
            ASSERT_FALSE(run.oracle.empty());
            ASSERT_EQ(run.converted.size(), run.oracle.size());
            ASSERT_TRUE(run.converted == run.oracle);
            // The fast resampler converted it: it agreed on the puts compared, and did the rest.
            EXPECT_EQ(run.usedSdl, rate == dstRate);
            EXPECT_TRUE(trust.fastAgrees.load());
            resampled += rate != dstRate;
            ++cases;
        }
    }
    EXPECT_GT(resampled, 50);
}

// An infinity anywhere (moved across a run of the resampler and past its end, where only
// the run's last frames see it) is converted as SDL converts it.
TEST(PlayerConverterTest, AnInfinityAnywhereIsConvertedAsSdlConvertsIt) {
    std::mt19937 rng(3);
    const std::vector<float> clean = signal(rng, 0, 8000, 1);
    // Puts above the staging buffer's 1024 frames: a run each, 515 frames out (not a
    // multiple of 4); the fifth is the first whose output is not compared with SDL's.
    const std::vector<int> puts = {1030, 1030, 1030, 1030, 1030, 1030, 1030, 790};
    for (int at = 3600; at < 4200; ++at) {
        std::vector<float> in = clean;
        in[static_cast<size_t>(at)] = -std::numeric_limits<float>::infinity();
        ConverterTrust trust;
        const Outputs run = convert(in, nullptr, 1, 44100, 2, 22050, puts, &trust);
        ASSERT_TRUE(run.converted == run.oracle) << "infinity at " << at;
        ASSERT_FALSE(run.usedSdl);
    }
}

TEST(PlayerConverterTest, DisagreementHandsTheSoundAndLaterOnesToSdl) {
    std::mt19937 rng(7);
    const int frames = 40000;
    const std::vector<float> in = signal(rng, 0, frames, 1);
    const std::vector<int> puts(frames / 4000, 4000);
    ConverterTrust trust;

    PlayerConverter::TEST_perturbNextFastOutput();
    const Outputs perturbed = convert(in, nullptr, 1, 44100, 2, 22050, puts, &trust);
    EXPECT_TRUE(perturbed.converted == perturbed.oracle);
    EXPECT_TRUE(perturbed.usedSdl);
    EXPECT_FALSE(trust.fastAgrees.load());

    // Every later sound of the run goes to SDL's stream from its start.
    PlayerConverter later(AUDIO_F32SYS, 1, 44100, AUDIO_S16SYS, 2, 22050, &trust);
    EXPECT_TRUE(later.usesSdlStream());
    const Outputs next = convert(in, nullptr, 1, 48000, 2, 22050, puts, &trust);
    EXPECT_TRUE(next.converted == next.oracle);
    EXPECT_TRUE(next.usedSdl);
}

}  // namespace
}  // namespace vxtool
