// Chapter and entry editing in the real window: list and table built from the model, the
// right dock's buttons, in-place edits, attaching and deleting sounds, and where the
// window's modified flag is set.

#include <QButtonGroup>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTranslator>

#include "cue_list_fixture.h"

namespace cuelist {
namespace {

class EditingWindow : public CueListWindow {};

// The cell editor the table shows, or null when no cell is being edited. A closed editor is
// hidden at once and deleted later.
QLineEdit* openEditor(const QTableWidget* table) {
    for (QLineEdit* editor : table->findChildren<QLineEdit*>())
        if (editor->isVisible()) return editor;
    return nullptr;
}

TEST_F(EditingWindow, ShowsTheModelAsChapterListAndEntryTable) {
    const QByteArray tone = toneWav(100);
    buildWindow({{{"one", tone}, {"two", {}}}, {{"three", {}}}});
    EXPECT_FALSE(window->isModified()) << "listing a project is no edit";

    QListWidget* list = chapterList();
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->item(0)->text(), QStringLiteral("chapter 0"));
    EXPECT_EQ(list->item(1)->text(), QStringLiteral("chapter 1"));
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(list->item(i)->flags() & Qt::ItemIsEditable);
    EXPECT_EQ(list->currentRow(), 0);

    QTableWidget* t = table();
    ASSERT_EQ(t->rowCount(), 2);
    EXPECT_EQ(t->currentRow(), 0);
    EXPECT_EQ(shownNames(), QStringList({"one", "two"}));
    EXPECT_EQ(t->item(0, 1)->text(), QStringLiteral("about one"));
    EXPECT_EQ(t->item(1, 4)->text(), QStringLiteral("note two"));
    // Buttons: flat, no keyboard focus, ids equal to rows; a sound enables Play and shows
    // the delete icon, no sound disables Play and shows the open icon.
    for (int r = 0; r < 2; ++r) {
        SCOPED_TRACE(r);
        for (QAbstractButton* b : {soundButton(r), openSoundButton(r)}) {
            ASSERT_NE(b, nullptr);
            auto* push = qobject_cast<QPushButton*>(b);
            ASSERT_NE(push, nullptr);
            EXPECT_TRUE(push->isFlat());
            EXPECT_EQ(push->focusPolicy(), Qt::NoFocus);
        }
        EXPECT_EQ(soundButton(r)->group()->id(soundButton(r)), r);
        EXPECT_EQ(openSoundButton(r)->group()->id(openSoundButton(r)), r);
        EXPECT_NE(soundButton(r)->group(), openSoundButton(r)->group());
    }
    EXPECT_TRUE(soundButton(0)->isEnabled());
    EXPECT_TRUE(showsIcon(soundButton(0), kPlayIcon));
    EXPECT_TRUE(showsIcon(openSoundButton(0), kDeleteIcon));
    EXPECT_FALSE(soundButton(1)->isEnabled());
    EXPECT_TRUE(showsIcon(openSoundButton(1), kOpenIcon));
    // The icons compared here are different pictures, so the checks above mean something.
    EXPECT_FALSE(showsIcon(soundButton(0), kStopIcon));
    EXPECT_FALSE(showsIcon(openSoundButton(0), kOpenIcon));
    // Column 3 only in Edit mode.
    EXPECT_TRUE(t->isColumnHidden(3));

