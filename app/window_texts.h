#pragma once

#include <QDate>
#include <QString>
#include <QTime>

// Text of the status bar clock: hour without a leading zero, minute with two digits
// ("9:05", "14:30").
QString clockText(const QTime& time);

// File name of a screenshot taken at `date` `time`: "_" + ISO date + "_" + hour, minute and
// second as plain numbers run together + ".png" (7 May 2008, 09:05:07 -> "_2008-05-07_957.png").
// Two screenshots in the same second get the same name.
QString screenshotFileName(const QDate& date, const QTime& time);
