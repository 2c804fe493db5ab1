// Keeps a test program away from the user's own files.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace testisolation {

// Points the settings store (XDG_CONFIG_HOME) and the data folder (XDG_DATA_HOME, where
// recovered projects go) at private folders for the rest of the run, so that a test
// program run by hand, outside CTest, never reads or empties ~/.config/Skyvane/voxtrail.conf.
// The folders are made fresh and removed when the program ends; a child started by the
// program (a death test runs the program again) shares its parent's, which it finds in
// VOXTRAIL_TEST_USER_FOLDERS. Call it first in main, before anything reads either variable.
inline bool usePrivateUserFolders() {
    static const char kInherited[] = "VOXTRAIL_TEST_USER_FOLDERS";
    static QTemporaryDir fresh(QDir::tempPath() + QStringLiteral("/voxtrail-test-XXXXXX"));
    QString base = qEnvironmentVariable(kInherited);
    if (base.isEmpty() || !QFileInfo(base).isDir()) {
        if (!fresh.isValid()) return false;
        base = fresh.path();
    } else {
        fresh.remove();
    }
    const QString config = base + QStringLiteral("/config");
    const QString data = base + QStringLiteral("/data");
    if (!QDir().mkpath(config) || !QDir().mkpath(data)) return false;
    return qputenv(kInherited, QFile::encodeName(base)) &&
           qputenv("XDG_CONFIG_HOME", QFile::encodeName(config)) &&
           qputenv("XDG_DATA_HOME", QFile::encodeName(data));
}

}  // namespace testisolation
