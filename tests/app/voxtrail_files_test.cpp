// The window's file flows: New, Open, Save, Save As, Close, Exit and closing the window,
// with the unsaved-changes question answered through the dialog seam. Every project file
// is written by the real Project::save and read back by the real Project::load.

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QDir>
#include <QDockWidget>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <csignal>
#include <cstdio>
#include <functional>
#include <ostream>

#include "app/recovery.h"
#include "app/termination_signals.h"
#include "cue_list_fixture.h"
#include "efs/EfsVolume.h"
#include "efs/EfsVolumeProbe.h"
#include "efs/Status.h"
#include "project/ProjectArchive.h"
#include "tests/reliability/FaultInjectionFile.h"

namespace cuelist {
namespace {

// The content of the project as plain values, to compare a model with a file.
struct EntryData {
    QString name, desc, note;
    QByteArray sound;
    bool operator==(const EntryData&) const = default;
};
struct ChapterData {
    QString name;
    std::vector<EntryData> entries;
    bool operator==(const ChapterData&) const = default;
};
using ProjectData = std::vector<ChapterData>;

void PrintTo(const ChapterData& chapter, std::ostream* out) {
    *out << '"' << chapter.name.toStdString() << "\" [";
    for (const EntryData& e : chapter.entries)
        *out << " \"" << e.name.toStdString() << "\"/" << e.sound.size() << "B";
    *out << " ]";
}

ProjectData snapshot() {
    ProjectData data;
    for (const auto& chapter : Project::instance().chapters()) {
        ChapterData c{chapter->name, {}};
        for (const auto& e : chapter->entries())
            c.entries.push_back({e->name, e->desc, e->note, e->sound});
        data.push_back(std::move(c));
    }
    return data;
}

ChapterList toChapters(const ProjectData& data) {
    ChapterList chapters;
    for (const ChapterData& c : data) {
        auto chapter = std::make_unique<Chapter>();
        chapter->name = c.name;
        for (const EntryData& e : c.entries) {
            Entry* entry = chapter->addEntry();
            entry->name = e.name;
            entry->desc = e.desc;
            entry->note = e.note;
            entry->sound = e.sound;
        }
        chapters.push_back(std::move(chapter));
    }
    return chapters;
}

QSettings& settings() {
    static QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Skyvane"),
                           QStringLiteral("voxtrail"));
    return store;
}

bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

QByteArray readBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Texts a person may type that a file format could easily mangle.
constexpr const char* kAwkward =
    "Tab\there, <b>&amp;</b> \"quoted\" 'single'\nsecond line \xF0\x9D\x84\x9E";

class FileFlows : public CueListWindow {
  protected:
    void SetUp() override {
        CueListWindow::SetUp();
        ASSERT_TRUE(folder.isValid());
        // Closing the window in one test must not end the event loop another test runs.
        QApplication::setQuitOnLastWindowClosed(false);
        settings().clear();
        settings().sync();
    }
    void TearDown() override {
        CueListWindow::TearDown();
        settings().clear();
        settings().sync();
    }

    QString path(const char* name) const { return folder.filePath(QString::fromUtf8(name)); }

    // A small show on screen, unmodified: two chapters, sounds on some entries.
    void buildShow() {
        buildWindow({{{"Opening", toneWav(400)}, {kAwkward, {}}}, {{"Finale", toneWav(30, 660)}}});
    }

    // An unsaved change made the way a user makes it: a new chapter, in Edit mode.
    void editSomething() {
        action("actionEdit")->trigger();
        click("addChapter");
        ASSERT_TRUE(window->isModified());
    }

    // Saves the show under name through Save As, so that it becomes the current file.
    void saveAs(const char* name) {
        chosenSaveFile = path(name);
        action("actionSave_As")->trigger();
        chosenSaveFile.clear();
        ASSERT_EQ(window->currentFilePath(), path(name));
        ASSERT_FALSE(window->isModified());
    }

    // What a fresh Project::load finds in file. The model of the window is put back as it
    // was afterwards (same values, at the same positions), so nothing may be playing.
    ProjectData storedIn(const QString& file) {
        EXPECT_EQ(window->startedEntry(), nullptr);
        const ProjectData shown = snapshot();
        Project& project = Project::instance();
        project.clear();
        EXPECT_TRUE(project.load(file)) << project.lastError().toStdString();
        const ProjectData stored = snapshot();
        project.replaceContent(toChapters(shown));
        return stored;
    }

