// The test programs run vxtool through QProcess, which wants an application object.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstdio>

#include "tests/TestIsolation.h"

int main(int argc, char** argv) {
    // vxtool keeps no settings, but nothing a test starts may reach the user's own.
    if (!testisolation::usePrivateUserFolders()) {
        std::fputs("cannot make private settings and data folders\n", stderr);
        return 1;
    }
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
