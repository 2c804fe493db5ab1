#include "app/window_geometry.h"

#include <gtest/gtest.h>

namespace {

ScreenLayout singleScreen(int w, int h) { return {QRect(0, 0, w, h), QRect(0, 0, w, h), 1}; }

TEST(InitialWindowGeometry, SingleScreenIsCentredAtThreeQuarters) {
    EXPECT_EQ(initialWindowGeometry(singleScreen(1280, 1024)), QRect(160, 128, 960, 768));
    // Odd sizes: both the size and the offset truncate.
    EXPECT_EQ(initialWindowGeometry(singleScreen(1366, 769)), QRect(171, 96, 1024, 576));
}

TEST(InitialWindowGeometry, VeryWidePrimaryOfSeveralScreensIsHalved) {
    const ScreenLayout layout{QRect(0, 0, 5760, 1080), QRect(0, 0, 3840, 1080), 2};
    EXPECT_EQ(initialWindowGeometry(layout), QRect(240, 135, 1440, 810));
}

TEST(InitialWindowGeometry, SeveralScreensUsePrimaryOriginAndKeepNormalWidth) {
    // Primary to the right of a second screen; exactly twice as wide as high is not halved.
    const ScreenLayout layout{QRect(-1920, 0, 4080, 1080), QRect(0, 0, 2160, 1080), 2};
    EXPECT_EQ(initialWindowGeometry(layout), QRect(270, 135, 1620, 810));
    const ScreenLayout offset{QRect(0, 0, 3200, 1200), QRect(1280, 100, 1920, 1080), 2};
    EXPECT_EQ(initialWindowGeometry(offset), QRect(1280 + 240, 100 + 135, 1440, 810));
}

TEST(InitialWindowGeometry, SingleWideDesktopIsNotHalved) {
    // The halving applies only when more than one screen is reported.
    EXPECT_EQ(initialWindowGeometry(singleScreen(3840, 1080)), QRect(480, 135, 2880, 810));
}

TEST(InitialWindowGeometry, NoUsableScreenGivesEmptyRectangle) {
    EXPECT_FALSE(initialWindowGeometry(ScreenLayout{}).isValid());
    EXPECT_FALSE(initialWindowGeometry(singleScreen(0, 1024)).isValid());
    const ScreenLayout emptyPrimary{QRect(0, 0, 1920, 1080), QRect(), 2};
    EXPECT_FALSE(initialWindowGeometry(emptyPrimary).isValid());
}

}  // namespace
