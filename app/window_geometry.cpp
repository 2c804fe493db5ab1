#include "app/window_geometry.h"

#include <QGuiApplication>
#include <QScreen>

ScreenLayout currentScreenLayout() {
    ScreenLayout layout;
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (primary == nullptr) return layout;
    layout.screenCount = static_cast<int>(QGuiApplication::screens().size());
    layout.desktop = primary->virtualGeometry();
    layout.primary = primary->geometry();
    return layout;
}

QRect initialWindowGeometry(const ScreenLayout& layout) {
    int width = layout.desktop.width();
    int height = layout.desktop.height();
    int left = 0;
    int top = 0;
    if (layout.screenCount > 1) {
        width = layout.primary.width();
        height = layout.primary.height();
        left = layout.primary.left();
        top = layout.primary.top();
        if (2 * height < width) width /= 2;
    }
    if (width <= 0 || height <= 0) return QRect();
    const int w = static_cast<int>(width * 0.75);
    const int h = static_cast<int>(height * 0.75);
    return QRect(left + (width - w) / 2, top + (height - h) / 2, w, h);
}
