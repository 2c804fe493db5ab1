#include "app/voxtrail.h"

#include <QActionGroup>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <cstdio>
#include <utility>

#include "app/app_resources.h"
#include "app/recovery.h"
#include "app/screenshot.h"
#include "app/window_geometry.h"
#include "app/window_texts.h"
#include "project/Project.h"

namespace {

const char kOrganisation[] = "Skyvane";
const char kApplication[] = "voxtrail";
const char kGeometryKey[] = "geometry";
const char kStyleSheet[] = ":/style/voxtrail.qss";
constexpr int kClockInterval = 1000;  // ms
constexpr int kSoundOpenColumn = 3;   // shown in Edit mode only

// Columns of the entry table.
constexpr int kNameColumn = 0;
constexpr int kDescColumn = 1;
constexpr int kPlayStopColumn = 2;
constexpr int kNoteColumn = 4;
constexpr int kColumnCount = 5;

constexpr int kProblemMessageTime = 10000;  // ms a playback problem stays shown

// The wait cursor for as long as it lives. Restored before any warning is shown, so that
// the warning is not answered under an hourglass.
class WaitCursor final {
  public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

QString shownPath(const QString& path) { return QDir::toNativeSeparators(path); }

// Why the last load or save failed, in words for the warning.
QString projectFailure() {
    const QString reason = Project::instance().lastError();
    return reason.isEmpty() ? QCoreApplication::translate("voxtrail", "The reason is not known.")
                            : reason;
}

QString loadStyleSheet() {
    QFile file(QString::fromLatin1(kStyleSheet));
    if (!file.open(QIODevice::ReadOnly)) return QString();
    return QString::fromUtf8(file.readAll());
}

}  // namespace

voxtrail::voxtrail(QWidget* parent, Qt::WindowFlags flags)
    : QMainWindow(parent, flags), dialogs(standardDialogs()) {
    // The form's icons and the style sheet come from the resources.
    initAppResources();
    playIcon = QIcon(QStringLiteral(":/gfx/icons/player_controls/play.png"));
    stopIcon = QIcon(QStringLiteral(":/gfx/icons/player_controls/stop.png"));
    openIcon = QIcon(QStringLiteral(":/gfx/icons/file/open.png"));
    deleteIcon = QIcon(QStringLiteral(":/gfx/icons/others/delete.png"));
    ui.setupUi(this);
    setStyleSheet(loadStyleSheet());

    ui.chapterView->setColumnCount(kColumnCount);
    ui.chapterView->setHorizontalHeaderLabels(
        {tr("Name"), tr("Description"), tr("Sound"), tr("Open sound"), tr("Note")});
    ui.chapterView->resizeColumnsToContents();

    const QRect initial = initialWindowGeometry(currentScreenLayout());
    if (initial.isValid()) setGeometry(initial);

    timeLabel = new QLabel(this);
    statusBar()->addPermanentWidget(timeLabel);
    clockTimer = new QTimer(this);
    connect(clockTimer, &QTimer::timeout, this, &voxtrail::updateTime);
    connect(clockTimer, &QTimer::timeout, this, &voxtrail::noticeSoundEnded);
    clockTimer->start(kClockInterval);
    statusBar()->addWidget(new QLabel(tr("Ready"), this));
    if (!player.audioAvailable()) {
        // Kept in the permanent area so that no passing message hides it: a silent show
        // must be noticed before the performance, not during it.
        soundOutputLabel = new QLabel(
            tr("No sound output: %1").arg(QString::fromStdString(player.outputError())), this);
        statusBar()->insertPermanentWidget(0, soundOutputLabel);
    }

    modeGroup = new QActionGroup(this);
    modeGroup->setExclusive(true);
    for (QAction* action : {ui.actionPlay, ui.actionEdit, ui.actionOptions, ui.actionHelp})
        modeGroup->addAction(action);

    ButtonGroupOpenClose = new QButtonGroup(this);
    connect(ButtonGroupOpenClose, &QButtonGroup::idClicked, this,
            &voxtrail::on_ButtonGroupOpenClose_Clicked);
    ButtonGroupPlayStop = new QButtonGroup(this);
    connect(ButtonGroupPlayStop, &QButtonGroup::idClicked, this,
            &voxtrail::on_ButtonGroupPlayStop_Clicked);

    hideDockTitleBars();
    restoreWindowState();
    refreshChapterList();
    setMode(PlayMode);
    // The layout settles the window's minimum size now, before the window exists on the
    // screen: at the first show it is then already right and nothing has to be sent to the
    // window system (which some platforms, the offscreen one among them, answer with a
    // warning on the terminal).
    layout()->activate();
}

voxtrail::~voxtrail() {
    // The widgets are destroyed after this body by the base class; nothing they emit on the
    // way may reach this half-destroyed window.
    clockTimer->stop();
    ui.chapters->blockSignals(true);
    ui.chapterView->blockSignals(true);
    ButtonGroupOpenClose->disconnect(this);
    ButtonGroupPlayStop->disconnect(this);
    playingEntry = nullptr;
    player.shutdown();
}

void voxtrail::setDialogs(WindowDialogs replacement) {
    if (replacement.ask) dialogs.ask = std::move(replacement.ask);
    if (replacement.getOpenFileName)
        dialogs.getOpenFileName = std::move(replacement.getOpenFileName);
    if (replacement.getSaveFileName)
        dialogs.getSaveFileName = std::move(replacement.getSaveFileName);
    if (replacement.warn) dialogs.warn = std::move(replacement.warn);
}

void voxtrail::hideDockTitleBars() {
    ui.rightDock->setTitleBarWidget(new QWidget(this));
    ui.bottomDock->setTitleBarWidget(new QWidget(this));
}

void voxtrail::restoreWindowState() {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromLatin1(kOrganisation), QString::fromLatin1(kApplication));
    // A missing or unusable value leaves the computed initial geometry.
    restoreGeometry(settings.value(QString::fromLatin1(kGeometryKey)).toByteArray());
    if (isFullScreen()) ui.actionFullscreen->setChecked(true);
}

