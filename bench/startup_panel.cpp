// The panel as the program starts it, reporting "shown" on standard output
// once its window is up and the event loop has run, then leaving.
#include "app/Program.h"
#include "panel/Form1.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv) {
    ProgramHooks hooks;
    hooks.afterShow = [](Form1& form) {
        QTimer::singleShot(0, &form, [] {
            std::puts("shown");
            std::fflush(stdout);
            QCoreApplication::exit(0);
        });
    };
    return runProgram(argc, argv, hooks);
}
