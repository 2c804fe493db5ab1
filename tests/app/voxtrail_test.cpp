#include "app/voxtrail.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QActionGroup>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDial>
#include <QDir>
#include <QDockWidget>
#include <QFile>
#include <QFrame>
#include <QGroupBox>
#include <QHeaderView>
#include <QLCDNumber>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTableWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <memory>

#include "app/qmenubarcustom.h"
#include "app/window_geometry.h"
#include "app/window_texts.h"

namespace {

// Every test builds a fresh window; the settings store is private to the test run and
// emptied so that no stored geometry leaks from one test into the next.
class VoxtrailWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        settings().clear();
        settings().sync();
        window = std::make_unique<voxtrail>();
    }
    void TearDown() override {
        window.reset();
        settings().clear();
    }
    static QSettings& settings() {
        static QSettings store(QSettings::NativeFormat, QSettings::UserScope,
                               QStringLiteral("Skyvane"), QStringLiteral("voxtrail"));
        return store;
    }
    template <typename T>
    T* child(const char* name) {
        return window->findChild<T*>(QString::fromLatin1(name));
    }
    QAction* action(const char* name) { return child<QAction>(name); }

    std::unique_ptr<voxtrail> window;
};

QStringList actionNames(const QWidget* widget) {
    QStringList names;
    for (const QAction* a : widget->actions())
        names << (a->isSeparator() ? QStringLiteral("-") : a->objectName());
    return names;
}

TEST_F(VoxtrailWindow, EveryNamedObjectExistsWithItsType) {
    EXPECT_EQ(window->objectName(), QStringLiteral("voxtrailClass"));
    EXPECT_STREQ(window->metaObject()->className(), "voxtrail");

    struct Named {
        const char* name;
        const char* type;
    };
    const Named widgets[] = {
        {"centralWidget", "QWidget"},
        {"centralWidget_2", "QStackedWidget"},
        {"central1_main", "QWidget"},
        {"chapters", "QListWidget"},
        {"line", "QFrame"},
        {"chapterView", "QTableWidget"},
        {"central2_options", "QWidget"},
        {"groupBox", "QGroupBox"},
        {"dial", "QDial"},
        {"label_2", "QLabel"},
        {"progressBar", "QProgressBar"},
        {"lcdNumber", "QLCDNumber"},
        {"groupBox_2", "QGroupBox"},
        {"checkBox", "QCheckBox"},
        {"checkBox_2", "QCheckBox"},
        {"central3_help", "QWidget"},
        {"menuBar", "QMenuBar"},
        {"menuFile", "QMenu"},
        {"menuView", "QMenu"},
        {"menuMode", "QMenu"},
        {"menuControls", "QMenu"},
        {"menuAbout", "QMenu"},
        {"toolBar", "QToolBar"},
        {"statusBar", "QStatusBar"},
        {"modeBar", "QToolBar"},
        {"rightDock", "QDockWidget"},
        {"rightDock_Content", "QWidget"},
        {"line_2", "QFrame"},
        {"addChapter", "QToolButton"},
        {"delChapter", "QToolButton"},
        {"addLine", "QToolButton"},
        {"delLine", "QToolButton"},
        {"bottomDock", "QDockWidget"},
        {"bottomDock_Content", "QWidget"},
        {"multimediaPLAY", "QToolButton"},
        {"multimediaSTOP", "QToolButton"},
        {"multimediaPAUSE", "QToolButton"},
    };
    for (const Named& w : widgets) {
        QObject* found = window->findChild<QObject*>(QString::fromLatin1(w.name));
        ASSERT_NE(found, nullptr) << w.name;
        EXPECT_STREQ(found->metaObject()->className(), w.type) << w.name;
    }
    const Named layouts[] = {
        {"gridLayout_9", "QGridLayout"},   {"gridLayout", "QGridLayout"},
        {"grid_main", "QGridLayout"},      {"gridLayout_5", "QGridLayout"},
        {"gridLayout_2", "QGridLayout"},   {"gridLayout_6", "QGridLayout"},
        {"verticalLayout", "QVBoxLayout"}, {"horizontalLayout", "QHBoxLayout"},
    };
    for (const Named& l : layouts) {
        QObject* found = window->findChild<QObject*>(QString::fromLatin1(l.name));
        ASSERT_NE(found, nullptr) << l.name;
        EXPECT_STREQ(found->metaObject()->className(), l.type) << l.name;
    }
    // The menu bar is the custom subclass, installed as the window's menu bar.
    EXPECT_NE(dynamic_cast<QMenuBarCustom*>(window->menuBar()), nullptr);
    EXPECT_EQ(window->menuBar(), child<QMenuBar>("menuBar"));
    EXPECT_EQ(window->statusBar(), child<QStatusBar>("statusBar"));
}

