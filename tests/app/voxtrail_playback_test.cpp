// Cue-list playback in the real window on the real player (SDL's dummy driver plays in real
// time): PLAY and Space move through the entries across chapters, the row buttons toggle
// their entry, a sound that ends by itself is noticed, and nothing that is deleted can
// leave the player reading freed bytes.

#include <QButtonGroup>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>

#include "app/window_texts.h"
#include "cue_list_fixture.h"

namespace cuelist {
namespace {

using namespace std::chrono_literals;

class PlaybackWindow : public CueListWindow {
  protected:
    void SetUp() override {
        CueListWindow::SetUp();
        longTone = toneWav(3000, 330.0);
        otherTone = toneWav(3000, 550.0);
        shortTone = toneWav(200, 660.0);
    }
    void play() { click("multimediaPLAY"); }
    void stop() { click("multimediaSTOP"); }
    // Polls with events processed (the clock tick among them) until done() or timeout.
    static bool waitUntil(const std::function<bool()>& done, int timeoutMs = 4000) {
        return QTest::qWaitFor(done, timeoutMs);
    }

    QByteArray longTone, otherTone, shortTone;
};

TEST_F(PlaybackWindow, PlayStartsTheSelectedEntryAndSelectsTheNext) {
    buildWindow({{{"a", longTone}, {"b", otherTone}, {"c", longTone}}});
    table()->selectRow(1);
    play();
    EXPECT_TRUE(playingEntry(0, 1));
    EXPECT_EQ(window->startedEntry(), entry(0, 1));
    EXPECT_TRUE(showsIcon(soundButton(1), kStopIcon));
    EXPECT_TRUE(showsIcon(soundButton(0), kPlayIcon));
    EXPECT_EQ(table()->currentRow(), 2);

    // The next press stops the first cue and starts the next one.
    play();
    EXPECT_TRUE(playingEntry(0, 2));
    EXPECT_TRUE(showsIcon(soundButton(1), kPlayIcon));
    EXPECT_TRUE(showsIcon(soundButton(2), kStopIcon));
    EXPECT_EQ(window->startedEntry(), entry(0, 2));
}

TEST_F(PlaybackWindow, SpaceAndEscReachPlayAndStop) {
    buildWindow({{{"a", longTone}, {"b", otherTone}}});
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));

    QTest::keyClick(window.get(), Qt::Key_Space);
    EXPECT_TRUE(playingEntry(0, 0));
    EXPECT_EQ(table()->currentRow(), 1);
    QTest::keyClick(window.get(), Qt::Key_Escape);
    EXPECT_FALSE(playing());
    EXPECT_EQ(window->startedEntry(), nullptr);
    EXPECT_TRUE(showsIcon(soundButton(0), kPlayIcon));
    EXPECT_EQ(table()->currentRow(), 1) << "STOP leaves the selection";

    // Also in Edit mode, where the player's dock is hidden.
    action("actionEdit")->trigger();
    QTest::keyClick(window.get(), Qt::Key_Space);
    EXPECT_TRUE(playingEntry(0, 1));
}

TEST_F(PlaybackWindow, EscWithNothingStartedChangesNothing) {
    buildWindow({{{"a", longTone}, {"b", otherTone}}});
    table()->selectRow(1);
    action("actionKeyStop")->trigger();
    stop();
    EXPECT_FALSE(playing());
    EXPECT_EQ(window->soundPlayer().currentData(), nullptr);
    EXPECT_EQ(table()->currentRow(), 1);
    EXPECT_EQ(chapterList()->currentRow(), 0);
    EXPECT_FALSE(window->isModified());
    // PAUSE is disabled and does nothing even when triggered.
    play();
    EXPECT_FALSE(child<QToolButton>("multimediaPAUSE")->isEnabled());
    child<QToolButton>("multimediaPAUSE")->click();
    EXPECT_TRUE(playingEntry(0, 1));
}

TEST_F(PlaybackWindow, PlayWithNothingSelectedStartsAtTheFirstEntry) {
    buildWindow({{{"a", longTone}, {"b", otherTone}}});
    table()->setCurrentCell(-1, -1);
    ASSERT_EQ(table()->currentRow(), -1);
    play();
    EXPECT_TRUE(playingEntry(0, 0));
    EXPECT_EQ(table()->currentRow(), 1);
}

