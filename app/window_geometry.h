#pragma once

#include <QRect>

// What the initial placement of the main window depends on.
struct ScreenLayout {
    QRect desktop;  // the whole virtual desktop (all screens)
    QRect primary;  // the primary screen
    int screenCount = 0;
};

// The screens as the running application sees them. With no screen at all, screenCount
// is 0 and both rectangles are empty.
ScreenLayout currentScreenLayout();

// Initial geometry of the main window: centred, three quarters of the width and height.
// On a single screen the whole desktop is used with its origin taken as 0, 0. With more
// than one screen the primary screen is used, and its width is halved when it is more than
// twice as wide as high (one very wide monitor that is really two). Returns an empty
// rectangle when the layout has no usable area, in which case the window keeps its size.
QRect initialWindowGeometry(const ScreenLayout& layout);
