#include "ChildProcess.h"
#include "HostileInput.h"

#include "setup/CommandLine.h"

#include <QProcess>
#include <QTest>

class ProgramTest : public QObject {
    Q_OBJECT

private slots:
    void misuseIsRefusedBeforeAnyWindow_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("unknown option") << QStringList{"--frobnicate"};
        QTest::newRow("unknown port") << QStringList{"--port=lpt9"};
        QTest::newRow("empty port") << QStringList{"--port="};
        QTest::newRow("missing value") << QStringList{"--port"};
        QTest::newRow("argument") << QStringList{"extra"};
        QTest::newRow("odd bytes") << QStringList{QString::fromLatin1("--port=\xff\xfe\x01")};
    }
    void misuseIsRefusedBeforeAnyWindow() {
        QFETCH(QStringList, arguments);
        // No platform can start here: reaching the window system would abort.
        const QProcessEnvironment env = testEnvironment({}, QStringLiteral("no-such-platform"));
        const Finished f = runChild(QStringLiteral(PANEL_PROGRAM), arguments, env);
        QCOMPARE(f.status, 2);
        QVERIFY(f.out.isEmpty());
        QCOMPARE(f.err.count(QLatin1Char('\n')), 1);
        QVERIFY2(f.err.startsWith(QLatin1String("zovrel-panel: ")), qPrintable(f.err));
    }

    void hostileCommandLinesNeverCrashTheProgram() {
        const QProcessEnvironment env = testEnvironment({}, QStringLiteral("no-such-platform"));
        std::mt19937 random(11);
        int tried = 0;
        while (tried < 40) {
            const QStringList arguments = hostileArguments(random);
            // lines that would open the panel are not for this test.
            if (readArguments(QStringList{"zovrel-panel"} + arguments).outcome ==
                CommandLine::Outcome::Run) {
                continue;
            }
            ++tried;
            const Finished f = runChild(QStringLiteral(PANEL_PROGRAM), arguments, env);
            const QString shown = arguments.join(' ').left(80);
            QVERIFY2(f.status == 0 || f.status == 2, qPrintable(shown));
            if (f.status == 2) {
                QVERIFY2(f.err.count('\n') == 1 && f.out.isEmpty(), qPrintable(shown));
            }
        }
    }

    void helpAndVersionNeedNoDisplay() {
        const QProcessEnvironment env = testEnvironment({}, QStringLiteral("no-such-platform"));
        const Finished version = runChild(QStringLiteral(PANEL_PROGRAM), {"--version"}, env);
        QCOMPARE(version.status, 0);
        QCOMPARE(version.out, QStringLiteral("zovrel-panel " PROJECT_VERSION_TEXT "\n"));
        const Finished help = runChild(QStringLiteral(PANEL_PROGRAM), {"--help"}, env);
        QCOMPARE(help.status, 0);
        QVERIFY(help.out.contains(QLatin1String("--port <port>")));
    }

    void theSimulatedBoardLogsEveryFrameItLatches() {
        const QProcessEnvironment env = testEnvironment(QStringLiteral("full,code=5,run,mid,exit"));
        const Finished f = runChild(QStringLiteral(SCRIPTED_PROGRAM), {"--port=sim"}, env);
        QCOMPARE(f.status, 0);
        QCOMPARE(f.out, QStringLiteral("frame 1: code 127\nframe 2: code 127\nframe 3: code 5\n"
                                       "frame 4: code 5\nframe 5: code 64\nframe 6: code 64\n"));
    }

    void leavingWritesNothingAndEndsWithStatus0_data() {
        QTest::addColumn<QString>("script");
        QTest::newRow("exit button") << "exit";
        QTest::newRow("closing the window") << "close";
    }
    void leavingWritesNothingAndEndsWithStatus0() {
        QFETCH(QString, script);
        QProcessEnvironment env = testEnvironment(script);
        env.insert(QStringLiteral("ZOVREL_FAIL_AT"), QStringLiteral("1000"));
        const Finished f = runChild(QStringLiteral(SCRIPTED_PROGRAM), {}, env);
        QCOMPARE(f.status, 0);
        QCOMPARE(f.out, QStringLiteral("writes: 0\n"));
    }

    void aFailingPortIsReportedOnceAndEndsWithStatus1_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("failAt");
        QTest::newRow("first write of Run") << "run,run" << 0;
        QTest::newRow("inside the first frame of Full Scale") << "full,run" << 7;
        QTest::newRow("inside the second frame of Full Scale") << "full,full" << 20;
    }
    void aFailingPortIsReportedOnceAndEndsWithStatus1() {
        QFETCH(QString, script);
        QFETCH(int, failAt);
        QProcessEnvironment env = testEnvironment(script + QStringLiteral(",exit"));
        env.insert(QStringLiteral("ZOVREL_FAIL_AT"), QString::number(failAt));
        const Finished f = runChild(QStringLiteral(SCRIPTED_PROGRAM), {}, env);
        QCOMPARE(f.status, 1);
        const QString what = QStringLiteral("the test port failed at write %1").arg(failAt);
        QCOMPARE(f.err.count(QLatin1String("zovrel-panel: ") + what), 1);
        QCOMPARE(f.out, QStringLiteral("box: Zovrel Rev B | critical | %1\nwrites: %2\n")
                            .arg(what)
                            .arg(failAt));
    }
};

QTEST_APPLESS_MAIN(ProgramTest)
#include "tst_program.moc"
