#include <gtest/gtest.h>

#include <QApplication>
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
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
