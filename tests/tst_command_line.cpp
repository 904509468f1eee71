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
        row("nothing", {}, Outcome::Run, "auto");
        row("sim", {"--port=sim"}, Outcome::Run, "sim");
        row("sim, separate value", {"--port", "sim"}, Outcome::Run, "sim");
        row("direct", {"--port=direct"}, Outcome::Run, "direct");
        row("named device", {"--port=ppdev:/dev/parport1"}, Outcome::Run, "ppdev:/dev/parport1");
        row("help", {"--help"}, Outcome::PrintAndExit, {}, "--port");
        row("short help", {"-h"}, Outcome::PrintAndExit, {}, "zovrel-panel [options]");
        row("version", {"--version"}, Outcome::PrintAndExit, {}, "zovrel-panel");
        row("unknown option", {"--colour"}, Outcome::Misuse, {}, "colour");
        row("unknown port", {"--port=lpt2"}, Outcome::Misuse, {}, "'lpt2'");
        row("empty port", {"--port="}, Outcome::Misuse, {}, "unknown port ''");
        row("port without value", {"--port"}, Outcome::Misuse, {}, "port");
        row("device without path", {"--port=ppdev:"}, Outcome::Misuse, {}, "ppdev:");
        row("relative device", {"--port=ppdev:parport0"}, Outcome::Misuse, {}, "ppdev:parport0");
        row("port twice", {"--port=sim", "--port=auto"}, Outcome::Misuse, {}, "more than once");
        row("positional argument", {"board.cfg"}, Outcome::Misuse, {}, "board.cfg");
        row("control characters", {"--port=a\nb\x1b[2J"}, Outcome::Misuse, {}, "a?b?[2J");
        row("long value", {"--port=" + QString(5000, u'x')}, Outcome::Misuse, {}, "xxx...");
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
        QVERIFY2(text.contains(textHas), qPrintable(text));
        switch (outcome) {
        case Outcome::Run:
            QCOMPARE(QString::fromStdString(line.options.port), port);
            break;
        case Outcome::PrintAndExit:
            QCOMPARE(line.exitStatus, 0);
            break;
        case Outcome::Misuse:
            QCOMPARE(line.exitStatus, 2);
            // One line of standard error, however odd the input.
            QCOMPARE(text.count(QLatin1Char('\n')), 1);
            QVERIFY(text.endsWith(QLatin1Char('\n')));
            QVERIFY(text.size() < 400);
            break;
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
