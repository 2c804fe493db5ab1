#include "app/qmenubarcustom.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QSettings>
#include <memory>

#include "app/voxtrail.h"

namespace {

// Drives the real main window's menu bar with synthetic mouse events.
class MenuBarDrag : public ::testing::Test {
  protected:
    void SetUp() override {
        QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Skyvane"),
                  QStringLiteral("voxtrail"))
            .clear();
    }

    void open(Qt::WindowFlags flags) {
        window = std::make_unique<voxtrail>(nullptr, flags);
        window->move(50, 60);
        window->show();
        bar = dynamic_cast<QMenuBarCustom*>(window->menuBar());
        ASSERT_NE(bar, nullptr);
    }

    void send(QEvent::Type type, QPoint local, QPoint global, Qt::MouseButton button,
              Qt::MouseButtons buttons) {
        QMouseEvent event(type, QPointF(local), QPointF(local), QPointF(global), button, buttons,
                          Qt::NoModifier);
        QApplication::sendEvent(bar, &event);
    }
    void press(QPoint local, Qt::MouseButton button = Qt::LeftButton) {
        send(QEvent::MouseButtonPress, local, bar->mapToGlobal(local), button, button);
    }
    void moveTo(QPoint global, Qt::MouseButtons held = Qt::LeftButton) {
        send(QEvent::MouseMove, bar->mapFromGlobal(global), global, Qt::NoButton, held);
    }
    void release(Qt::MouseButton button = Qt::LeftButton) {
        const QPoint local(300, 10);
        send(QEvent::MouseButtonRelease, local, bar->mapToGlobal(local), button, Qt::NoButton);
    }

    std::unique_ptr<voxtrail> window;
    QMenuBarCustom* bar = nullptr;
};

TEST_F(MenuBarDrag, FramelessWindowFollowsTheGrabbedPoint) {
    open(Qt::FramelessWindowHint);
    ASSERT_EQ(bar->actionAt(QPoint(300, 10)), nullptr) << "the press must hit the empty part";
    press(QPoint(300, 10));
    EXPECT_TRUE(bar->isDragging());
    moveTo(QPoint(900, 410));
    EXPECT_EQ(window->pos(), QPoint(600, 400));
    moveTo(QPoint(700, 300));
    EXPECT_EQ(window->pos(), QPoint(400, 290));

    // Only the left button ends the drag.
    release(Qt::RightButton);
    EXPECT_TRUE(bar->isDragging());
    release(Qt::LeftButton);
    EXPECT_FALSE(bar->isDragging());
    moveTo(QPoint(100, 100));
    EXPECT_EQ(window->pos(), QPoint(400, 290));
}

TEST_F(MenuBarDrag, MoveAfterALostReleaseEndsTheDragWithoutMoving) {
    open(Qt::FramelessWindowHint);
    press(QPoint(300, 10));
    ASSERT_TRUE(bar->isDragging());
    const QPoint before = window->pos();
    moveTo(QPoint(900, 410), Qt::NoButton);
    EXPECT_FALSE(bar->isDragging());
    EXPECT_EQ(window->pos(), before);
    // A later move with the button down (say, after a press on a menu title) moves nothing.
    moveTo(QPoint(800, 300));
    EXPECT_EQ(window->pos(), before);
}

TEST_F(MenuBarDrag, PressOnAMenuTitleOpensTheMenuAndStartsNoDrag) {
    open(Qt::FramelessWindowHint);
    QMenu* file = window->findChild<QMenu*>(QStringLiteral("menuFile"));
    const QRect title = bar->actionGeometry(file->menuAction());
    ASSERT_TRUE(title.isValid());
    const QPoint before = window->pos();
    press(title.center());
    EXPECT_FALSE(bar->isDragging());
    EXPECT_TRUE(file->isVisible());
    moveTo(QPoint(900, 410));
    EXPECT_EQ(window->pos(), before);
    file->close();
}

TEST_F(MenuBarDrag, OtherButtonsOnAFramelessWindowStartNoDrag) {
    open(Qt::FramelessWindowHint);
    const QPoint before = window->pos();
    press(QPoint(300, 10), Qt::RightButton);
    EXPECT_FALSE(bar->isDragging());
    moveTo(QPoint(900, 410));
    EXPECT_EQ(window->pos(), before);
}

TEST_F(MenuBarDrag, FramedWindowNeverDrags) {
    open(Qt::WindowFlags());
    const QPoint before = window->pos();
    ASSERT_EQ(bar->actionAt(QPoint(300, 10)), nullptr);
    press(QPoint(300, 10));
    EXPECT_FALSE(bar->isDragging());
    moveTo(QPoint(900, 410));
    release();
    EXPECT_EQ(window->pos(), before);
}

TEST(QMenuBarCustomConstruction, StartsIdleWithoutParentOrTracking) {
    QWidget holder;
    QMenuBarCustom bar(&holder);
    EXPECT_EQ(bar.parentWidget(), nullptr);
    EXPECT_FALSE(bar.hasMouseTracking());
    EXPECT_FALSE(bar.testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_FALSE(bar.isDragging());
}

}  // namespace
