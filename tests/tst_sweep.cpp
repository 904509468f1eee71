#include "setup/CommandLine.h"
#include "sweep/Analysis.h"
#include "sweep/Meter.h"
#include "sweep/Record.h"

#include <QTest>

#include <cmath>
#include <fstream>
#include <sstream>

// What the sweep makes of readings, and what it takes on its command line.
class SweepTest : public QObject {
    Q_OBJECT

    // A pass over codes first to last by step, read along curve, as sweep
    // number sweep; its figures as a saved record's are worked out.
    template <typename Curve>
    static void pass(std::vector<Row>& rows, const EndPoints& ends, int first, int last, int step,
                     Curve curve, int sweep = 1) {
        const int direction = last > first ? 1 : -1;
        for (int code = first; direction * (last - code) >= 0; code += direction * step) {
            Row row = makeRow(code, {curve(code)}, ends);
            row.sweep = sweep;
            row.down = direction < 0;
            rows.push_back(row);
        }
        recompute(rows, ends);
    }
    template <typename Curve> static EndPoints endsOf(int first, int last, Curve curve) {
        return {first, last, curve(first), curve(last)};
    }

private slots:
    // The simulated meter's model, measured back: INL within 0.05 LSB of its
    // bow (its noise is 0.02 LSB), DNL within 0.1 LSB, the wiper resistance
    // within 2 ohms and the end-to-end resistance within 5.
    void theModelIsRecovered() {
        std::vector<Row> rows;
        unsigned reading = 0;
        const auto model = [&](int code) { return ResistorModel::ohms(code, reading++); };
        const EndPoints ends = endsOf(0, 127, model);
        pass(rows, ends, 0, 127, 1, model);
        const Summary s = summarize(rows, ends, 1);
        for (const Row& row : rows) {
            QVERIFY2(std::abs(row.inl - ResistorModel::bow(row.code)) <= 0.05,
                     qPrintable(QString("code %1: INL %2").arg(row.code).arg(row.inl)));
            QVERIFY(std::isnan(row.dnl) || std::abs(row.dnl) <= 0.1);
        }
        QVERIFY(std::abs(s.wiperOhms - ResistorModel::wiperOhms) < 2.0);
        QVERIFY(std::abs(s.endToEndOhms - ResistorModel::endToEndOhms) < 5.0);
        QVERIFY(s.worstInl->code > 40 && s.worstInl->code < 88); // the bow's top, in the middle
        QVERIFY(std::abs(std::abs(s.worstInl->lsb) - ResistorModel::bowLsb) <= 0.05);
        QVERIFY(s.reversals.empty());
    }

    // Rising: 100 ohms, then 50 a code, and from code 64 on 75 ohms lower (a
    // turn back of 1.5 LSB). Falling: the meter across the other end.
    void curves_data() {
        QTest::addColumn<QString>("codes"); // first:last:step
        QTest::addColumn<bool>("falling");
        QTest::addColumn<int>("worstDnlCode");  // -1: no DNL
        QTest::addColumn<QString>("monotonic"); // the summary's line
        QTest::newRow("up") << "0:127:1" << false << 64
                            << "monotonic: no, the resistance turns back at code 64";
        QTest::newRow("down") << "127:0:1" << false << 64
                              << "monotonic: no, the resistance turns back at code 64";
        QTest::newRow("part of the range, down")
            << "96:32:1" << false << 64 << "monotonic: no, the resistance turns back at code 64";
        QTest::newRow("stepped: the turn back falls between codes")
            << "0:127:4" << false << 64
            << "monotonic between the codes measured (every 4 codes): yes";
        QTest::newRow("stepped, down")
            << "127:0:4" << false << 67
            << "monotonic between the codes measured (every 4 codes): yes";
        QTest::newRow("falling") << "0:127:1" << true << 1 << "monotonic: yes";
        QTest::newRow("one code") << "0:3:5" << false << -1 << "monotonic: not known";
    }
    void curves() {
        QFETCH(QString, codes);
        QFETCH(bool, falling);
        QFETCH(int, worstDnlCode);
        QFETCH(QString, monotonic);
        const QStringList parts = codes.split(':');
        const int first = parts[0].toInt(), last = parts[1].toInt(), step = parts[2].toInt();
        const auto curve = [falling](int code) {
            return falling ? 10000.0 - 50.0 * code
                           : 100.0 + 50.0 * code - (code >= 64 ? 75.0 : 0.0);
        };
        const EndPoints ends = endsOf(first, last, curve);
        std::vector<Row> rows;
        pass(rows, ends, first, last, step, curve);
        const Summary s = summarize(rows, ends, step);
        const QString text = QString::fromStdString(s.text());
        QVERIFY2(text.contains(monotonic + "\n"), qPrintable(text));
        // One LSB and the end-to-end resistance are sizes; the wiper is where
        // the line meets the meter's end: code 0 rising, 128 falling.
        const double lsb = std::abs(curve(last) - curve(first)) / std::abs(last - first);
        QCOMPARE(s.ends.lsb(), lsb);
        QCOMPARE(s.endToEndOhms, 128 * lsb);
        QCOMPARE(s.wiperOhms, falling ? curve(0) - 128 * lsb : curve(first) - first * lsb);
        if (worstDnlCode < 0) {
            QVERIFY(!s.worstDnl && text.contains("largest |DNL|: none"));
            return;
        }
        // DNL(c) = (R(c) - R(c - s)) / (s LSB) - 1, worked out here on its own.
        const int below = worstDnlCode - step;
        const double dnl =
            (curve(worstDnlCode) - curve(below)) / ((falling ? -lsb : lsb) * step) - 1;
        QCOMPARE(s.worstDnl->code, worstDnlCode);
        QVERIFY(std::abs(s.worstDnl->lsb - dnl) < 1e-9);
    }

