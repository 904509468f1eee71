#include "ChildProcess.h"
#include "RecorderPort.h"

#include "send/Sender.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/ioctl.h>
#include <sys/resource.h>

#include <csignal>

namespace {

const QString senderProgram = QStringLiteral(SENDER_PROGRAM);

QStringList frameLines(const QString& out) {
    return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts).filter(QStringLiteral("frame "));
}

QString expectedFrames(QList<int> codes) {
    QString text;
    for (int i = 0; i < codes.size(); ++i) {
        text += QStringLiteral("frame %1: code %2\n").arg(i + 1).arg(codes[i]);
    }
    return text;
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

const QString helpText = QStringLiteral(
    "Usage: zovrel-send [options] CODE...|-\n"
    "Sends wiper codes (0 to 127) to the Zovrel Rev B board on the first parallel port (0x378), "
    "one frame each, in the order given.\n\n"
    "Options:\n"
    "  -h, --help        Show this help and exit.\n"
    "  --version         Show the program's version and exit.\n"
    "  --port <port>     How to reach the board: auto (the parallel port at 0x378 through ppdev, "
    "the default), ppdev:/dev/parportN (that port, taken as 0x378), direct (I/O instructions; "
    "needs CAP_SYS_RAWIO), ftdi or ftdi:SERIAL (an FTDI USB adapter in bit-bang mode, the one "
    "there is or the one with that serial number), gpio:CHIP:D0=LINE,D1=LINE,D2=LINE,... (GPIO "
    "lines of a single-board computer) or sim (a simulated board that prints every frame it "
    "latches).\n"
    "  --trace <file>    Record every word written to the port in <file>, a Value Change Dump of "
    "the data lines D0 to D7 (an existing file is replaced).\n"
    "  --interval <ms>   Wait <ms> milliseconds after each frame but the last (0 to 3600000).\n\n"
    "Arguments:\n"
    "  CODE...|-         Codes 0 to 127, or - to read them from standard input.\n");

} // namespace

class SenderTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString manyCodes; // a file of 1,000,000 codes

