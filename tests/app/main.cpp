#include <gtest/gtest.h>

#include <QApplication>
#include <QLoggingCategory>
#include <cstdio>

#include "tests/TestIsolation.h"

// Widget tests need one QApplication for the whole run.
int main(int argc, char** argv) {
    // The windows built here read and write the settings store: never the user's own.
    if (!testisolation::usePrivateUserFolders()) {
        std::fputs("cannot make private settings and data folders\n", stderr);
        return 1;
    }
    QApplication app(argc, argv);
    // Every window built here reports that the two button-group slots match no form object
    // (they are connected by hand); the repeated notice would bury real failures.
    QLoggingCategory::setFilterRules(
        QStringLiteral("qt.core.qmetaobject.connectslotsbyname=false"));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
