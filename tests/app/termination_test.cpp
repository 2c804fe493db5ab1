// Termination signals: the real program, started offscreen on SDL's dummy driver, ends with
// status 0 on SIGTERM, SIGINT and SIGHUP; a second signal ends a process at once; a signal
// ignored at start (nohup) stays ignored.

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <csignal>
#include <memory>
#include <vector>

#include "app/recovery.h"
#include "app/termination_signals.h"

namespace {

// Whether process pid has a handler of its own for signalNumber (SigCgt in /proc).
bool catches(qint64 pid, int signalNumber) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) return false;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (!line.startsWith("SigCgt:")) continue;
        const qulonglong mask = line.mid(7).trimmed().toULongLong(nullptr, 16);
        return (mask >> (signalNumber - 1)) & 1u;
    }
    return false;
}

struct SignalledRun {
    int signalNumber;
    int delayMs;  // after the handler is in place: 0 is during the splash
    std::unique_ptr<QProcess> process;
    QElapsedTimer sent;
};

// Three programs at once: SIGTERM as soon as it is caught (the splash is still up), SIGINT
// and SIGHUP once the window has had time to come up. Each must end by itself with
// status 0 within seconds, and write no recovered project, since nothing was changed.
TEST(TerminationSignals, TheProgramEndsWithStatusZeroOnEachSignal) {
    QDir(recoveryFolder()).removeRecursively();
    std::vector<SignalledRun> runs;
    runs.push_back({SIGTERM, 0, nullptr, {}});
    runs.push_back({SIGINT, 5000, nullptr, {}});
    runs.push_back({SIGHUP, 5000, nullptr, {}});
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("SDL_AUDIODRIVER"), QStringLiteral("dummy"));
    for (SignalledRun& run : runs) {
        run.process = std::make_unique<QProcess>();
        run.process->setProcessEnvironment(environment);
        run.process->setProcessChannelMode(QProcess::ForwardedOutputChannel);
        run.process->start(QStringLiteral(VOXTRAIL_PROGRAM), QStringList());
        ASSERT_TRUE(run.process->waitForStarted(10000));
    }
    for (SignalledRun& run : runs) {
        SCOPED_TRACE(strsignal(run.signalNumber));
        const qint64 pid = run.process->processId();
        QElapsedTimer waited;
        waited.start();
        while (!catches(pid, run.signalNumber) && waited.elapsed() < 20000) QThread::msleep(20);
        EXPECT_TRUE(catches(pid, run.signalNumber)) << "no handler after 20 s";
    }
    QElapsedTimer clock;
    clock.start();
    for (SignalledRun& run : runs) {
        const qint64 wait = run.delayMs - clock.elapsed();
        if (wait > 0) QThread::msleep(static_cast<unsigned long>(wait));
        ASSERT_EQ(::kill(static_cast<pid_t>(run.process->processId()), run.signalNumber), 0);
        run.sent.start();
    }
    for (SignalledRun& run : runs) {
        SCOPED_TRACE(strsignal(run.signalNumber));
        const bool ended = run.process->waitForFinished(
            static_cast<int>(std::max<qint64>(0, 10000 - run.sent.elapsed())));
        EXPECT_TRUE(ended) << "still running 10 s after the signal";
        if (!ended) {
            run.process->kill();
            run.process->waitForFinished();
            continue;
        }
        EXPECT_EQ(run.process->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(run.process->exitCode(), 0);
    }
    EXPECT_FALSE(QDir(recoveryFolder()).exists());
}

// The first signal waits for the event loop; a second one, even of another kind, ends the
// process by its default action at once.
TEST(TerminationSignalsDeathTest, ASecondSignalEndsTheProcessAtOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            TerminationSignals termination;
            std::raise(SIGTERM);
            std::raise(SIGINT);
            std::_Exit(0);
        },
        testing::KilledBySignal(SIGINT), "");
}

// Started under nohup, a program keeps running when its terminal goes; the other two are
// caught, and all three are as before once the object is gone.
TEST(TerminationSignals, ASignalIgnoredAtStartStaysIgnored) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGHUP, &ignore, &previous), 0);
    {
        TerminationSignals termination;
        ASSERT_TRUE(termination.isInstalled());
        struct sigaction now {};
        sigaction(SIGHUP, nullptr, &now);
        EXPECT_EQ(now.sa_handler, SIG_IGN);
        sigaction(SIGTERM, nullptr, &now);
        EXPECT_NE(now.sa_handler, SIG_DFL);
        EXPECT_FALSE(TerminationSignals().isInstalled()) << "only one object at a time";
    }
    struct sigaction now {};
    sigaction(SIGHUP, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    sigaction(SIGTERM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    sigaction(SIGHUP, &previous, nullptr);
}

}  // namespace
