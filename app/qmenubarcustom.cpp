#include "app/qmenubarcustom.h"

#include <QMouseEvent>

QMenuBarCustom::QMenuBarCustom(QWidget* /*window*/) : QMenuBar(nullptr) {
    setMouseTracking(false);
    setAttribute(Qt::WA_TranslucentBackground, false);
}

QMenuBarCustom::~QMenuBarCustom() = default;

void QMenuBarCustom::mousePressEvent(QMouseEvent* event) {
    QMenuBar::mousePressEvent(event);
    QWidget* holder = parentWidget();
    if (holder == nullptr || !(holder->windowFlags() & Qt::FramelessWindowHint)) return;
    const QPoint at = event->position().toPoint();
    if (event->button() != Qt::LeftButton || actionAt(at) != nullptr) return;
    dragging = true;
    dragStart = at;
    event->accept();
}

void QMenuBarCustom::mouseMoveEvent(QMouseEvent* event) {
    QMenuBar::mouseMoveEvent(event);
    QWidget* holder = parentWidget();
    if (!dragging || holder == nullptr) return;
    // A move without the left button held means the release went elsewhere (focus change,
    // grab lost): end the drag rather than let the window follow a later press.
    if (!(event->buttons() & Qt::LeftButton)) {
        dragging = false;
        return;
    }
    // The bar sits at the top left of a frameless window, so the grabbed point stays
    // under the pointer.
    holder->move(event->globalPosition().toPoint() - dragStart);
    event->accept();
}

void QMenuBarCustom::mouseReleaseEvent(QMouseEvent* event) {
    QMenuBar::mouseReleaseEvent(event);
    // Only the left button ends a drag; other buttons leave it running.
    if (dragging && event->button() == Qt::LeftButton) {
        dragging = false;
        event->accept();
    }
}