    // Choosing the other chapter rebuilds the table for it, with fresh button ids.
    list->setCurrentRow(1);
    EXPECT_EQ(shownNames(), QStringList({"three"}));
    EXPECT_EQ(t->currentRow(), 0);
    EXPECT_EQ(soundButton(0)->group()->buttons().size(), 1);
    EXPECT_FALSE(window->isModified());
    action("actionEdit")->trigger();
    list->setCurrentRow(0);
    EXPECT_FALSE(t->isColumnHidden(3)) << "a rebuilt table keeps the mode's columns";
    EXPECT_EQ(t->editTriggers(),
              QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
}

// A translation that has an entry for every text it is asked about.
class EveryTextTranslated : public QTranslator {
  public:
    bool isEmpty() const override { return false; }
    QString translate(const char*, const char* source, const char*, int) const override {
        return QStringLiteral("translated ") + QString::fromUtf8(source);
    }
};

TEST_F(EditingWindow, AddingAChapterToAnEmptyProject) {
    // The default chapter name is no user interface text: a translation leaves it alone.
    EveryTextTranslated translator;
    QCoreApplication::installTranslator(&translator);
    buildWindow();
    EXPECT_EQ(chapterList()->count(), 0);
    EXPECT_EQ(table()->rowCount(), 0);
    action("actionEdit")->trigger();
    click("addChapter");

    ASSERT_EQ(Project::instance().chapterCount(), 1);
    EXPECT_EQ(Project::instance().chapter(0)->name, QStringLiteral("nova kapitola"));
    ASSERT_EQ(chapterList()->count(), 1);
    EXPECT_EQ(chapterList()->item(0)->text(), QStringLiteral("nova kapitola"));
    EXPECT_TRUE(chapterList()->item(0)->flags() & Qt::ItemIsEditable);
    EXPECT_EQ(chapterList()->currentRow(), 0);
    EXPECT_TRUE(chapterList()->item(0)->isSelected());
    EXPECT_EQ(table()->rowCount(), 0);
    EXPECT_TRUE(window->isModified());

    // A second one goes last and becomes current.
    click("addChapter");
    EXPECT_EQ(chapterList()->count(), 2);
    EXPECT_EQ(chapterList()->currentRow(), 1);
}

TEST_F(EditingWindow, DeletingChaptersSelectsTheNeighbour) {
    buildWindow({{{"a", {}}}, {{"b", {}}}, {{"c", {}}, {"d", {}}}});
    action("actionEdit")->trigger();

    // The last of three: the new last one is current, showing its entries.
    chapterList()->setCurrentRow(2);
    click("delChapter");
    EXPECT_EQ(Project::instance().chapterCount(), 2);
    EXPECT_EQ(chapterList()->count(), 2);
    EXPECT_EQ(chapterList()->currentRow(), 1);
    EXPECT_EQ(shownNames(), QStringList({"b"}));
    EXPECT_TRUE(window->isModified());

    // The first: the row stays and shows the former second chapter.
    chapterList()->setCurrentRow(0);
    click("delChapter");
    ASSERT_EQ(Project::instance().chapterCount(), 1);
    EXPECT_EQ(Project::instance().chapter(0)->name, QStringLiteral("chapter 1"));
    EXPECT_EQ(chapterList()->currentRow(), 0);
    EXPECT_EQ(shownNames(), QStringList({"b"}));

    // The only one: nothing current, an empty table.
    click("delChapter");
    EXPECT_EQ(Project::instance().chapterCount(), 0);
    EXPECT_EQ(chapterList()->count(), 0);
    EXPECT_EQ(chapterList()->currentRow(), -1);
    EXPECT_EQ(table()->rowCount(), 0);
}

TEST_F(EditingWindow, WithoutACurrentChapterTheDockButtonsChangeNothing) {
    buildWindow();
    action("actionEdit")->trigger();
    for (const char* button : {"delChapter", "addLine", "delLine"}) {
        click(button);
        EXPECT_FALSE(window->isModified()) << button;
    }
    EXPECT_EQ(Project::instance().chapterCount(), 0);

    // A chapter with no entries: no current entry, so deleting an entry does nothing.
    buildWindow({{}});
    action("actionEdit")->trigger();
    click("delLine");
    EXPECT_FALSE(window->isModified());
    EXPECT_EQ(Project::instance().chapter(0)->entryCount(), 0);
}

TEST_F(EditingWindow, AddingAnEntrySelectsTheNewLastRow) {
    buildWindow({{{"a", {}}}, {{"x", toneWav(50)}}});
    action("actionEdit")->trigger();
    chapterList()->setCurrentRow(1);
    click("addLine");

    const Chapter* chapter = Project::instance().chapter(1);
    ASSERT_EQ(chapter->entryCount(), 2);
    const Entry* added = chapter->entry(1);
    EXPECT_TRUE(added->name.isEmpty());
    EXPECT_TRUE(added->desc.isEmpty());
    EXPECT_TRUE(added->note.isEmpty());
    EXPECT_FALSE(added->hasSound());
    EXPECT_TRUE(window->isModified());

    EXPECT_EQ(chapterList()->currentRow(), 1) << "the chapter stays current";
    ASSERT_EQ(table()->rowCount(), 2);
    EXPECT_EQ(table()->currentRow(), 1);
    EXPECT_TRUE(table()->item(1, 0)->isSelected());
    EXPECT_FALSE(soundButton(1)->isEnabled());
    EXPECT_TRUE(showsIcon(openSoundButton(1), kOpenIcon));
    EXPECT_TRUE(showsIcon(soundButton(1), kPlayIcon));
    EXPECT_TRUE(soundButton(0)->isEnabled());
}

TEST_F(EditingWindow, DeletingEntriesSelectsTheRowThatTookItsPlace) {
    buildWindow({{{"e0", {}}, {"e1", {}}, {"e2", {}}}});
    action("actionEdit")->trigger();

    // Entry 2 of 3, the last: the new last row 1 is selected.
    table()->selectRow(2);
    click("delLine");
    EXPECT_EQ(shownNames(), QStringList({"e0", "e1"}));
    EXPECT_EQ(table()->currentRow(), 1);
    EXPECT_TRUE(window->isModified());

    // Entry 0 of 3: row 0 is selected and shows the former entry 1.
    buildWindow({{{"e0", {}}, {"e1", {}}, {"e2", {}}}});
    action("actionEdit")->trigger();
    table()->selectRow(0);
    click("delLine");
    ASSERT_EQ(Project::instance().chapter(0)->entryCount(), 2);
    EXPECT_EQ(Project::instance().chapter(0)->entry(0)->name, QStringLiteral("e1"));
    EXPECT_EQ(shownNames(), QStringList({"e1", "e2"}));
    EXPECT_EQ(table()->currentRow(), 0);
    EXPECT_TRUE(table()->item(0, 0)->isSelected());

    // Deleting the last entry of a chapter leaves the chapter current with no rows.
    click("delLine");
    click("delLine");
    EXPECT_EQ(Project::instance().chapter(0)->entryCount(), 0);
    EXPECT_EQ(table()->rowCount(), 0);
    EXPECT_EQ(chapterList()->currentRow(), 0);
}

TEST_F(EditingWindow, DeletingInAnotherChapterKeepsThatChapterCurrent) {
    buildWindow({{{"a0", {}}}, {{"b0", {}}, {"b1", {}}}});
    action("actionEdit")->trigger();
    chapterList()->setCurrentRow(1);
    table()->selectRow(1);
    click("delLine");
    EXPECT_EQ(chapterList()->currentRow(), 1);
    EXPECT_EQ(shownNames(), QStringList({"b0"}));
    EXPECT_EQ(Project::instance().chapter(0)->entryCount(), 1);
}

TEST_F(EditingWindow, RenamingAChapterInPlaceChangesTheModel) {
    buildWindow({{}, {}});
    EXPECT_FALSE(window->isModified());
    chapterList()->item(1)->setText(QStringLiteral("Act two"));
    EXPECT_EQ(Project::instance().chapter(1)->name, QStringLiteral("Act two"));
    EXPECT_EQ(Project::instance().chapter(0)->name, QStringLiteral("chapter 0"));
    EXPECT_TRUE(window->isModified());

    // Through the real editor, which the list offers in every mode.
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    QListWidget* list = chapterList();
    list->editItem(list->item(0));
    auto* editor = list->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    editor->setText(QStringLiteral("Prologue"));
    QTest::keyClick(editor, Qt::Key_Return);  // the delegate commits on the next event pass
    EXPECT_TRUE(QTest::qWaitFor(
        [] { return Project::instance().chapter(0)->name == QStringLiteral("Prologue"); }, 2000))
        << Project::instance().chapter(0)->name.toStdString();
    EXPECT_EQ(list->item(0)->text(), QStringLiteral("Prologue"));
}

TEST_F(EditingWindow, CellEditsReachTheEntryOnlyWhenTheCellIsSelected) {
    buildWindow({{{"first", {}}, {"second", {}}}});
    table()->selectRow(1);
    table()->item(1, 0)->setText(QStringLiteral("renamed"));
    table()->item(1, 1)->setText(QStringLiteral("described"));
    table()->item(1, 4)->setText(QStringLiteral("noted"));
    const Entry* second = entry(0, 1);
    EXPECT_EQ(second->name, QStringLiteral("renamed"));
    EXPECT_EQ(second->desc, QStringLiteral("described"));
    EXPECT_EQ(second->note, QStringLiteral("noted"));
    EXPECT_TRUE(window->isModified());

    // A cell of a row that is not selected is no user edit.
    buildWindow({{{"first", {}}, {"second", {}}}});
    table()->selectRow(1);
    table()->item(0, 0)->setText(QStringLiteral("not an edit"));
    EXPECT_EQ(entry(0, 0)->name, QStringLiteral("first"));
    EXPECT_FALSE(window->isModified());
}

TEST_F(EditingWindow, DoubleClickEditsOnlyInEditMode) {
    buildWindow({{{"first", {}}, {"second", {}}}});
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    QTableWidget* t = table();
    const QPoint cell = t->visualItemRect(t->item(1, 0)).center();

    QTest::mouseDClick(t->viewport(), Qt::LeftButton, Qt::NoModifier, cell);
    EXPECT_EQ(openEditor(t), nullptr);
    EXPECT_FALSE(window->isModified());

    action("actionEdit")->trigger();
    const QPoint editCell = t->visualItemRect(t->item(1, 0)).center();
    QTest::mouseClick(t->viewport(), Qt::LeftButton, Qt::NoModifier, editCell);
    QTest::mouseDClick(t->viewport(), Qt::LeftButton, Qt::NoModifier, editCell);
    QLineEdit* editor = openEditor(t);
    ASSERT_NE(editor, nullptr);
    editor->selectAll();
    QTest::keyClicks(editor, QStringLiteral("Opening words"));
    EXPECT_FALSE(window->isModified()) << "nothing is committed while the editor is open";
    // Switching the mode takes the focus away: the open editor commits its text.
    action("actionPlay")->trigger();
    EXPECT_EQ(openEditor(t), nullptr);
    EXPECT_EQ(entry(0, 1)->name, QStringLiteral("Opening words"));
    EXPECT_EQ(entry(0, 0)->name, QStringLiteral("first"));
    EXPECT_TRUE(window->isModified());
}

TEST_F(EditingWindow, AttachingASoundReadsTheWholeFile) {
    buildWindow({{{"quiet", {}}, {"other", {}}}});
    action("actionEdit")->trigger();
    const QByteArray wav = toneWav(120);
    const QString path = QDir::current().filePath(QStringLiteral("attach_me.wav"));
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_EQ(file.write(wav), wav.size());
    }

