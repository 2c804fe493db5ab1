#pragma once

#include <QIcon>
#include <QMainWindow>
#include <QString>

#include "app/window_dialogs.h"
#include "audio/SoundPlayer.h"
#include "ui_voxtrail.h"

class Chapter;
class Entry;
class QActionGroup;
class QButtonGroup;
class QCloseEvent;
class QLabel;
class QListWidgetItem;
class QTableWidgetItem;
class QTimer;

// The program's one main window. Handlers are bound to the form's widgets by name
// (on_<object>_<signal>), so the form's object names are fixed names of the program, and
// the style sheet selects widgets by the same names.
class voxtrail final : public QMainWindow {
    Q_OBJECT

  public:
    explicit voxtrail(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());
    ~voxtrail() override;

    voxtrail(const voxtrail&) = delete;
    voxtrail& operator=(const voxtrail&) = delete;

    // Mode numbers are positions in modeGroup.
    enum Mode { PlayMode = 0, EditMode = 1, OptionsMode = 2, HelpMode = 3 };

    int currentMode() const { return mode; }
    bool isModified() const { return modified; }
    const QString& currentFilePath() const { return currentFile; }

    // Switches among Play, Edit, Options and Help: page, docks, column 3 and edit triggers.
    void setMode(int index);

    // Replaces the questions, file choices and warnings (the program keeps standardDialogs()). A
    // member left empty keeps the one in use.
    void setDialogs(WindowDialogs dialogs);

    // The window's part in ending the program on a termination signal: stops the sound and
    // commits any open edit; when there are unsaved changes, saves the project as a new
    // file in recoveryFolder() (the user's own file is left alone) and prints its path, or
    // why it could not be saved, on standard error. Asks nothing, since nobody may be there
    // to answer. Returns the program's exit status: 0, or 1 when unsaved changes could not
    // be saved. Ending the event loop is the caller's part.
    int saveForSignalEnd();

    const SoundPlayer& soundPlayer() const { return player; }
    // The entry whose sound was started last and has not been stopped or noticed to have
    // ended; null when none. Not owned.
    const Entry* startedEntry() const { return playingEntry; }

  protected:
    void closeEvent(QCloseEvent* event) override;

  private slots:
    // Chapters and entries.
    void on_chapters_itemSelectionChanged();
    void on_chapters_itemChanged(QListWidgetItem* item);
    void on_addChapter_clicked(bool checked = false);
    void on_delChapter_clicked(bool checked = false);
    void on_chapterView_itemChanged(QTableWidgetItem* item);
    void on_addLine_clicked(bool checked = false);
    void on_delLine_clicked(bool checked = false);
    // Files, modes and window state.
    void on_actionNew_triggered(bool checked = false);
    void on_actionSave_triggered(bool checked = false);
    void on_actionSave_As_triggered(bool checked = false);
    void on_actionOpen_triggered(bool checked = false);
    void on_actionClose_triggered(bool checked = false);
    void on_actionExit_triggered(bool checked = false);
    void on_actionPlay_triggered(bool checked = false);
    void on_actionEdit_triggered(bool checked = false);
    void on_actionOptions_triggered(bool checked = false);
    void on_actionHelp_triggered(bool checked = false);
    void on_actionFullscreen_triggered(bool checked = false);
    void on_actionPrintscreen_triggered(bool checked = false);
    // Playback and the clock.
    void on_multimediaPLAY_clicked(bool checked = false);
    void on_multimediaSTOP_clicked(bool checked = false);
    void on_multimediaPAUSE_clicked(bool checked = false);
    void updateTime();
    // Runs on every clock tick: when the started sound is no longer playing (it ended by
    // itself, or could not start), frees it, shows the play icon on its row again and
    // forgets playingEntry, so that the next press plays at once.
    void noticeSoundEnded();

  private:
    // The row buttons' groups, connected by hand in the constructor (the groups are made
    // in code, not in the form). Ordinary members rather than slots: with their names, a
    // slot would make the form's connect-by-name look for an object that is not there and
    // print a warning at every start.
    void on_ButtonGroupOpenClose_Clicked(int id);
    void on_ButtonGroupPlayStop_Clicked(int id);
    void hideDockTitleBars();
    void restoreWindowState();
    // Ends any in-place edit (its text is committed) and gives the table the focus.
    void commitEdits();
    void refreshChapterList();
    // The table part of on_chapters_itemSelectionChanged: the rows of the current chapter.
    void rebuildEntryTable();
    void updateRowButtons(int row);
    // Chapter shown in the table, or null when no chapter row is current.
    Chapter* currentChapter() const;
    // Stops playback when playingEntry is entry or, with entry null, lies in chapter.
    void stopPlaybackOf(const Chapter* chapter, const Entry* entry);
    void stopPlayback();
    void playSelected(Entry* previous);
    // Stops playback, commits any open edit and, when there are unsaved changes, asks
    // whether to save them. False means the project must stay as it is: the user
    // cancelled, or chose Save and the save failed or its Save As dialog was cancelled.
    bool maybeSave();
    // New and Close: an empty project with no file and no changes; the mode stays.
    void clearProject();
    // Loads path with a wait cursor and returns to Play mode, whether or not it loaded.
    // On failure the project, currentFile and modified stay and a warning says why.
    bool openProjectFile(const QString& path);
    // One warning after a load that left entries without their sound because it could not
    // be read: names each chapter and entry, and says that a save keeps them so.
    void warnUnreadableSounds(const QString& path);
    // Saves to path with a wait cursor; on success path becomes currentFile and modified is
    // cleared. On failure nothing changes and a warning says why.
    bool saveProjectFile(const QString& path);
    // Save: to currentFile, or as Save As when there is none. True when the project was
    // saved.
    bool saveProject();
    // Save As: asks for a name and saves there. False when cancelled or failed.
    bool saveProjectAs();

    Ui::voxtrailClass ui;
    QString currentFile;  // path of the last successful open or save; empty for none
    bool modified = false;
    QLabel* timeLabel = nullptr;
    QActionGroup* modeGroup = nullptr;
    QButtonGroup* ButtonGroupOpenClose = nullptr;  // column 3 buttons, id = row
    QButtonGroup* ButtonGroupPlayStop = nullptr;   // column 2 buttons, id = row
    int mode = -1;                                 // -1 until the first setMode
    // The entry whose sound was started last; not owned. Must be cleared before that entry
    // or its chapter is destroyed, since the player reads its bytes in place.
    Entry* playingEntry = nullptr;
    // Constructed before the form is built (it opens the audio device) and shut down
    // first on destruction, before the widgets go. Reads playingEntry's bytes in place.
    SoundPlayer player;
    QTimer* clockTimer = nullptr;  // drives updateTime and noticeSoundEnded every 1000 ms
    // Says that there is no sound output and why; only present when the device failed.
    QLabel* soundOutputLabel = nullptr;
    WindowDialogs dialogs;
    QIcon playIcon, stopIcon, openIcon, deleteIcon;
};
