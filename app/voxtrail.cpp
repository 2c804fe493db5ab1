#include "app/voxtrail.h"

#include <QActionGroup>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QDateTime>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QSettings>
#include <QTimer>

#include "app/app_resources.h"
#include "app/window_geometry.h"
#include "app/window_texts.h"

namespace {

const char kOrganisation[] = "Skyvane";
const char kApplication[] = "voxtrail";
const char kGeometryKey[] = "geometry";
const char kStyleSheet[] = ":/style/voxtrail.qss";
constexpr int kClockInterval = 1000;  // ms
constexpr int kSoundOpenColumn = 3;   // shown in Edit mode only

QString loadStyleSheet() {
    QFile file(QString::fromLatin1(kStyleSheet));
    if (!file.open(QIODevice::ReadOnly)) return QString();
    return QString::fromUtf8(file.readAll());
}

}  // namespace

voxtrail::voxtrail(QWidget* parent, Qt::WindowFlags flags) : QMainWindow(parent, flags) {
    // The form's icons and the style sheet come from the resources.
    initAppResources();
    ui.setupUi(this);
    setStyleSheet(loadStyleSheet());

    ui.chapterView->setColumnCount(5);
    ui.chapterView->setHorizontalHeaderLabels(
        {tr("Name"), tr("Description"), tr("Sound"), tr("Open sound"), tr("Note")});
    ui.chapterView->resizeColumnsToContents();

    const QRect initial = initialWindowGeometry(currentScreenLayout());
    if (initial.isValid()) setGeometry(initial);

    timeLabel = new QLabel(this);
    statusBar()->addPermanentWidget(timeLabel);
    clockTimer = new QTimer(this);
    connect(clockTimer, &QTimer::timeout, this, &voxtrail::updateTime);
    clockTimer->start(kClockInterval);
    statusBar()->addWidget(new QLabel(tr("Ready"), this));

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
}

voxtrail::~voxtrail() = default;

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
    // The player is stopped here once it joins the window.
    commitEdits();
    if (!modified) return true;
    QMessageBox box;
    box.setText(tr("The document has been modified."));
    box.setInformativeText(tr("Do you want to save your changes?"));
    box.setStandardButtons(QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Save);
    switch (box.exec()) {
        case QMessageBox::Save:
            on_actionSave_triggered();
            return true;
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
    const QDateTime now = QDateTime::currentDateTime();
    shot.save(screenshotFileName(now.date(), now.time()));
}

void voxtrail::on_actionExit_triggered(bool) {
    if (maybeSave()) QCoreApplication::quit();
}

void voxtrail::updateTime() { timeLabel->setText(clockText(QTime::currentTime())); }

// The handlers below need the project model and the sound player; they are bound by name
// already and gain their bodies together with those members.

void voxtrail::on_chapters_itemSelectionChanged() {}
void voxtrail::on_chapters_itemChanged(QListWidgetItem*) {}
void voxtrail::on_addChapter_clicked(bool) {}
void voxtrail::on_delChapter_clicked(bool) {}
void voxtrail::on_chapterView_itemChanged(QTableWidgetItem*) {}
void voxtrail::on_addLine_clicked(bool) {}
void voxtrail::on_delLine_clicked(bool) {}
void voxtrail::on_ButtonGroupOpenClose_Clicked(int) {}
void voxtrail::refreshChapterList() { ui.chapterView->setFocus(Qt::OtherFocusReason); }
void voxtrail::updateRowButtons(int) {}

void voxtrail::on_actionNew_triggered(bool) {}
void voxtrail::on_actionSave_triggered(bool) {}
void voxtrail::on_actionSave_As_triggered(bool) {}
void voxtrail::on_actionOpen_triggered(bool) {}
void voxtrail::on_actionClose_triggered(bool) {}
void voxtrail::openProjectFile(const QString&) {}
void voxtrail::saveProjectFile(const QString&) {}

void voxtrail::on_multimediaPLAY_clicked(bool) {}
void voxtrail::on_multimediaSTOP_clicked(bool) {}
// PAUSE is disabled in the form and has no effect.
void voxtrail::on_multimediaPAUSE_clicked(bool) {}
void voxtrail::on_ButtonGroupPlayStop_Clicked(int) {}
void voxtrail::stopPlayback() {}
void voxtrail::playSelected(Entry*) {}
