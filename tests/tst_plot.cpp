#include "chart/Plot.h"

#include <QCategoryAxis>
#include <QChart>
#include <QScatterSeries>
#include <QTest>

#include <memory>

// What the plot draws, read from its charts: a missing series, marker or
// label fails, whatever the picture's size.
class PlotTest : public QObject {
    Q_OBJECT

    static QStringList names(QChart* chart) {
        QStringList names;
        for (QAbstractSeries* s : chart->series()) {
            names << s->name();
        }
        return names;
    }

private slots:
    void charts_data() {
        QTest::addColumn<bool>("turnBack");
        QTest::addColumn<bool>("limits");
        QTest::addColumn<bool>("bothWays");
        QTest::addColumn<QStringList>("top");
        QTest::addColumn<QStringList>("bottom");
        QTest::newRow("plain") << false << false << false
                               << QStringList{"end-point line", "measured"}
                               << QStringList{"INL", "DNL"};
        QTest::newRow("a turn back, limits")
            << true << true << false << QStringList{"end-point line", "measured", "turns back"}
            << QStringList{"INL", "INL limit", "INL limit", "DNL limit", "DNL limit", "DNL"};
        QTest::newRow("both ways")
            << false << false << true << QStringList{"end-point line", "measured", "sweep 1 down"}
            << QStringList{"INL", "sweep 1 down INL", "DNL"};
    }
    void charts() {
        QFETCH(bool, turnBack);
        QFETCH(bool, limits);
        QFETCH(bool, bothWays);
        QFETCH(QStringList, top);
        QFETCH(QStringList, bottom);
        const auto curve = [&](int code) {
            return 100.0 + 50.0 * code - (turnBack && code >= 64 ? 75.0 : 0.0);
        };
        const EndPoints ends{0, 127, curve(0), curve(127)};
        std::vector<Row> rows;
        for (const bool down : bothWays ? std::vector{false, true} : std::vector{false}) {
            for (int i = 0; i <= 127; ++i) {
                Row row = makeRow(down ? 127 - i : i, {curve(down ? 127 - i : i)}, ends);
                row.down = down;
                rows.push_back(row);
            }
        }
        recompute(rows, ends);
        SweepLimits given;
        if (limits) {
            given.maxInlLsb = 1.0;
            given.maxDnlLsb = 0.5;
        }
        const Summary summary = summarize(rows, ends, 1, given);
        const Charts charts = buildCharts(rows, summary);
        std::unique_ptr<QChart> resistance(charts.resistance), linearity(charts.linearity);
        QCOMPARE(names(resistance.get()), top);
        QCOMPARE(names(linearity.get()), bottom);
        // DNL's markers: every DNL, over INL's lines, in a colour of their own.
        auto* dnl = qobject_cast<QScatterSeries*>(linearity->series().back());
        QVERIFY(dnl);
        QCOMPARE(dnl->count(), bothWays ? 2 * 127 : 127);
        QVERIFY(dnl->markerSize() >= 5);
        QVERIFY(dnl->color() != qobject_cast<QXYSeries*>(linearity->series().front())->color());
        if (turnBack) {
            auto* turns = qobject_cast<QScatterSeries*>(resistance->series().back());
            QCOMPARE(turns->points(), QList<QPointF>{QPointF(64, curve(64))});
        }
        // The last code has a label of its own.
        for (QChart* chart : {resistance.get(), linearity.get()}) {
            auto* codes = qobject_cast<QCategoryAxis*>(chart->axes(Qt::Horizontal).front());
            QVERIFY(codes && codes->categoriesLabels().contains("127"));
        }
    }
};

QTEST_MAIN(PlotTest)
#include "tst_plot.moc"