void voxtrail::closeEvent(QCloseEvent* event) {
    if (!maybeSave()) {
        event->ignore();
        return;
    }
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromLatin1(kOrganisation), QString::fromLatin1(kApplication));
    settings.setValue(QString::fromLatin1(kGeometryKey), saveGeometry());
    QMainWindow::closeEvent(event);
}

void voxtrail::setMode(int index) {
    if (index < PlayMode || index > HelpMode) return;
    mode = index;
    QAction* action = modeGroup->actions().at(index);
    if (modeGroup->checkedAction() != action) action->setChecked(true);

    static constexpr int kPageOfMode[] = {0, 0, 1, 2};
    ui.centralWidget_2->setCurrentIndex(kPageOfMode[index]);
    ui.rightDock->setVisible(index == EditMode);
    ui.bottomDock->setVisible(index == PlayMode);

    if (index == EditMode) {
        ui.chapterView->showColumn(kSoundOpenColumn);
        ui.chapterView->setEditTriggers(QAbstractItemView::DoubleClicked |
                                        QAbstractItemView::EditKeyPressed);
    } else {
        ui.chapterView->hideColumn(kSoundOpenColumn);
        ui.chapterView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    }
    commitEdits();
}

void voxtrail::commitEdits() {
    // Taking the focus away from an open cell editor makes it commit its text.
    if (QWidget* focused = QApplication::focusWidget()) focused->clearFocus();
    ui.chapterView->setFocus(Qt::OtherFocusReason);
}

bool voxtrail::maybeSave() {
    // The whole playback state goes, not only the sound: a row left with the stop icon and
    // playingEntry still set would make the next click on it do nothing.
    stopPlayback();
    commitEdits();
    if (!modified) return true;
    switch (dialogs.ask(
        tr("The document has been modified."), tr("Do you want to save your changes?"),
        QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Save)) {
        case QMessageBox::Save:
            // Work is never given up on a failed or cancelled save: the flow that asked
            // stops and the project and its flag stay.
            return saveProject();
        case QMessageBox::Cancel:
            return false;
        default:
            return true;
    }
}

void voxtrail::on_actionPlay_triggered(bool) { setMode(PlayMode); }
void voxtrail::on_actionEdit_triggered(bool) { setMode(EditMode); }
void voxtrail::on_actionOptions_triggered(bool) { setMode(OptionsMode); }
void voxtrail::on_actionHelp_triggered(bool) { setMode(HelpMode); }

void voxtrail::on_actionFullscreen_triggered(bool checked) {
    if (checked)
        showFullScreen();
    else
        showNormal();
}

void voxtrail::on_actionPrintscreen_triggered(bool) {
    const QPixmap shot = grab();
    // One clock reading, so a shot at midnight gets a date and a time that belong together.
    // A shot that cannot be written is not reported.
    writeScreenshot(shot, QDir::current(), QDateTime::currentDateTime());
}

