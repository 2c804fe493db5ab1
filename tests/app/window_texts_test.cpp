#include "app/window_texts.h"

#include <gtest/gtest.h>

namespace {

TEST(ClockText, HourWithoutLeadingZeroMinuteWithTwoDigits) {
    EXPECT_EQ(clockText(QTime(9, 5, 59)), QStringLiteral("9:05"));
    EXPECT_EQ(clockText(QTime(14, 30)), QStringLiteral("14:30"));
    EXPECT_EQ(clockText(QTime(0, 0)), QStringLiteral("0:00"));
    EXPECT_EQ(clockText(QTime(23, 59)), QStringLiteral("23:59"));
}

TEST(ScreenshotFileName, IsoDateThenTwoDigitTimeFields) {
    EXPECT_EQ(screenshotFileName(QDate(2008, 5, 7), QTime(9, 5, 7)),
              QStringLiteral("_2008-05-07_090507.png"));
    EXPECT_EQ(screenshotFileName(QDate(2026, 12, 31), QTime(23, 59, 10)),
              QStringLiteral("_2026-12-31_235910.png"));
    EXPECT_EQ(screenshotFileName(QDate(2026, 1, 2), QTime(0, 0, 0)),
              QStringLiteral("_2026-01-02_000000.png"));
    // Times that ran together ambiguously without padding now differ: 1:11:05 and 11:10:05.
    EXPECT_NE(screenshotFileName(QDate(2026, 1, 2), QTime(1, 11, 5)),
              screenshotFileName(QDate(2026, 1, 2), QTime(11, 10, 5)));
}

TEST(ScreenshotFileName, LaterCopiesOfTheSameSecondGetASuffix) {
    const QDate date(2008, 5, 7);
    const QTime time(9, 5, 7);
    EXPECT_EQ(screenshotFileName(date, time, 1), QStringLiteral("_2008-05-07_090507.png"));
    EXPECT_EQ(screenshotFileName(date, time, 2), QStringLiteral("_2008-05-07_090507_2.png"));
    EXPECT_EQ(screenshotFileName(date, time, 3), QStringLiteral("_2008-05-07_090507_3.png"));
    EXPECT_EQ(screenshotFileName(date, time, 12), QStringLiteral("_2008-05-07_090507_12.png"));
    EXPECT_EQ(screenshotFileName(date, time, 0), screenshotFileName(date, time));
}

}  // namespace