TEST_F(PlaybackWindow, PlayCrossesAnEmptyChapterWithoutPlaying) {
    buildWindow({{}, {{"b0", longTone}, {"b1", otherTone}}});
    ASSERT_EQ(table()->rowCount(), 0);
    play();
    EXPECT_FALSE(playing());
    EXPECT_EQ(window->startedEntry(), nullptr);
    EXPECT_EQ(chapterList()->currentRow(), 1);
    EXPECT_EQ(table()->currentRow(), 0);

    play();
    EXPECT_TRUE(playingEntry(1, 0));
    EXPECT_EQ(table()->currentRow(), 1);

    // An empty last chapter: PLAY does nothing.
    buildWindow({{{"a", longTone}}, {}});
    chapterList()->setCurrentRow(1);
    play();
    EXPECT_FALSE(playing());
    EXPECT_EQ(chapterList()->currentRow(), 1);
    EXPECT_EQ(table()->rowCount(), 0);
}

TEST_F(PlaybackWindow, PlayOnTheLastEntryMovesToTheNextChapter) {
    buildWindow({{{"a0", longTone}, {"a1", otherTone}}, {{"b0", longTone}, {"b1", otherTone}}});
    table()->selectRow(1);
    play();
    EXPECT_TRUE(playingEntry(0, 1));
    EXPECT_EQ(chapterList()->currentRow(), 1);
    EXPECT_EQ(shownNames(), QStringList({"b0", "b1"}));
    EXPECT_EQ(table()->currentRow(), 0);
    // The playing entry's chapter is no longer shown; the next press stops it anyway.
    play();
    EXPECT_TRUE(playingEntry(1, 0));
    EXPECT_TRUE(showsIcon(soundButton(0), kStopIcon));
    EXPECT_EQ(table()->currentRow(), 1);
}

TEST_F(PlaybackWindow, PlayOnTheLastEntryOfTheLastChapterRestartsIt) {
    const QByteArray cue = toneWav(1500, 440.0);
    buildWindow({{{"a", shortTone}}, {{"end", cue}}});
    chapterList()->setCurrentRow(1);
    play();
    ASSERT_TRUE(playingEntry(1, 0));
    EXPECT_EQ(chapterList()->currentRow(), 1);
    EXPECT_EQ(table()->currentRow(), 0) << "the selection stays on the last entry";

    QTest::qWait(500);
    ASSERT_TRUE(playingEntry(1, 0));
    play();
    QElapsedTimer sinceRestart;
    sinceRestart.start();
    EXPECT_TRUE(playingEntry(1, 0));
    EXPECT_EQ(table()->currentRow(), 0);
    // Left alone, the first start had at most 1000 ms to go; a restart plays the sound
    // again from its beginning, at least 1300 ms (the mixer may finish one 186 ms buffer
    // early).
    ASSERT_TRUE(waitUntil([&] { return !playing(); }, 4000));
    EXPECT_GT(sinceRestart.elapsed(), 1150);
}

TEST_F(PlaybackWindow, RowButtonTogglesItsEntry) {
    buildWindow({{{"a", longTone}, {"b", otherTone}, {"c", longTone}}});
    soundButton(1)->click();
    EXPECT_TRUE(playingEntry(0, 1));
    EXPECT_TRUE(showsIcon(soundButton(1), kStopIcon));
    EXPECT_EQ(table()->currentRow(), 2) << "starting a row moves the cue on";

    // The same row again: it stops and that row is selected.
    soundButton(1)->click();
    EXPECT_FALSE(playing());
    EXPECT_EQ(window->startedEntry(), nullptr);
    EXPECT_TRUE(showsIcon(soundButton(1), kPlayIcon));
    EXPECT_EQ(table()->currentRow(), 1);

    // Once more: it plays again.
    soundButton(1)->click();
    EXPECT_TRUE(playingEntry(0, 1));
    EXPECT_EQ(table()->currentRow(), 2);

    // Another row while one plays: the first stops, the other starts.
    soundButton(0)->click();
    EXPECT_TRUE(playingEntry(0, 0));
    EXPECT_TRUE(showsIcon(soundButton(1), kPlayIcon));
    EXPECT_TRUE(showsIcon(soundButton(0), kStopIcon));
    EXPECT_EQ(table()->currentRow(), 1);
}

