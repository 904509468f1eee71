#pragma once

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>

// A program the test ran to its end: its exit status (-1 when it had to be
// killed for taking too long, -2 when it crashed) and what it printed.
struct Finished {
    int status = -1;
    QString out;
    QString err;
};

inline Finished runChild(const QString& program, const QStringList& arguments,
                         const QProcessEnvironment& environment, const QByteArray& input = {}) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!input.isNull()) {
        process.write(input);
        process.closeWriteChannel();
    }
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2,
            QString::fromLocal8Bit(process.readAllStandardOutput()),
            QString::fromLocal8Bit(process.readAllStandardError())};
}

// The environment for a program under test: a platform (offscreen unless said
// otherwise; a platform that does not exist proves no window was needed) and
// the scripted harness's actions.
inline QProcessEnvironment testEnvironment(const QString& script = {},
                                           const QString& platform = QStringLiteral("offscreen")) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    if (!script.isNull()) {
        env.insert(QStringLiteral("ZOVREL_SCRIPT"), script);
    }
    return env;
}

// The timestamps in a trace the program wrote: one per word that reached the
// port, and the closing one. -1 when there is no trace.
inline int traceStamps(const QString& trace) {
    QFile file(trace);
    if (!file.open(QIODevice::ReadOnly)) {
        return -1;
    }
    return int(QString::fromLatin1(file.readAll()).count(QRegularExpression("(^|\n)#\\d+\n")));
}
