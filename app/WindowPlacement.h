#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

#include <optional>

// Where the two windows open. The panel is centred on the screen, as it was
// drawn to be; the monitor stands beside it where it covers nothing: to the
// right, else to the left, else below. Where none of these fits, the monitor
// has no place on the screen (it opens minimised).
struct WindowPlacement {
    QPoint panel;
    std::optional<QRect> monitor;
};

// room: the screen's available area; frame: what the window manager adds
// around each window (title bar and borders), at most.
WindowPlacement placeWindows(const QRect& room, const QSize& panel, const QSize& monitor,
                             const QSize& frame = {16, 40});
