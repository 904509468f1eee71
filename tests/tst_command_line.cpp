#include "app/PortChoice.h"
#include "app/ProgramOptions.h"
#include "port/DirectIoPort.h"
#include "port/PpdevPort.h"
#include "port/SimulatedBoard.h"

#include "HostileInput.h"

#include <QTest>

using Outcome = Command_Line::Outcome;
Q_DECLARE_METATYPE(Command_Line::Outcome)

class Command_Line_Test : public QObject {
    Q_OBJECT

private slots:
    void reading_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("text_has");
        const auto row = [](const char* name, QStringList args, Outcome o, QString port,
                            QString has = {}) { QTest::newRow(name) << args << o << port << has; };
        row("nothing", {}, Outcome::Run, "auto");
        row("sim", {"--port=sim"}, Outcome::Run, "sim");
        row("sim, separate value", {"--port", "sim"}, Outcome::Run, "sim");
        row("direct", {"--port=direct"}, Outcome::Run, "direct");
        row("named device", {"--port=ppdev:/dev/parport1"}, Outcome::Run, "ppdev:/dev/parport1");
        row("help", {"--help"}, Outcome::Print_And_Exit, {}, "--port");
        row("short help", {"-h"}, Outcome::Print_And_Exit, {}, "zovrel-panel [options]");
        row("version", {"--version"}, Outcome::Print_And_Exit, {}, "zovrel-panel");
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
        QFETCH(QString, text_has);
        arguments.prepend(QStringLiteral("zovrel-panel"));
        const Command_Line line = Read_Command_Line(arguments);
        QCOMPARE(line.outcome, outcome);
        QVERIFY2(line.text.contains(text_has), qPrintable(line.text));
        switch (outcome) {
        case Outcome::Run:
            QCOMPARE(line.options.port, port);
            break;
        case Outcome::Print_And_Exit:
            QCOMPARE(line.exit_status, 0);
            break;
        case Outcome::Misuse:
            QCOMPARE(line.exit_status, 2);
            // One line of standard error, however odd the input.
            QCOMPARE(line.text.count(QLatin1Char('\n')), 1);
            QVERIFY(line.text.endsWith(QLatin1Char('\n')));
            QVERIFY(line.text.size() < 400);
            break;
        }
    }

    void hostile_input_gets_one_clear_line_or_a_sound_run() {
        std::mt19937 random(7);
        for (int round = 0; round < 5000; ++round) {
            QStringList arguments = Hostile_Arguments(random);
            const QString shown = arguments.join(' ').left(80);
            arguments.prepend(QStringLiteral("zovrel-panel"));
            const Command_Line line = Read_Command_Line(arguments);
            switch (line.outcome) {
            case Outcome::Misuse:
                QCOMPARE(line.exit_status, 2);
                QVERIFY2(line.text.count('\n') == 1 && line.text.endsWith('\n'), qPrintable(shown));
                QVERIFY2(line.text.size() < 600, qPrintable(shown));
                for (const QChar c : line.text.chopped(1)) {
                    QVERIFY2(c.isPrint(), qPrintable(shown));
                }
                break;
            case Outcome::Run:
                QVERIFY2(QStringList({"auto", "sim", "direct"}).contains(line.options.port) ||
                             line.options.port.startsWith("ppdev:/"),
                         qPrintable(shown));
                QVERIFY2(!arguments.contains("--trace=") || !line.options.trace.isEmpty(),
                         qPrintable(shown));
                break;
            case Outcome::Print_And_Exit:
                QCOMPARE(line.exit_status, 0);
                break;
            }
        }
    }

    void choosing_the_port_data() {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("kind");
        QTest::newRow("auto") << "auto"
                              << "ppdev";
        QTest::newRow("named device") << "ppdev:/dev/parport3"
                                      << "ppdev";
        QTest::newRow("direct") << "direct"
                                << "direct";
        QTest::newRow("sim") << "sim"
                             << "sim";
    }
    void choosing_the_port() {
        QFETCH(QString, port);
        QFETCH(QString, kind);
        Program_Options options;
        options.port = port;
        const Port_Choice choice = Choose_Port(options);
        QVERIFY(choice.output);
        // Chosen, not opened: nothing touches the port before the user acts.
        QVERIFY(!choice.output->isOpen());
        QCOMPARE(bool(dynamic_cast<PpdevPort*>(choice.output.get())), kind == "ppdev");
        QCOMPARE(bool(dynamic_cast<DirectIoPort*>(choice.output.get())), kind == "direct");
        QCOMPARE(bool(choice.board), kind == "sim");
        QCOMPARE(choice.board.get() == choice.output.get(), kind == "sim");
    }
};

QTEST_APPLESS_MAIN(Command_Line_Test)
#include "tst_command_line.moc"
