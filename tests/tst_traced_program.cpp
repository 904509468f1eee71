#include "ChildProcess.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

using Codes = QList<int>;

namespace {

QString tool(const char* name) {
    return QStandardPaths::findExecutable(QString::fromLatin1(name));
}

#define NEED_TOOL(name)                                                                            \
    do {                                                                                           \
        if (tool(name).isEmpty()) {                                                                \
            if (qEnvironmentVariable("CI") == "true")                                              \
                QFAIL(name " is missing (scripts/install-deps test installs it)");                 \
            QSKIP(name " is missing (scripts/install-deps test installs it)");                     \
        }                                                                                          \
    } while (false)

Codes logged(const QString& out) {
    Codes codes;
    static const QRegularExpression frame(QStringLiteral("^frame \\d+: code (\\d+)$"),
                                          QRegularExpression::MultilineOption);
    for (auto m = frame.globalMatch(out); m.hasNext();) {
        codes << m.next().captured(1).toInt();
    }
    return codes;
}

// The codes sigrok's SPI decoder finds in the trace, and how many bits it saw.
Codes decoded(const QString& trace, int* bits = nullptr) {
    QProcess sigrok;
    sigrok.start(tool("sigrok-cli"),
                 {"-I", "vcd", "-i", trace, "-P",
                  "spi:clk=D1:mosi=D0:cs=D2:cs_polarity=active-low:cpol=0:cpha=0:"
                  "bitorder=msb-first:wordsize=7",
                  "-A", "spi=mosi-data:mosi-bits"});
    sigrok.waitForFinished(60000);
    Codes codes;
    int bitCount = 0;
    for (const QString& line : QString::fromLocal8Bit(sigrok.readAllStandardOutput()).split('\n')) {
        const QString value = line.section(QStringLiteral(": "), 1).trimmed();
        if (value.size() == 2) {
            codes << value.toInt(nullptr, 16);
        } else if (value == "0" || value == "1") {
            ++bitCount;
        }
    }
    if (bits) {
        *bits = bitCount;
    }
    return codes;
}

} // namespace

class TracedProgramTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    void aTracedSessionDecodesToTheCodesSent_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<Codes>("codes");
        QTest::newRow("run at start-up") << "run" << Codes{0};
        QTest::newRow("code changes") << "code=1,code=2,code=3" << Codes{1, 2, 3};
        QTest::newRow("presets and run")
            << "code=5,full,code=42,run,mid,zero" << Codes{5, 127, 127, 42, 42, 64, 64, 0, 0};
    }
    void aTracedSessionDecodesToTheCodesSent() {
        QFETCH(QString, script);
        QFETCH(Codes, codes);
        NEED_TOOL("sigrok-cli");
        const QString trace = dir.filePath("session.vcd");
        const Finished r =
            runChild(QStringLiteral(SCRIPTED_PROGRAM), {"--port=sim", "--trace=" + trace},
                     testEnvironment(script + ",exit"));
        QCOMPARE(r.status, 0);
        QCOMPARE(logged(r.out), codes);
        int bits = 0;
        QCOMPARE(decoded(trace, &bits), codes);
        QCOMPARE(bits, 7 * int(codes.size()));
        QCOMPARE(traceStamps(trace), 16 * int(codes.size()) + 1);
    }

    void theTraceOpensInTheWaveformTools() {
        NEED_TOOL("vcd2fst");
        NEED_TOOL("fst2vcd");
        const QString trace = dir.filePath("viewer.vcd");
        QCOMPARE(runChild(SCRIPTED_PROGRAM, {"--port=sim", "--trace=" + trace},
                          testEnvironment("full,exit"))
                     .status,
                 0);
        const QString fst = dir.filePath("viewer.fst");
        QCOMPARE(QProcess::execute(tool("vcd2fst"), {trace, fst}), 0);
        QProcess back;
        back.start(tool("fst2vcd"), {fst});
        QVERIFY(back.waitForFinished(30000));
        const QString vcd = QString::fromLatin1(back.readAllStandardOutput());
        QCOMPARE(vcd.count(QRegularExpression("\\$var wire 1 \\S+ D[0-7] \\$end")), 8);
    }

    // The program closes its trace on whole frames, then dies by the signal, as
    // other tools do. SIGKILL cannot be handled: the frames written before it
    // are in the file all the same, without the closing timestamp.
    void aSignalEndsTheRunWithTheTraceWhole_data() {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("stampCount");
        QTest::newRow("SIGTERM") << int(SIGTERM) << 33;
        QTest::newRow("SIGINT") << int(SIGINT) << 33;
        QTest::newRow("SIGHUP, the terminal closed") << int(SIGHUP) << 33;
        QTest::newRow("SIGKILL") << int(SIGKILL) << 32;
    }
    void aSignalEndsTheRunWithTheTraceWhole() {
        QFETCH(int, signal);
        QFETCH(int, stampCount);
        NEED_TOOL("sigrok-cli");
        const QString trace = dir.filePath("signal.vcd");
        QProcess panel;
        panel.setProcessEnvironment(testEnvironment("full"));
        panel.start(QStringLiteral(SCRIPTED_PROGRAM), {"--port=sim", "--trace=" + trace});
        QString out;
        QTRY_VERIFY_WITH_TIMEOUT((out += panel.readAllStandardOutput()).contains("frame 2"), 20000);
        ::kill(pid_t(panel.processId()), signal);
        QVERIFY(panel.waitForFinished(20000));
        QCOMPARE(panel.exitStatus(), QProcess::CrashExit);
        QCOMPARE(panel.exitCode(), signal);
        QCOMPARE(decoded(trace), (Codes{127, 127}));
        QCOMPARE(traceStamps(trace), stampCount);
    }

    // Nobody reads the frame log: the panel still ends on SIGTERM.
    void aStalledFrameLogDoesNotHoldOffTheEnd() {
        const QString trace = dir.filePath("stalled.vcd");
        int output[2];
        QVERIFY(::pipe2(output, O_CLOEXEC) == 0);
        const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        QStringList actions;
        for (int i = 0; i < 3000; ++i) {
            actions << "full"
                    << "zero";
        }
        RawChild panel(SCRIPTED_PROGRAM, {"--port=sim", "--trace=" + trace}, in, output[1],
                       testEnvironment(actions.join(',')));
        QVERIFY(waitUntil([&output] {
            int waiting = 0;
            ::ioctl(output[0], FIONREAD, &waiting);
            return waiting > 60000;
        }));
        ::kill(panel.pid(), SIGTERM);
        const auto status = panel.finish(30000);
        for (const int fd : {output[0], output[1], in}) {
            ::close(fd);
        }
        QVERIFY2(status, "the panel hangs on its frame log");
        QVERIFY(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM);
        QCOMPARE(traceStamps(trace) % 16, 1);
    }

    // A closed standard output takes no file: the trace stays a trace.
    void aClosedStandardOutputTakesNoFile() {
        const QString trace = dir.filePath("closed.vcd");
        const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        RawChild panel(SCRIPTED_PROGRAM, {"--port=sim", "--trace=" + trace}, in, -1,
                       testEnvironment("full,exit"));
        const auto status = panel.finish(30000);
        ::close(in);
        QVERIFY(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
        QFile file(trace);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(!file.readAll().contains("frame"));
        QCOMPARE(traceStamps(trace), 33);
    }

    // A session that sends nothing leaves an existing trace as it was.
    void aSessionWithoutFramesLeavesTheTraceAlone() {
        const QString trace = dir.filePath("kept.vcd");
        QFile file(trace);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("an older session\n");
        file.close();
        QCOMPARE(
            runChild(SCRIPTED_PROGRAM, {"--port=sim", "--trace=" + trace}, testEnvironment("exit"))
                .status,
            0);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("an older session\n"));
    }

    // A trace that fills its disk is one failure, told once with its cause.
    void aFullDiskIsToldOnceWithItsCause() {
        const QString trace = dir.filePath("full.vcd");
        QProcess panel;
        panel.setProcessEnvironment(testEnvironment("full,zero,full,zero,full,exit"));
        panel.setChildProcessModifier([] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit small{1200, 1200};
            setrlimit(RLIMIT_FSIZE, &small);
        });
        panel.start(QStringLiteral(SCRIPTED_PROGRAM), {"--port=sim", "--trace=" + trace});
        QVERIFY(panel.waitForFinished(20000));
        QCOMPARE(panel.exitCode(), 1);
        const QString err = QString::fromLocal8Bit(panel.readAllStandardError());
        QCOMPARE(err.count("zovrel-panel: "), 1);
        QVERIFY2(err.contains("reached the port, but the trace file '" + trace +
                              "' could not be written: File too large (EFBIG); it keeps the"),
                 qPrintable(err));
        QCOMPARE(traceStamps(trace) % 16, 0);
    }

    // User text in a message is cleaned and cut short; a path is taken byte for byte.
    void pathsAreTakenAsTypedAndShownCleaned() {
        const QString device = "/dev/\x1b[2J\n" + QString(5000, u'p');
        const Finished f =
            runChild(SCRIPTED_PROGRAM, {"--port=ppdev:" + device}, testEnvironment("run,exit"));
        QCOMPARE(f.status, 1);
        const QStringList said = f.err.split('\n').filter(QRegularExpression("^zovrel-panel: "));
        QCOMPARE(said.size(), 1);
        QVERIFY2(said[0].size() < 600 && said[0].contains("/dev/?[2J?ppp"),
                 qPrintable(said[0].left(300)));
        QVERIFY(!said[0].contains(QRegularExpression("[\\x00-\\x1f]")));

        const QByteArray name = QFile::encodeName(dir.path()) + "/tr\xff\xfe.vcd";
        QProcess shell;
        shell.setProcessEnvironment(testEnvironment("run,exit"));
        shell.start("/bin/sh",
                    {"-c",
                     "exec \"$0\" --port=sim --trace=\"$(printf '%s/tr\\377\\376.vcd' \"$1\")\"",
                     SCRIPTED_PROGRAM, dir.path()});
        QVERIFY(shell.waitForFinished(20000));
        QCOMPARE(shell.exitCode(), 0);
        QVERIFY(::access(name.constData(), F_OK) == 0);
        ::unlink(name.constData());
    }

    // Every write of a frame in turn, and two in the second frame of Full Scale.
    void aFailureLeavesExactlyTheWordsWritten_data() {
        QTest::addColumn<int>("failAt");
        for (int k = 0; k <= 15; ++k) {
            QTest::addRow("write %d", k) << k;
        }
        for (int k : {16, 21}) {
            QTest::addRow("write %d, second frame", k) << k;
        }
    }
    void aFailureLeavesExactlyTheWordsWritten() {
        QFETCH(int, failAt);
        const QString trace = dir.filePath("failure.vcd");
        QProcessEnvironment env = testEnvironment("full,exit");
        env.insert("ZOVREL_FAIL_AT", QString::number(failAt));
        const Finished r = runChild(QStringLiteral(SCRIPTED_PROGRAM), {"--trace=" + trace}, env);
        QCOMPARE(r.status, 1);
        // Reported once, on standard error and in one box; no write after the fault.
        const QString what = QStringLiteral("the test port failed at write %1").arg(failAt);
        QCOMPARE(r.err.count("zovrel-panel: "), 1);
        QVERIFY(r.err.contains("zovrel-panel: " + what));
        QCOMPARE(r.out, QStringLiteral("box: Zovrel Rev B | critical | %1\nwrites: %2\n")
                            .arg(what)
                            .arg(failAt));
        QCOMPARE(traceStamps(trace), failAt == 0 ? 0 : failAt + 1);
    }

    void aTracePathThatCannotBeWrittenIsRefusedBeforeAnyWindow_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("says");
        QTest::newRow("missing folder") << "no/such/folder/t.vcd"
                                        << "(ENOENT)";
        QTest::newRow("a folder") << "."
                                  << "not a regular file";
        QTest::newRow("a device") << "/dev/zero"
                                  << "not a regular file";
        QTest::newRow("no name") << ""
                                 << "--trace needs a file name";
    }
    void aTracePathThatCannotBeWrittenIsRefusedBeforeAnyWindow() {
        QFETCH(QString, path);
        QFETCH(QString, says);
        const QString full = path.isEmpty() || path.startsWith('/') ? path : dir.filePath(path);
        // No platform can start: reaching the window system would abort.
        const Finished r =
            runChild(QStringLiteral(SCRIPTED_PROGRAM), {"--port=sim", "--trace=" + full},
                     testEnvironment("", "none-here"));
        QCOMPARE(r.status, 2);
        QVERIFY(r.out.isEmpty());
        QCOMPARE(r.err.count('\n'), 1);
        QVERIFY2(r.err.contains(says), qPrintable(r.err));
    }
};

QTEST_GUILESS_MAIN(TracedProgramTest)
#include "tst_traced_program.moc"