TEST_F(PlaybackWindow, RowButtonOnTheLastRowMovesOnWhileItsOwnButtonIsReplaced) {
    // The click's own button goes when the next chapter's table is built; the window must
    // survive that and the new table must work.
    buildWindow({{{"a", longTone}}, {{"b", otherTone}}});
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    QAbstractButton* own = soundButton(0);
    QTest::mouseClick(own, Qt::LeftButton);
    EXPECT_TRUE(playingEntry(0, 0));
    EXPECT_EQ(chapterList()->currentRow(), 1);
    // The replaced buttons left their groups at once, before they are deleted: ids stay
    // unique.
    ASSERT_EQ(soundButton(0)->group()->buttons().size(), 1);
    EXPECT_EQ(openSoundButton(0)->group()->buttons().size(), 1);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_EQ(soundButton(0)->group()->buttons().size(), 1);
    EXPECT_EQ(table()->findChildren<QPushButton*>().size(), 2) << "the old buttons are gone";
    QTest::mouseClick(soundButton(0), Qt::LeftButton);
    EXPECT_TRUE(playingEntry(1, 0));
}

TEST_F(PlaybackWindow, ASoundThatEndsIsNoticedOnTheClockTick) {
    buildWindow({{{"short", shortTone}, {"long", longTone}}});
    soundButton(0)->click();
    ASSERT_TRUE(playingEntry(0, 0));
    ASSERT_TRUE(showsIcon(soundButton(0), kStopIcon));

    // Within a second of the end the row shows play again and the entry is forgotten.
    ASSERT_TRUE(waitUntil([&] { return !playing(); }));
    QElapsedTimer sinceEnd;
    sinceEnd.start();
    ASSERT_TRUE(waitUntil([&] { return showsIcon(soundButton(0), kPlayIcon); }, 2000));
    EXPECT_LT(sinceEnd.elapsed(), 1800);  // one tick, with room for a busy machine
    EXPECT_EQ(window->startedEntry(), nullptr);
    EXPECT_EQ(window->soundPlayer().currentData(), nullptr);

    // So the first click on that row plays at once.
    soundButton(0)->click();
    EXPECT_TRUE(playingEntry(0, 0));
    EXPECT_TRUE(showsIcon(soundButton(0), kStopIcon));
}

TEST_F(PlaybackWindow, ARowClickRightAfterTheEndPlaysEvenBeforeTheTick) {
    buildWindow({{{"short", shortTone}, {"long", longTone}}});
    clockTimer()->stop();  // the end is not noticed on a tick here
    soundButton(0)->click();
    ASSERT_TRUE(playingEntry(0, 0));
    ASSERT_TRUE(waitUntil([&] { return !playing(); }));
    EXPECT_EQ(window->startedEntry(), entry(0, 0)) << "no tick, not yet noticed";

    soundButton(0)->click();
    EXPECT_TRUE(playingEntry(0, 0)) << "a click on the row of an ended sound must play";
    EXPECT_EQ(table()->currentRow(), 1);

    // A rebuilt table shows the play icon for an ended sound, and the click plays.
    ASSERT_TRUE(waitUntil([&] { return !playing(); }));
    chapterList()->setCurrentRow(-1);
    chapterList()->setCurrentRow(0);
    EXPECT_TRUE(showsIcon(soundButton(0), kPlayIcon));
    soundButton(0)->click();
    EXPECT_TRUE(playingEntry(0, 0));
}

TEST_F(PlaybackWindow, PlayAfterAnEndPlaysTheNextCue) {
    buildWindow({{{"short", shortTone}, {"next", longTone}}});
    play();
    ASSERT_TRUE(playingEntry(0, 0));
    ASSERT_TRUE(waitUntil([&] { return !playing(); }));
    play();
    EXPECT_TRUE(playingEntry(0, 1));
}

TEST_F(PlaybackWindow, EntriesWithoutSoundAreSkippedButAdvanced) {
    buildWindow({{{"silent", {}}, {"b", longTone}}});
    EXPECT_FALSE(soundButton(0)->isEnabled());
    play();
    EXPECT_FALSE(playing());
    EXPECT_EQ(window->startedEntry(), nullptr);
    EXPECT_EQ(table()->currentRow(), 1);
}

TEST_F(PlaybackWindow, UndecodableBytesPlayNothingAndAreReported) {
    buildWindow({{{"broken", QByteArray("RIFF but not a sound at all")}, {"b", longTone}}});
    play();
    EXPECT_FALSE(playing());
    EXPECT_EQ(window->startedEntry(), entry(0, 0));
    EXPECT_TRUE(showsIcon(soundButton(0), kPlayIcon)) << "stop only while it really plays";
    EXPECT_EQ(table()->currentRow(), 1);
    EXPECT_TRUE(window->statusBar()->currentMessage().contains(QStringLiteral("broken")))
        << window->statusBar()->currentMessage().toStdString();
    // The next tick forgets it; the row can be started again at once.
    ASSERT_TRUE(waitUntil([&] { return window->startedEntry() == nullptr; }, 2000));
    soundButton(1)->click();
    EXPECT_TRUE(playingEntry(0, 1));
}