void voxtrail::on_actionExit_triggered(bool) {
    // exit(), not quit(): quit() first closes every window, which would run closeEvent,
    // ask about the changes a second time and store the geometry. Exit leaves the event
    // loop only; the window is destroyed by main() without a close event.
    if (maybeSave()) QCoreApplication::exit(0);
}

void voxtrail::updateTime() { timeLabel->setText(clockText(QTime::currentTime())); }

// Chapters and entries.

Chapter* voxtrail::currentChapter() const {
    return Project::instance().chapter(ui.chapters->currentRow());
}

void voxtrail::refreshChapterList() {
    ui.chapters->clear();
    const Project& project = Project::instance();
    for (const auto& chapter : project.chapters()) {
        auto* item = new QListWidgetItem(chapter->name);
        // Flags before insertion: building the list must not look like a rename.
        item->setFlags(item->flags() | Qt::ItemIsEditable);
        ui.chapters->addItem(item);
    }
    if (project.chapterCount() > 0)
        ui.chapters->setCurrentRow(0);
    else
        rebuildEntryTable();  // clearing the list need not report a selection change
    ui.chapterView->setFocus(Qt::OtherFocusReason);
}

void voxtrail::on_chapters_itemSelectionChanged() { rebuildEntryTable(); }

void voxtrail::rebuildEntryTable() {
    const int c = ui.chapters->currentRow();
    QTableWidget* table = ui.chapterView;
    // The buttons leave their groups now, so that ids stay unique, and are deleted later:
    // this runs inside a row button's own click when playback moves on to the next chapter.
    for (int row = table->rowCount() - 1; row >= 0; --row) {
        for (int column = table->columnCount() - 1; column >= 0; --column) {
            QWidget* widget = table->cellWidget(row, column);
            if (widget == nullptr) continue;
            if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
                ButtonGroupPlayStop->removeButton(button);
                ButtonGroupOpenClose->removeButton(button);
            }
            widget->hide();
            table->removeCellWidget(row, column);  // deletes it later
        }
    }
    table->clearContents();
    table->setRowCount(0);

    const Chapter* chapter = Project::instance().chapter(c);
    if (chapter == nullptr) return;

    table->setRowCount(chapter->entryCount());
    for (int j = 0; j < chapter->entryCount(); ++j) {
        const Entry* entry = chapter->entry(j);
        table->setItem(j, kNameColumn, new QTableWidgetItem(entry->name));
        table->setItem(j, kDescColumn, new QTableWidgetItem(entry->desc));
        auto* playStop = new QPushButton(table);
        playStop->setFlat(true);
        playStop->setFocusPolicy(Qt::NoFocus);
        ButtonGroupPlayStop->addButton(playStop, j);
        table->setCellWidget(j, kPlayStopColumn, playStop);
        auto* openDelete = new QPushButton(table);
        openDelete->setFlat(true);
        openDelete->setFocusPolicy(Qt::NoFocus);
        ButtonGroupOpenClose->addButton(openDelete, j);
        table->setCellWidget(j, kSoundOpenColumn, openDelete);
        table->setItem(j, kNoteColumn, new QTableWidgetItem(entry->note));
        updateRowButtons(j);
    }
    table->resizeRowsToContents();
    for (int column = table->columnCount() - 1; column >= 0; --column)
        table->resizeColumnToContents(column);
    table->resizeRowsToContents();

    setMode(mode);  // column 3 and the edit triggers for the new rows
    if (table->rowCount() > 0) table->selectRow(0);
    table->setFocus(Qt::OtherFocusReason);
}

void voxtrail::updateRowButtons(int row) {
    const Chapter* chapter = currentChapter();
    const Entry* entry = chapter != nullptr ? chapter->entry(row) : nullptr;
    if (entry == nullptr) return;
    auto* openDelete =
        qobject_cast<QAbstractButton*>(ui.chapterView->cellWidget(row, kSoundOpenColumn));
    auto* playStop =
        qobject_cast<QAbstractButton*>(ui.chapterView->cellWidget(row, kPlayStopColumn));
    if (openDelete == nullptr || playStop == nullptr) return;

    openDelete->setIcon(entry->hasSound() ? deleteIcon : openIcon);
    playStop->setEnabled(entry->hasSound());
    // Compared without detaching: detaching the playing entry's bytes while a copy shares
    // them would move them away from under the player.
    const bool playing =
        entry->hasSound() && player.isPlaying() && player.currentData() == entry->soundData();
    playStop->setIcon(playing ? stopIcon : playIcon);
}

