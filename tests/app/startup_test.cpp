#include "app/startup.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QPixmap>
#include <QSplashScreen>
#include <QStatusBar>
#include <QTranslator>
#include <vector>

#include "app/app_resources.h"
#include "app/voxtrail.h"

namespace {

struct Step {
    int ms;
    QString message;
    bool splashVisible;
    bool windowExists;
    bool windowVisible;
    bool windowEnabled;
};

TEST(SplashSequence, TimingMessagesAndWindowStateAtEachStep) {
    initAppResources();
    const QPixmap image(QStringLiteral(":/gfx/splash.png"));
    ASSERT_EQ(image.size(), QSize(320, 240));
    QSplashScreen splash(image, Qt::WindowStaysOnTopHint);

    QWidget* created = nullptr;
    int creations = 0;
    std::vector<Step> steps;
    const auto record = [&](int ms) {
        steps.push_back({ms, splash.message(), splash.isVisible(), created != nullptr,
                         created && created->isVisible(), created && created->isEnabled()});
    };
    std::unique_ptr<QWidget> window = runSplashSequence(
        splash,
        [&] {
            ++creations;
            // The window is created while "Loading ..." shows.
            EXPECT_EQ(splash.message(), QStringLiteral("Loading ..."));
            auto w = std::make_unique<QWidget>();
            created = w.get();
            return w;
        },
        record);

    ASSERT_EQ(creations, 1);
    ASSERT_EQ(steps.size(), 4u);
    const Step expected[] = {
        {500, QString(), true, false, false, false},
        {500, QStringLiteral("Loading ..."), true, false, false, false},
        {2000, QStringLiteral("Loading ..."), true, true, true, false},
        {500, QString(), true, true, true, false},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(steps[i].ms, expected[i].ms);
        EXPECT_EQ(steps[i].message, expected[i].message);
        EXPECT_EQ(steps[i].splashVisible, expected[i].splashVisible);
        EXPECT_EQ(steps[i].windowExists, expected[i].windowExists);
        EXPECT_EQ(steps[i].windowVisible, expected[i].windowVisible);
        EXPECT_EQ(steps[i].windowEnabled, expected[i].windowEnabled);
    }
    // Afterwards the window is usable and the splash is gone.
    ASSERT_EQ(window.get(), created);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isEnabled());
    EXPECT_FALSE(splash.isVisible());
}

TEST(SplashPause, MessageIsKeptReplacedOrCleared) {
    QSplashScreen splash(QPixmap(32, 32));
    std::vector<int> waits;
    const auto record = [&](int ms) { waits.push_back(ms); };
    splashPause(splash, 10, true, QStringLiteral("first"), record);
    EXPECT_EQ(splash.message(), QStringLiteral("first"));
    splashPause(splash, 20, false, QStringLiteral("ignored"), record);
    EXPECT_EQ(splash.message(), QStringLiteral("first"));
    splashPause(splash, 30, true, QString(), record);
    EXPECT_TRUE(splash.message().isEmpty());
    EXPECT_EQ(waits, std::vector<int>({10, 20, 30}));
    EXPECT_TRUE(splash.isVisible());
}

TEST(BlockingWait, WaitsAtLeastTheDurationWithoutRunningEvents) {
    bool ran = false;
    QMetaObject::invokeMethod(
        qApp, [&] { ran = true; }, Qt::QueuedConnection);
    QElapsedTimer clock;
    clock.start();
    blockingWait(60);
    EXPECT_GE(clock.elapsed(), 60);
    EXPECT_FALSE(ran) << "no event may be processed during the wait";
    QCoreApplication::processEvents();
    EXPECT_TRUE(ran);
}

// The program's translation is looked up in the working directory; the test runs in a
// private one.
class Translators : public ::testing::Test {
  protected:
    void TearDown() override {
        QCoreApplication::removeTranslator(&program);
        QCoreApplication::removeTranslator(&toolkit);
        QFile::remove(QDir::current().filePath(QStringLiteral("voxtrail_de_DE.qm")));
    }
    QTranslator toolkit;
    QTranslator program;
};

TEST_F(Translators, ProgramFileInTheWorkingDirectoryTranslatesWindowAndSplash) {
    const QString target = QDir::current().filePath(QStringLiteral("voxtrail_de_DE.qm"));
    QFile::remove(target);
    ASSERT_TRUE(QFile::copy(QStringLiteral(VOXTRAIL_TEST_DATA "/voxtrail_de_DE.qm"), target));
    installTranslators(toolkit, program, QStringLiteral("de_DE"));
    EXPECT_FALSE(program.isEmpty());
    EXPECT_EQ(QCoreApplication::translate("voxtrail", "Loading ..."), QStringLiteral("Lade ..."));

    voxtrail window;
    EXPECT_EQ(window.findChild<QMenu*>(QStringLiteral("menuFile"))->title(),
              QStringLiteral("&Datei"));
    QStringList labels;
    for (QLabel* l : window.statusBar()->findChildren<QLabel*>()) labels << l->text();
    EXPECT_TRUE(labels.contains(QStringLiteral("Bereit")));
}

TEST_F(Translators, MissingFilesLeaveEnglish) {
    installTranslators(toolkit, program, QStringLiteral("xx_YY"));
    EXPECT_TRUE(program.isEmpty());
    EXPECT_EQ(QCoreApplication::translate("voxtrail", "Loading ..."),
              QStringLiteral("Loading ..."));
}

}  // namespace
