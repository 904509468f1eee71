#include "ChildProcess.h"
#include "RecorderPort.h"

#include "send/Sender.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

const QString senderProgram = QStringLiteral(SENDER_PROGRAM);

QStringList frameLines(const QString& out) {
    return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts).filter(QStringLiteral("frame "));
}

QString expectedFrames(int first, int last) {
    QString text;
    for (int code = first; code <= last; ++code) {
        text += QStringLiteral("frame %1: code %2\n").arg(code - first + 1).arg(code);
    }
    return text;
}

} // namespace

class SenderTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    // Each is refused before any frame: one line, status 2, no trace made.
    void badArgumentsSendNothing_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("says");
        const QString notCode = QStringLiteral("is not a whole number from 0 to 127");
        QTest::newRow("128") << QStringList{"1", "128"} << "code 2 of 2, '128', " + notCode;
        QTest::newRow("-1") << QStringList{"-1"} << "'-1', " + notCode;
        QTest::newRow("64.5") << QStringList{"64.5"} << "'64.5', " + notCode;
        QTest::newRow("0x40") << QStringList{"0x40"} << "'0x40', " + notCode;
        QTest::newRow("1e2") << QStringList{"5", "1e2"} << "code 2 of 2, '1e2'";
        QTest::newRow("empty") << QStringList{""} << "'', " + notCode;
        QTest::newRow("40 digits") << QStringList{QString(40, u'9')} << notCode;
        QTest::newRow("not text") << QStringList{QString::fromLatin1("\x01\x1b[2J")}
                                  << "'??[2J', " + notCode;
        QTest::newRow("no codes") << QStringList{} << "no codes to send; usage: zovrel-send";
        QTest::newRow("unknown option") << QStringList{"--colour", "1"} << "Unknown option";
        QTest::newRow("bad port") << QStringList{"--port=lpt1", "1"} << "unknown port 'lpt1'";
        QTest::newRow("bad interval") << QStringList{"--interval=-5", "1"} << "--interval takes";
        QTest::newRow("long interval") << QStringList{"--interval=3600001", "1"} << "not '3600001'";
        QTest::newRow("codes beside -") << QStringList{"1", "-"} << "takes no codes beside it";
        QTest::newRow("unfit trace")
            << QStringList{"--trace=/dev/null", "1"} << "not a regular file";
    }
    void badArgumentsSendNothing() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, says);
        const QString trace = dir.filePath(QStringLiteral("refused.vcd"));
        QFile::remove(trace);
        // The simulated board and a trace, unless the row names its own.
        for (const QString& option : {QStringLiteral("--port=sim"), "--trace=" + trace}) {
            if (arguments.filter(option.section(u'=', 0, 0)).isEmpty()) {
                arguments.prepend(option);
            }
        }
        const Finished f = runChild(senderProgram, arguments, testEnvironment());
        QCOMPARE(f.status, 2);
        QCOMPARE(f.out, QString());
        QCOMPARE(f.err.count(QLatin1Char('\n')), 1);
        QVERIFY2(f.err.startsWith(QLatin1String("zovrel-send: ")) && f.err.contains(says),
                 qPrintable(f.err));
        QVERIFY(!QFile::exists(trace));
    }

    void aSweepFromStandardInputLatchesEveryCodeInOrder() {
        QByteArray codes;
        for (int code = 0; code <= 127; ++code) {
            codes += QByteArray::number(code) + (code % 10 == 9 ? "\n" : " ");
        }
        const Finished f = runChild(senderProgram, {"--port=sim", "-"}, testEnvironment(), codes);
        QCOMPARE(f.status, 0);
        QCOMPARE(f.out, expectedFrames(0, 127));
        QCOMPARE(f.err, QString());
    }

    void aBadTokenStopsTheRunAtThatToken() {
        const QString trace = dir.filePath(QStringLiteral("bad-token.vcd"));
        const Finished f = runChild(senderProgram, {"--port=sim", "--trace=" + trace, "-"},
                                    testEnvironment(), "0 1\n2 z\x1b 3\n");
        QCOMPARE(f.status, 2);
        QCOMPARE(f.out, expectedFrames(0, 2));
        QCOMPARE(f.err, QStringLiteral("zovrel-send: line 2: 'z?' is not a whole number from 0 to "
                                       "127; 3 frames sent before it\n"));
        QCOMPARE(traceStamps(trace), 3 * 16 + 1);
    }

    void aFailingPortEndsTheRunAtThatFrame_data() {
        QTest::addColumn<int>("failAt");
        QTest::newRow("first word") << 0;
        QTest::newRow("inside the third frame") << 2 * 16 + 9;
    }
    void aFailingPortEndsTheRunAtThatFrame() {
        QFETCH(int, failAt);
        auto port = std::make_shared<RecorderPort>(std::size_t(failAt));
        const char* argv[] = {"zovrel-send", "5", "6", "7", "8"};
        QCOMPARE(runSender(5, const_cast<char**>(argv), port), 1);
        QCOMPARE(port->writes().size(), std::size_t(failAt));
        QCOMPARE(port->attempts(), std::size_t(failAt + 1));
    }

    // A signal ends the run between frames: the trace holds whole frames only.
    void aSignalLeavesWholeFramesOnly_data() {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }
    void aSignalLeavesWholeFramesOnly() {
        QFETCH(int, signal);
        const QString trace = dir.filePath(QStringLiteral("signal.vcd"));
        QProcess process;
        process.start(senderProgram,
                      QStringList{"--port=sim", "--interval=20", "--trace=" + trace, "-"});
        QVERIFY(process.waitForStarted());
        process.write("1 2 3 4 5 6 7 8 9 10 11 12\n"); // standard input stays open
        QString out;
        QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).contains("frame 3:"),
                                 10000);
        ::kill(pid_t(process.processId()), signal);
        QVERIFY(process.waitForFinished(10000));
        out += process.readAllStandardOutput();
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 128 + signal);
        const int sent = int(frameLines(out).size());
        QVERIFY(sent >= 3 && sent < 12);
        QCOMPARE(traceStamps(trace), 16 * sent + 1);
    }

    void itNeedsNoWindowSystem() {
        QProcess ldd;
        ldd.start(QStringLiteral("ldd"), {senderProgram});
        QVERIFY(ldd.waitForFinished());
        const QString libraries = QString::fromLocal8Bit(ldd.readAllStandardOutput());
        QVERIFY(libraries.contains(QLatin1String("libstdc++")));
        QVERIFY2(!libraries.contains(QRegularExpression("libQt6|libX11|libxcb|libwayland")),
                 qPrintable(libraries));
    }
};

QTEST_GUILESS_MAIN(SenderTest)
#include "tst_sender.moc"
