#include "app/FailureReport.h"

#include "setup/StandardStreams.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QWidget>

void reportFailureAndExit(QWidget* window, const QString& what) {
    say(Program::Panel, what.toLocal8Bit().toStdString());
    QPointer<QWidget> parent(window);
    QTimer::singleShot(0, qApp, [parent, what] {
        QMessageBox::critical(parent, QStringLiteral("Zovrel Rev B"), what);
        QCoreApplication::exit(failureExitStatus);
    });
}
