#include "HostileInput.h"
#include "RecorderPort.h"

#include "hardware/DirectIoPort.h"
#include "hardware/PpdevPort.h"
#include "model/Module1.h"
#include "port/FrameWriter.h"
#include "port/TappedPort.h"
#include "setup/PortStack.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using Outcome = CommandLine::Outcome;
Q_DECLARE_METATYPE(CommandLine::Outcome)

class CommandLineTest : public QObject {
    Q_OBJECT

private slots:
    void reading_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("textHas");
        const auto row = [](const char* name, QStringList args, Outcome o, QString port,
                            QString has = {}) { QTest::newRow(name) << args << o << port << has; };
        const QString ports = "; use auto, sim, direct, ppdev:/dev/parportN, ftdi, ftdi:SERIAL or "
                              "gpio:CHIP:D0=LINE,D1=LINE,D2=LINE";
        row("nothing", {}, Outcome::Run, "auto");
        row("sim", {"--port=sim"}, Outcome::Run, "sim");
        row("monitor", {"--monitor"}, Outcome::Run, "auto+monitor");
        // GPIO lines: D0 to D2 mapped, each data line and each GPIO line once.
        const QString gpio = "gpio:gpiochip0:D0=17,D1=18,D2=27,D5=22";
        row("GPIO lines by offset", {"--port=" + gpio}, Outcome::Run, gpio);
        row("GPIO lines by name, the chip by path",
            {"--port=gpio:/dev/gpiochip0:D0=GPIO17,D1=GPIO18,D2=GPIO27"}, Outcome::Run,
            "gpio:/dev/gpiochip0:D0=GPIO17,D1=GPIO18,D2=GPIO27");
        row("GPIO without select", {"--port=gpio:gpiochip0:D0=17,D1=18"}, Outcome::Misuse, {},
            "--port=gpio:gpiochip0:D0=17,D1=18: D0 (data), D1 (clock) and D2 (select) must be "
            "mapped; D2 is not");
        row("GPIO data line twice", {"--port=gpio:gpiochip0:D0=1,D0=2,D1=3,D2=4"}, Outcome::Misuse,
            {}, "--port=gpio:gpiochip0:D0=1,D0=2,D1=3,D2=4: D0 is mapped twice");
        row("GPIO line for two data lines", {"--port=gpio:gpiochip0:D0=5,D1=5,D2=6"},
            Outcome::Misuse, {},
            "--port=gpio:gpiochip0:D0=5,D1=5,D2=6: GPIO line '5' is mapped to two data lines");
        row("GPIO with no data line", {"--port=gpio:gpiochip0:"}, Outcome::Misuse, {},
            "--port=gpio:gpiochip0:: '' is not DATA=LINE, such as D0=17 or D2=GPIO27");
        row("GPIO data line D8", {"--port=gpio:gpiochip0:D0=1,D1=2,D2=3,D8=4"}, Outcome::Misuse, {},
            "--port=gpio:gpiochip0:D0=1,D1=2,D2=3,D8=4: 'D8=4' is not DATA=LINE, such as "
            "D0=17 or D2=GPIO27");
        row("GPIO without a chip", {"--port=gpio:"}, Outcome::Misuse, {},
            "--port=gpio:: a GPIO port is gpio:CHIP:D0=LINE,D1=LINE,D2=LINE[,D5=LINE...]");
        // The window system's own options are Qt's to take.
        row("a style", {"-style=Fusion", "--port=sim"}, Outcome::Run, "sim");
        row("a style, separate value", {"-style", "Fusion"}, Outcome::Run, "auto");
        row("right to left, two dashes", {"--reverse", "-platform", "xcb"}, Outcome::Run, "auto");
        row("a style without its value", {"-style"}, Outcome::Misuse, {},
            "Unknown option 'style'.");
        row("sim, separate value", {"--port", "sim"}, Outcome::Run, "sim");
        row("direct", {"--port=direct"}, Outcome::Run, "direct");
        row("named device", {"--port=ppdev:/dev/parport1"}, Outcome::Run, "ppdev:/dev/parport1");
        row("help", {"--help"}, Outcome::PrintAndExit, {}, "--port");
        row("short help", {"-h"}, Outcome::PrintAndExit, {}, "zovrel-panel [options]");
        row("version", {"--version"}, Outcome::PrintAndExit, {}, "zovrel-panel");
        // Misuse: the whole reason, as the line says it.
        row("unknown option", {"--colour"}, Outcome::Misuse, {}, "Unknown option 'colour'.");
        row("the sender's option", {"--interval=5"}, Outcome::Misuse, {},
            "Unknown option 'interval'.");
        row("unknown port", {"--port=lpt2"}, Outcome::Misuse, {}, "unknown port 'lpt2'" + ports);
        row("empty port", {"--port="}, Outcome::Misuse, {}, "unknown port ''" + ports);
        row("port without value", {"--port"}, Outcome::Misuse, {}, "Missing value after '--port'.");
        row("device without path", {"--port=ppdev:"}, Outcome::Misuse, {},
            "unknown port 'ppdev:'" + ports);
        row("relative device", {"--port=ppdev:parport0"}, Outcome::Misuse, {},
            "unknown port 'ppdev:parport0'" + ports);
        row("device that is only a slash", {"--port=ppdev:/"}, Outcome::Misuse, {},
            "unknown port 'ppdev:/'" + ports);
        row("port twice", {"--port=sim", "--port=auto"}, Outcome::Misuse, {},
            "--port given more than once");
        row("trace twice", {"--trace=a", "--trace=b"}, Outcome::Misuse, {},
            "--trace given more than once");
        row("empty trace", {"--trace="}, Outcome::Misuse, {}, "--trace needs a file name");
        row("trace to standard output", {"--trace=-"}, Outcome::Misuse, {},
            "--trace=- is not taken: the trace is not written to standard output; name a file");
        row("switch with a value", {"--monitor=yes"}, Outcome::Misuse, {},
            "Unexpected value after '--monitor'.");
        row("positional argument", {"board.cfg"}, Outcome::Misuse, {},
            "unexpected argument 'board.cfg'");
        row("control characters", {"--port=a\nb\x1b[2J"}, Outcome::Misuse, {},
            "unknown port 'a?b?[2J'" + ports);
        row("long value", {"--port=" + QString(5000, u'x')}, Outcome::Misuse, {},
            "unknown port '" + QString(186, u'x') + "...");
    }
    void reading() {
        QFETCH(QStringList, arguments);
        QFETCH(Outcome, outcome);
        QFETCH(QString, port);
        QFETCH(QString, textHas);
        arguments.prepend(QStringLiteral("zovrel-panel"));
        const CommandLine line = readArguments(arguments);
        const QString text = QString::fromStdString(line.text);
        QCOMPARE(line.outcome, outcome);
        switch (outcome) {
        case Outcome::Run:
            QCOMPARE(QString::fromStdString(line.options.port), port.section('+', 0, 0));
            QCOMPARE(line.options.monitor, port.endsWith("+monitor"));
            QCOMPARE(text, QString());
            break;
        case Outcome::PrintAndExit:
            QCOMPARE(line.exitStatus, 0);
            QVERIFY2(text.contains(textHas), qPrintable(text));
            break;
        case Outcome::Misuse:
            QCOMPARE(line.exitStatus, 2);
            QCOMPARE(text, "zovrel-panel: " + textHas + " (try --help)\n");
            break;
        }
    }

    // The sender's wait: 0 to 3600000 ms, digits only.
    void intervalBounds_data() {
        QTest::addColumn<QString>("given");
        QTest::addColumn<int>("milliseconds"); // -1: refused
        QTest::newRow("none") << "0" << 0;
        QTest::newRow("the longest") << "3600000" << 3600000;
        QTest::newRow("leading zeros") << "0003600000" << 3600000;
        QTest::newRow("one past the longest") << "3600001" << -1;
        QTest::newRow("far past any integer") << "99999999999999999999999" << -1;
        QTest::newRow("negative") << "-1" << -1;
        QTest::newRow("signed") << "+5" << -1;
        QTest::newRow("a unit") << "5ms" << -1;
        QTest::newRow("a space") << " 5" << -1;
        QTest::newRow("empty") << "" << -1;
    }
    void intervalBounds() {
        QFETCH(QString, given);
        QFETCH(int, milliseconds);
        const CommandLine line = readCommandLine(
            {"zovrel-send", "--interval=" + given.toStdString(), "1"}, Program::Sender);
        if (milliseconds < 0) {
            QCOMPARE(QString::fromStdString(line.text),
                     "zovrel-send: --interval takes a whole number of milliseconds from 0 to "
                     "3600000, not '" +
                         given + "' (try --help)\n");
        } else {
            QCOMPARE(line.outcome, Outcome::Run);
            QCOMPARE(line.options.intervalMs, milliseconds);
        }
    }

    void hostileInputGetsOneClearLineOrASoundRun() {
        std::mt19937 random(7);
        for (int round = 0; round < 5000; ++round) {
            QStringList arguments = hostileArguments(random);
            const QString shown = arguments.join(' ').left(80);
            arguments.prepend(QStringLiteral("zovrel-panel"));
            const CommandLine line = readArguments(arguments);
            const QString text = QString::fromStdString(line.text);
            const QString port = QString::fromStdString(line.options.port);
            switch (line.outcome) {
            case Outcome::Misuse:
                QCOMPARE(line.exitStatus, 2);
                QVERIFY2(text.count('\n') == 1 && text.endsWith('\n'), qPrintable(shown));
                QVERIFY2(text.size() < 600, qPrintable(shown));
                for (const QChar c : text.chopped(1)) {
                    QVERIFY2(c.isPrint(), qPrintable(shown));
                }
                break;
            case Outcome::Run:
                QVERIFY2(QStringList({"auto", "sim", "direct"}).contains(port) ||
                             port.startsWith("ppdev:/"),
                         qPrintable(shown));
                QVERIFY2(!arguments.contains("--trace=") || !line.options.trace.empty(),
                         qPrintable(shown));
                break;
            case Outcome::PrintAndExit:
                QCOMPARE(line.exitStatus, 0);
                break;
            }
        }
    }

    void buildingThePortStack_data() {
        QTest::addColumn<QString>("port");
        QTest::addColumn<bool>("monitor");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("watched");
        QTest::newRow("auto") << "auto" << false << "ppdev" << false;
        QTest::newRow("named device") << "ppdev:/dev/parport3" << false << "ppdev" << false;
        QTest::newRow("direct") << "direct" << false << "direct" << false;
        QTest::newRow("sim") << "sim" << false << "sim" << true;
        QTest::newRow("monitor on a real port: a shadow chip")
            << "auto" << true << "tapped" << true;
        QTest::newRow("replaced by a test: no real port is made")
            << "auto" << false << "test" << false;
    }
    void buildingThePortStack() {
        QFETCH(QString, port);
        QFETCH(bool, monitor);
        QFETCH(QString, kind);
        QFETCH(bool, watched);
        ProgramOptions options;
        options.port = port.toStdString();
        options.monitor = monitor;
        auto replacement = kind == "test" ? std::make_shared<RecorderPort>() : nullptr;
        const PortStack stack = buildPortStack(options, Program::Panel, replacement);
        QVERIFY(stack.output);
        // Chosen, not opened: nothing touches the port before the user acts.
        QVERIFY(!stack.output->isOpen());
        QCOMPARE(bool(dynamic_cast<PpdevPort*>(stack.output.get())), kind == "ppdev");
        QCOMPARE(bool(dynamic_cast<DirectIoPort*>(stack.output.get())), kind == "direct");
        QCOMPARE(bool(dynamic_cast<TappedPort*>(stack.output.get())), kind == "tapped");
        QCOMPARE(stack.output == replacement, kind == "test");
        QCOMPARE(stack.simulated, kind == "sim");
        QCOMPARE(bool(stack.board), watched);
    }

    // A word is stamped when it reaches the port; the frame log and the
    // monitor, however slow, come after.
    void theTraceStampsEachWordBeforeTheFrameIsShown() {
        QTemporaryDir dir;
        ProgramOptions options;
        options.port = "sim";
        options.trace = dir.filePath("stamps.vcd").toStdString();
        PortStack stack = buildPortStack(options, Program::Sender);
        stack.board->onFrameLatched([](const LatchedFrame&) { QThread::msleep(200); });
        stack.install();
        Module1::Data_Byte = 5;
        Read_Write_Bits_to_Parallel_Port();
        QVERIFY(!stack.finish());
        QFile file(dir.filePath("stamps.vcd"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const auto stamps = QRegularExpression("\\n#(\\d+)\\n").globalMatch(file.readAll());
        QList<qint64> times;
        for (auto m = stamps; m.hasNext();) {
            times << m.next().captured(1).toLongLong();
        }
        QCOMPARE(times.size(), 17); // sixteen words and the closing stamp
        QVERIFY2(times[15] - times[14] < 100'000'000,
                 qPrintable(QString::number(times[15] - times[14])));
    }
};

QTEST_APPLESS_MAIN(CommandLineTest)
#include "tst_command_line.moc"
