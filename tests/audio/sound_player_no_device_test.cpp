// A player whose audio device cannot be opened: it says why and everything is harmless.

#include <gtest/gtest.h>

#include <cstdlib>

#include "Wav.h"
#include "audio/SoundPlayer.h"

namespace {

TEST(SoundPlayerNoDeviceTest, ReportsTheErrorAndStaysHarmless) {
    setenv("SDL_AUDIODRIVER", "voxtrail-no-such-driver", 1);
    const std::string wav = testwav::tone(200);
    {
        SoundPlayer player;
        EXPECT_FALSE(player.audioAvailable());
        EXPECT_NE(player.outputError().find("voxtrail-no-such-driver"), std::string::npos)
            << player.outputError();

        EXPECT_FALSE(player.isPlaying());
        EXPECT_FALSE(player.takeFinished());
        player.stop();
        player.play(wav.data(), static_cast<std::int64_t>(wav.size()));
        EXPECT_FALSE(player.isPlaying());
        EXPECT_EQ(player.currentData(), wav.data());
        EXPECT_NE(player.playError().find("no sound output"), std::string::npos);
        EXPECT_TRUE(player.takeFinished());  // never started, so never a dead click
        player.stop();
        EXPECT_EQ(player.currentData(), nullptr);
    }

    // The failed player left nothing behind: with a working driver the next one plays.
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    SoundPlayer working;
    ASSERT_TRUE(working.audioAvailable()) << working.outputError();
    working.play(wav.data(), static_cast<std::int64_t>(wav.size()));
    EXPECT_TRUE(working.isPlaying());
}

}  // namespace
