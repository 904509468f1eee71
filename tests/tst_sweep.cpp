#include "setup/CommandLine.h"
#include "sweep/Analysis.h"
#include "sweep/Meter.h"

#include <QTest>

#include <cmath>

// What the sweep makes of readings, and what it takes on its command line.
class SweepTest : public QObject {
    Q_OBJECT

    // Rows of a sweep whose readings follow curve, measured as the program does.
    template <typename Curve>
    static Summary sweep(int first, int last, Curve curve, std::vector<Row>& rows) {
        const EndPoints ends{first, last, curve(first), curve(last)};
        const int direction = last > first ? 1 : -1;
        for (int code = first;; code += direction) {
            rows.push_back(
                makeRow(code, {curve(code)}, ends, rows.empty() ? nullptr : &rows.back()));
            if (code == last) {
                break;
            }
        }
        return summarize(rows, ends);
    }

private slots:
    // The simulated meter's model, measured back: INL within 0.05 LSB of its
    // bow (its noise is 0.02 LSB), DNL within 0.1 LSB, the wiper resistance
    // within 2 ohms and the end-to-end resistance within 5.
    void theModelIsRecovered() {
        std::vector<Row> rows;
        unsigned reading = 0;
        const Summary s = sweep(
            0, 127, [&](int code) { return ResistorModel::ohms(code, reading++); }, rows);
        for (const Row& row : rows) {
            QVERIFY2(std::abs(row.inl - ResistorModel::bow(row.code)) <= 0.05,
                     qPrintable(QString("code %1: INL %2").arg(row.code).arg(row.inl)));
            QVERIFY(std::isnan(row.dnl) || std::abs(row.dnl) <= 0.1);
        }
        QVERIFY(std::abs(s.wiperOhms - ResistorModel::wiperOhms) < 2.0);
        QVERIFY(std::abs(s.endToEndOhms - ResistorModel::endToEndOhms) < 5.0);
        QVERIFY(s.worstInlCode > 40 && s.worstInlCode < 88); // the bow's top, in the middle
        QVERIFY(std::abs(std::abs(s.worstInl) - ResistorModel::bowLsb) <= 0.05);
        QVERIFY(s.reversals.empty());
    }

    void curves_data() {
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("last");
        QTest::addColumn<int>("dip");         // a code that reads below the one before; -1: none
        QTest::addColumn<double>("worstInl"); // LSB
        QTest::addColumn<int>("worstDnlCode");
        QTest::addColumn<QList<int>>("reversals");
        QTest::newRow("ideal") << 0 << 127 << -1 << 0.0 << 0 << QList<int>{};
        QTest::newRow("a step back at 64") << 0 << 127 << 64 << -1.5 << 64 << QList<int>{64};
        QTest::newRow("downward, a step back at 40")
            << 127 << 0 << 40 << -1.5 << 40 << QList<int>{39};
        QTest::newRow("part of the range") << 32 << 96 << 50 << -1.5 << 50 << QList<int>{50};
    }
    // 100 ohms, then 50 per code; at dip, 1.5 LSB low (a turn back).
    void curves() {
        QFETCH(int, first);
        QFETCH(int, last);
        QFETCH(int, dip);
        QFETCH(double, worstInl);
        QFETCH(int, worstDnlCode);
        QFETCH(QList<int>, reversals);
        std::vector<Row> rows;
        const Summary s = sweep(
            first, last,
            [dip](int code) { return 100.0 + 50.0 * code - (code == dip ? 75.0 : 0.0); }, rows);
        QCOMPARE(s.ends.lsb(), 50.0);
        QCOMPARE(s.wiperOhms, 100.0);
        QCOMPARE(s.endToEndOhms, 6400.0);
        QCOMPARE(s.worstInl, worstInl);
        if (dip >= 0) {
            QCOMPARE(s.worstDnlCode, worstDnlCode);
        }
        QCOMPARE(QList<int>(s.reversals.begin(), s.reversals.end()), reversals);
        QVERIFY(QString::fromStdString(s.text()).contains(reversals.isEmpty() ? "monotonic: yes"
                                                                              : "monotonic: no"));
    }

