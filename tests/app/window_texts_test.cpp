#include "app/window_texts.h"

#include <gtest/gtest.h>

namespace {

TEST(ClockText, HourWithoutLeadingZeroMinuteWithTwoDigits) {
    EXPECT_EQ(clockText(QTime(9, 5, 59)), QStringLiteral("9:05"));
    EXPECT_EQ(clockText(QTime(14, 30)), QStringLiteral("14:30"));
    EXPECT_EQ(clockText(QTime(0, 0)), QStringLiteral("0:00"));
    EXPECT_EQ(clockText(QTime(23, 59)), QStringLiteral("23:59"));
}

TEST(ScreenshotFileName, IsoDateThenUnpaddedTimeFields) {
    EXPECT_EQ(screenshotFileName(QDate(2008, 5, 7), QTime(9, 5, 7)),
              QStringLiteral("_2008-05-07_957.png"));
    EXPECT_EQ(screenshotFileName(QDate(2026, 12, 31), QTime(23, 59, 10)),
              QStringLiteral("_2026-12-31_235910.png"));
    EXPECT_EQ(screenshotFileName(QDate(2026, 1, 2), QTime(0, 0, 0)),
              QStringLiteral("_2026-01-02_000.png"));
}

}  // namespace
