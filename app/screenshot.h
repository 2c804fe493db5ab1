#pragma once

#include <QDateTime>
#include <QDir>
#include <QString>

class QPixmap;

// Writes `shot` as a PNG into `folder` under screenshotFileName for `when`, taking the first
// copy number whose name does not exist yet. An existing file is never replaced, not even
// one that appears between the check and the write: each name is created exclusively.
// Returns the path written, or an empty string when nothing could be written (no file is
// left behind then).
QString writeScreenshot(const QPixmap& shot, const QDir& folder, const QDateTime& when);
