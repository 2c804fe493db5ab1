#include "app/recovery.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

QString recoveryFolder() {
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return QDir(data).filePath(QStringLiteral("voxtrail/recovered"));
}

QString recoveryFileName(const QString& projectFile, const QDateTime& when, int attempt) {
    QString base = QFileInfo(projectFile).completeBaseName();
    if (base.isEmpty()) base = QStringLiteral("untitled");
    // No colons: the name must be valid on every file system the folder may be copied to.
    QString name = base + QLatin1Char('-') + when.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss"));
    if (attempt > 1) name += QLatin1Char('-') + QString::number(attempt);
    return name + QStringLiteral(".vx");
}