    // Cancelling the dialog changes nothing.
    chosenFile.clear();
    openSoundButton(1)->click();
    ASSERT_EQ(fileRequests.size(), 1u);
    EXPECT_EQ(fileRequests[0].parent, window.get());
    EXPECT_EQ(fileRequests[0].caption, QStringLiteral("Open File"));
    EXPECT_EQ(fileRequests[0].directory, QStringLiteral("."));
    EXPECT_EQ(fileRequests[0].filter, QStringLiteral("Sound Files (*.wav)"));
    EXPECT_FALSE(entry(0, 1)->hasSound());
    EXPECT_FALSE(window->isModified());

    // A file that cannot be opened: nothing changes, a warning names the file and says why.
    chosenFile = QDir::current().filePath(QStringLiteral("no_such_sound.wav"));
    openSoundButton(1)->click();
    EXPECT_FALSE(entry(0, 1)->hasSound());
    EXPECT_FALSE(window->isModified());
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].parent, window.get());
    EXPECT_TRUE(warnings[0].text.contains(chosenFile)) << warnings[0].text.toStdString();
    {
        QFile probe(chosenFile);
        ASSERT_FALSE(probe.open(QIODevice::ReadOnly));
        EXPECT_EQ(warnings[0].informativeText, probe.errorString()) << "the system's reason";
    }
    // A folder is no sound file either.
    chosenFile = QDir::currentPath();
    openSoundButton(1)->click();
    EXPECT_FALSE(entry(0, 1)->hasSound());
    EXPECT_FALSE(window->isModified());
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_TRUE(warnings[1].text.contains(chosenFile)) << warnings[1].text.toStdString();
    EXPECT_FALSE(warnings[1].informativeText.isEmpty());

    chosenFile = path;
    openSoundButton(1)->click();
    EXPECT_EQ(entry(0, 1)->sound, wav);
    EXPECT_FALSE(entry(0, 0)->hasSound());
    EXPECT_TRUE(window->isModified());
    EXPECT_TRUE(showsIcon(openSoundButton(1), kDeleteIcon));
    EXPECT_TRUE(soundButton(1)->isEnabled());
    EXPECT_TRUE(showsIcon(soundButton(1), kPlayIcon));
    EXPECT_FALSE(soundButton(0)->isEnabled());
    EXPECT_TRUE(questions.empty());
    EXPECT_EQ(warnings.size(), 2u) << "a readable file attaches without a warning";
    QFile::remove(path);
}

