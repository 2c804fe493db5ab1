// The real player on SDL's disk driver, which writes the mixed output (22050 Hz, stereo,
// signed 16-bit) to a file: what was played can be compared sample for sample.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "Wav.h"
#include "audio/SoundPlayer.h"

using namespace std::chrono_literals;

namespace {

std::string outputPath(const char* name) {
    const char* dir = std::getenv("VOXTRAIL_TEST_TMP");
    return std::string(dir != nullptr ? dir : ".") + "/" + name;
}

// A player writing to `file`, at about nine times real time (a 186 ms buffer per 20 ms).
std::unique_ptr<SoundPlayer> diskPlayer(const std::string& file) {
    std::remove(file.c_str());
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", file.c_str(), 1);
    setenv("SDL_DISKAUDIODELAY", "20", 1);
    return std::make_unique<SoundPlayer>();
}

std::vector<std::int16_t> readSamples(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[2 * i]) |
                                               (static_cast<std::uint8_t>(bytes[2 * i + 1]) << 8));
    }
    return samples;
}

// Index of the first occurrence of `needle` in `hay`, or -1.
long find(const std::vector<std::int16_t>& hay, const std::vector<std::int16_t>& needle) {
    auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end());
    return it == hay.end() ? -1 : static_cast<long>(it - hay.begin());
}

bool silentFrom(const std::vector<std::int16_t>& samples, long from) {
    return std::all_of(samples.begin() + from, samples.end(),
                       [](std::int16_t s) { return s == 0; });
}

TEST(SoundPlayerDiskTest, TheSoundComesOutSampleForSample) {
    const std::string file = outputPath("tone.raw");
    const std::vector<std::int16_t> tone = testwav::toneFrames(300);
    const std::string wav = testwav::wavFromFrames(tone);
    auto player = diskPlayer(file);
    ASSERT_TRUE(player->audioAvailable()) << player->outputError();
    player->play(wav.data(), static_cast<std::int64_t>(wav.size()));
    ASSERT_TRUE(player->isPlaying()) << player->playError();
    ASSERT_TRUE(testwav::waitFor([&] { return player->takeFinished(); }, 5s));
    std::this_thread::sleep_for(60ms);  // a few buffers of silence after it
    player.reset();                     // closes the output file

    const std::vector<std::int16_t> out = readSamples(file);
    const long at = find(out, tone);
    ASSERT_GE(at, 0) << "the tone is not in the " << out.size() << " output samples";
    EXPECT_TRUE(silentFrom(out, 0) == false);
    EXPECT_TRUE(std::all_of(out.begin(), out.begin() + at, [](std::int16_t s) { return s == 0; }));
    EXPECT_TRUE(silentFrom(out, at + static_cast<long>(tone.size())));
}

// Play while playing: the first sound stops at once and the second is heard whole, from
// its first sample.
TEST(SoundPlayerDiskTest, PlayWhilePlayingCutsTheFirstAndStartsTheSecondFromItsBeginning) {
    const std::string file = outputPath("restart.raw");
    const std::vector<std::int16_t> first = testwav::toneFrames(5000, 440);
    std::vector<std::int16_t> second;
    for (int i = 0; i < testwav::kRate / 4; ++i) {  // a 250 ms ramp, unlike any sine
        second.push_back(static_cast<std::int16_t>((i * 37) % 20000 - 10000));
        second.push_back(static_cast<std::int16_t>(-((i * 53) % 16000) + 8000));
    }
    const std::string firstWav = testwav::wavFromFrames(first);
    const std::string secondWav = testwav::wavFromFrames(second);

    auto player = diskPlayer(file);
    ASSERT_TRUE(player->audioAvailable()) << player->outputError();
    player->play(firstWav.data(), static_cast<std::int64_t>(firstWav.size()));
    ASSERT_TRUE(player->isPlaying());
    std::this_thread::sleep_for(100ms);  // about a fifth of the first sound
    player->play(secondWav.data(), static_cast<std::int64_t>(secondWav.size()));
    ASSERT_TRUE(player->isPlaying());
    ASSERT_TRUE(testwav::waitFor([&] { return player->takeFinished(); }, 5s));
    std::this_thread::sleep_for(60ms);
    player.reset();

    const std::vector<std::int16_t> out = readSamples(file);
    const long secondAt = find(out, second);
    ASSERT_GE(secondAt, 0) << "the second sound is not whole in the output";
    EXPECT_TRUE(silentFrom(out, secondAt + static_cast<long>(second.size())));

    // Before it: silence, then a beginning of the first sound that ends where the second
    // starts.
    const std::vector<std::int16_t> firstStart(first.begin(), first.begin() + 2000);
    const long firstAt = find(out, firstStart);
    ASSERT_GE(firstAt, 0);
    ASSERT_LT(firstAt, secondAt);
    const long heard = secondAt - firstAt;
    EXPECT_LT(heard, static_cast<long>(first.size()) / 2);
    EXPECT_TRUE(std::equal(out.begin() + firstAt, out.begin() + secondAt, first.begin()));
}

}  // namespace
