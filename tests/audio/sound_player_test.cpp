// The real player on SDL's dummy driver, which consumes audio in real time.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <random>
#include <thread>

#include "Wav.h"
#include "audio/SoundPlayer.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

class SoundPlayerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        player = std::make_unique<SoundPlayer>();
        ASSERT_TRUE(player->audioAvailable()) << player->outputError();
        ASSERT_TRUE(player->outputError().empty());
    }
    void TearDown() override { player.reset(); }

    void play(const std::string& bytes) {
        player->play(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    }

    std::unique_ptr<SoundPlayer> player;
};

TEST_F(SoundPlayerTest, PlaysForTheSoundsLengthThenEndsKeepingCurrentData) {
    const std::string wav = testwav::tone(500);
    const auto start = Clock::now();
    play(wav);
    EXPECT_TRUE(player->isPlaying()) << player->playError();
    EXPECT_TRUE(player->playError().empty());
    EXPECT_EQ(player->currentData(), wav.data());
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(player->isPlaying());
    EXPECT_FALSE(player->takeFinished());

    ASSERT_TRUE(testwav::waitFor([&] { return !player->isPlaying(); }, 3s));
    // The mixer runs up to one 4096-frame buffer (186 ms) ahead of the clock.
    EXPECT_GE(Clock::now() - start, 500ms - 200ms);
    EXPECT_EQ(player->currentData(), wav.data());

    // The end is reported once, on the main thread; the bytes are then free to go.
    ASSERT_TRUE(testwav::waitFor([&] { return player->takeFinished(); }, 1s));
    EXPECT_FALSE(player->takeFinished());
    EXPECT_EQ(player->currentData(), wav.data());
    EXPECT_FALSE(player->isPlaying());

    // And the same sound plays again at once.
    play(wav);
    EXPECT_TRUE(player->isPlaying());
}

TEST_F(SoundPlayerTest, StopSilencesAndClearsCurrentData) {
    const std::string wav = testwav::tone(3000);
    play(wav);
    ASSERT_TRUE(player->isPlaying());
    player->stop();
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(player->currentData(), nullptr);
    EXPECT_FALSE(player->takeFinished());  // a stop is not an end by itself
    std::this_thread::sleep_for(250ms);
    EXPECT_FALSE(player->takeFinished());
}

TEST_F(SoundPlayerTest, StopWithNothingLoadedIsHarmless) {
    player->stop();
    player->stop();
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(player->currentData(), nullptr);
    EXPECT_FALSE(player->takeFinished());
    const std::string wav = testwav::tone(200);
    play(wav);
    EXPECT_TRUE(player->isPlaying());
}

TEST_F(SoundPlayerTest, UndecodableBytesPlayNothingButAreRecorded) {
    const std::string garbage(5000, '\x5a');
    play(garbage);
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(player->currentData(), garbage.data());
    EXPECT_FALSE(player->playError().empty());
    // The window learns that this cue will never sound, so its next click plays again.
    EXPECT_TRUE(player->takeFinished());
    EXPECT_FALSE(player->takeFinished());
    EXPECT_EQ(player->currentData(), garbage.data());

    const char* none = "";
    player->play(none, 0);
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(player->currentData(), none);
    player->play(nullptr, 10);
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(player->currentData(), nullptr);
    player->play(garbage.data(), -1);
    EXPECT_FALSE(player->isPlaying());
    EXPECT_FALSE(player->playError().empty());
}

TEST_F(SoundPlayerTest, PlayWhilePlayingRestartsWithTheNewSound) {
    const std::string first = testwav::tone(3000, 440);
    const std::string second = testwav::tone(300, 880);
    play(first);
    ASSERT_TRUE(player->isPlaying());
    std::this_thread::sleep_for(100ms);
    const auto start = Clock::now();
    play(second);
    EXPECT_TRUE(player->isPlaying());
    EXPECT_EQ(player->currentData(), second.data());
    // Ends after the second sound's length, long before the first one's would have.
    ASSERT_TRUE(testwav::waitFor([&] { return player->takeFinished(); }, 2s));
    EXPECT_LT(Clock::now() - start, 1500ms);
    EXPECT_GE(Clock::now() - start, 300ms - 200ms);
    EXPECT_EQ(player->currentData(), second.data());
}