TEST_F(EditingWindow, DeletingASoundAsksFirst) {
    const QByteArray wav = toneWav(80);
    buildWindow({{{"loud", wav}}});
    action("actionEdit")->trigger();

    answers = {QMessageBox::No, QMessageBox::Cancel};
    openSoundButton(0)->click();
    openSoundButton(0)->click();
    ASSERT_EQ(questions.size(), 2u);
    for (const Question& q : questions) {
        EXPECT_EQ(q.text, QStringLiteral("The sound will be deleted."));
        EXPECT_EQ(q.informativeText, QStringLiteral("Are you sure you want to delete the sound?"));
        EXPECT_EQ(q.buttons, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        EXPECT_EQ(q.defaultButton, QMessageBox::Yes);
    }
    EXPECT_EQ(entry(0, 0)->sound, wav) << "No and Cancel keep the sound";
    EXPECT_FALSE(window->isModified());
    EXPECT_TRUE(showsIcon(openSoundButton(0), kDeleteIcon));
    EXPECT_TRUE(fileRequests.empty()) << "an entry with a sound offers no file dialog";

    answers = {QMessageBox::Yes};
    openSoundButton(0)->click();
    EXPECT_FALSE(entry(0, 0)->hasSound());
    EXPECT_TRUE(window->isModified());
    EXPECT_TRUE(showsIcon(openSoundButton(0), kOpenIcon));
    EXPECT_FALSE(soundButton(0)->isEnabled());
}

}  // namespace
}  // namespace cuelist