private slots:
    void initTestCase() {
        manyCodes = dir.filePath("million.codes");
        writeFile(manyCodes, QByteArray("64\n").repeated(1'000'000));
    }

    // Refused before any frame: the whole line, status 2, no trace made.
    void badArgumentsSendNothing_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("says");
        const QString notCode = QStringLiteral("is not a whole number from 0 to 127 (try --help)");
        QTest::newRow("128") << QStringList{"1", "128"} << "code 2 of 2, '128', " + notCode;
        QTest::newRow("-1") << QStringList{"-1"} << "code 1 of 1, '-1', " + notCode;
        QTest::newRow("+5") << QStringList{"+5"} << "code 1 of 1, '+5', " + notCode;
        QTest::newRow("64.5") << QStringList{"64.5"} << "code 1 of 1, '64.5', " + notCode;
        QTest::newRow("-.5") << QStringList{"-.5"} << "code 1 of 1, '-.5', " + notCode;
        QTest::newRow("0x40") << QStringList{"0x40"} << "code 1 of 1, '0x40', " + notCode;
        QTest::newRow("1e2") << QStringList{"5", "1e2"} << "code 2 of 2, '1e2', " + notCode;
        QTest::newRow("padded 128") << QStringList{"00128"} << "code 1 of 1, '00128', " + notCode;
        QTest::newRow("empty") << QStringList{""} << "code 1 of 1, '', " + notCode;
        QTest::newRow("40 digits") << QStringList{QString(40, u'9')}
                                   << "code 1 of 1, '" + QString(40, u'9') + "', " + notCode;
        QTest::newRow("not text") << QStringList{QString::fromLatin1("\x01\x1b[2J")}
                                  << "code 1 of 1, '??[2J', " + notCode;
        QTest::newRow("no codes") << QStringList{}
                                  << "no codes to send; usage: zovrel-send [options] CODE... or "
                                     "zovrel-send [options] - (try --help)";
        QTest::newRow("unknown option")
            << QStringList{"--colour", "1"} << "Unknown option 'colour'. (try --help)";
        QTest::newRow("bad port")
            << QStringList{"--port=lpt1", "1"}
            << "unknown port 'lpt1'; use auto, sim, direct, ppdev:/dev/parportN, ftdi, "
               "ftdi:SERIAL or gpio:CHIP:D0=LINE,D1=LINE,D2=LINE (try --help)";
        const QString interval =
            "--interval takes a whole number of milliseconds from 0 to 3600000, not '%1' "
            "(try --help)";
        QTest::newRow("negative interval")
            << QStringList{"--interval=-5", "1"} << interval.arg("-5");
        QTest::newRow("interval one too long")
            << QStringList{"--interval=3600001", "1"} << interval.arg("3600001");
        QTest::newRow("interval with a unit")
            << QStringList{"--interval=5ms", "1"} << interval.arg("5ms");
        QTest::newRow("interval twice") << QStringList{"--interval=1", "--interval=2", "1"}
                                        << "--interval given more than once (try --help)";
        QTest::newRow("interval without value")
            << QStringList{"1", "--interval"} << "Missing value after '--interval'. (try --help)";
        QTest::newRow("codes beside -")
            << QStringList{"1", "-"}
            << "'-' reads the codes from standard input and takes no codes beside it (try --help)";
        QTest::newRow("trace to standard output")
            << QStringList{"--trace=-", "1"}
            << "--trace=- is not taken: the trace is not written to standard output; name a file "
               "(try --help)";
        QTest::newRow("unfit trace")
            << QStringList{"--trace=/dev/null", "1"}
            << "cannot write the trace file '/dev/null': it exists and is not a regular file";
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
        QCOMPARE(f.err, "zovrel-send: " + says + "\n");
        QVERIFY(!QFile::exists(trace));
    }

    // Every ending of a run that starts: its status, its whole message, its frames.
    void endings_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("err");
        QTest::addColumn<QList<int>>("frames");
        QTest::newRow("codes padded with zeros")
            << QStringList{"--port=sim", "0064", "0127", "000", "007"} << QByteArray() << 0 << ""
            << QList<int>{64, 127, 0, 7};
        QTest::newRow("the longest interval, one code")
            << QStringList{"--port=sim", "--interval=3600000", "5"} << QByteArray() << 0 << ""
            << QList<int>{5};
        QTest::newRow("a sweep from standard input, the last code without a new line")
            << QStringList{"--port=sim", "-"} << QByteArray("0 1\n\n 127\t0064") << 0 << ""
            << QList<int>{0, 1, 127, 64};
        QTest::newRow("nothing on standard input")
            << QStringList{"--port=sim", "-"} << QByteArray("") << 0 << "" << QList<int>{};
        QTest::newRow("a bad token stops the run at that token")
            << QStringList{"--port=sim", "-"} << QByteArray("0 1\n2 z\x1b 3\n") << 2
            << "zovrel-send: line 2: 'z?' is not a whole number from 0 to 127; 3 frames sent "
               "before it\n"
            << QList<int>{0, 1, 2};
        QTest::newRow("a bad first token")
            << QStringList{"--port=sim", "-"} << QByteArray("300\n") << 2
            << "zovrel-send: line 1: '300' is not a whole number from 0 to 127; 0 frames sent "
               "before it\n"
            << QList<int>{};
        QTest::newRow("a bad token of 40 characters is shown whole")
            << QStringList{"--port=sim", "-"} << QByteArray(40, 'y') << 2
            << "zovrel-send: line 1: '" + QString(40, u'y') +
                   "' is not a whole number from 0 to 127; 0 frames sent before it\n"
            << QList<int>{};
        QTest::newRow("a long bad token is cut")
            << QStringList{"--port=sim", "-"} << QByteArray("1 ") + QByteArray(100, 'x') << 2
            << "zovrel-send: line 1: '" + QString(40, u'x') +
                   "...' is not a whole number from 0 to 127; 1 frame sent before it\n"
            << QList<int>{1};
        QTest::newRow("a port that is not there")
            << QStringList{"--port=ppdev:/nonexistent/parport9", "5", "6"} << QByteArray() << 1
            << "zovrel-send: frame 1 failed: /nonexistent/parport9 does not exist. Load the ppdev "
               "driver with 'sudo modprobe ppdev', or name the right device with "
               "--port=ppdev:/dev/parportN. (0 frames sent whole)\n"
            << QList<int>{};
        QTest::newRow("help") << QStringList{"--help"} << QByteArray() << 0 << "" << QList<int>{};
    }
    void endings() {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, input);
        QFETCH(int, status);
        QFETCH(QString, err);
        QFETCH(QList<int>, frames);
        const Finished f = runChild(senderProgram, arguments, testEnvironment(), input);
        QCOMPARE(f.status, status);
        QCOMPARE(f.err, err);
        if (arguments.contains("--help")) {
            QCOMPARE(f.out, helpText);
        } else {
            QCOMPARE(f.out, expectedFrames(frames));
        }
    }

    void unreadableStandardInputIsStatus1WithItsReason() {
        QProcess process;
        process.setStandardInputFile(dir.path()); // a folder: read gives EISDIR
        process.start(senderProgram, {"--port=sim", "-"});
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), 1);
        QCOMPARE(QString::fromLocal8Bit(process.readAllStandardError()),
                 "zovrel-send: standard input could not be read: Is a directory (EISDIR); 0 "
                 "frames sent before it\n");
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
        QVERIFY(!port->isOpen()); // released on the way out
    }

    // SIGINT, SIGTERM and SIGHUP end a run within a frame however the codes
    // come, even while nobody reads standard output: the program dies by the
    // signal, as other tools do, with the trace holding whole frames only.
    void aStopSignalEndsTheRunBetweenFrames_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("input"); // a file, or "pipe" for one the test feeds slowly
        QTest::addColumn<bool>("outputStalls");
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("given"); // codes given: the run must end before them all
        QStringList manyOnTheLine{"--port=sim"};
        for (int i = 0; i < 100'000; ++i) {
            manyOnTheLine << QString::number(i % 128);
        }
        QTest::newRow("codes on the command line, output stalled, SIGINT")
            << manyOnTheLine << "" << true << int(SIGINT) << 100'000;
        QTest::newRow("codes waiting on standard input, output stalled, SIGTERM")
            << QStringList{"--port=sim", "-"} << "million" << true << int(SIGTERM) << 1'000'000;
        QTest::newRow("codes waiting, output to a file, SIGHUP")
            << QStringList{"--port=sim", "-"} << "million" << false << int(SIGHUP) << 1'000'000;
        QTest::newRow("a slow pipe, SIGHUP")
            << QStringList{"--port=sim", "-"} << "pipe" << false << int(SIGHUP) << 4;
        QTest::newRow("waiting out an interval, SIGINT")
            << QStringList{"--port=sim", "--interval=60000", "-"} << "million" << false
            << int(SIGINT) << 2;
    }
    void aStopSignalEndsTheRunBetweenFrames() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, input);
        QFETCH(bool, outputStalls);
        QFETCH(int, signal);
        QFETCH(int, given);
        const QString trace = dir.filePath("signal.vcd");
        const QString log = dir.filePath("signal.log");
        QFile::remove(trace);
        arguments.insert(1, "--trace=" + trace);
        int feed[2] = {-1, -1};
        int output[2] = {-1, -1};
        QVERIFY(::pipe2(feed, O_CLOEXEC) == 0 && ::pipe2(output, O_CLOEXEC) == 0);
        const int in = input == "pipe" ? feed[0]
                       : input.isEmpty()
                           ? ::open("/dev/null", O_RDONLY | O_CLOEXEC)
                           : ::open(QFile::encodeName(manyCodes).constData(), O_RDONLY | O_CLOEXEC);
        const int out = outputStalls ? output[1]
                                     : ::open(QFile::encodeName(log).constData(),
                                              O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        RawChild sender(senderProgram, arguments, in, out, testEnvironment());
        if (input == "pipe") {
            QCOMPARE(::write(feed[1], "1 2 3\n", 6), 6);
        }
        const auto bytesWaiting = [&output] {
            int waiting = 0;
            ::ioctl(output[0], FIONREAD, &waiting);
            return waiting;
        };
        // Under way: a frame traced, or standard output full.
        QVERIFY(waitUntil(
            [&] { return outputStalls ? bytesWaiting() > 60000 : traceStamps(trace) >= 16; }));
        ::kill(sender.pid(), signal);
        const auto status = sender.finish(30000);
        QVERIFY2(status, "the signal did not end the run");
        QVERIFY(WIFSIGNALED(*status));
        QCOMPARE(WTERMSIG(*status), signal);
        const int stamps = traceStamps(trace);
        QVERIFY2(stamps >= 17 && stamps % 16 == 1, qPrintable(QString::number(stamps)));
        QVERIFY2(stamps / 16 < given, "the run went on after the signal");
        if (!outputStalls) {
            QCOMPARE(frameLines(QString::fromLatin1(fileBytes(log))).size(), stamps / 16);
        }
        for (const int fd : {feed[0], feed[1], output[0], output[1], in, out}) {
            ::close(fd);
        }
    }

    // What the program opens never lands on a closed standard stream.
    void aClosedStandardStreamTakesNoFile() {
        const QString trace = dir.filePath("closed-stdout.vcd");
        const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        RawChild sender(senderProgram, {"--port=sim", "--trace=" + trace, "5", "6"}, in, -1,
                        testEnvironment());
        const auto status = sender.finish(30000);
        ::close(in);
        QVERIFY(status && WIFEXITED(*status));
        QCOMPARE(WEXITSTATUS(*status), 0);
        QVERIFY(!fileBytes(trace).contains("frame"));
        QCOMPARE(traceStamps(trace), 33);
    }

    // A file the user has is never damaged: a run that may not write it, or
    // writes no word, leaves it byte for byte as it was.
    void theUsersFilesAreLeftAlone_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("stream"); // which standard stream is the file itself
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("err");
        QTest::newRow("the trace is standard input")
            << QStringList{"--port=sim", "-"} << "in" << 2
            << "zovrel-send: cannot write the trace file '%1': it is this program's standard "
               "input\n";
        QTest::newRow("the trace is standard output")
            << QStringList{"--port=sim", "5"} << "out" << 2
            << "zovrel-send: cannot write the trace file '%1': it is this program's standard "
               "output\n";
        QTest::newRow("a bad first code on standard input")
            << QStringList{"--port=sim", "-"} << "" << 2
            << "zovrel-send: line 1: 'x' is not a whole number from 0 to 127; 0 frames sent "
               "before it\n";
        QTest::newRow("a refused port")
            << QStringList{"--port=ppdev:/nonexistent/parport9", "5"} << "" << 1
            << "zovrel-send: frame 1 failed: /nonexistent/parport9 does not exist. Load the ppdev "
               "driver with 'sudo modprobe ppdev', or name the right device with "
               "--port=ppdev:/dev/parportN. (0 frames sent whole)\n";
    }
    void theUsersFilesAreLeftAlone() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, stream);
        QFETCH(int, status);
        QFETCH(QString, err);
        const QString file = dir.filePath("codes.txt");
        writeFile(file, "5 6 7\n");
        QProcess process;
        if (stream == "in") {
            process.setStandardInputFile(file);
        } else if (stream == "out") {
            process.setStandardOutputFile(file, QIODevice::Append);
        }
        process.start(senderProgram, QStringList{"--trace=" + file} + arguments);
        if (stream != "in") {
            QVERIFY(process.waitForStarted());
            process.write("x\n");
            process.closeWriteChannel();
        }
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), status);
        QCOMPARE(QString::fromLocal8Bit(process.readAllStandardError()),
                 err.contains("%1") ? err.arg(file) : err);
        QCOMPARE(fileBytes(file), QByteArray("5 6 7\n"));
    }

    // Two runs on one trace: the second is refused, the first's stays whole.
    void aTraceInUseIsRefused() {
        const QString trace = dir.filePath("shared.vcd");
        QProcess first;
        first.start(senderProgram, {"--port=sim", "--trace=" + trace, "-"});
        QVERIFY(first.waitForStarted());
        first.write("1 2\n");
        QVERIFY(first.waitForBytesWritten());
        QVERIFY(waitUntil([&] { return traceStamps(trace) >= 32; }));
        const Finished second =
            runChild(senderProgram, {"--port=sim", "--trace=" + trace, "3"}, testEnvironment());
        QCOMPARE(second.status, 2);
        QCOMPARE(second.err, "zovrel-send: cannot write the trace file '" + trace +
                                 "': another run is writing it\n");
        first.closeWriteChannel();
        QVERIFY(first.waitForFinished(30000));
        QCOMPARE(first.readAllStandardOutput(), QByteArray("frame 1: code 1\nframe 2: code 2\n"));
        QCOMPARE(first.exitCode(), 0);
        QCOMPARE(traceStamps(trace), 33);
    }

    // A trace that fills its disk mid-run keeps whole frames and says the port was not at fault.
    void aTraceThatCannotBeWrittenKeepsWholeFrames() {
        const QString trace = dir.filePath("limited.vcd");
        QProcess process;
        process.setChildProcessModifier([] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit small{2000, 2000};
            setrlimit(RLIMIT_FSIZE, &small);
        });
        process.start(senderProgram, {"--port=sim", "--trace=" + trace, "1", "2", "3", "4", "5",
                                      "6", "7", "8", "9", "10", "11", "12"});
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), 1);
        const QString err = QString::fromLocal8Bit(process.readAllStandardError());
        const auto said =
            QRegularExpression("^zovrel-send: frame (\\d+) reached the port, but the trace file '" +
                               QRegularExpression::escape(trace) +
                               "' could not be written: File too large \\(EFBIG\\); it keeps the "
                               "(\\d+) whole frames? before it \\((\\d+) frames? sent whole\\)\n$")
                .match(err);
        QVERIFY2(said.hasMatch(), qPrintable(err));
        const int failed = said.captured(1).toInt();
        QVERIFY(failed > 1 && failed < 12);
        QCOMPARE(said.captured(2).toInt(), failed - 1);
        QCOMPARE(said.captured(3).toInt(), failed);
        QCOMPARE(frameLines(QString::fromLocal8Bit(process.readAllStandardOutput())).size(),
                 failed - 1);
        QCOMPARE(traceStamps(trace), 16 * (failed - 1));
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