    // Triggers File, Exit inside a running event loop. True when Exit ended the loop; false
    // when the loop had to be ended from outside because Exit did not.
    bool exitEndsEventLoop() {
        QTimer fallback;
        fallback.setSingleShot(true);
        QObject::connect(&fallback, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        QTimer::singleShot(0, window.get(), [&] {
            action("actionExit")->trigger();
            fallback.start(200);
        });
        return QApplication::exec() == 0;
    }

    bool storedGeometry() {
        settings().sync();
        return settings().contains(QStringLiteral("geometry"));
    }

    // The window shows the model: one list row per chapter, the table of the current one.
    void expectWindowShowsModel() {
        const Project& project = Project::instance();
        ASSERT_EQ(chapterList()->count(), project.chapterCount());
        for (int c = 0; c < project.chapterCount(); ++c)
            EXPECT_EQ(chapterList()->item(c)->text(), project.chapter(c)->name) << c;
        const Chapter* current = project.chapter(chapterList()->currentRow());
        EXPECT_EQ(table()->rowCount(), current != nullptr ? current->entryCount() : 0);
    }

    QTemporaryDir folder{QDir::current().filePath(QStringLiteral("flows-XXXXXX"))};
};

// The unsaved-changes question, word for word.
void expectTheSaveQuestion(const Question& q) {
    EXPECT_EQ(q.text, QStringLiteral("The document has been modified."));
    EXPECT_EQ(q.informativeText, QStringLiteral("Do you want to save your changes?"));
    EXPECT_EQ(q.buttons, QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel);
    EXPECT_EQ(q.defaultButton, QMessageBox::Save);
}

// Every flow that ends or replaces the project, with every answer to the question.

enum class Flow { New, Close, Exit, CloseWindow };
enum class Answer { Cancel, Discard, SaveToCurrentFile, SaveAsChosen, SaveAsCancelled, SaveFails };

struct FlowCase {
    Flow flow;
    Answer answer;
};

const char* flowName(Flow flow) {
    switch (flow) {
        case Flow::New:
            return "New";
        case Flow::Close:
            return "Close";
        case Flow::Exit:
            return "Exit";
        case Flow::CloseWindow:
            return "CloseWindow";
    }
    return "?";
}

const char* answerName(Answer answer) {
    switch (answer) {
        case Answer::Cancel:
            return "Cancel";
        case Answer::Discard:
            return "Discard";
        case Answer::SaveToCurrentFile:
            return "SaveToCurrentFile";
        case Answer::SaveAsChosen:
            return "SaveAsChosen";
        case Answer::SaveAsCancelled:
            return "SaveAsCancelled";
        case Answer::SaveFails:
            return "SaveFails";
    }
    return "?";
}

void PrintTo(const FlowCase& c, std::ostream* out) {
    *out << flowName(c.flow) << " answered " << answerName(c.answer);
}

class EndingFlows : public FileFlows, public ::testing::WithParamInterface<FlowCase> {};

TEST_P(EndingFlows, AskAboutChangesAndGoOnOnlyWhenNothingIsLost) {
    const auto [flow, answer] = GetParam();
    buildShow();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));

    const bool withFile = answer == Answer::SaveToCurrentFile || answer == Answer::SaveFails;
    if (withFile) saveAs("show.vx");
    editSomething();
    const ProjectData edited = snapshot();
    const QString fileBefore = window->currentFilePath();
    const QByteArray notAProject("this file was replaced by something that is not a project");
    if (answer == Answer::SaveFails) {
        ASSERT_TRUE(writeBytes(path("show.vx"), notAProject));
    }
    answers = {answer == Answer::Cancel    ? QMessageBox::Cancel
               : answer == Answer::Discard ? QMessageBox::Discard
                                           : QMessageBox::Save};
    if (answer == Answer::SaveAsChosen) chosenSaveFile = path("chosen.vx");
    const size_t saveRequestsBefore = saveRequests.size();

    bool windowClosed = false;
    bool loopEnded = false;
    switch (flow) {
        case Flow::New:
            action("actionNew")->trigger();
            break;
        case Flow::Close:
            action("actionClose")->trigger();
            break;
        case Flow::Exit:
            loopEnded = exitEndsEventLoop();
            break;
        case Flow::CloseWindow:
            windowClosed = window->close();
            break;
    }

    ASSERT_EQ(questions.size(), 1u) << "asked exactly once";
    expectTheSaveQuestion(questions[0]);
    const bool saveAsShown = answer == Answer::SaveAsChosen || answer == Answer::SaveAsCancelled;
    EXPECT_EQ(saveRequests.size() - saveRequestsBefore, saveAsShown ? 1u : 0u);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    const bool goesOn = answer == Answer::Discard || answer == Answer::SaveToCurrentFile ||
                        answer == Answer::SaveAsChosen;
    if (goesOn) {
        switch (flow) {
            case Flow::New:
            case Flow::Close:
                EXPECT_EQ(Project::instance().chapterCount(), 0);
                EXPECT_EQ(chapterList()->count(), 0);
                EXPECT_EQ(table()->rowCount(), 0);
                EXPECT_TRUE(window->currentFilePath().isEmpty());
                EXPECT_FALSE(window->isModified());
                EXPECT_EQ(window->currentMode(), voxtrail::EditMode) << "the mode stays";
                break;
            case Flow::Exit:
                EXPECT_TRUE(loopEnded);
                EXPECT_TRUE(window->isVisible()) << "Exit leaves the loop without closing";
                break;
            case Flow::CloseWindow:
                EXPECT_TRUE(windowClosed);
                EXPECT_FALSE(window->isVisible());
                break;
        }
    } else {
        EXPECT_EQ(snapshot(), edited);
        EXPECT_TRUE(window->isModified());
        EXPECT_EQ(window->currentFilePath(), fileBefore);
        EXPECT_FALSE(loopEnded);
        EXPECT_FALSE(windowClosed);
        EXPECT_TRUE(window->isVisible());
        if (flow == Flow::New || flow == Flow::Close) expectWindowShowsModel();
    }
    // The geometry is stored exactly when the window itself closes.
    EXPECT_EQ(storedGeometry(), flow == Flow::CloseWindow && goesOn);