namespace cuelist {
namespace {

// The program's own dialogs: the real message box and file dialog, answered from a timer.
QWidget* waitForModal() {
    QWidget* modal = nullptr;
    if (!QTest::qWaitFor([&] { return (modal = QApplication::activeModalWidget()) != nullptr; },
                         3000))
        ADD_FAILURE() << "no modal dialog came up";
    return modal;
}

TEST(StandardDialogs, MessageBoxShowsTheQuestionWithItsDefault) {
    const WindowDialogs dialogs = standardDialogs();
    bool checked = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(waitForModal());
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->parentWidget(), nullptr);
        EXPECT_EQ(box->text(), QStringLiteral("The sound will be deleted."));
        EXPECT_EQ(box->informativeText(),
                  QStringLiteral("Are you sure you want to delete the sound?"));
        EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::Yes));
        checked = true;
        box->button(QMessageBox::No)->click();
    });
    EXPECT_EQ(
        dialogs.ask(QStringLiteral("The sound will be deleted."),
                    QStringLiteral("Are you sure you want to delete the sound?"),
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes),
        QMessageBox::No);
    EXPECT_TRUE(checked);
}

TEST(StandardDialogs, FileDialogOffersTheFilterAndReturnsTheChoice) {
    const WindowDialogs dialogs = standardDialogs();
    const QString path = QDir::current().filePath(QStringLiteral("pick_me.wav"));
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(toneWav(20));
    }
    QWidget parent;
    for (bool accept : {false, true}) {
        SCOPED_TRACE(accept);
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(waitForModal());
            ASSERT_NE(dialog, nullptr);
            EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Open File"));
            EXPECT_EQ(dialog->nameFilters(), QStringList({"Sound Files (*.wav)"}));
            EXPECT_EQ(dialog->directory().absolutePath(), QDir::current().absolutePath());
            EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
            if (accept) {
                dialog->selectFile(path);
                QMetaObject::invokeMethod(dialog, "accept");
            } else {
                dialog->reject();
            }
        });
        const QString chosen =
            dialogs.getOpenFileName(&parent, QStringLiteral("Open File"), QStringLiteral("."),
                                    QStringLiteral("Sound Files (*.wav)"));
        EXPECT_EQ(chosen, accept ? path : QString());
    }
    QFile::remove(path);
}

}  // namespace
}  // namespace cuelist