TEST_F(PlaybackWindow, DeletingThePlayingEntryStopsPlaybackFirst) {
    buildWindow({{{"a", longTone}, {"b", otherTone}, {"c", longTone}}});
    action("actionEdit")->trigger();
    soundButton(1)->click();
    ASSERT_TRUE(playingEntry(0, 1));

    // Another entry goes: the sound plays on and its row still shows stop.
    table()->selectRow(0);
    click("delLine");
    ASSERT_EQ(shownNames(), QStringList({"b", "c"}));
    EXPECT_TRUE(playingEntry(0, 0));
    EXPECT_TRUE(showsIcon(soundButton(0), kStopIcon));

    table()->selectRow(0);
    click("delLine");
    EXPECT_FALSE(playing());
    EXPECT_EQ(window->startedEntry(), nullptr);
    EXPECT_EQ(window->soundPlayer().currentData(), nullptr);
    EXPECT_EQ(shownNames(), QStringList({"c"}));
    EXPECT_TRUE(showsIcon(soundButton(0), kPlayIcon));
}

TEST_F(PlaybackWindow, DeletingTheChapterOfThePlayingEntryStopsPlaybackFirst) {
    buildWindow({{{"a", longTone}}, {{"b", otherTone}}, {{"c", longTone}}});
    action("actionEdit")->trigger();
    chapterList()->setCurrentRow(1);
    soundButton(0)->click();
    ASSERT_TRUE(playingEntry(1, 0));
    ASSERT_EQ(chapterList()->currentRow(), 2) << "the cue moved on to the next chapter";

    // A chapter that does not hold it: playback goes on.
    click("delChapter");
    ASSERT_EQ(Project::instance().chapterCount(), 2);
    EXPECT_TRUE(playingEntry(1, 0));
    EXPECT_EQ(window->startedEntry(), entry(1, 0));

    chapterList()->setCurrentRow(1);
    EXPECT_TRUE(showsIcon(soundButton(0), kStopIcon)) << "a rebuilt table shows what plays";
    click("delChapter");
    EXPECT_FALSE(playing());
    EXPECT_EQ(window->startedEntry(), nullptr);
    EXPECT_EQ(window->soundPlayer().currentData(), nullptr);
    EXPECT_EQ(Project::instance().chapterCount(), 1);
}

TEST_F(PlaybackWindow, DeletingThePlayingSoundStopsItFirst) {
    buildWindow({{{"a", longTone}, {"b", otherTone}}});
    action("actionEdit")->trigger();
    soundButton(0)->click();
    ASSERT_TRUE(playingEntry(0, 0));

    answers = {QMessageBox::No};
    openSoundButton(0)->click();
    EXPECT_TRUE(playingEntry(0, 0)) << "No keeps the sound playing";

    answers = {QMessageBox::Yes};
    openSoundButton(0)->click();
    EXPECT_FALSE(playing());
    EXPECT_EQ(window->startedEntry(), nullptr);
    EXPECT_FALSE(entry(0, 0)->hasSound());
    EXPECT_FALSE(soundButton(0)->isEnabled());
    EXPECT_TRUE(showsIcon(soundButton(0), kPlayIcon));
}

TEST_F(PlaybackWindow, AskingAboutUnsavedChangesStopsPlayback) {
    buildWindow({{{"a", longTone}, {"b", otherTone}}});
    soundButton(0)->click();
    ASSERT_TRUE(playingEntry(0, 0));
    // Exit asks through maybeSave; unmodified, it asks nothing but stops the player.
    action("actionExit")->trigger();
    EXPECT_FALSE(playing());
    EXPECT_EQ(window->startedEntry(), nullptr);
    EXPECT_TRUE(showsIcon(soundButton(0), kPlayIcon));
    EXPECT_TRUE(questions.empty());

    // Modified and cancelled: the project stays, playback is still stopped, and the next
    // click on the row plays.
    soundButton(0)->click();
    table()->selectRow(1);
    table()->item(1, 4)->setText(QStringLiteral("changed"));
    ASSERT_TRUE(window->isModified());
    answers = {QMessageBox::Cancel};
    action("actionExit")->trigger();
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].text, QStringLiteral("The document has been modified."));
    EXPECT_EQ(questions[0].informativeText, QStringLiteral("Do you want to save your changes?"));
    EXPECT_EQ(questions[0].buttons, QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel);
    EXPECT_EQ(questions[0].defaultButton, QMessageBox::Save);
    EXPECT_FALSE(playing());
    EXPECT_TRUE(window->isModified());
    soundButton(0)->click();
    EXPECT_TRUE(playingEntry(0, 0));
}