void voxtrail::on_addChapter_clicked(bool) {
    commitEdits();
    modified = true;
    Chapter* chapter = Project::instance().addChapter();
    // A name stored in the project, not a text of the window: never translated.
    chapter->name = QStringLiteral("nova kapitola");
    auto* item = new QListWidgetItem(chapter->name);
    item->setFlags(item->flags() | Qt::ItemIsEditable);
    ui.chapters->addItem(item);
    ui.chapters->setCurrentRow(ui.chapters->count() - 1);
}

void voxtrail::on_delChapter_clicked(bool) {
    commitEdits();
    const int r = ui.chapters->currentRow();
    Project& project = Project::instance();
    const Chapter* chapter = project.chapter(r);
    if (chapter == nullptr) return;
    // The player reads the playing entry's bytes in place: it must stop before they go.
    stopPlaybackOf(chapter, nullptr);
    project.removeChapter(r);
    ui.chapters->setCurrentRow(-1);
    refreshChapterList();
    ui.chapters->setCurrentRow(r < project.chapterCount() ? r : r - 1);
    modified = true;
}

void voxtrail::on_chapters_itemChanged(QListWidgetItem* item) {
    if (item == nullptr) return;
    Chapter* chapter = Project::instance().chapter(ui.chapters->row(item));
    if (chapter == nullptr) return;
    modified = true;
    chapter->name = item->text();
}

void voxtrail::on_chapterView_itemChanged(QTableWidgetItem* item) {
    // Cells filled while the table is built are not selected; only the user's edits count.
    if (item == nullptr || item->tableWidget() != ui.chapterView || !item->isSelected()) return;
    const Chapter* chapter = currentChapter();
    Entry* entry = chapter != nullptr ? chapter->entry(item->row()) : nullptr;
    if (entry == nullptr) return;
    switch (item->column()) {
        case kNameColumn:
            entry->name = item->text();
            break;
        case kDescColumn:
            entry->desc = item->text();
            break;
        case kNoteColumn:
            entry->note = item->text();
            break;
        default:
            return;
    }
    modified = true;
}

void voxtrail::on_addLine_clicked(bool) {
    commitEdits();
    const int c = ui.chapters->currentRow();
    Chapter* chapter = Project::instance().chapter(c);
    if (chapter == nullptr) return;
    chapter->addEntry();
    modified = true;
    refreshChapterList();
    ui.chapters->setCurrentRow(c);
    ui.chapterView->selectRow(ui.chapterView->rowCount() - 1);
    ui.chapterView->setFocus(Qt::OtherFocusReason);
}

void voxtrail::on_delLine_clicked(bool) {
    commitEdits();
    const int c = ui.chapters->currentRow();
    const int r = ui.chapterView->currentRow();
    Chapter* chapter = Project::instance().chapter(c);
    if (chapter == nullptr || chapter->entry(r) == nullptr) return;
    stopPlaybackOf(nullptr, chapter->entry(r));
    chapter->removeEntry(r);
    modified = true;
    refreshChapterList();
    ui.chapters->setCurrentRow(c);
    const int rows = ui.chapterView->rowCount();
    if (rows > 0) ui.chapterView->selectRow(r < rows ? r : rows - 1);
    ui.chapterView->setFocus(Qt::OtherFocusReason);
}

void voxtrail::on_ButtonGroupOpenClose_Clicked(int id) {
    const auto entryOfRow = [this, id]() -> Entry* {
        const Chapter* chapter = currentChapter();
        return chapter != nullptr ? chapter->entry(id) : nullptr;
    };
    const int c = ui.chapters->currentRow();
    Entry* entry = entryOfRow();
    if (entry == nullptr) return;

    if (entry->hasSound()) {
        const QMessageBox::StandardButton answer = dialogs.ask(
            tr("The sound will be deleted."), tr("Are you sure you want to delete the sound?"),
            QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes);
        if (answer != QMessageBox::Yes) return;
        // The question ran a nested event loop: find the entry again before touching it.
        if (ui.chapters->currentRow() != c || entryOfRow() != entry) return;
        stopPlaybackOf(nullptr, entry);
        modified = true;
        entry->sound = QByteArray();
        updateRowButtons(id);
        return;
    }

    const QString name = dialogs.getOpenFileName(this, tr("Open File"), QStringLiteral("."),
                                                 tr("Sound Files (*.wav)"));
    if (name.isEmpty()) return;
    if (ui.chapters->currentRow() != c || entryOfRow() != entry) return;
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly)) {
        dialogs.warn(this, tr("The sound file %1 could not be opened.").arg(shownPath(name)),
                     file.errorString());
        return;
    }
    QByteArray bytes = file.readAll();
    // A read that stops short would attach a cut-off sound that nobody notices until the
    // show; the entry keeps what it had instead.
    if (file.error() != QFileDevice::NoError) {
        dialogs.warn(this, tr("The sound file %1 could not be read.").arg(shownPath(name)),
                     file.errorString());
        return;
    }
    file.close();
    modified = true;
    entry->sound = std::move(bytes);
    updateRowButtons(id);
}

