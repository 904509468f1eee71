#include "app/WindowPlacement.h"

#include <QTest>

// The panel's and the monitor's sizes as the program makes them.
const QSize panel(568, 267);
const QSize monitor(488, 267);
const QSize frame(16, 40);

class WindowPlacementTest : public QObject {
    Q_OBJECT

private slots:
    void theMonitorNeverCoversThePanel_data() {
        QTest::addColumn<QRect>("room");
        QTest::addColumn<QString>("side");
        QTest::newRow("a wide screen: to the right") << QRect(0, 0, 1920, 1040) << "right";
        QTest::newRow("a second screen to the right") << QRect(1920, 0, 1920, 1040) << "right";
        QTest::newRow("too narrow beside, room below") << QRect(0, 0, 1280, 1024) << "below";
        QTest::newRow("1280x800 at 200%: no room") << QRect(0, 0, 640, 400) << "none";
    }
    void theMonitorNeverCoversThePanel() {
        QFETCH(QRect, room);
        QFETCH(QString, side);
        const WindowPlacement placement = placeWindows(room, panel, monitor, frame);
        // The panel is centred whatever else opens.
        QCOMPARE(QRect(placement.panel, panel).center(), room.center());
        QCOMPARE(placement.monitor.has_value(), side != "none");
        if (!placement.monitor) {
            return;
        }
        const QRect shown = *placement.monitor;
        QCOMPARE(shown.size(), monitor);
        // With the window manager's frames around both, they do not meet.
        const QRect panelArea = QRect(placement.panel, panel).adjusted(-8, -40, 8, 0);
        const QRect monitorArea = shown.adjusted(-8, -40, 8, 0);
        QVERIFY(!panelArea.intersects(monitorArea));
        QVERIFY(room.contains(monitorArea));
        QCOMPARE(side == "right", shown.left() > panelArea.right());
        QCOMPARE(side == "below", shown.top() > panelArea.bottom());
    }
};

QTEST_APPLESS_MAIN(WindowPlacementTest)
#include "tst_window_placement.moc"