    if (answer == Answer::SaveToCurrentFile) {
        EXPECT_EQ(storedIn(path("show.vx")), edited);
    }
    if (answer == Answer::SaveAsChosen) {
        EXPECT_EQ(storedIn(path("chosen.vx")), edited);
    }
    if (answer == Answer::SaveFails) {
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_TRUE(warnings[0].text.contains(path("show.vx"))) << warnings[0].text.toStdString();
        EXPECT_FALSE(warnings[0].informativeText.isEmpty());
        EXPECT_EQ(readBytes(path("show.vx")), notAProject)
            << "a file that is not a project is kept";
    } else {
        EXPECT_TRUE(warnings.empty());
    }
    if (answer == Answer::Discard) {
        EXPECT_FALSE(QFile::exists(path("show.vx")));
    }
}

std::vector<FlowCase> allFlowCases() {
    std::vector<FlowCase> cases;
    for (Flow flow : {Flow::New, Flow::Close, Flow::Exit, Flow::CloseWindow})
        for (Answer answer : {Answer::Cancel, Answer::Discard, Answer::SaveToCurrentFile,
                              Answer::SaveAsChosen, Answer::SaveAsCancelled, Answer::SaveFails})
            cases.push_back({flow, answer});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryAnswer, EndingFlows, ::testing::ValuesIn(allFlowCases()),
                         [](const ::testing::TestParamInfo<FlowCase>& info) {
                             return std::string(flowName(info.param.flow)) + "_" +
                                    answerName(info.param.answer);
                         });

TEST_F(FileFlows, UnmodifiedProjectEndsWithoutAQuestion) {
    buildShow();
    saveAs("show.vx");
    window->show();
    action("actionNew")->trigger();
    EXPECT_EQ(Project::instance().chapterCount(), 0);
    EXPECT_TRUE(window->currentFilePath().isEmpty());
    buildShow();
    action("actionClose")->trigger();
    EXPECT_EQ(Project::instance().chapterCount(), 0);
    buildShow();
    window->show();
    EXPECT_TRUE(exitEndsEventLoop());
    EXPECT_FALSE(storedGeometry()) << "File, Exit does not store the geometry";
    EXPECT_TRUE(window->close());
    EXPECT_TRUE(storedGeometry());
    EXPECT_TRUE(questions.empty());
}

TEST_F(FileFlows, EndingFlowsStopWhatIsPlaying) {
    buildWindow({{{"long", toneWav(3000)}}});
    click("multimediaPLAY");
    ASSERT_TRUE(playing());
    ASSERT_NE(window->startedEntry(), nullptr);
    // Even a cancelled flow stops the sound: the question comes first.
    click("addChapter");
    answers = {QMessageBox::Cancel};
    action("actionClose")->trigger();
    EXPECT_FALSE(playing());
    EXPECT_EQ(window->startedEntry(), nullptr);
    EXPECT_EQ(Project::instance().chapterCount(), 2);

    chapterList()->setCurrentRow(0);
    click("multimediaPLAY");
    ASSERT_TRUE(playing());
    answers = {QMessageBox::Discard};
    action("actionNew")->trigger();
    EXPECT_FALSE(playing());
    EXPECT_EQ(window->startedEntry(), nullptr);
    EXPECT_EQ(Project::instance().chapterCount(), 0);
}

// Save and Save As.

TEST_F(FileFlows, SaveWithoutAFileAsksForANameThenSavesThereWithoutAsking) {
    buildShow();
    editSomething();
    const ProjectData first = snapshot();

    chosenSaveFile = path("first.vx");
    action("actionSave")->trigger();
    ASSERT_EQ(saveRequests.size(), 1u);
    EXPECT_EQ(saveRequests[0].parent, window.get());
    EXPECT_EQ(saveRequests[0].caption, QStringLiteral("Open voxtrail file"));
    EXPECT_EQ(saveRequests[0].directory, QStringLiteral("."));
    EXPECT_EQ(saveRequests[0].filter, QStringLiteral("Voxtrail Files (*.vx)"));
    EXPECT_EQ(window->currentFilePath(), path("first.vx"));
    EXPECT_FALSE(window->isModified());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(storedIn(path("first.vx")), first);

    // With a file, Save writes to it without a dialog.
    click("addChapter");
    const ProjectData second = snapshot();
    ASSERT_NE(second, first);
    chosenSaveFile = path("never.vx");
    action("actionSave")->trigger();
    EXPECT_EQ(saveRequests.size(), 1u);
    EXPECT_FALSE(window->isModified());
    EXPECT_EQ(window->currentFilePath(), path("first.vx"));
    EXPECT_EQ(storedIn(path("first.vx")), second);
    EXPECT_FALSE(QFile::exists(path("never.vx")));
    EXPECT_TRUE(warnings.empty());
    EXPECT_TRUE(questions.empty());
}

