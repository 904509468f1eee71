#include "app/WindowPlacement.h"

WindowPlacement placeWindows(const QRect& room, const QSize& panel, const QSize& monitor,
                             const QSize& frame) {
    WindowPlacement placement;
    placement.panel = room.center() - QRect(QPoint(), panel).center();
    const QRect panelArea(placement.panel - QPoint(frame.width() / 2, frame.height()),
                          panel + frame);
    const QSize monitorArea = monitor + frame;
    const QPoint offset(frame.width() / 2, frame.height());
    const QRect candidates[] = {
        {QPoint(panelArea.right() + 1, panelArea.top()), monitorArea},
        {QPoint(panelArea.left() - monitorArea.width(), panelArea.top()), monitorArea},
        {QPoint(panelArea.left(), panelArea.bottom() + 1), monitorArea},
    };
    for (const QRect& area : candidates) {
        if (room.contains(area)) {
            placement.monitor = QRect(area.topLeft() + offset, monitor);
            break;
        }
    }
    return placement;
}