TEST_F(PlaybackWindow, PlaybackGivesTheTableTheFocusButTheEndNoticeTakesNone) {
    buildWindow({{{"short", shortTone}, {"b", longTone}}, {{"c", longTone}}});
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));

    chapterList()->setFocus(Qt::OtherFocusReason);
    ASSERT_TRUE(chapterList()->hasFocus());
    play();
    EXPECT_TRUE(table()->hasFocus());
    chapterList()->setFocus(Qt::OtherFocusReason);
    stop();
    EXPECT_TRUE(table()->hasFocus());
    chapterList()->setFocus(Qt::OtherFocusReason);
    stop();
    EXPECT_TRUE(chapterList()->hasFocus()) << "STOP with nothing started changes nothing";

    // In Edit mode a note is being typed while a sound ends: the clock tick resets the row
    // and leaves the editor open with its text.
    action("actionEdit")->trigger();
    chapterList()->setCurrentRow(0);
    soundButton(0)->click();
    ASSERT_TRUE(playingEntry(0, 0));
    QTableWidget* t = table();
    const QPoint cell = t->visualItemRect(t->item(1, 4)).center();
    QTest::mouseClick(t->viewport(), Qt::LeftButton, Qt::NoModifier, cell);
    QTest::mouseDClick(t->viewport(), Qt::LeftButton, Qt::NoModifier, cell);
    QLineEdit* editor = nullptr;
    for (QLineEdit* e : t->findChildren<QLineEdit*>())
        if (e->isVisible()) editor = e;
    ASSERT_NE(editor, nullptr);
    QTest::keyClicks(editor, QStringLiteral("half a thought"));
    ASSERT_TRUE(waitUntil([&] { return showsIcon(soundButton(0), kPlayIcon); }));
    EXPECT_TRUE(editor->isVisible());
    EXPECT_TRUE(editor->hasFocus());
    EXPECT_TRUE(editor->text().endsWith(QStringLiteral("half a thought")));
}

TEST_F(PlaybackWindow, ARowButtonClickCommitsTheTextBeingTyped) {
    // The row buttons take no focus, so an open cell editor would otherwise see its row
    // lose the selection (and its text count for nothing) or its chapter leave the table.
    for (int clickedRow : {1, 0}) {
        SCOPED_TRACE(clickedRow);
        buildWindow({{{"a", longTone}, {"b", otherTone}}, {{"c", longTone}}});
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        action("actionEdit")->trigger();
        QTableWidget* t = table();
        const QPoint cell = t->visualItemRect(t->item(1, 0)).center();
        QTest::mouseClick(t->viewport(), Qt::LeftButton, Qt::NoModifier, cell);
        QTest::mouseDClick(t->viewport(), Qt::LeftButton, Qt::NoModifier, cell);
        QLineEdit* editor = nullptr;
        for (QLineEdit* e : t->findChildren<QLineEdit*>())
            if (e->isVisible()) editor = e;
        ASSERT_NE(editor, nullptr);
        editor->selectAll();
        QTest::keyClicks(editor, QStringLiteral("typed"));
        // Row 1 is the chapter's last: playing it moves the table to the next chapter.
        QTest::mouseClick(soundButton(clickedRow), Qt::LeftButton);
        EXPECT_TRUE(playingEntry(0, clickedRow));
        EXPECT_EQ(entry(0, 1)->name, QStringLiteral("typed"));
        EXPECT_EQ(entry(1, 0)->name, QStringLiteral("c"));
        EXPECT_TRUE(window->isModified());
    }
}

TEST_F(PlaybackWindow, TheClockTickWritesTheTime) {
    buildWindow();
    QLabel* clock = nullptr;
    for (QLabel* label : window->statusBar()->findChildren<QLabel*>())
        if (label->text().isEmpty()) clock = label;
    ASSERT_NE(clock, nullptr);
    ASSERT_TRUE(waitUntil([&] { return !clock->text().isEmpty(); }, 2500));
    const QTime now = QTime::currentTime();
    // The tick may have come just before a minute turned.
    EXPECT_TRUE(clock->text() == clockText(now) || clock->text() == clockText(now.addSecs(-60)))
        << clock->text().toStdString();
}

}  // namespace
}  // namespace cuelist
