// The smallest Qt Widgets program with a window of the panel's size that
// shows a line of text, as every window does: the yardstick for the panel's
// start-up. The text matters: showing any text loads the system's fonts.
// Built without it as well (startup-bare), to show what the fonts cost.
#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <QWidget>

#include <cstdio>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("minimal"));
    window.resize(568, 267);
#ifndef ZOVREL_BARE_WINDOW
    QLabel caption(QStringLiteral("Zovrel Rev B"), &window);
#endif
    window.show();
    QTimer::singleShot(0, &window, [] {
        std::puts("shown");
        std::fflush(stdout);
        QCoreApplication::exit(0);
    });
    return QApplication::exec();
}
