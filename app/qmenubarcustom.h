#pragma once

#include <QMenuBar>
#include <QPoint>

// The main window's menu bar. Behaves as QMenuBar; in addition, when the window holding it
// has no frame, a left-button press on an empty part of the bar followed by a drag moves
// that window, so a frameless window can still be placed by the user.
class QMenuBarCustom final : public QMenuBar {
  public:
    // `window` is the widget that will hold the bar. The bar is built without a parent:
    // QMainWindow::setMenuBar adopts it.
    explicit QMenuBarCustom(QWidget* window = nullptr);
    ~QMenuBarCustom() override;

    QMenuBarCustom(const QMenuBarCustom&) = delete;
    QMenuBarCustom& operator=(const QMenuBarCustom&) = delete;

    bool isDragging() const { return dragging; }

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

  private:
    QPoint dragStart;       // press position in the bar's own coordinates
    bool dragging = false;  // from an accepted press until the left button is released
};
