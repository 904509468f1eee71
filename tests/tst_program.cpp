#include "HostileInput.h"

#include "app/ProgramOptions.h"

#include <QProcess>
#include <QTest>

namespace {

struct Finished {
    int status = -1;
    QString out;
    QString err;
};

Finished Run(const QString& program, const QStringList& arguments,
             const QProcessEnvironment& environment) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    Finished f;
    f.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    f.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    f.err = QString::fromLocal8Bit(process.readAllStandardError());
    return f;
}

QProcessEnvironment Offscreen() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

} // namespace

class Program_Test : public QObject {
    Q_OBJECT

private slots:
    void misuse_is_refused_before_any_window_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("unknown option") << QStringList{"--frobnicate"};
        QTest::newRow("unknown port") << QStringList{"--port=lpt9"};
        QTest::newRow("empty port") << QStringList{"--port="};
        QTest::newRow("missing value") << QStringList{"--port"};
        QTest::newRow("argument") << QStringList{"extra"};
        QTest::newRow("odd bytes") << QStringList{QString::fromLatin1("--port=\xff\xfe\x01")};
    }
    void misuse_is_refused_before_any_window() {
        QFETCH(QStringList, arguments);
        // No platform can start here: reaching the window system would abort.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("no-such-platform"));
        const Finished f = Run(QStringLiteral(PANEL_PROGRAM), arguments, env);
        QCOMPARE(f.status, 2);
        QVERIFY(f.out.isEmpty());
        QCOMPARE(f.err.count(QLatin1Char('\n')), 1);
        QVERIFY2(f.err.startsWith(QLatin1String("zovrel-panel: ")), qPrintable(f.err));
    }

    void hostile_command_lines_never_crash_the_program() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("no-such-platform"));
        std::mt19937 random(11);
        int tried = 0;
        while (tried < 40) {
            const QStringList arguments = Hostile_Arguments(random);
            // Lines that would open the panel are not for this test.
            if (Read_Command_Line(QStringList{"zovrel-panel"} + arguments).outcome ==
                Command_Line::Outcome::Run) {
                continue;
            }
            ++tried;
            const Finished f = Run(QStringLiteral(PANEL_PROGRAM), arguments, env);
            const QString shown = arguments.join(' ').left(80);
            QVERIFY2(f.status == 0 || f.status == 2, qPrintable(shown));
            if (f.status == 2) {
                QVERIFY2(f.err.count('\n') == 1 && f.out.isEmpty(), qPrintable(shown));
            }
        }
    }

    void help_and_version_need_no_display() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("no-such-platform"));
        const Finished version = Run(QStringLiteral(PANEL_PROGRAM), {"--version"}, env);
        QCOMPARE(version.status, 0);
        QCOMPARE(version.out, QStringLiteral("zovrel-panel " PROJECT_VERSION_TEXT "\n"));
        const Finished help = Run(QStringLiteral(PANEL_PROGRAM), {"--help"}, env);
        QCOMPARE(help.status, 0);
        QVERIFY(help.out.contains(QLatin1String("--port <port>")));
    }

    void the_simulated_board_logs_every_frame_it_latches() {
        QProcessEnvironment env = Offscreen();
        env.insert(QStringLiteral("ZOVREL_SCRIPT"), QStringLiteral("full,code=5,run,mid,exit"));
        const Finished f = Run(QStringLiteral(SCRIPTED_PROGRAM), {"--port=sim"}, env);
        QCOMPARE(f.status, 0);
        QCOMPARE(f.out, QStringLiteral("frame 1: code 127\nframe 2: code 127\nframe 3: code 5\n"
                                       "frame 4: code 5\nframe 5: code 64\nframe 6: code 64\n"));
    }

    void leaving_writes_nothing_and_ends_with_status_0_data() {
        QTest::addColumn<QString>("script");
        QTest::newRow("exit button") << "exit";
        QTest::newRow("closing the window") << "close";
    }
    void leaving_writes_nothing_and_ends_with_status_0() {
        QFETCH(QString, script);
        QProcessEnvironment env = Offscreen();
        env.insert(QStringLiteral("ZOVREL_SCRIPT"), script);
        env.insert(QStringLiteral("ZOVREL_FAIL_AT"), QStringLiteral("1000"));
        const Finished f = Run(QStringLiteral(SCRIPTED_PROGRAM), {}, env);
        QCOMPARE(f.status, 0);
        QCOMPARE(f.out, QStringLiteral("writes: 0\n"));
    }

    void a_failing_port_is_reported_once_and_ends_with_status_1_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("fail_at");
        QTest::newRow("first write of Run") << "run,run" << 0;
        QTest::newRow("inside the first frame of Full Scale") << "full,run" << 7;
        QTest::newRow("inside the second frame of Full Scale") << "full,full" << 20;
    }
    void a_failing_port_is_reported_once_and_ends_with_status_1() {
        QFETCH(QString, script);
        QFETCH(int, fail_at);
        QProcessEnvironment env = Offscreen();
        env.insert(QStringLiteral("ZOVREL_SCRIPT"), script + QStringLiteral(",exit"));
        env.insert(QStringLiteral("ZOVREL_FAIL_AT"), QString::number(fail_at));
        const Finished f = Run(QStringLiteral(SCRIPTED_PROGRAM), {}, env);
        QCOMPARE(f.status, 1);
        const QString what = QStringLiteral("the test port failed at write %1").arg(fail_at);
        QCOMPARE(f.err.count(QLatin1String("zovrel-panel: ") + what), 1);
        QCOMPARE(f.out, QStringLiteral("box: Zovrel Rev B | critical | %1\nwrites: %2\n")
                            .arg(what)
                            .arg(fail_at));
    }
};

QTEST_APPLESS_MAIN(Program_Test)
#include "tst_program.moc"