TEST_F(FileFlows, SaveAsAlwaysAsksAndTakesTheNameAsGiven) {
    buildShow();
    saveAs("show.vx");

    // A name without the extension is used as it is.
    click("addChapter");
    chosenSaveFile = path("copy");
    action("actionSave_As")->trigger();
    EXPECT_EQ(saveRequests.size(), 2u);
    EXPECT_EQ(window->currentFilePath(), path("copy"));
    EXPECT_TRUE(QFile::exists(path("copy")));
    EXPECT_FALSE(QFile::exists(path("copy.vx")));
    EXPECT_FALSE(window->isModified());
    EXPECT_EQ(storedIn(path("copy")), snapshot());
    EXPECT_NE(storedIn(path("show.vx")), snapshot()) << "the old file keeps the old project";

    // A cancelled Save As changes nothing.
    click("addChapter");
    chosenSaveFile.clear();
    action("actionSave_As")->trigger();
    EXPECT_EQ(saveRequests.size(), 3u);
    EXPECT_EQ(window->currentFilePath(), path("copy"));
    EXPECT_TRUE(window->isModified());
    EXPECT_TRUE(warnings.empty());
}

QLineEdit* openEditor(const QTableWidget* table) {
    for (QLineEdit* editor : table->findChildren<QLineEdit*>())
        if (editor->isVisible()) return editor;
    return nullptr;
}

TEST_F(FileFlows, SaveAndSaveAsStoreTheTextBeingTyped) {
    for (const char* saveAction : {"actionSave", "actionSave_As"}) {
        SCOPED_TRACE(saveAction);
        buildShow();
        saveAs("typed.vx");
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        action("actionEdit")->trigger();
        QTableWidget* t = table();
        t->setCurrentCell(1, 1);
        t->editItem(t->item(1, 1));
        QLineEdit* editor = openEditor(t);
        ASSERT_NE(editor, nullptr);
        editor->selectAll();
        QTest::keyClicks(editor, QStringLiteral("typed just before saving"));

        chosenSaveFile = path("typed.vx");
        action(saveAction)->trigger();
        EXPECT_EQ(openEditor(t), nullptr);
        EXPECT_FALSE(window->isModified()) << "nothing was left to commit after the save";
        const ProjectData stored = storedIn(path("typed.vx"));
        ASSERT_EQ(stored.size(), 2u);
        ASSERT_EQ(stored[0].entries.size(), 2u);
        EXPECT_EQ(stored[0].entries[1].desc, QStringLiteral("typed just before saving"));
        EXPECT_EQ(stored[0].entries[1].name, QString::fromUtf8(kAwkward));
    }
}

TEST_F(FileFlows, FailedSaveWarnsNamingTheFileAndChangesNothing) {
    buildShow();
    editSomething();
    const ProjectData edited = snapshot();

    struct Target {
        const char* what;
        QString path;
        bool exists;
    };
    ASSERT_TRUE(writeBytes(path("notes.vx"), "my notes, not a project"));
    ASSERT_TRUE(QDir(folder.path()).mkdir(QStringLiteral("folder.vx")));
    const Target targets[] = {
        {"a folder that does not exist", path("missing/show.vx"), false},
        {"a file that is not a project", path("notes.vx"), true},
        {"a folder", path("folder.vx"), true},
    };
    for (const Target& target : targets) {
        SCOPED_TRACE(target.what);
        warnings.clear();
        chosenSaveFile = target.path;
        action("actionSave_As")->trigger();
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_EQ(warnings[0].parent, window.get());
        EXPECT_TRUE(warnings[0].text.contains(target.path)) << warnings[0].text.toStdString();
        EXPECT_FALSE(warnings[0].informativeText.isEmpty());
        EXPECT_FALSE(warnings[0].waitCursorShown) << "the cursor is back before the warning";
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        EXPECT_TRUE(window->isModified());
        EXPECT_TRUE(window->currentFilePath().isEmpty());
        EXPECT_EQ(snapshot(), edited);
        EXPECT_EQ(QFileInfo::exists(target.path), target.exists);
    }
    EXPECT_EQ(readBytes(path("notes.vx")), QByteArray("my notes, not a project"));
    // Nothing but what the test made is left in the folder: no temporary file either.
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList({QStringLiteral("folder.vx"), QStringLiteral("notes.vx")}));

    // Save to a current file that has since been replaced by something else keeps that file,
    // the project and the flag.
    saveAs("show.vx");
    click("addChapter");
    ASSERT_TRUE(writeBytes(path("show.vx"), "replaced"));
    warnings.clear();
    action("actionSave")->trigger();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings[0].text.contains(path("show.vx")));
    EXPECT_TRUE(window->isModified());
    EXPECT_EQ(window->currentFilePath(), path("show.vx"));
    EXPECT_EQ(readBytes(path("show.vx")), QByteArray("replaced"));
}

// Open.

