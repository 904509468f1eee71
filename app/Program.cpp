#include "app/Program.h"

#include "app/FailureReport.h"
#include "app/PortChoice.h"
#include "panel/Form1.h"
#include "port/NTPort.h"
#include "port/SimulatedBoard.h"

#include <QApplication>
#include <QScreen>

#include <cstdio>

namespace {

QStringList Arguments(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    return arguments;
}

void Centre_On_Screen(QWidget& window) {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        window.move(screen->availableGeometry().center() - window.rect().center());
    }
}

} // namespace

int Run_Program(int argc, char** argv, const Program_Hooks& hooks) {
    QCoreApplication::setApplicationName(QStringLiteral("zovrel-panel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZOVREL_VERSION));

    // The command line is read before any window system is touched, so that
    // --help, --version and misuse work on a machine without a display.
    const Command_Line line = Read_Command_Line(Arguments(argc, argv));
    switch (line.outcome) {
    case Command_Line::Outcome::Print_And_Exit:
        std::fputs(line.text.toLocal8Bit().constData(), stdout);
        return line.exit_status;
    case Command_Line::Outcome::Misuse:
        std::fputs(line.text.toLocal8Bit().constData(), stderr);
        return line.exit_status;
    case Command_Line::Outcome::Run:
        break;
    }

    Port_Choice port = Choose_Port(line.options);
    if (hooks.make_port) {
        port = {hooks.make_port(line.options), nullptr};
    }
    if (port.board) {
        Log_Latched_Frames(*port.board);
    }
    Use_Port_Output(port.output);

    QApplication application(argc, argv);
    Form1* window_for_report = nullptr;
    Form1 form([&window_for_report](const QString& what) {
        Report_Failure_And_Exit(window_for_report, what);
    });
    window_for_report = &form;
    Centre_On_Screen(form);
    form.show();
    if (hooks.after_show) {
        hooks.after_show(form);
    }
    const int status = QApplication::exec();
    Release_Port_Output();
    return status;
}
