#include "RecorderPort.h"
#include "port/NTPort.h"
#include "port/TappedPort.h"
#include "watch/VcdTrace.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <random>

namespace {

QString readText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
}

// The part after the header.
QString bodyOf(const QString& trace) {
    const QString end = QStringLiteral("$enddefinitions $end\n");
    const auto at = trace.indexOf(end);
    return at < 0 ? QString() : trace.mid(at + end.size());
}

} // namespace

class VcdTraceTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    QString tempPath(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }

private slots:
    void theHeaderDeclaresEightWiresInNanoseconds() {
        const QString path = tempPath("header.vcd");
        VcdTrace::create(path.toStdString(), "test 1")->close();
        const QString text = readText(path);
        QVERIFY(text.contains("$timescale 1 ns $end\n"));
        QVERIFY(text.contains("$version\n   test 1\n$end\n"));
        for (int line = 0; line < 8; ++line) {
            QVERIFY(text.contains(
                QStringLiteral("$var wire 1 %1 D%2 $end\n").arg(QChar('!' + line)).arg(line)));
        }
        QCOMPARE(bodyOf(text), QString());
    }

    void valueChanges_data() {
        QTest::addColumn<QList<quint64>>("times");
        QTest::addColumn<QList<int>>("words");
        QTest::addColumn<QString>("body");
        QTest::newRow("one word")
            << QList<quint64>{500} << QList<int>{0x24}
            << "#500\n$dumpvars\n0!\n0\"\n1#\n0$\n0%\n1&\n0'\n0(\n$end\n#1500\n";
        QTest::newRow("only the lines that changed")
            << QList<quint64>{0, 40, 90} << QList<int>{0x24, 0x21, 0x23}
            << "#0\n$dumpvars\n0!\n0\"\n1#\n0$\n0%\n1&\n0'\n0(\n$end\n"
               "#40\n1!\n0#\n#90\n1\"\n#1090\n";
        QTest::newRow("a word that changes nothing still has its time")
            << QList<quint64>{0, 7} << QList<int>{0x24, 0x24}
            << "#0\n$dumpvars\n0!\n0\"\n1#\n0$\n0%\n1&\n0'\n0(\n$end\n#7\n#1007\n";
        QTest::newRow("time that does not advance moves on by 1 ns")
            << QList<quint64>{10, 10, 5, 30} << QList<int>{0x20, 0x22, 0x20, 0x24}
            << "#10\n$dumpvars\n0!\n0\"\n0#\n0$\n0%\n1&\n0'\n0(\n$end\n"
               "#11\n1\"\n#12\n0\"\n#30\n1#\n#1030\n";
        QTest::newRow("the high byte is not on the data lines")
            << QList<quint64>{0, 1} << QList<int>{0x00, 0xFF80}
            << "#0\n$dumpvars\n0!\n0\"\n0#\n0$\n0%\n0&\n0'\n0(\n$end\n#1\n1(\n#1001\n";
    }
    void valueChanges() {
        QFETCH(QList<quint64>, times);
        QFETCH(QList<int>, words);
        QFETCH(QString, body);
        const QString path = tempPath("changes.vcd");
        auto trace = VcdTrace::create(path.toStdString(), "test");
        for (qsizetype i = 0; i < times.size(); ++i) {
            trace->recordAt(times[i], std::uint16_t(words[i]));
        }
        trace->close();
        QCOMPARE(bodyOf(readText(path)), body);
    }

    void realTimeStampsIncreaseStrictly() {
        const QString path = tempPath("clock.vcd");
        auto trace = VcdTrace::create(path.toStdString(), "test");
        for (int i = 0; i < 2000; ++i) {
            trace->record(std::uint16_t(i & 0xFF));
        }
        trace->close();
        quint64 last = 0;
        int stamps = 0;
        for (const QString& line : bodyOf(readText(path)).split('\n')) {
            if (line.startsWith('#')) {
                const quint64 t = line.mid(1).toULongLong();
                QVERIFY(stamps == 0 || t > last);
                last = t;
                ++stamps;
            }
        }
        QCOMPARE(stamps, 2001);
    }

    void unfitPathsAreRefused_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("says");
        QTest::newRow("missing folder") << "missing/t.vcd"
                                        << "(ENOENT)";
        QTest::newRow("a folder") << "."
                                  << "not a regular file";
        QTest::newRow("a device") << "/dev/null"
                                  << "not a regular file";
        QTest::newRow("inside a file") << "plain.txt/t.vcd"
                                       << "Not a directory";
        QTest::newRow("empty") << ""
                               << "no trace file";
    }
    void unfitPathsAreRefused() {
        QFETCH(QString, path);
        QFETCH(QString, says);
        QFile plain(tempPath("plain.txt"));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        const QString full =
            path.isEmpty() || path.startsWith('/') ? path : tempPath(qPrintable(path));
        try {
            VcdTrace::create(full.toStdString(), "test");
            QFAIL("the path was taken");
        } catch (const TraceError& e) {
            QVERIFY2(QString(e.what()).contains(says), e.what());
        }
        QVERIFY(!QFile::exists(tempPath("missing")));
    }

    // Random paths inside a sandbox folder: every one is either refused or
    // makes one regular file where a file could be, and nothing else appears.
    void hostileTracePathsWriteNothingWhereTheyShouldNot() {
        QTemporaryDir sandbox;
        QDir root(sandbox.path());
        root.mkpath("folder/inner");
        QFile plain(root.filePath("plain"));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        const QStringList segments = {"folder",   "inner",  "missing", "plain",
                                      "..",       ".",      "",        QString(300, u'n'),
                                      "\x01\x1b", "sp ace", "\u00e9"};
        std::mt19937 random(5);
        QSet<QString> made;
        for (int round = 0; round < 400; ++round) {
            QStringList parts;
            const int depth = 1 + int(random() % 3);
            for (int i = 0; i < depth; ++i) {
                parts << segments[int(random() % segments.size())];
            }
            // ".." never climbs out of the sandbox: the paths start inside folder/inner.
            const QString path = root.filePath("folder/inner/" + parts.join('/'));
            try {
                VcdTrace::create(QFile::encodeName(path).toStdString(), "test")->close();
                const QFileInfo info(path);
                QVERIFY2(info.isFile(), qPrintable(path));
                made << info.canonicalFilePath();
            } catch (const TraceError&) {
            }
        }
        QDirIterator all(root.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                         QDirIterator::Subdirectories);
        while (all.hasNext()) {
            const QFileInfo info(all.next());
            if (info.isDir()) {
                QVERIFY2(QStringList({"folder", "inner"}).contains(info.fileName()),
                         qPrintable(info.filePath()));
            } else if (info.fileName() != "plain") {
                QVERIFY2(made.contains(info.canonicalFilePath()), qPrintable(info.filePath()));
            }
        }
        QVERIFY(QFileInfo(root.filePath("plain")).isFile());
    }

    void aReadOnlyFolderIsRefused() {
        QTemporaryDir sandbox;
        const QString folder = sandbox.filePath("read-only");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(::chmod(QFile::encodeName(sandbox.path()).constData(), 0755) == 0);
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0555) == 0);
        const std::string path = QFile::encodeName(folder + "/t.vcd").toStdString();
        // Root writes anywhere; the refusal is seen as an ordinary user.
        const pid_t child = ::fork();
        if (child == 0) {
            if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
                ::_exit(3);
            }
            try {
                VcdTrace::create(path, "test");
                ::_exit(1);
            } catch (const TraceError& e) {
                ::_exit(std::string(e.what()).find("(EACCES)") != std::string::npos ? 0 : 2);
            }
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
        QVERIFY(!QFile::exists(folder + "/t.vcd"));
    }

    // A run that writes no word leaves a file that was there as it was; the
    // first word replaces it. A file that was not there holds the header.
    void anExistingTraceIsReplacedAtTheFirstWord_data() {
        QTest::addColumn<bool>("existed");
        QTest::addColumn<int>("words");
        QTest::newRow("no word: left as it was") << true << 0;
        QTest::newRow("a word: replaced") << true << 1;
        QTest::newRow("no word, a new file: the header") << false << 0;
    }
    void anExistingTraceIsReplacedAtTheFirstWord() {
        QFETCH(bool, existed);
        QFETCH(int, words);
        const QString path = tempPath("old.vcd");
        QFile::remove(path);
        const QByteArray old(100000, '~');
        if (existed) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(old);
        }
        auto trace = VcdTrace::create(path.toStdString(), "test");
        QCOMPARE(QFileInfo(path).size(), existed ? old.size() : 0);
        for (int i = 0; i < words; ++i) {
            trace->recordAt(0, 0x24);
        }
        trace->close();
        const QString text = readText(path);
        QCOMPARE(text.contains('~'), existed && words == 0);
        QCOMPARE(text.startsWith("$date"), !existed || words > 0);
    }

    void aTraceAnotherRunWritesIsRefused() {
        const QString path = tempPath("locked.vcd");
        auto first = VcdTrace::create(path.toStdString(), "test");
        try {
            VcdTrace::create(path.toStdString(), "test");
            QFAIL("a second trace was opened");
        } catch (const TraceError& e) {
            QCOMPARE(QString(e.what()),
                     "cannot write the trace file '" + path + "': another run is writing it");
        }
        first->close();
        VcdTrace::create(path.toStdString(), "test")->close(); // free once the first is done
    }

    void theTraceHoldsExactlyTheWordsThatReachedThePort_data() {
        QTest::addColumn<int>("failAt");
        for (int k : {0, 1, 8, 15}) {
            QTest::addRow("fails at write %d", k) << k;
        }
    }
    void theTraceHoldsExactlyTheWordsThatReachedThePort() {
        QFETCH(int, failAt);
        const QString path = tempPath("fault.vcd");
        auto trace = VcdTrace::create(path.toStdString(), "test");
        auto tapped = std::make_shared<TappedPort>(std::make_shared<RecorderPort>(failAt));
        tapped->addTap([&trace](std::uint16_t, std::uint16_t word) { trace->record(word); });
        usePortOutput(tapped);
        int written = 0;
        try {
            for (; written < 16; ++written) {
                OutportW(0x378, written % 2 ? 0x21 : 0x23);
            }
        } catch (const PortError&) {
        }
        releasePortOutput();
        QCOMPARE(written, failAt);
        QCOMPARE(trace->words(), std::uint64_t(failAt));
        trace->close();
        QCOMPARE(bodyOf(readText(path)).count(QRegularExpression("(^|\n)#")),
                 failAt == 0 ? 0 : failAt + 1);
    }

    // A file that stops taking words mid-frame is cut back to its last whole
    // frame, and the failure names the frame that was lost.
    void aTraceThatCannotBeWrittenKeepsWholeFrames() {
        const QString path = tempPath("limited.vcd");
        auto trace = VcdTrace::create(path.toStdString(), "test");
        // Files this process writes may not grow past 4 KiB for a moment.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit before{};
        getrlimit(RLIMIT_FSIZE, &before);
        rlimit small = before;
        small.rlim_cur = 4096;
        setrlimit(RLIMIT_FSIZE, &small);
        QString failure;
        int frames = 0;
        try {
            for (; frames < 1000; ++frames) {
                trace->recordAt(std::uint64_t(frames) * 100, 0x24);
                for (int bit = 0; bit < 7; ++bit) {
                    trace->recordAt(std::uint64_t(frames) * 100 + 10 + 2 * bit, 0x21);
                    trace->recordAt(std::uint64_t(frames) * 100 + 11 + 2 * bit, 0x23);
                }
                trace->recordAt(std::uint64_t(frames) * 100 + 50, 0x24);
            }
        } catch (const TraceError& e) {
            failure = e.what();
        }
        setrlimit(RLIMIT_FSIZE, &before);
        QCOMPARE(failure, QStringLiteral("frame %1 reached the port, but the trace file '%2' could "
                                         "not be written: File too large (EFBIG); it keeps the %3 "
                                         "whole frames before it")
                              .arg(frames + 1)
                              .arg(path)
                              .arg(frames));
        trace->close(); // told already: not again
        const QString body = bodyOf(readText(path));
        QCOMPARE(body.count(QRegularExpression("(^|\n)#")), 16 * frames);
        QVERIFY(body.endsWith("1#\n"));
    }

    void closingTwiceIsHarmlessAndWritingAfterItFails() {
        auto trace = VcdTrace::create(tempPath("closed.vcd").toStdString(), "test");
        trace->recordAt(0, 0x24);
        trace->close();
        trace->close();
        QVERIFY_THROWS_EXCEPTION(TraceError, trace->recordAt(1, 0x20));
    }
};

QTEST_APPLESS_MAIN(VcdTraceTest)
#include "tst_vcd_trace.moc"
