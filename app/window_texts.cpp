#include "app/window_texts.h"

QString clockText(const QTime& time) {
    return QStringLiteral("%1:%2").arg(time.hour()).arg(time.minute(), 2, 10, QLatin1Char('0'));
}

QString screenshotFileName(const QDate& date, const QTime& time, int copy) {
    const QLatin1Char zero('0');
    QString name = QStringLiteral("_%1_%2%3%4")
                       .arg(date.toString(Qt::ISODate))
                       .arg(time.hour(), 2, 10, zero)
                       .arg(time.minute(), 2, 10, zero)
                       .arg(time.second(), 2, 10, zero);
    if (copy > 1) name += QStringLiteral("_%1").arg(copy);
    return name + QStringLiteral(".png");
}