TEST_F(FileFlows, OpenShowsTheSavedProjectInPlayMode) {
    buildShow();
    saveAs("show.vx");
    const ProjectData saved = snapshot();

    // Something else on screen, unsaved, in Edit mode.
    buildWindow({{{"other", {}}}});
    editSomething();
    answers = {QMessageBox::Discard};
    chosenFile = path("show.vx");
    action("actionOpen")->trigger();

    ASSERT_EQ(questions.size(), 1u);
    expectTheSaveQuestion(questions[0]);
    ASSERT_EQ(fileRequests.size(), 1u);
    EXPECT_EQ(fileRequests[0].parent, window.get());
    EXPECT_EQ(fileRequests[0].caption, QStringLiteral("Open File"));
    EXPECT_EQ(fileRequests[0].directory, QStringLiteral("."));
    EXPECT_EQ(fileRequests[0].filter, QStringLiteral("Voxtrail Files (*.vx)"));

    EXPECT_EQ(snapshot(), saved);
    EXPECT_EQ(window->currentFilePath(), path("show.vx"));
    EXPECT_FALSE(window->isModified());
    EXPECT_EQ(window->currentMode(), voxtrail::PlayMode);
    EXPECT_TRUE(action("actionPlay")->isChecked());
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // The list and the table show the loaded project, chapter 0 current.
    expectWindowShowsModel();
    EXPECT_EQ(chapterList()->currentRow(), 0);
    EXPECT_EQ(shownNames(), QStringList({QStringLiteral("Opening"), QString::fromUtf8(kAwkward)}));
    EXPECT_EQ(table()->item(1, 1)->text(), QStringLiteral("about ") + QString::fromUtf8(kAwkward));
    EXPECT_EQ(table()->item(1, 4)->text(), QStringLiteral("note ") + QString::fromUtf8(kAwkward));
    EXPECT_TRUE(soundButton(0)->isEnabled());
    EXPECT_FALSE(soundButton(1)->isEnabled());
    EXPECT_TRUE(table()->isColumnHidden(3));

    // The loaded sound plays.
    click("multimediaPLAY");
    EXPECT_TRUE(playingEntry(0, 0));
    click("multimediaSTOP");
}

TEST_F(FileFlows, OpenAnsweredCancelOrWithTheDialogCancelledChangesNothing) {
    buildShow();
    saveAs("show.vx");
    editSomething();
    const ProjectData edited = snapshot();

    answers = {QMessageBox::Cancel};
    chosenFile = path("show.vx");
    action("actionOpen")->trigger();
    EXPECT_TRUE(fileRequests.empty()) << "Cancel asks for no file";

    answers = {QMessageBox::Discard};
    chosenFile.clear();
    action("actionOpen")->trigger();
    EXPECT_EQ(fileRequests.size(), 1u);

    EXPECT_EQ(snapshot(), edited);
    EXPECT_TRUE(window->isModified());
    EXPECT_EQ(window->currentMode(), voxtrail::EditMode) << "no load, no change of mode";
    EXPECT_TRUE(warnings.empty());
}

TEST_F(FileFlows, OpenWhilePlayingStopsTheSoundFirst) {
    buildShow();
    saveAs("show.vx");
    click("multimediaPLAY");
    ASSERT_TRUE(playing());
    chosenFile = path("show.vx");
    action("actionOpen")->trigger();
    EXPECT_FALSE(playing());
    EXPECT_EQ(window->startedEntry(), nullptr);
    EXPECT_EQ(chapterList()->count(), 2);
}

TEST_F(FileFlows, OpenOfABadFileKeepsTheProjectReturnsToPlayAndWarns) {
    ASSERT_TRUE(writeBytes(path("plain.vx"), "plain text, not a container\n"));
    {
        // A real container whose description is cut off in the middle of an element.
        ProjectArchive archive;
        ASSERT_TRUE(archive.open(path("broken.vx")));
        ASSERT_TRUE(
            archive.writeFile("desc.xml", "<?xml version=\"1.0\"?>\n<voxtrail>\n <chapter na"));
        ASSERT_TRUE(archive.close());
    }
    {
        ProjectArchive archive;
        ASSERT_TRUE(archive.open(path("nodesc.vx")));
        ASSERT_TRUE(archive.writeFile("ch0_e0.snd", toneWav(10)));
        ASSERT_TRUE(archive.close());
    }
    ASSERT_TRUE(QDir(folder.path()).mkdir(QStringLiteral("folder.vx")));

    buildShow();
    saveAs("show.vx");
    editSomething();
    const ProjectData edited = snapshot();
    const char* bad[] = {"plain.vx", "broken.vx", "nodesc.vx", "missing.vx", "folder.vx"};
    for (const char* name : bad) {
        SCOPED_TRACE(name);
        const QByteArray bytesBefore = readBytes(path(name));
        action("actionEdit")->trigger();
        warnings.clear();
        answers = {QMessageBox::Discard};
        chosenFile = path(name);
        action("actionOpen")->trigger();

        EXPECT_EQ(snapshot(), edited);
        expectWindowShowsModel();
        EXPECT_TRUE(window->isModified()) << "the changes were not saved: they still count";
        EXPECT_EQ(window->currentFilePath(), path("show.vx"));
        EXPECT_EQ(window->currentMode(), voxtrail::PlayMode);
        EXPECT_TRUE(action("actionPlay")->isChecked());
        EXPECT_FALSE(child<QDockWidget>("rightDock")->isVisibleTo(window.get()));
        EXPECT_TRUE(child<QDockWidget>("bottomDock")->isVisibleTo(window.get()));
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_EQ(warnings[0].parent, window.get());
        EXPECT_TRUE(warnings[0].text.contains(path(name))) << warnings[0].text.toStdString();
        EXPECT_FALSE(warnings[0].informativeText.isEmpty());
        EXPECT_FALSE(warnings[0].waitCursorShown);
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        EXPECT_EQ(readBytes(path(name)), bytesBefore) << "a load changes no file";
    }
    EXPECT_FALSE(QFile::exists(path("missing.vx"))) << "a load creates no file";
    EXPECT_EQ(storedIn(path("show.vx")).size(), edited.size() - 1) << "the saved file is intact";
}

