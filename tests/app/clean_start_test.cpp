// The real program started offscreen on SDL's dummy driver, as from a terminal: a clean
// start, through the splash to the window and out again on SIGTERM, prints nothing.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>

TEST(CleanStart, AStartPrintsNothing) {
    QTemporaryDir runtime;
    ASSERT_TRUE(runtime.isValid());
    // A session's private runtime folder, as a desktop gives one.
    ASSERT_EQ(::chmod(QFile::encodeName(runtime.path()).constData(), 0700), 0);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("SDL_AUDIODRIVER"), QStringLiteral("dummy"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(VOXTRAIL_PROGRAM), QStringList());
    ASSERT_TRUE(program.waitForStarted(10000));
    // The splash is over after 3.5 s; then the window has been shown and enabled.
    QThread::msleep(5000);
    ASSERT_EQ(program.state(), QProcess::Running) << program.readAllStandardError().constData();
    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(20000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_EQ(program.readAllStandardOutput(), QByteArray());
    EXPECT_EQ(program.readAllStandardError(), QByteArray());
}