TEST_F(VoxtrailWindow, FormPropertiesShapeTheWidgets) {
    auto* stack = child<QStackedWidget>("centralWidget_2");
    EXPECT_EQ(stack->count(), 3);
    EXPECT_EQ(stack->widget(0)->objectName(), QStringLiteral("central1_main"));
    EXPECT_EQ(stack->widget(1)->objectName(), QStringLiteral("central2_options"));
    EXPECT_EQ(stack->widget(2)->objectName(), QStringLiteral("central3_help"));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("voxtrail"));
    EXPECT_TRUE(window->isDockNestingEnabled());

    auto* chapters = child<QListWidget>("chapters");
    EXPECT_EQ(chapters->maximumHeight(), 60);
    EXPECT_EQ(chapters->flow(), QListView::LeftToRight);
    EXPECT_EQ(chapters->frameShape(), QFrame::NoFrame);
    EXPECT_EQ(chapters->dragDropMode(), QAbstractItemView::NoDragDrop);
    EXPECT_EQ(chapters->viewport()->cursor().shape(), Qt::IBeamCursor);

    auto* table = child<QTableWidget>("chapterView");
    ASSERT_EQ(table->columnCount(), 5);
    const QStringList headers = {"Name", "Description", "Sound", "Open sound", "Note"};
    for (int c = 0; c < 5; ++c) EXPECT_EQ(table->horizontalHeaderItem(c)->text(), headers[c]) << c;
    EXPECT_EQ(table->viewport()->cursor().shape(), Qt::IBeamCursor);
    EXPECT_TRUE(table->alternatingRowColors());
    EXPECT_EQ(table->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(table->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_TRUE(table->horizontalHeader()->stretchLastSection());
    EXPECT_TRUE(table->horizontalHeader()->cascadingSectionResizes());
    EXPECT_FALSE(table->verticalHeader()->stretchLastSection());

    auto* lcd = child<QLCDNumber>("lcdNumber");
    EXPECT_EQ(lcd->digitCount(), 5);
    EXPECT_EQ(lcd->intValue(), 12345);
    EXPECT_EQ(child<QProgressBar>("progressBar")->value(), 24);
    EXPECT_EQ(child<QProgressBar>("progressBar")->geometry(), QRect(40, 190, 118, 23));
    EXPECT_EQ(child<QDial>("dial")->geometry(), QRect(250, 200, 141, 81));
    EXPECT_TRUE(child<QDial>("dial")->notchesVisible());
    EXPECT_EQ(child<QLabel>("label_2")->text(), QStringLiteral("Master Volume"));
    EXPECT_EQ(child<QGroupBox>("groupBox_2")->title(), QStringLiteral("Night Mode"));
    EXPECT_TRUE(child<QCheckBox>("checkBox")->isChecked());
    EXPECT_FALSE(child<QCheckBox>("checkBox_2")->isChecked());

    for (const char* name : {"rightDock", "bottomDock"}) {
        auto* dock = child<QDockWidget>(name);
        EXPECT_EQ(dock->features(), QDockWidget::NoDockWidgetFeatures) << name;
        // An empty title-bar widget hides the title bar.
        ASSERT_NE(dock->titleBarWidget(), nullptr) << name;
        EXPECT_EQ(dock->titleBarWidget()->layout(), nullptr) << name;
    }
    EXPECT_EQ(window->dockWidgetArea(child<QDockWidget>("rightDock")), Qt::RightDockWidgetArea);
    EXPECT_EQ(window->dockWidgetArea(child<QDockWidget>("bottomDock")), Qt::BottomDockWidgetArea);
    EXPECT_EQ(child<QDockWidget>("rightDock")->maximumWidth(), 76);
    EXPECT_EQ(child<QDockWidget>("bottomDock")->maximumHeight(), 120);

    struct Button {
        const char* name;
        const char* text;
        bool enabled;
    };
    for (const Button& b :
         {Button{"multimediaPLAY", "PLAY", true}, Button{"multimediaSTOP", "STOP", true},
          Button{"multimediaPAUSE", "PAUSE", false}}) {
        auto* button = child<QToolButton>(b.name);
        EXPECT_EQ(button->text(), QString::fromLatin1(b.text));
        EXPECT_EQ(button->isEnabled(), b.enabled) << b.name;
        EXPECT_EQ(button->minimumWidth(), 120);
        EXPECT_EQ(button->maximumWidth(), 120);
        EXPECT_EQ(button->iconSize(), QSize(66, 66));
        EXPECT_EQ(button->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
        EXPECT_FALSE(button->icon().isNull()) << b.name;
    }
    EXPECT_EQ(child<QToolButton>("addChapter")->text(), QStringLiteral("Add chapter"));
    EXPECT_EQ(child<QToolButton>("addChapter")->toolButtonStyle(), Qt::ToolButtonTextOnly);
    EXPECT_TRUE(child<QToolButton>("addChapter")->icon().isNull());
    EXPECT_EQ(child<QToolButton>("delChapter")->text(), QStringLiteral("Delete chapter"));
    EXPECT_EQ(child<QToolButton>("addLine")->text(), QStringLiteral("Add line"));
    EXPECT_FALSE(child<QToolButton>("addLine")->icon().isNull());
    EXPECT_EQ(child<QToolButton>("delLine")->text(), QStringLiteral("Delete line"));
    EXPECT_FALSE(child<QToolButton>("delLine")->icon().isNull());

    // The right dock's buttons in their layout order.
    QStringList order;
    QLayout* column = child<QWidget>("rightDock_Content")->layout();
    for (int i = 0; i < column->count(); ++i)
        if (QWidget* w = column->itemAt(i)->widget()) order << w->objectName();
    EXPECT_EQ(order, QStringList({"line_2", "addChapter", "delChapter", "addLine", "delLine"}));
    QStringList players;
    QLayout* row = child<QWidget>("bottomDock_Content")->layout();
    for (int i = 0; i < row->count(); ++i)
        if (QWidget* w = row->itemAt(i)->widget()) players << w->objectName();
    EXPECT_EQ(players, QStringList({"multimediaPLAY", "multimediaSTOP", "multimediaPAUSE"}));
}

TEST_F(VoxtrailWindow, ActionsMatchTheTableRowByRow) {
    struct Row {
        const char* name;
        const char* text;
        const char* statusTip;
        const char* shortcut;
        const char* icon;  // resource path, or empty for no icon
        bool checkable;
        bool checked;
    };
    const Row rows[] = {
        {"actionNew", "&New", "Create new project", "Ctrl+N", ":/gfx/icons/file/new.png", false,
         false},
        {"actionOpen", "&Open", "Open new project", "Ctrl+O", ":/gfx/icons/file/open.png", false,
         false},
        {"actionClose", "&Close", "", "", "", false, false},
        {"actionSave", "&Save", "Save current project", "Ctrl+S", ":/gfx/icons/file/save.png",
         false, false},
        {"actionSave_As", "Save &As ...", "", "Ctrl+Shift+S", "", false, false},
        {"actionExit", "&Exit", "", "Ctrl+Q", "", false, false},
        {"actionPlay", "Play", "", "Alt+1", ":/gfx/icons/mode/play.png", true, true},
        {"actionEdit", "Edit", "", "Alt+2", ":/gfx/icons/mode/edit.png", true, false},
        {"actionOptions", "Options", "", "Alt+3", ":/gfx/icons/mode/options.png", true, false},
        {"actionHelp", "Help", "", "Alt+4", ":/gfx/icons/mode/help.png", true, false},
        {"actionHelp_2", "&Help", "", "F1", ":/gfx/icons/mode/help.png", true, false},
        {"actionFullscreen", "&Fullscreen", "", "F11", "", true, false},
        {"actionAbout", "&About", "", "", "", false, false},
        {"actionPrintscreen", "&Printscreen", "", "", "", false, false},
        {"actionKeyPlay", "Play", "", "Space", ":/gfx/icons/player_controls/play.png", false,
         false},
        {"actionKeyStop", "Stop", "", "Esc", ":/gfx/icons/player_controls/stop.png", false, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        QAction* a = action(r.name);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->parent(), window.get());
        EXPECT_EQ(a->text(), QString::fromUtf8(r.text));
        EXPECT_EQ(a->statusTip(), QString::fromUtf8(r.statusTip));
        EXPECT_EQ(a->shortcut(), QKeySequence(QString::fromLatin1(r.shortcut)));
        EXPECT_EQ(a->isCheckable(), r.checkable);
        EXPECT_EQ(a->isChecked(), r.checked);
        if (*r.icon == '\0') {
            EXPECT_TRUE(a->icon().isNull());
        } else {
            // The icon is the resource image: same pixels at the icon's full size.
            ASSERT_FALSE(a->icon().isNull());
            const QImage expected(QString::fromLatin1(r.icon));
            ASSERT_EQ(expected.size(), QSize(128, 128));
            const auto premultiplied = QImage::Format_ARGB32_Premultiplied;
            EXPECT_EQ(a->icon().pixmap(QSize(128, 128)).toImage().convertToFormat(premultiplied),
                      expected.convertToFormat(premultiplied));
        }
    }
    // The mode group holds the four mode actions in mode order, exclusively.
    const QList<QAction*> modes = window->findChild<QActionGroup*>()->actions();
    ASSERT_EQ(modes.size(), 4);
    EXPECT_EQ(modes[0], action("actionPlay"));
    EXPECT_EQ(modes[1], action("actionEdit"));
    EXPECT_EQ(modes[2], action("actionOptions"));
    EXPECT_EQ(modes[3], action("actionHelp"));
    EXPECT_TRUE(window->findChild<QActionGroup*>()->isExclusive());
}

TEST_F(VoxtrailWindow, MenusAndToolBarsHoldTheirActionsInOrder) {
    QStringList menus;
    for (QAction* a : window->menuBar()->actions()) menus << a->menu()->objectName();
    EXPECT_EQ(menus, QStringList({"menuFile", "menuView", "menuControls", "menuAbout"}));

    auto* file = child<QMenu>("menuFile");
    EXPECT_EQ(file->title(), QStringLiteral("&File"));
    EXPECT_EQ(actionNames(file), QStringList({"actionNew", "actionOpen", "-", "actionClose", "-",
                                              "actionSave", "actionSave_As", "-", "actionExit"}));
    auto* view = child<QMenu>("menuView");
    EXPECT_EQ(view->title(), QStringLiteral("&View"));
    const QList<QAction*> viewActions = view->actions();
    ASSERT_EQ(viewActions.size(), 3);
    EXPECT_EQ(viewActions[0]->menu(), child<QMenu>("menuMode"));
    EXPECT_TRUE(viewActions[1]->isSeparator());
    EXPECT_EQ(viewActions[2], action("actionFullscreen"));
    EXPECT_EQ(child<QMenu>("menuMode")->title(), QStringLiteral("&Mode"));
    EXPECT_EQ(actionNames(child<QMenu>("menuMode")), QStringList({"actionPlay", "actionEdit"}));
    EXPECT_EQ(child<QMenu>("menuControls")->title(), QStringLiteral("&Playback"));
    EXPECT_EQ(actionNames(child<QMenu>("menuControls")),
              QStringList({"actionKeyPlay", "actionKeyStop"}));
    EXPECT_EQ(child<QMenu>("menuAbout")->title(), QStringLiteral("&Help"));
    EXPECT_EQ(actionNames(child<QMenu>("menuAbout")),
              QStringList({"actionAbout", "actionPrintscreen"}));

    auto* toolBar = child<QToolBar>("toolBar");
    EXPECT_EQ(actionNames(toolBar), QStringList({"actionNew", "actionOpen", "actionSave"}));
    EXPECT_EQ(window->toolBarArea(toolBar), Qt::TopToolBarArea);
    EXPECT_EQ(toolBar->iconSize(), QSize(32, 32));
    EXPECT_EQ(toolBar->windowTitle(), QStringLiteral("Tool bar"));
    EXPECT_TRUE(toolBar->isMovable());
    auto* modeBar = child<QToolBar>("modeBar");
    EXPECT_EQ(actionNames(modeBar), QStringList({"actionPlay", "actionEdit"}));
    EXPECT_EQ(window->toolBarArea(modeBar), Qt::LeftToolBarArea);
    EXPECT_EQ(modeBar->iconSize(), QSize(64, 64));
    EXPECT_EQ(modeBar->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
    EXPECT_EQ(modeBar->windowTitle(), QStringLiteral("Mode selector"));
    EXPECT_FALSE(modeBar->isMovable());

    // Actions placed nowhere sit on no menu or tool bar.
    for (const char* name : {"actionOptions", "actionHelp", "actionHelp_2"})
        EXPECT_TRUE(action(name)->associatedObjects().isEmpty()) << name;
}

TEST_F(VoxtrailWindow, StyleSheetIsTheResourceTextByteForByte) {
    QFile resource(QStringLiteral(":/style/voxtrail.qss"));
    ASSERT_TRUE(resource.open(QIODevice::ReadOnly));
    const QByteArray bytes = resource.readAll();
    EXPECT_EQ(bytes.size(), 1232);
    EXPECT_TRUE(bytes.startsWith(" QHeaderView::section {\n\t "));
    EXPECT_TRUE(bytes.endsWith("stretch stretch;\t\n}\n\n"));
    EXPECT_EQ(window->styleSheet().toUtf8(), bytes);
}

TEST_F(VoxtrailWindow, ImageResourcesHaveTheirSizes) {
    struct Image {
        const char* path;
        QSize size;
    };
    const Image images[] = {
        {":/gfx/splash.png", {320, 240}},
        {":/gfx/skin/background.png", {256, 1}},
        {":/gfx/skin/header.png", {256, 25}},
        {":/gfx/icons/file/new.png", {128, 128}},
        {":/gfx/icons/file/open.png", {128, 128}},
        {":/gfx/icons/file/save.png", {128, 128}},
        {":/gfx/icons/mode/play.png", {128, 128}},
        {":/gfx/icons/mode/edit.png", {128, 128}},
        {":/gfx/icons/mode/options.png", {128, 128}},
        {":/gfx/icons/mode/help.png", {128, 128}},
        {":/gfx/icons/others/add.png", {128, 128}},
        {":/gfx/icons/others/remove.png", {128, 128}},
        {":/gfx/icons/others/delete.png", {128, 128}},
        {":/gfx/icons/player_controls/play.png", {128, 128}},
        {":/gfx/icons/player_controls/stop.png", {128, 128}},
        {":/gfx/icons/player_controls/pause.png", {128, 128}},
    };
    for (const Image& i : images)
        EXPECT_EQ(QImage(QString::fromLatin1(i.path)).size(), i.size) << i.path;
}

TEST_F(VoxtrailWindow, StartsInPlayModeWithReadyAndAnEmptyClock) {
    EXPECT_EQ(window->currentMode(), voxtrail::PlayMode);
    EXPECT_FALSE(window->isModified());
    EXPECT_TRUE(window->currentFilePath().isEmpty());

    QStringList labels;
    for (QLabel* l : window->statusBar()->findChildren<QLabel*>()) labels << l->text();
    EXPECT_TRUE(labels.contains(QStringLiteral("Ready"))) << labels.join(',').toStdString();
    EXPECT_TRUE(labels.contains(QString())) << "the clock label is empty until the first tick";

    auto* timer = window->findChild<QTimer*>();
    ASSERT_NE(timer, nullptr);
    EXPECT_TRUE(timer->isActive());
    EXPECT_EQ(timer->interval(), 1000);
    // A tick writes hours and minutes into the permanent label.
    ASSERT_TRUE(QMetaObject::invokeMethod(window.get(), "updateTime"));
    QStringList after;
    for (QLabel* l : window->statusBar()->findChildren<QLabel*>()) after << l->text();
    after.removeAll(QStringLiteral("Ready"));
    ASSERT_EQ(after.size(), 1);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^([0-9]|1[0-9]|2[0-3]):[0-5][0-9]$"))
                    .match(after[0])
                    .hasMatch())
        << after[0].toStdString();
}

TEST_F(VoxtrailWindow, ModesSwitchPageDocksColumnAndEditTriggers) {
    window->show();
    auto* stack = child<QStackedWidget>("centralWidget_2");
    auto* table = child<QTableWidget>("chapterView");
    auto* right = child<QDockWidget>("rightDock");
    auto* bottom = child<QDockWidget>("bottomDock");
    struct Expect {
        const char* action;
        int mode;
        int page;
        bool rightShown, bottomShown, column3Shown;
        QAbstractItemView::EditTriggers triggers;
    };
    const auto none = QAbstractItemView::EditTriggers(QAbstractItemView::NoEditTriggers);
    const auto edit = QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed;
    // Starting state first, then every switch, ending back in Play.
    const Expect steps[] = {
        {nullptr, 0, 0, false, true, false, none},
        {"actionEdit", 1, 0, true, false, true, edit},
        {"actionOptions", 2, 1, false, false, false, none},
        {"actionHelp", 3, 2, false, false, false, none},
        {"actionEdit", 1, 0, true, false, true, edit},
        {"actionPlay", 0, 0, false, true, false, none},
    };
    for (const Expect& e : steps) {
        SCOPED_TRACE(e.action ? e.action : "start");
        if (e.action) action(e.action)->trigger();
        EXPECT_EQ(window->currentMode(), e.mode);
        EXPECT_EQ(stack->currentIndex(), e.page);
        EXPECT_EQ(right->isVisible(), e.rightShown);
        EXPECT_EQ(bottom->isVisible(), e.bottomShown);
        EXPECT_EQ(!table->isColumnHidden(3), e.column3Shown);
        EXPECT_EQ(table->editTriggers(), e.triggers);
        // Exactly the mode's action is checked.
        const QList<QAction*> group = window->findChild<QActionGroup*>()->actions();
        for (int i = 0; i < group.size(); ++i) EXPECT_EQ(group[i]->isChecked(), i == e.mode);
        // The table takes the keyboard focus, wherever it was.
        EXPECT_EQ(window->focusWidget(), table);
        child<QListWidget>("chapters")->setFocus(Qt::OtherFocusReason);
    }
    // A mode number outside 0 to 3 changes nothing.
    window->setMode(7);
    window->setMode(-1);
    EXPECT_EQ(window->currentMode(), voxtrail::PlayMode);
    EXPECT_TRUE(action("actionPlay")->isChecked());
    // F1's action reaches Help through actionHelp.
    action("actionHelp_2")->trigger();
    EXPECT_EQ(window->currentMode(), voxtrail::HelpMode);
    EXPECT_TRUE(action("actionHelp")->isChecked());
}

TEST_F(VoxtrailWindow, PlaybackActionsClickThePlayerButtons) {
    QSignalSpy play(child<QToolButton>("multimediaPLAY"), &QAbstractButton::clicked);
    QSignalSpy stop(child<QToolButton>("multimediaSTOP"), &QAbstractButton::clicked);
    action("actionKeyPlay")->trigger();
    EXPECT_EQ(play.count(), 1);
    EXPECT_EQ(stop.count(), 0);
    action("actionKeyStop")->trigger();
    EXPECT_EQ(play.count(), 1);
    EXPECT_EQ(stop.count(), 1);
    // The buttons click also while their dock is hidden in another mode.
    action("actionEdit")->trigger();
    ASSERT_FALSE(child<QDockWidget>("bottomDock")->isVisible());
    action("actionKeyPlay")->trigger();
    EXPECT_EQ(play.count(), 2);
}

TEST_F(VoxtrailWindow, FullscreenActionTogglesFullScreen) {
    window->show();
    action("actionFullscreen")->trigger();
    EXPECT_TRUE(window->isFullScreen());
    EXPECT_TRUE(action("actionFullscreen")->isChecked());
    action("actionFullscreen")->trigger();
    EXPECT_FALSE(window->isFullScreen());
    EXPECT_FALSE(action("actionFullscreen")->isChecked());
}

TEST_F(VoxtrailWindow, InitialGeometryComesFromTheScreens) {
    const QRect expected = initialWindowGeometry(currentScreenLayout());
    ASSERT_TRUE(expected.isValid());
    EXPECT_EQ(window->geometry(), expected);
}

TEST_F(VoxtrailWindow, ClosingStoresGeometryAndTheNextWindowRestoresIt) {
    window->show();
    window->setGeometry(QRect(37, 41, 620, 540));
    const QRect placed = window->geometry();
    ASSERT_NE(placed, initialWindowGeometry(currentScreenLayout()));
    ASSERT_TRUE(window->close());
    window.reset();
    settings().sync();
    ASSERT_TRUE(settings().contains(QStringLiteral("geometry")));

    window = std::make_unique<voxtrail>();
    EXPECT_EQ(window->geometry(), placed);
    EXPECT_FALSE(action("actionFullscreen")->isChecked());

    // Full screen comes back checked.
    window->show();
    action("actionFullscreen")->trigger();
    ASSERT_TRUE(window->isFullScreen());
    ASSERT_TRUE(window->close());
    window = std::make_unique<voxtrail>();
    EXPECT_TRUE(window->isFullScreen());
    EXPECT_TRUE(action("actionFullscreen")->isChecked());
}

TEST_F(VoxtrailWindow, ExitAndGarbageSettingsLeaveGeometryAlone) {
    action("actionExit")->trigger();
    settings().sync();
    EXPECT_FALSE(settings().contains(QStringLiteral("geometry")));

    // A damaged stored value is ignored: the computed placement stays.
    settings().setValue(QStringLiteral("geometry"), QByteArray("not a geometry"));
    settings().sync();
    window = std::make_unique<voxtrail>();
    EXPECT_EQ(window->geometry(), initialWindowGeometry(currentScreenLayout()));
}

TEST_F(VoxtrailWindow, PrintscreenWritesAnImageOfTheWindow) {
    window->show();
    const QDir dir(QDir::currentPath());
    const QStringList before = dir.entryList({QStringLiteral("_*.png")}, QDir::Files);
    for (const QString& name : before) QFile::remove(dir.filePath(name));
    action("actionPrintscreen")->trigger();
    const QStringList shots = dir.entryList({QStringLiteral("_*.png")}, QDir::Files);
    ASSERT_EQ(shots.size(), 1);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^_\\d{4}-\\d{2}-\\d{2}_\\d{6}\\.png$"))
                    .match(shots[0])
                    .hasMatch())
        << shots[0].toStdString();
    EXPECT_EQ(QImage(dir.filePath(shots[0])).size(), window->grab().size());
    QFile::remove(dir.filePath(shots[0]));
}

TEST_F(VoxtrailWindow, PrintscreenNeverOverwritesAShotOfTheSameSecond) {
    window->show();
    const QDir dir(QDir::currentPath());
    for (const QString& name : dir.entryList({QStringLiteral("_*.png")}, QDir::Files))
        QFile::remove(dir.filePath(name));
    // The names of this second and the next few are taken already.
    const QDateTime now = QDateTime::currentDateTime();
    QStringList taken;
    for (int s = 0; s < 5; ++s) {
        const QDateTime t = now.addSecs(s);
        taken << screenshotFileName(t.date(), t.time());
        QFile file(dir.filePath(taken.back()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("taken");
    }
    action("actionPrintscreen")->trigger();
    QStringList shots = dir.entryList({QStringLiteral("_*.png")}, QDir::Files);
    for (const QString& name : taken) shots.removeOne(name);
    ASSERT_EQ(shots.size(), 1) << shots.join(' ').toStdString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^_\\d{4}-\\d{2}-\\d{2}_\\d{6}_2\\.png$"))
                    .match(shots[0])
                    .hasMatch())
        << shots[0].toStdString();
    EXPECT_TRUE(taken.contains(shots[0].replace(QStringLiteral("_2.png"), QStringLiteral(".png"))));
    for (const QString& name : taken) {
        QFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), QByteArray("taken")) << name.toStdString();
    }
    for (const QString& name : dir.entryList({QStringLiteral("_*.png")}, QDir::Files))
        QFile::remove(dir.filePath(name));
}

}  // namespace