// Points the first data run of the stored file name far beyond the end of the container,
// so that its bytes cannot be read while its name is still found.
void damageStoredData(const QString& path, const char* name) {
    efs::FitRecord record;
    {
        EfsVolume volume;
        ASSERT_TRUE(volume.openVolumeReadOnly(path));
        ASSERT_TRUE(EfsVolumeProbe(volume).loadStoredRecord(name, &record)) << name;
        ASSERT_GT(record.fragmentsCount(), 0) << name << " is stored inline";
    }
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    uint8_t raw[4];
    efs::encodeFixed32(raw, 0x7FFFFF00);
    ASSERT_TRUE(file.seek(int64_t(record.addr()) * efs::kBlockSize + efs::kRecData));
    ASSERT_EQ(file.write(reinterpret_cast<const char*>(raw), 4), 4);
}

TEST_F(FileFlows, OpenOfAProjectWithAnUnreadableSoundWarnsNamingItAndSavingKeepsTheRest) {
    buildShow();
    saveAs("damaged.vx");
    ProjectData expected = snapshot();
    damageStoredData(path("damaged.vx"), "ch0_e0.snd");
    expected[0].entries[0].sound.clear();

    buildWindow();
    chosenFile = path("damaged.vx");
    action("actionOpen")->trigger();
    EXPECT_EQ(window->currentFilePath(), path("damaged.vx"));
    EXPECT_FALSE(window->isModified());
    EXPECT_EQ(snapshot(), expected) << "only the unreadable sound is missing";
    expectWindowShowsModel();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings[0].text.contains(path("damaged.vx"))) << warnings[0].text.toStdString();
    const QString& details = warnings[0].informativeText;
    EXPECT_TRUE(details.contains("Chapter 1 \"chapter 0\", entry 1 \"Opening\""))
        << details.toStdString();
    EXPECT_EQ(details.count("Chapter "), 1) << details.toStdString();
    EXPECT_TRUE(details.contains("Saving the project will keep these entries without a sound."))
        << details.toStdString();
    EXPECT_FALSE(warnings[0].waitCursorShown);

    action("actionSave")->trigger();
    EXPECT_EQ(storedIn(path("damaged.vx")), expected);
}