// Files.

void voxtrail::on_actionNew_triggered(bool) {
    if (maybeSave()) clearProject();
}

void voxtrail::on_actionClose_triggered(bool) {
    if (maybeSave()) clearProject();
}

void voxtrail::clearProject() {
    // The player reads the playing entry's bytes in place; they are about to go.
    stopPlayback();
    Project::instance().clear();
    playingEntry = nullptr;
    refreshChapterList();
    currentFile.clear();
    modified = false;
}

void voxtrail::on_actionOpen_triggered(bool) {
    if (!maybeSave()) return;
    const QString name = dialogs.getOpenFileName(this, tr("Open File"), QStringLiteral("."),
                                                 tr("Voxtrail Files (*.vx)"));
    if (name.isEmpty()) return;
    openProjectFile(name);
}

bool voxtrail::openProjectFile(const QString& path) {
    bool loaded = false;
    {
        const WaitCursor wait;
        // A load replaces every entry, the playing one too.
        stopPlayback();
        loaded = Project::instance().load(path);
        if (loaded) {
            playingEntry = nullptr;
            currentFile = path;
            modified = false;
            refreshChapterList();
        }
        setMode(PlayMode);
    }
    if (!loaded) {
        dialogs.warn(this, tr("The project %1 could not be opened.").arg(shownPath(path)),
                     projectFailure());
    } else if (!Project::instance().unreadableSounds().empty()) {
        warnUnreadableSounds(path);
    }
    return loaded;
}

void voxtrail::warnUnreadableSounds(const QString& path) {
    const Project& project = Project::instance();
    QStringList lines;
    for (const Project::UnreadableSound& lost : project.unreadableSounds()) {
        const Chapter* chapter = project.chapter(lost.chapter);
        const Entry* entry = chapter != nullptr ? chapter->entry(lost.entry) : nullptr;
        if (entry == nullptr) continue;
        // One pass over the texts: a name holding "%1" must stay as it is.
        lines << tr("Chapter %1 \"%2\", entry %3 \"%4\": %5")
                     .arg(QString::number(lost.chapter + 1), chapter->name,
                          QString::number(lost.entry + 1), entry->name, lost.reason);
    }
    dialogs.warn(this,
                 tr("Some sounds in %1 could not be read; their entries have no sound now.")
                     .arg(shownPath(path)),
                 lines.join(QLatin1Char('\n')) + QStringLiteral("\n\n") +
                     tr("Saving the project will keep these entries without a sound."));
}

int voxtrail::saveForSignalEnd() {
    stopPlayback();
    commitEdits();
    if (!modified) return 0;
    const QString folder = recoveryFolder();
    const QDateTime now = QDateTime::currentDateTime();
    QString path;
    for (int attempt = 1; attempt <= 100 && path.isEmpty(); ++attempt) {
        const QString candidate =
            QDir(folder).filePath(recoveryFileName(currentFile, now, attempt));
        // An earlier recovered project is never replaced.
        if (!QFileInfo::exists(candidate)) path = candidate;
    }
    QString failure;
    if (!QDir().mkpath(folder))
        failure = tr("the folder %1 cannot be created").arg(shownPath(folder));
    else if (path.isEmpty())
        failure = tr("no unused file name is left in %1").arg(shownPath(folder));
    else if (!Project::instance().save(path))
        failure = projectFailure();
    const QByteArray line =
        (failure.isEmpty()
             ? tr("voxtrail: the unsaved changes were saved to %1").arg(shownPath(path))
             : tr("voxtrail: the unsaved changes could not be saved: %1").arg(failure))
            .toLocal8Bit() +
        '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
    if (!failure.isEmpty()) return 1;
    modified = false;
    return 0;
}

void voxtrail::on_actionSave_triggered(bool) { saveProject(); }

void voxtrail::on_actionSave_As_triggered(bool) { saveProjectAs(); }

