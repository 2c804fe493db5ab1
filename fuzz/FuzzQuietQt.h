#ifndef VOXTRAIL_FUZZ_FUZZQUIETQT_H
#define VOXTRAIL_FUZZ_FUZZQUIETQT_H

#include <QString>
#include <QtGlobal>

// Damaged inputs make Qt warn at length: the targets that use Qt silence it, once.
inline void fuzzQuietQt() {
    static const bool quiet = [] {
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
        return true;
    }();
    (void)quiet;
}

#endif