// Runs the event loop with the window wired to the termination signals as the program
// wires it, and start (which raises a signal, or leads to one) called from inside the loop.
// Returns the loop's exit status (99 when no signal ended it within 10 s); what the window
// wrote on standard error meanwhile is kept in *errors.
int runUntilSignalEnds(voxtrail* window, const std::function<void()>& start, QByteArray* errors) {
    TerminationSignals termination;
    EXPECT_TRUE(termination.isInstalled());
    QObject::connect(&termination, &TerminationSignals::arrived, window,
                     [window](int) { QCoreApplication::exit(window->saveForSignalEnd()); });
    QTemporaryFile captured;
    EXPECT_TRUE(captured.open());
    std::fflush(stderr);
    const int savedStderr = ::dup(2);
    ::dup2(captured.handle(), 2);
    QTimer fallback;
    fallback.setSingleShot(true);
    QObject::connect(&fallback, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    fallback.start(10000);
    QTimer::singleShot(0, start);
    const int status = QApplication::exec();
    std::fflush(stderr);
    ::dup2(savedStderr, 2);
    ::close(savedStderr);
    *errors = readBytes(captured.fileName());
    return status;
}

int endBySignal(voxtrail* window, int signalNumber, QByteArray* errors) {
    return runUntilSignalEnds(
        window, [signalNumber] { std::raise(signalNumber); }, errors);
}

// Each termination signal ends the loop with status 0, asking nothing; unsaved changes,
// the text being typed included, are first saved as a new project in the recovery folder,
// whose path goes to standard error; the user's own file is left alone.
TEST_F(FileFlows, ATerminationSignalSavesUnsavedChangesForRecoveryAndEnds) {
    QDir recovered(recoveryFolder());
    ASSERT_TRUE(recovered.removeRecursively());
    const QRegularExpression stamp(
        QStringLiteral("-\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d\\.vx$"));
    auto recoveredFiles = [&] {
        return recovered.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    };
    QByteArray errors;

    // Untitled, with a cell being edited: SIGTERM.
    buildShow();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    action("actionEdit")->trigger();
    table()->setCurrentCell(1, 1);
    table()->editItem(table()->item(1, 1));
    QLineEdit* editor = openEditor(table());
    ASSERT_NE(editor, nullptr);
    editor->selectAll();
    QTest::keyClicks(editor, QStringLiteral("typed when the signal came"));
    EXPECT_EQ(endBySignal(window.get(), SIGTERM, &errors), 0);
    EXPECT_TRUE(questions.empty());
    EXPECT_FALSE(window->isModified());
    QStringList files = recoveredFiles();
    ASSERT_EQ(files.size(), 1) << files.join(' ').toStdString();
    EXPECT_TRUE(files[0].startsWith("untitled-") && stamp.match(files[0]).hasMatch())
        << files[0].toStdString();
    EXPECT_TRUE(errors.contains(recovered.filePath(files[0]).toLocal8Bit())) << errors.data();
    const ProjectData first = storedIn(recovered.filePath(files[0]));
    EXPECT_EQ(first, snapshot());
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].entries[1].desc, QStringLiteral("typed when the signal came"));

    // A saved show with a later change: SIGINT. The show's own file stays as it was.
    buildShow();
    saveAs("show.vx");
    const QByteArray showBytes = readBytes(path("show.vx"));
    editSomething();
    EXPECT_EQ(endBySignal(window.get(), SIGINT, &errors), 0);
    const QStringList showCopies = recoveredFiles().filter(QRegularExpression("^show-"));
    ASSERT_EQ(showCopies.size(), 1) << recoveredFiles().join(' ').toStdString();
    EXPECT_TRUE(stamp.match(showCopies[0]).hasMatch()) << showCopies[0].toStdString();
    EXPECT_TRUE(errors.contains(recovered.filePath(showCopies[0]).toLocal8Bit())) << errors.data();
    EXPECT_EQ(storedIn(recovered.filePath(showCopies[0])), snapshot());
    EXPECT_EQ(snapshot().size(), 3u);
    EXPECT_EQ(readBytes(path("show.vx")), showBytes);

    // Nothing unsaved: SIGHUP ends the loop and writes nothing.
    EXPECT_EQ(endBySignal(window.get(), SIGHUP, &errors), 0);
    EXPECT_EQ(recoveredFiles().size(), 2);
    EXPECT_TRUE(errors.isEmpty()) << errors.data();
}

// A question left open when the session ends: the signal ends its loop and the program's,
// and the changes are saved for recovery before anything else happens.
TEST_F(FileFlows, ATerminationSignalWhileAQuestionIsOpenRecoversTheChangesAndEnds) {
    QDir recovered(recoveryFolder());
    ASSERT_TRUE(recovered.removeRecursively());
    buildShow();
    editSomething();
    const ProjectData edited = snapshot();
    WindowDialogs modal;
    modal.ask = [](const QString&, const QString&, QMessageBox::StandardButtons,
                   QMessageBox::StandardButton) {
        std::raise(SIGTERM);
        QEventLoop questionOpen;  // as a message box's exec runs one
        questionOpen.exec();
        return QMessageBox::NoButton;
    };
    window->setDialogs(modal);
    QByteArray errors;
    EXPECT_EQ(runUntilSignalEnds(
                  window.get(), [this] { action("actionNew")->trigger(); }, &errors),
              0);
    const QStringList files = recovered.entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1) << errors.data();
    EXPECT_EQ(storedIn(recovered.filePath(files[0])), edited);
}

// A signal that comes twice within one second, or two windows of one project, recover to a
// name that is taken already: the earlier recovered project stays as it is, and the new one
// is saved under a name of its own.
TEST_F(FileFlows, ARecoveredProjectNeverReplacesAnEarlierOneOfTheSameName) {
    QDir recovered(recoveryFolder());
    ASSERT_TRUE(recovered.removeRecursively());
    ASSERT_TRUE(QDir().mkpath(recovered.path()));
    buildShow();
    saveAs("show.vx");
    const QByteArray earlier = readBytes(path("show.vx"));
    // Every name the recovery may choose within the next minute holds a recovered project.
    const QDateTime now = QDateTime::currentDateTime();
    QStringList taken;
    for (int s = -1; s <= 60; ++s) {
        taken << recoveryFileName(path("show.vx"), now.addSecs(s));
        ASSERT_TRUE(writeBytes(recovered.filePath(taken.back()), earlier));
    }
    editSomething();
    const ProjectData edited = snapshot();
    QByteArray errors;
    EXPECT_EQ(endBySignal(window.get(), SIGTERM, &errors), 0) << errors.data();
    for (const QString& name : taken)
        EXPECT_TRUE(readBytes(recovered.filePath(name)) == earlier) << name.toStdString();
    QStringList added = recovered.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : taken) added.removeOne(name);
    ASSERT_EQ(added.size(), 1) << added.join(' ').toStdString() << errors.data();
    EXPECT_TRUE(added[0].startsWith("show-") && added[0].endsWith("-2.vx"))
        << added[0].toStdString();
    EXPECT_TRUE(errors.contains(recovered.filePath(added[0]).toLocal8Bit())) << errors.data();
    EXPECT_EQ(storedIn(recovered.filePath(added[0])), edited);
}