bool voxtrail::saveProject() {
    // The text being typed in a cell is what the user sees; it belongs in the file.
    commitEdits();
    if (currentFile.isEmpty()) return saveProjectAs();
    return saveProjectFile(currentFile);
}

bool voxtrail::saveProjectAs() {
    commitEdits();
    // The name is used as the dialog returns it: no extension is added.
    const QString name = dialogs.getSaveFileName(this, tr("Open voxtrail file"),
                                                 QStringLiteral("."), tr("Voxtrail Files (*.vx)"));
    if (name.isEmpty()) return false;
    return saveProjectFile(name);
}

bool voxtrail::saveProjectFile(const QString& path) {
    bool saved = false;
    {
        const WaitCursor wait;
        saved = Project::instance().save(path);
        if (saved) {
            currentFile = path;
            modified = false;
        }
    }
    if (!saved) {
        dialogs.warn(this, tr("The project could not be saved as %1.").arg(shownPath(path)),
                     projectFailure());
    }
    return saved;
}

// Playback.

void voxtrail::on_multimediaPLAY_clicked(bool) {
    stopPlayback();
    playSelected(nullptr);
}

void voxtrail::on_multimediaSTOP_clicked(bool) { stopPlayback(); }

// PAUSE is disabled in the form and has no effect.
void voxtrail::on_multimediaPAUSE_clicked(bool) {}

void voxtrail::on_ButtonGroupPlayStop_Clicked(int id) {
    // A sound that has ended since the last clock tick is no longer "the one playing": the
    // click must play, not stop a sound that is silent already.
    noticeSoundEnded();
    Entry* previous = playingEntry;
    stopPlayback();
    if (id < 0 || id >= ui.chapterView->rowCount()) return;
    ui.chapterView->selectRow(id);
    ui.chapterView->setFocus(Qt::OtherFocusReason);
    playSelected(previous);
}

void voxtrail::stopPlayback() {
    if (playingEntry == nullptr) return;
    player.stop();
    if (const Chapter* chapter = currentChapter()) {
        const int row = chapter->indexOf(playingEntry);
        if (row >= 0) updateRowButtons(row);
    }
    playingEntry = nullptr;
    ui.chapterView->setFocus(Qt::OtherFocusReason);
}

void voxtrail::stopPlaybackOf(const Chapter* chapter, const Entry* entry) {
    if (playingEntry == nullptr) return;
    if (playingEntry == entry || (chapter != nullptr && chapter->indexOf(playingEntry) >= 0))
        stopPlayback();
}

void voxtrail::playSelected(Entry* previous) {
    const int c = ui.chapters->currentRow();
    int r = ui.chapterView->currentRow();
    const int chapterCount = Project::instance().chapterCount();
    if (r < 0) {
        if (ui.chapterView->rowCount() == 0) {
            if (c + 1 < chapterCount) ui.chapters->setCurrentRow(c + 1);
            return;
        }
        ui.chapterView->selectRow(0);
        r = 0;
    }
    const Chapter* chapter = Project::instance().chapter(c);
    Entry* entry = chapter != nullptr ? chapter->entry(r) : nullptr;
    if (entry == nullptr) return;
    if (entry == previous) {
        ui.chapterView->setFocus(Qt::OtherFocusReason);
        return;
    }
    if (entry->hasSound()) {
        player.play(entry->ownSoundData(), entry->sound.size());
        playingEntry = entry;
        updateRowButtons(r);
        if (!player.playError().empty()) {
            statusBar()->showMessage(
                tr("Cannot play \"%1\": %2")
                    .arg(entry->name, QString::fromStdString(player.playError())),
                kProblemMessageTime);
        }
    }
    if (r + 1 < ui.chapterView->rowCount())
        ui.chapterView->selectRow(r + 1);
    else if (c + 1 < chapterCount)
        ui.chapters->setCurrentRow(c + 1);
    ui.chapterView->setFocus(Qt::OtherFocusReason);
}

void voxtrail::noticeSoundEnded() {
    // Frees a sound that has ended, here on the main thread: SDL_mixer may not be called
    // from its end-of-music handler.
    player.takeFinished();
    if (playingEntry == nullptr || player.isPlaying()) return;
    player.stop();
    const Entry* ended = std::exchange(playingEntry, nullptr);
    // The focus stays where it is: this runs on a timer, maybe while the user types.
    if (const Chapter* chapter = currentChapter()) {
        const int row = chapter->indexOf(ended);
        if (row >= 0) updateRowButtons(row);
    }
}
