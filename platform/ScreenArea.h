#pragma once

#include <QRect>

class QScreen;

namespace ScreenArea {

// The screen's available area less the panels along its edges that reserve no room for
// themselves: the window manager leaves those inside the available area, where they would cover
// whatever opens under them. The available area itself off X11.
QRect usable(const QScreen& screen);

// The same, from the panels' rectangles (pure arithmetic, for tests).
QRect lessEdgePanels(QRect area, const QList<QRect>& panels);

} // namespace ScreenArea
