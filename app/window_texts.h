#pragma once

#include <QDate>
#include <QString>
#include <QTime>

// Text of the status bar clock: hour without a leading zero, minute with two digits
// ("9:05", "14:30").
QString clockText(const QTime& time);

// File name of a screenshot taken at `date` `time`: "_" + ISO date + "_" + hour, minute and
// second with two digits each + ".png" (7 May 2008, 09:05:07 -> "_2008-05-07_090507.png").
// Copy 2 and later of the same second get "_2", "_3", ... before the suffix
// ("_2008-05-07_090507_2.png"); copy 1 and anything below have none.
QString screenshotFileName(const QDate& date, const QTime& time, int copy = 1);