    void readings_data() {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<double>("ohms"); // NaN: refused
        QTest::addColumn<QString>("why");
        QTest::newRow("SCPI's form") << "+1.00230000E+04" << 10023.0 << "";
        QTest::newRow("a plain number") << "  512.5 " << 512.5 << "";
        QTest::newRow("overload") << "+9.90000000E+37" << double(NAN) << "is overloaded";
        QTest::newRow("a negative overload") << "-9.9E37" << double(NAN) << "is overloaded";
        QTest::newRow("words") << "ERROR" << double(NAN) << "answered 'ERROR', not a number";
        QTest::newRow("a unit") << "512.5 OHM" << double(NAN) << "not a number";
        QTest::newRow("nothing") << "" << double(NAN) << "not a number";
        QTest::newRow("not a number") << "nan" << double(NAN) << "not a number";
    }
    void readings() {
        QFETCH(QString, reply);
        QFETCH(double, ohms);
        QFETCH(QString, why);
        std::string said;
        const auto value = readingOf(reply.toStdString(), said);
        QCOMPARE(value.has_value(), !std::isnan(ohms));
        if (value) {
            QCOMPARE(*value, ohms);
        }
        QVERIFY(QString::fromStdString(said).contains(why));
    }

    void commandLines_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>(
            "refusal"); // empty: taken; then "first last step settle readings"
        QTest::newRow("the defaults") << QStringList{"--meter=sim"} << "0 127 1 100 1";
        QTest::newRow("downward by 4")
            << QStringList{"--meter=sim", "--codes=127:0:4", "--settle=0", "--readings=5"}
            << "127 0 4 0 5";
        QTest::newRow("no meter") << QStringList{} << "--meter is needed";
        QTest::newRow("one code") << QStringList{"--meter=sim", "--codes=5:5"} << "--codes takes";
        QTest::newRow("past the top")
            << QStringList{"--meter=sim", "--codes=0:128"} << "--codes takes";
        QTest::newRow("a step of 0")
            << QStringList{"--meter=sim", "--codes=0:127:0"} << "--codes takes";
        QTest::newRow("no readings")
            << QStringList{"--meter=sim", "--readings=0"} << "--readings takes";
        QTest::newRow("a plot of no known kind")
            << QStringList{"--meter=sim", "--plot=a.txt"} << "--plot names";
    }
    void commandLines() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, refusal);
        std::vector<std::string> argv{"zovrel-sweep"};
        for (const QString& a : arguments) {
            argv.push_back(a.toStdString());
        }
        const CommandLine line = readCommandLine(argv, Program::Sweep);
        if (line.outcome == CommandLine::Outcome::Misuse) {
            QVERIFY2(QString::fromStdString(line.text).contains(refusal), line.text.c_str());
            return;
        }
        const SweepOptions& s = line.options.sweep;
        QCOMPARE(QString("%1 %2 %3 %4 %5")
                     .arg(s.first)
                     .arg(s.last)
                     .arg(s.step)
                     .arg(s.settleMs)
                     .arg(s.readings),
                 refusal);
    }

    void resources_data() {
        QTest::addColumn<QString>("resource");
        QTest::addColumn<bool>("taken");
        for (const char* good : {"sim", "TCPIP::bench::INSTR", "tcpip0::192.0.2.7::inst0::instr",
                                 "TCPIP::localhost::5025::SOCKET", "/dev/usbtmc0"}) {
            QTest::newRow(good) << good << true;
        }
        for (const char* bad :
             {"", "bench", "TCPIP::::INSTR", "TCPIP::bench::0::SOCKET", "TCPIP::bench::SOCKET",
              "USB0::1::2::INSTR", "TCPIPX::bench::INSTR"}) {
            QTest::newRow(bad) << bad << false;
        }
    }
    void resources() {
        QFETCH(QString, resource);
        QFETCH(bool, taken);
        QCOMPARE(isMeterResource(resource.toStdString()), taken);
    }
};

QTEST_APPLESS_MAIN(SweepTest)
#include "tst_sweep.moc"
