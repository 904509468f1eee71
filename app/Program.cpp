#include "app/Program.h"

#include "app/FailureReport.h"
#include "app/SignalExit.h"
#include "panel/Form1.h"
#include "panel/PortMonitor.h"
#include "setup/FailureText.h"
#include "setup/PortStack.h"

#include <QApplication>
#include <QScreen>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

void say(std::FILE* stream, const std::string& text) {
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
}

// The panel opens centred on the screen. With the monitor, the two stand side
// by side and are centred together, so that the monitor never covers the
// panel; on a screen too narrow for both the panel stays centred and the
// monitor goes as far right as it fits.
void placeWindows(QWidget& panel, QWidget* monitor) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) {
        return;
    }
    const QRect room = screen->availableGeometry();
    QPoint at = room.center() - panel.rect().center();
    if (!monitor) {
        panel.move(at);
        return;
    }
    constexpr int gap = 12;
    monitor->resize(monitor->sizeHint().expandedTo(QSize(460, panel.height())));
    const int both = panel.width() + gap + monitor->width();
    if (both <= room.width()) {
        at.setX(room.left() + (room.width() - both) / 2);
    }
    panel.move(at);
    monitor->move(
        qMin(at.x() + panel.width() + gap, qMax(room.left(), room.right() - monitor->width())),
        at.y());
}

} // namespace

int runProgram(int argc, char** argv, const ProgramHooks& hooks) {
    QCoreApplication::setApplicationName(QStringLiteral("zovrel-panel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZOVREL_VERSION));

    // The command line and the trace file are dealt with before any window
    // system is touched, so that misuse is told on a machine without a display.
    const CommandLine line = readCommandLine(std::vector<std::string>(argv, argv + argc));
    switch (line.outcome) {
    case CommandLine::Outcome::PrintAndExit:
        say(stdout, line.text);
        return line.exitStatus;
    case CommandLine::Outcome::Misuse:
        say(stderr, line.text);
        return line.exitStatus;
    case CommandLine::Outcome::Run:
        break;
    }
    const ProgramOptions& options = line.options;

    PortStack stack;
    try {
        stack =
            buildPortStack(options, Program::Panel, hooks.makePort ? hooks.makePort() : nullptr);
    } catch (const TraceError& e) {
        say(stderr, "zovrel-panel: " + std::string(e.what()) + "\n");
        return misuseExitStatus;
    }
    stack.install();

    int status = 0;
    {
        QApplication application(argc, argv);
        SignalExit signalsEndTheRun;
        Form1* windowForReport = nullptr;
        Form1 form([&windowForReport](const std::exception& failure) {
            reportFailureAndExit(windowForReport,
                                 QString::fromStdString(failureText(failure, Program::Panel)));
        });
        windowForReport = &form;

        std::optional<PortMonitor> monitor;
        if (stack.board && (options.monitor || stack.simulated)) {
            monitor.emplace(*stack.board, stack.simulated ? QStringLiteral("Code the chip holds")
                                                          : QStringLiteral("Code last sent"));
        }
        placeWindows(form, monitor ? &*monitor : nullptr);
        form.show();
        if (monitor) {
            monitor->show();
        }
        if (hooks.afterShow) {
            hooks.afterShow(form);
        }
        status = QApplication::exec();
    }
    if (const auto traceFailure = stack.finish()) {
        say(stderr, "zovrel-panel: " + *traceFailure + "\n");
        if (status == 0) {
            status = failureExitStatus;
        }
    }
    return status;
}