// The handler may only record the end. Called while music plays, a handler that halted or
// freed the music would silence it; this one leaves it sounding, and takeFinished() does
// not mistake the flag for an end while the music still plays.
TEST_F(SoundPlayerTest, EndHandlerOnlyRecordsTheEnd) {
    const std::string wav = testwav::tone(600);
    play(wav);
    ASSERT_TRUE(player->isPlaying());
    SoundPlayer::musicFinishedHandler();
    EXPECT_TRUE(player->isPlaying());
    EXPECT_FALSE(player->takeFinished());
    EXPECT_TRUE(player->isPlaying());
    EXPECT_EQ(player->currentData(), wav.data());
    ASSERT_TRUE(testwav::waitFor([&] { return player->takeFinished(); }, 3s));
    EXPECT_FALSE(player->isPlaying());
}

// Many short sounds in a row, some stopped, some replaced, some left to end: the player
// never reports a stale end, and every natural end is reported exactly once.
TEST_F(SoundPlayerTest, RandomPlayStopSequencesReportEachEndOnce) {
    const std::string shortest = testwav::tone(20);
    const std::string brief = testwav::tone(120);
    std::mt19937 rng(3);
    for (int round = 0; round < 25; ++round) {
        const std::string& wav = (rng() % 2) ? shortest : brief;
        play(wav);
        ASSERT_TRUE(player->isPlaying() || player->takeFinished());
        switch (rng() % 3) {
            case 0:
                player->stop();
                EXPECT_FALSE(player->takeFinished());
                EXPECT_EQ(player->currentData(), nullptr);
                break;
            case 1:
                break;  // the next play replaces it
            case 2:
                ASSERT_TRUE(testwav::waitFor([&] { return player->takeFinished(); }, 2s));
                EXPECT_FALSE(player->takeFinished());
                EXPECT_EQ(player->currentData(), wav.data());
                break;
        }
    }
    player->stop();
}

// Bytes from a file are not trusted: damaged WAV headers and cut-off data must neither
// crash nor hang the player.
TEST_F(SoundPlayerTest, DamagedWavBytesAreHarmless) {
    const std::string good = testwav::tone(100);
    std::mt19937 rng(11);
    for (int round = 0; round < 60; ++round) {
        std::string bad = good;
        if (round % 3 == 0) {
            bad.resize(std::uniform_int_distribution<size_t>(0, 60)(rng));
        } else {
            for (int k = 0; k < 4; ++k) {
                bad[std::uniform_int_distribution<size_t>(0, 43)(rng)] = static_cast<char>(rng());
            }
        }
        play(bad);
        EXPECT_EQ(player->currentData(), bad.data());
        player->stop();
        EXPECT_FALSE(player->isPlaying());
    }
}

TEST_F(SoundPlayerTest, OnlyOnePlayerOwnsTheOutput) {
    const std::string wav = testwav::tone(1000);
    play(wav);
    {
        SoundPlayer second;
        EXPECT_FALSE(second.audioAvailable());
        EXPECT_FALSE(second.outputError().empty());
        second.play(wav.data(), static_cast<std::int64_t>(wav.size()));
        EXPECT_FALSE(second.isPlaying());
        second.stop();
    }
    EXPECT_TRUE(player->isPlaying());  // the second player's calls and end did not touch it
    player->shutdown();
    EXPECT_FALSE(player->audioAvailable());
    EXPECT_FALSE(player->isPlaying());
    player->shutdown();
    SoundPlayer next;  // the output is free again
    EXPECT_TRUE(next.audioAvailable()) << next.outputError();
}

}  // namespace

// The player must leave the termination signals to the program: with SDL's own handlers in
// place, SIGINT and SIGTERM would only queue an event that nobody reads.
TEST_F(SoundPlayerTest, LeavesTheTerminationSignalsAlone) {
    player.reset();
    const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction before[3]{};
    for (int i = 0; i < 3; ++i) ASSERT_EQ(sigaction(signals[i], nullptr, &before[i]), 0);
    player = std::make_unique<SoundPlayer>();
    ASSERT_TRUE(player->audioAvailable()) << player->outputError();
    for (int i = 0; i < 3; ++i) {
        struct sigaction now {};
        ASSERT_EQ(sigaction(signals[i], nullptr, &now), 0);
        EXPECT_EQ(now.sa_handler, before[i].sa_handler) << "signal " << signals[i];
    }
}
