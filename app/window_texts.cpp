#include "app/window_texts.h"

QString clockText(const QTime& time) {
    return QStringLiteral("%1:%2").arg(time.hour()).arg(time.minute(), 2, 10, QLatin1Char('0'));
}

QString screenshotFileName(const QDate& date, const QTime& time) {
    return QStringLiteral("_%1_%2%3%4.png")
        .arg(date.toString(Qt::ISODate))
        .arg(time.hour())
        .arg(time.minute())
        .arg(time.second());
}
