// Writes stored_names.vx from StoredNames.h. Run once by hand when the table changes
// (cmake --build build --target make_stored_names && build/tests/make_stored_names
// tests/data/stored_names.vx); the tests only ever read the result.
//
// Every file is written in two halves, the first halves of all files before any second
// half, so that the larger files end in two fragments apart from each other.
#include <QFile>
#include <cstdio>

#include "StoredNames.h"
#include "efs/EfsVolume.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_stored_names OUTPUT.vx\n");
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    QFile::remove(path);
    EfsVolume volume;
    // A volume object creates a new container with the parameters it holds, which it
    // keeps from the one it had open before: a short growth step keeps the file small.
    const QString scratch = path + ".scratch";
    QFile::remove(scratch);
    if (!volume.openVolume(scratch)) return 1;
    volume.setGrowthStep(24 * 8192);
    volume.closeVolume();
    QFile::remove(scratch);
    if (!volume.openVolume(path)) return 1;

    const auto& names = storednames::table();
    std::vector<int32_t> handles;
    for (const storednames::StoredName& n : names) {
        const int32_t h =
            volume.openFile(n.name.constData(), EfsVolume::AccessWrite, EfsVolume::CreateNew);
        if (h == 0) return 1;
        handles.push_back(h);
    }
    for (int half = 0; half < 2; ++half) {
        for (size_t i = 0; i < names.size(); ++i) {
            const QByteArray bytes = storednames::content(names[i]);
            const qsizetype from = half == 0 ? 0 : bytes.size() / 2;
            const qsizetype to = half == 0 ? bytes.size() / 2 : bytes.size();
            if (to > from && !volume.writeFile(handles[i], bytes.constData() + from,
                                               static_cast<int32_t>(to - from)))
                return 1;
        }
    }
    for (int32_t h : handles) volume.closeFile(h);
    const QStringList problems = volume.check();
    for (const QString& p : problems) std::fprintf(stderr, "%s\n", qPrintable(p));
    volume.closeVolume();
    return problems.isEmpty() && volume.lastError() == EfsVolume::ErrorNone ? 0 : 1;
}
