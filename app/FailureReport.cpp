#include "app/FailureReport.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <cstdio>

void reportFailureAndExit(QWidget* window, const QString& what) {
    std::fprintf(stderr, "zovrel-panel: %s\n", what.toLocal8Bit().constData());
    std::fflush(stderr);
    QPointer<QWidget> parent(window);
    QTimer::singleShot(0, qApp, [parent, what] {
        QMessageBox::critical(parent, QStringLiteral("Zovrel Rev B"), what);
        QCoreApplication::exit(failureExitStatus);
    });
}
