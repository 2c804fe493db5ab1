#include "app/screenshot.h"

#include <QFile>
#include <QPixmap>

#include "app/window_texts.h"

namespace {

// More shots than this in one second means something is wrong; give up rather than loop.
constexpr int kMaxCopies = 1000;

}  // namespace

QString writeScreenshot(const QPixmap& shot, const QDir& folder, const QDateTime& when) {
    if (shot.isNull()) return QString();
    for (int copy = 1; copy <= kMaxCopies; ++copy) {
        const QString path = folder.filePath(screenshotFileName(when.date(), when.time(), copy));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            if (file.exists()) continue;  // taken: try the next copy number
            return QString();             // the folder cannot be written
        }
        const bool written = shot.save(&file, "PNG") && file.flush();
        file.close();
        if (written && file.error() == QFileDevice::NoError) return path;
        file.remove();
        return QString();
    }
    return QString();
}
