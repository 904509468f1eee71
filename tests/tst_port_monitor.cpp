#include "FrameWords.h"
#include "PanelFixture.h"

#include "panel/PortMonitor.h"
#include "panel/TimingDiagram.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace {

template <typename Part> Part* part(const PortMonitor& monitor, const char* name) {
    return monitor.findChild<Part*>(QString::fromLatin1(name));
}

void feed(SimulatedBoard& board, const Words& words, std::uint64_t start = 0,
          std::uint64_t step = 0) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        board.drive(words[i], start + i * step);
    }
}

} // namespace

class PortMonitorTest : public QObject {
    Q_OBJECT

private slots:
    // One thing said before the first frame, and a size the first frame keeps.
    void beforeAnyFrame() {
        SimulatedBoard board;
        PortMonitor monitor(board, "Code the chip holds");
        QCOMPARE(part<QLabel>(monitor, "codeLabel")->text(), QStringLiteral("none yet"));
        QVERIFY(!part<QProgressBar>(monitor, "codeBar")->isTextVisible());
        QCOMPARE(part<QLabel>(monitor, "framesLabel")->text(), QStringLiteral("0"));
        QVERIFY(part<QLabel>(monitor, "warningLabel")->isHidden());
        QVERIFY(part<TimingDiagram>(monitor, "diagram")->wordPositions().empty());
        const QSize before = monitor.sizeHint();
        feed(board, frameFor(127));
        QCOMPARE(monitor.sizeHint(), before);
        QVERIFY(!part<QProgressBar>(monitor, "codeBar")->isTextVisible());
    }

    void itShowsWhatTheChipLatched_data() {
        QTest::addColumn<QList<int>>("bitsPerFrame");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("words");
        QTest::addColumn<QString>("frames");
        QTest::addColumn<QString>("warning");
        QTest::newRow("a whole frame") << QList<int>{7} << "93"
                                       << "24 21 23 20 22 21 23 21 23 21 23 20 22 21 23 24"
                                       << "1"
                                       << "";
        QTest::newRow("a malformed frame") << QList<int>{5} << "29"
                                           << "24 21 23 21 23 21 23 20 22 21 23 24"
                                           << "1"
                                           << "Malformed frame 1: 5 clock edges instead of 7";
        QTest::newRow("a whole frame after a malformed one")
            << QList<int>{8, 7} << "93"
            << "24 21 23 20 22 21 23 21 23 21 23 20 22 21 23 24"
            << "2"
            << "1 malformed frame(s) so far";
    }
    void itShowsWhatTheChipLatched() {
        QFETCH(QList<int>, bitsPerFrame);
        QFETCH(QString, code);
        QFETCH(QString, words);
        QFETCH(QString, frames);
        QFETCH(QString, warning);
        SimulatedBoard board;
        PortMonitor monitor(board, "Code the chip holds");
        for (int bits : bitsPerFrame) {
            feed(board, frameFor(93, bits));
        }
        QCOMPARE(part<QLabel>(monitor, "codeLabel")->text(), code);
        QCOMPARE(part<QProgressBar>(monitor, "codeBar")->value(), code.toInt());
        QCOMPARE(part<QLabel>(monitor, "wordsLabel")->text(), words);
        QCOMPARE(part<QLabel>(monitor, "framesLabel")->text(), frames);
        QCOMPARE(part<QLabel>(monitor, "warningLabel")->isHidden(), warning.isEmpty());
        QVERIFY2(part<QLabel>(monitor, "warningLabel")->text().contains(warning),
                 qPrintable(part<QLabel>(monitor, "warningLabel")->text()));
    }

    void theDiagramPutsEachEdgeWhereItsWriteFell() {
        SimulatedBoard board;
        PortMonitor monitor(board, "Code the chip holds");
        monitor.resize(600, 400);
        // Sixteen words 100 ns apart, but the closing idle word comes 1500 ns late.
        Words words = frameFor(0);
        for (std::size_t i = 0; i + 1 < words.size(); ++i) {
            board.drive(words[i], 1000 + 100 * i);
        }
        board.drive(words.back(), 1000 + 100 * 14 + 1500);
        const std::vector<double> x = part<TimingDiagram>(monitor, "diagram")->wordPositions();
        QCOMPARE(x.size(), std::size_t{16});
        const double step = x[1] - x[0];
        QVERIFY(step > 0);
        for (std::size_t i = 1; i + 1 < x.size(); ++i) {
            QVERIFY(qAbs((x[i] - x[i - 1]) - step) < 0.01);
        }
        QVERIFY(qAbs((x[15] - x[14]) - 15 * step) < 0.1);
        QVERIFY(x.back() < part<TimingDiagram>(monitor, "diagram")->plotRect().right());
    }

    void theDiagramDrawsTheThreeLines() {
        SimulatedBoard board;
        PortMonitor monitor(board, "Code the chip holds");
        monitor.resize(600, 400);
        feed(board, frameFor(127), 0, 100);
        const QImage shot = part<TimingDiagram>(monitor, "diagram")->grab().toImage();
        const QRect plot = part<TimingDiagram>(monitor, "diagram")->plotRect();
        // In each third of the plot, a drawn trace crosses a column in the middle of the frame.
        const int column = qRound(part<TimingDiagram>(monitor, "diagram")->wordPositions()[8] *
                                  shot.devicePixelRatio()) -
                           2;
        const QColor base =
            part<TimingDiagram>(monitor, "diagram")->palette().color(QPalette::Base);
        for (int row = 0; row < 3; ++row) {
            bool drawn = false;
            for (int y = plot.top() + row * plot.height() / 3;
                 y < plot.top() + (row + 1) * plot.height() / 3; ++y) {
                drawn |= shot.pixelColor(column, qRound(y * shot.devicePixelRatio())) != base;
            }
            QVERIFY2(drawn, qPrintable(QString::number(row)));
        }
    }

    void itFollowsThePanelAndClosingItLeavesThePanelRunning() {
        PanelFixture p;
        PortMonitor monitor(p.port->board, "Code the chip holds");
        p.form->show();
        monitor.show();
        QVERIFY(QTest::qWaitForWindowExposed(&monitor));
        QTest::mouseClick(p.form->cmdFS, Qt::LeftButton);
        QCOMPARE(part<QLabel>(monitor, "codeLabel")->text(), QStringLiteral("127"));
        QCOMPARE(part<QLabel>(monitor, "framesLabel")->text(), QStringLiteral("2"));
        QVERIFY(part<QLabel>(monitor, "warningLabel")->isHidden());
        // The monitor changes nothing in the panel.
        QCOMPARE(p.form->txtDisplay1->text(), QStringLiteral("127"));
        QCOMPARE(p.codesSent(), (std::vector<int>{127, 127}));
        // Closing the monitor leaves the event loop running; closing the panel
        // ends it, even with the monitor open again.
        bool runningAfterMonitorClosed = false;
        QTimer::singleShot(0, &monitor, [&monitor] { monitor.close(); });
        QTimer::singleShot(200, p.form.get(), [&] {
            runningAfterMonitorClosed = true;
            QTest::mouseClick(p.form->cmdZS, Qt::LeftButton);
            monitor.show();
            p.form->close();
        });
        QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(99); });
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(runningAfterMonitorClosed);
        QCOMPARE(part<QLabel>(monitor, "codeLabel")->text(), QStringLiteral("0"));
    }
};

QTEST_MAIN(PortMonitorTest)
#include "tst_port_monitor.moc"