    // Two sweeps, each up then down: the second reads code 30 five ohms high
    // (drift), every way down reads code 40 ten ohms high (hysteresis).
    void repeatsAndHysteresis() {
        const auto curve = [](int code) { return 100.0 + 50.0 * code; };
        const EndPoints ends = endsOf(0, 127, curve);
        std::vector<Row> rows;
        for (int sweep = 1; sweep <= 2; ++sweep) {
            pass(
                rows, ends, 0, 127, 1,
                [&](int code) { return curve(code) + (sweep == 2 && code == 30 ? 5.0 : 0.0); },
                sweep);
            pass(
                rows, ends, 127, 0, 1,
                [&](int code) { return curve(code) + (code == 40 ? 10.0 : 0.0); }, sweep);
        }
        const Summary s = summarize(rows, ends, 1);
        QCOMPARE(s.sweeps, 2);
        QVERIFY(s.bothWays);
        QCOMPARE(s.repeatability->code, 30);
        QCOMPARE(s.repeatability->lsb, 0.1);
        QCOMPARE(s.hysteresis->code, 40);
        QCOMPARE(s.hysteresis->lsb, 0.2);
    }

    // The turn-back curve against limits.
    void limits_data() {
        QTest::addColumn<QStringList>("given");
        QTest::addColumn<QString>("lines"); // the verdict lines, joined by '|'
        QTest::newRow("met") << QStringList{"--max-inl=2", "--end-to-end=6325:1"}
                             << "limit |INL| <= 2.000 LSB: +0.753 LSB at code 63: PASS|"
                                "limit end-to-end resistance 6325.00 ohms +/- 1%: 6324.41 ohms: "
                                "PASS|verdict: PASS, every limit met";
        QTest::newRow("missed") << QStringList{"--max-dnl=1", "--max-wiper=99.5"}
                                << "limit |DNL| <= 1.000 LSB: -1.506 LSB at code 64: FAIL|"
                                   "limit wiper resistance <= 99.50 ohms: 100.00 ohms: FAIL|"
                                   "verdict: FAIL, 2 of 2 limits not met";
        QTest::newRow("the tolerance, 20% unless given")
            << QStringList{"--end-to-end=7000"}
            << "limit end-to-end resistance 7000.00 ohms +/- 20%: 6324.41 ohms: PASS|"
               "verdict: PASS, every limit met";
        QTest::newRow("a tighter tolerance, with its sign")
            << QStringList{"--end-to-end=7000:5%"}
            << "limit end-to-end resistance 7000.00 ohms +/- 5%: 6324.41 ohms: FAIL|"
               "verdict: FAIL, 1 of 1 limits not met";
    }
    void limits() {
        QFETCH(QStringList, given);
        QFETCH(QString, lines);
        std::vector<std::string> argv{"zovrel-sweep", "--meter=sim"};
        for (const QString& g : given) {
            argv.push_back(g.toStdString());
        }
        const CommandLine line = readCommandLine(argv, Program::Sweep);
        QCOMPARE(line.outcome, CommandLine::Outcome::Run);
        const auto curve = [](int code) { return 100.0 + 50.0 * code - (code >= 64 ? 75.0 : 0.0); };
        const EndPoints ends = endsOf(0, 127, curve);
        std::vector<Row> rows;
        pass(rows, ends, 0, 127, 1, curve);
        const Summary s = summarize(rows, ends, 1, line.options.sweep.limits);
        QStringList verdicts;
        for (const QString& l : QString::fromStdString(s.text()).split('\n')) {
            if (l.startsWith("limit ") || l.startsWith("verdict")) {
                verdicts << l;
            }
        }
        QCOMPARE(verdicts.join('|'), lines);
        QCOMPARE(s.limitsMet(), lines.endsWith("every limit met"));
    }

