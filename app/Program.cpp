#include "app/Program.h"

#include "app/FailureReport.h"
#include "app/SignalExit.h"
#include "app/WindowPlacement.h"
#include "app/WindowWatch.h"
#include "panel/Form1.h"
#include "panel/PortMonitor.h"
#include "setup/FailureText.h"
#include "setup/PortStack.h"
#include "setup/StandardStreams.h"
#include "setup/StopSignals.h"

#include <QApplication>
#include <QScreen>

#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

void say(const std::string& text) {
    say(Program::Panel, text);
}

// The panel opens centred; the monitor beside it, taking no activation, so
// that the panel is the active window with vsbBit(1) focused, as drawn.
void showWindows(QWidget& panel, QWidget* monitor) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect room = screen ? screen->availableGeometry() : QRect(0, 0, 1280, 1024);
    // As tall as the panel where the monitor's layout allows, so the two line up.
    const QSize monitorSize = monitor
                                  ? QSize(qMax(460, monitor->sizeHint().width()),
                                          qMax(panel.height(), monitor->minimumSizeHint().height()))
                                  : QSize();
    const WindowPlacement placement = placeWindows(room, panel.size(), monitorSize);
    panel.move(placement.panel);
    if (monitor) {
        monitor->setAttribute(Qt::WA_ShowWithoutActivating);
        if (placement.monitor) {
            monitor->setGeometry(*placement.monitor);
            monitor->show();
        } else {
            monitor->resize(monitorSize);
            monitor->showMinimized();
        }
    }
    panel.show();
    panel.raise();
    panel.activateWindow();
}

bool startingWindowSystem = false;

// The stack of a run in progress. The window system ends the process itself
// when its display goes away; the trace is closed, and the end told, on the
// way out.
PortStack* runningStack = nullptr;

void endedFromOutside() {
    if (!runningStack) {
        return;
    }
    PortStack* const stack = std::exchange(runningStack, nullptr);
    say("the display was lost; the program ends here.");
    stack->finish();
}

// Points runningStack at a stack for exactly as long as the stack lives, so
// that a throw during start-up leaves nothing pointing at a destroyed one.
class RunningStack {
public:
    explicit RunningStack(PortStack& stack) {
        runningStack = &stack;
        static const bool hooked = std::atexit(endedFromOutside) == 0;
        (void)hooked;
    }
    ~RunningStack() { runningStack = nullptr; }
    RunningStack(const RunningStack&) = delete;
    RunningStack& operator=(const RunningStack&) = delete;
};

// While the window system starts, Qt's account of a display it cannot reach
// (a few warnings, then a fatal message and an abort) becomes one line.
void whileStarting(QtMsgType type, const QMessageLogContext&, const QString&) {
    if (type != QtFatalMsg || !startingWindowSystem) {
        return;
    }
    const QByteArray display = qgetenv("DISPLAY");
    const std::string which =
        display.isEmpty() && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
            ? std::string("no display is set (DISPLAY is empty)")
            : "the display '" + printable(display.toStdString()) + "' cannot be reached";
    say("cannot open the window: " + which +
        ". To set the board without a window, use "
        "zovrel-send.");
    std::_Exit(failureExitStatus);
}

} // namespace

int runProgram(int argc, char** argv, const ProgramHooks& hooks) {
    guardStandardStreams();
    QCoreApplication::setApplicationName(QStringLiteral("zovrel-panel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZOVREL_VERSION));

    // The command line and the trace file are dealt with before any window
    // system is touched, so that misuse is told on a machine without a display.
    const CommandLine line = readCommandLine(std::vector<std::string>(argv, argv + argc));
    switch (line.outcome) {
    case CommandLine::Outcome::PrintAndExit:
        writeWhole(STDOUT_FILENO, line.text);
        return line.exitStatus;
    case CommandLine::Outcome::Misuse:
        writeWhole(STDERR_FILENO, line.text);
        return line.exitStatus;
    case CommandLine::Outcome::Run:
        break;
    }
    const ProgramOptions& options = line.options;

    try {
        if (!options.trace.empty()) {
            VcdTrace::check(options.trace);
        }
    } catch (const TraceError& e) {
        say(e.what());
        return misuseExitStatus;
    }

    int status = 0;
    {
        // Before the window system starts its threads, so that none of them
        // takes a stop signal the event loop should see.
        StopSignals stops;
        // The window system first: a run that cannot open its window leaves
        // no trace file behind and an existing one untouched.
        startingWindowSystem = true;
        const QtMessageHandler usual = qInstallMessageHandler(whileStarting);
        QApplication application(argc, argv);
        qInstallMessageHandler(usual);
        startingWindowSystem = false;

        PortStack stack;
        try {
            stack = buildPortStack(options, Program::Panel,
                                   hooks.makePort ? hooks.makePort() : nullptr);
        } catch (const TraceError& e) {
            say(e.what());
            return misuseExitStatus;
        }
        stack.install();
        const RunningStack running(stack);
        SignalExit signalsEndTheRun(stops);
        Form1* windowForReport = nullptr;
        Form1 form([&windowForReport](const std::exception& failure) {
            reportFailureAndExit(windowForReport,
                                 QString::fromStdString(failureText(failure, Program::Panel)));
        });
        windowForReport = &form;
        WindowWatch watch(form);
        application.installNativeEventFilter(&watch);

        std::optional<PortMonitor> monitor;
        if (stack.board && (options.monitor || stack.simulated)) {
            monitor.emplace(*stack.board, stack.simulated ? QStringLiteral("Code the chip holds")
                                                          : QStringLiteral("Code last sent"));
        }
        showWindows(form, monitor ? &*monitor : nullptr);
        if (hooks.afterShow) {
            hooks.afterShow(form);
        }
        status = QApplication::exec();
        runningStack = nullptr;
        if (const auto traceFailure = stack.finish()) {
            say(*traceFailure);
            if (status == 0) {
                status = failureExitStatus;
            }
        }
    }
    return status;
}
