#pragma once

#include <QDateTime>
#include <QString>

// Where a project goes when the program is ended by a signal with unsaved changes: nobody
// may be there to answer a question, so the work is saved as a complete project of its own
// instead, never over the user's file.

// $XDG_DATA_HOME/voxtrail/recovered, or ~/.local/share/voxtrail/recovered when
// XDG_DATA_HOME is not set.
QString recoveryFolder();

// The name of a recovered project: the base name of the project's file ("untitled" when it
// has none) with the date and time, e.g. "show-2008-05-07_09-05-07.vx". `attempt` above 1
// tells names apart that would otherwise be equal: "show-2008-05-07_09-05-07-2.vx".
QString recoveryFileName(const QString& projectFile, const QDateTime& when, int attempt = 1);