    // A record written as the sweep writes it, read back: the same summary.
    void aRecordReadsBack() {
        const auto curve = [](int code) { return 100.0 + 50.0 * code - (code == 64 ? 75.0 : 0.0); };
        const EndPoints ends = endsOf(127, 0, curve);
        std::vector<Row> rows;
        pass(rows, ends, 127, 0, 3, curve);
        pass(rows, ends, 1, 127, 3, curve, 2);
        SweepOptions options;
        std::string text =
            headerLines(
                {"1.0", {"zovrel-sweep", "--codes=127:0:3"}, "sim", "sim", "a meter", options}) +
            endPointsLine(ends) + columnsLine;
        for (const Row& row : rows) {
            text += csvRow(row);
        }
        std::istringstream in(text);
        std::string why;
        const auto saved = readRecord(in, why);
        QVERIFY2(saved, why.c_str());
        QCOMPARE(summarize(saved->rows, saved->ends, 3).text(), summarize(rows, ends, 3).text());
        // What is not a record of ours is refused, and an endless file quickly.
        for (const auto& [bad, said] :
             {std::pair{std::string("code,ohms\n1,5\n"), "end points"},
              std::pair{text + csvRow(rows.front()), "measures again"},
              std::pair{text + "5,0x10,,0,,1,up\n", "not a row"},
              std::pair{endPointsLine({0, 127, 100, 100.00001}) + columnsLine, "differ"}}) {
            std::istringstream in(bad);
            QVERIFY2(!readRecord(in, why) && why.find(said) != std::string::npos, why.c_str());
        }
        std::ifstream endless("/dev/zero");
        QVERIFY(!readRecord(endless, why) && why.find("longer than") != std::string::npos);
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
        QTest::newRow("a unit") << "512.5 OHM" << 512.5 << "";
        QTest::newRow("a unit, no space") << "1.2E3OHMS\r" << 1200.0 << "";
        QTest::newRow("words after a unit") << "5 OHM OK" << double(NAN) << "not a number";
        QTest::newRow("nothing") << "" << double(NAN) << "not a number";
        QTest::newRow("not a number") << "nan" << double(NAN) << "not a number";
        QTest::newRow("hex") << "0x64" << double(NAN) << "not a number";
        QTest::newRow("kilohms") << "1.5 KOHM" << double(NAN) << "not in ohms";
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

    // The error queue is empty only when its number is 0.
    void errorQueue() {
        for (const auto& [reply, empty] :
             {std::pair{"+0,\"No error\"", true}, std::pair{"0", true},
              std::pair{"+01,\"oops\"", false}, std::pair{"0junk", false},
              std::pair{"-222,\"Data out of range\"", false}, std::pair{"", false}}) {
            QVERIFY2(noError(reply) == empty, reply);
        }
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
        QTest::newRow("no repeat") << QStringList{"--meter=sim", "--repeat=0"} << "--repeat takes";
        QTest::newRow("a limit in hex")
            << QStringList{"--meter=sim", "--max-inl=0x1"} << "--max-inl takes";
        QTest::newRow("no limit") << QStringList{"--meter=sim", "--max-dnl=nan"}
                                  << "--max-dnl takes";
        QTest::newRow("a tolerance of 100%")
            << QStringList{"--meter=sim", "--end-to-end=1000:100%"} << "--end-to-end takes";
        QTest::newRow("a record with a meter")
            << QStringList{"--from-csv=a.csv", "--meter=sim"} << "--from-csv reads a sweep already";
        QTest::newRow("a record with codes")
            << QStringList{"--from-csv=a.csv", "--codes=0:5"} << "takes no --codes";
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
              "USB0::1::2::INSTR", "TCPIPX::bench::INSTR", "TCPIP", "TCPIP0", "tcpip"}) {
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