// Runs f with the permission checks on files in force even for root: the thread gives up
// overriding them (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH) for the time of f. Without root,
// the checks are in force anyway.
void withFilePermissionsEnforced(const std::function<void()>& f) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[2]{};
    const bool have = ::syscall(SYS_capget, &header, saved) == 0;
    __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
    reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    if (have) ::syscall(SYS_capset, &header, reduced);
    f();
    if (have) ::syscall(SYS_capset, &header, saved);
}

#ifdef VXTOOL_PROGRAM
// vxtool project show on path, with the permission checks in force as above (a child
// started by root regains its capabilities unless they leave its bounding set).
QByteArray vxtoolShowErrors(const QString& path) {
    QProcess p;
    p.setChildProcessModifier([] {
        ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
        ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
    });
    p.start(QStringLiteral(VXTOOL_PROGRAM),
            {QStringLiteral("project"), QStringLiteral("show"), path});
    if (!p.waitForFinished(30000)) return "vxtool did not finish";
    return p.readAllStandardError();
}
#endif

// Every file that cannot be opened as a project says why, the same in the window's warning
// and in vxtool, and no two of these reasons read alike.
TEST_F(FileFlows, EveryFileThatCannotBeOpenedSaysWhyInTheWindowAndInVxtool) {
    buildShow();
    saveAs("show.vx");
    const QByteArray show = readBytes(path("show.vx"));
    const auto* header = reinterpret_cast<const uint8_t*>(show.constData());
    const int32_t fileRoot = efs::decodeFixed32(header + efs::kHeaderFileRoot);
    auto withByte = [&](int at, char value) {
        QByteArray bytes = show;
        bytes[at] = value;
        return bytes;
    };
    QByteArray overwritten = show;
    overwritten.replace(fileRoot * efs::kBlockSize, efs::kBlockSize,
                        QByteArray(efs::kBlockSize, '\x5A'));

    struct Case {
        const char* name;
        std::function<void(const QString&)> make;
        QString reason;
        bool inVxtool = true;  // the fault-injecting host file exists only in this process
        std::function<EfsVolume::FileFactory()> hostFiles = {};
    };
    auto bytes = [](const QByteArray& b) {
        return [b](const QString& p) { ASSERT_TRUE(writeBytes(p, b)); };
    };
    auto reliableFiles = [] { return EfsVolume::FileFactory(); };
    const Case cases[] = {
        {"junk.vx", bytes("hello"), "it does not start with a voxtrail container header"},
        {"cut.vx", bytes(show.left(100000)),
         "the file is 100,000 bytes long, but its free-space tree describes " +
             efs::grouped(show.size())},
        {"node.vx", bytes(overwritten),
         QString("block %1 of the file table fails its checks").arg(fileRoot)},
        {"newer.vx", bytes(withByte(efs::kHeaderVersion, 7)),
         "it was written in format 7 by a newer version of the program; this one reads formats "
         "up to 6"},
        {"folder.vx", [](const QString& p) { ASSERT_TRUE(QDir().mkdir(p)); }, "it is a folder"},
        {"fifo.vx", [](const QString& p) { ASSERT_EQ(::mkfifo(QFile::encodeName(p), 0600), 0); },
         "it is not a regular file"},
        {"private.vx",
         [&](const QString& p) {
             ASSERT_TRUE(writeBytes(p, show));
             ASSERT_EQ(::chmod(QFile::encodeName(p), 0), 0);
         },
         QString::fromLocal8Bit(std::strerror(EACCES))},
        {"failing.vx", bytes(show),
         QString("Input/output error while reading block %1").arg(fileRoot), false,
         [&] {
             auto state = std::make_shared<reliability::FaultState>();
             state->setFaultAtPlace(reliability::FaultMode::Fail, reliability::IoKind::Read,
                                    int64_t{fileRoot} * efs::kBlockSize, efs::kBlockSize);
             return reliability::faultFactory(state);
         }},
    };
    QStringList reasons;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString file = path(c.name);
        c.make(file);
        reasons << c.reason;
        const auto hostFiles = c.hostFiles ? c.hostFiles : reliableFiles;
        Project::instance().setArchive(std::make_unique<ProjectArchive>(hostFiles()));
        warnings.clear();
        chosenFile = file;
        withFilePermissionsEnforced([&] { action("actionOpen")->trigger(); });
        Project::instance().setArchive(nullptr);
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_EQ(warnings[0].informativeText,
                  QString("Cannot open %1: %2.").arg(QDir::toNativeSeparators(file), c.reason));
#ifdef VXTOOL_PROGRAM
        if (c.inVxtool)
            EXPECT_EQ(QString::fromLocal8Bit(vxtoolShowErrors(file)),
                      QString("vxtool: %1: %2\n").arg(file, c.reason));
#endif
    }
    reasons.removeDuplicates();
    EXPECT_EQ(reasons.size(), static_cast<qsizetype>(std::size(cases)));
}

}  // namespace
}  // namespace cuelist
