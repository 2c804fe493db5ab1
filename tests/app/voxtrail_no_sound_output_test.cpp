// A machine whose audio device cannot be opened: the window starts, says in the status bar
// that there is no sound output and why, and everything else keeps working.

#include <QLabel>
#include <cstdlib>

#include "cue_list_fixture.h"

namespace cuelist {
namespace {

class NoSoundOutputWindow : public CueListWindow {
  protected:
    void SetUp() override {
        CueListWindow::SetUp();
        // Read by SDL when the window's player starts it.
        setenv("SDL_AUDIODRIVER", "voxtrail-missing-driver", 1);
    }
    void TearDown() override {
        CueListWindow::TearDown();
        setenv("SDL_AUDIODRIVER", "dummy", 1);
    }
    QStringList statusTexts() const {
        QStringList texts;
        for (QLabel* label : window->statusBar()->findChildren<QLabel*>()) texts << label->text();
        return texts;
    }
};

TEST_F(NoSoundOutputWindow, StatusBarSaysThereIsNoSoundOutputAndWhy) {
    buildWindow({{{"a", toneWav(200)}, {"b", toneWav(200)}}});
    ASSERT_FALSE(window->soundPlayer().audioAvailable());
    const QStringList texts = statusTexts();
    QString notice;
    for (const QString& text : texts)
        if (text.startsWith(QStringLiteral("No sound output: "))) notice = text;
    ASSERT_FALSE(notice.isEmpty()) << texts.join(QStringLiteral(" | ")).toStdString();
    // SDL's own reason names the driver it could not use.
    EXPECT_TRUE(notice.contains(QStringLiteral("voxtrail-missing-driver"))) << notice.toStdString();
    EXPECT_TRUE(texts.contains(QStringLiteral("Ready")));

    // A passing message does not hide it.
    window->statusBar()->showMessage(QStringLiteral("something else"));
    QLabel* label = nullptr;
    for (QLabel* l : window->statusBar()->findChildren<QLabel*>())
        if (l->text() == notice) label = l;
    ASSERT_NE(label, nullptr);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    EXPECT_TRUE(label->isVisible());
}

TEST_F(NoSoundOutputWindow, EditingAndCueingStillWork) {
    buildWindow({{{"a", toneWav(200)}, {"b", toneWav(200)}}});
    action("actionEdit")->trigger();
    click("addLine");
    EXPECT_EQ(shownNames(), QStringList({"a", "b", ""}));

    action("actionPlay")->trigger();
    table()->selectRow(0);
    click("multimediaPLAY");
    EXPECT_FALSE(window->soundPlayer().isPlaying());
    EXPECT_EQ(table()->currentRow(), 1) << "the cue still moves on";
    EXPECT_TRUE(showsIcon(soundButton(0), kPlayIcon));
    EXPECT_TRUE(window->statusBar()->currentMessage().contains(QStringLiteral("no sound output")))
        << window->statusBar()->currentMessage().toStdString();
    soundButton(0)->click();
    soundButton(0)->click();
    click("multimediaSTOP");
    EXPECT_FALSE(window->soundPlayer().isPlaying());
    EXPECT_EQ(window->startedEntry(), nullptr);
}

}  // namespace
}  // namespace cuelist
