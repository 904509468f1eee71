#include "app/Program.h"

#include "app/FailureReport.h"
#include "app/PortChoice.h"
#include "app/SignalExit.h"
#include "panel/Form1.h"
#include "panel/PortMonitor.h"
#include "port/NTPort.h"
#include "port/SimulatedBoard.h"
#include "port/TappedPort.h"
#include "port/VcdTrace.h"

#include <QApplication>
#include <QScreen>

#include <cstdio>
#include <optional>

namespace {

QStringList Arguments(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    return arguments;
}

void Say(std::FILE* stream, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

// The panel opens centred on the screen. With the monitor, the two stand side
// by side and are centred together, so that the monitor never covers the
// panel; on a screen too narrow for both the panel stays centred and the
// monitor goes as far right as it fits.
void Place_Windows(QWidget& panel, QWidget* monitor) {
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
    constexpr int Gap = 12;
    monitor->resize(monitor->sizeHint().expandedTo(QSize(460, panel.height())));
    const int both = panel.width() + Gap + monitor->width();
    if (both <= room.width()) {
        at.setX(room.left() + (room.width() - both) / 2);
    }
    panel.move(at);
    monitor->move(
        qMin(at.x() + panel.width() + Gap, qMax(room.left(), room.right() - monitor->width())),
        at.y());
}

// What the program writes through, with the trace and the monitor's decoder
// tapped in behind the port when they are wanted.
struct Port_Setup {
    std::shared_ptr<PortOutput> output;
    std::shared_ptr<SimulatedBoard> watched; // what the monitor shows, if anything
    bool simulated = false;
};

Port_Setup Set_Up_Port(const Program_Options& options, const Program_Hooks& hooks,
                       Vcd_Trace* trace) {
    Port_Choice choice = Choose_Port(options);
    if (hooks.make_port) {
        choice = {hooks.make_port(options), nullptr};
    }
    Port_Setup setup{choice.output, choice.board, choice.board != nullptr};
    if (choice.board) {
        Log_Latched_Frames(*choice.board);
    }
    const bool decode = options.monitor && !choice.board;
    if (!trace && !decode) {
        return setup;
    }
    auto tapped = std::make_shared<Tapped_Port>(choice.output);
    if (trace) {
        tapped->addTap([trace](std::uint16_t, std::uint16_t word) { trace->record(word); });
    }
    if (decode) {
        // A chip of our own, fed with every word that reached the real port,
        // tells the monitor what the real chip received.
        auto shadow = std::make_shared<SimulatedBoard>();
        tapped->addTap([shadow](std::uint16_t, std::uint16_t word) {
            shadow->drive(word, SimulatedBoard::Now_Ns());
        });
        setup.watched = shadow;
    }
    setup.output = tapped;
    return setup;
}

} // namespace

int Run_Program(int argc, char** argv, const Program_Hooks& hooks) {
    QCoreApplication::setApplicationName(QStringLiteral("zovrel-panel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZOVREL_VERSION));

    // The command line and the trace file are dealt with before any window
    // system is touched, so that misuse is told on a machine without a display.
    const Command_Line line = Read_Command_Line(Arguments(argc, argv));
    switch (line.outcome) {
    case Command_Line::Outcome::Print_And_Exit:
        Say(stdout, line.text);
        return line.exit_status;
    case Command_Line::Outcome::Misuse:
        Say(stderr, line.text);
        return line.exit_status;
    case Command_Line::Outcome::Run:
        break;
    }
    const Program_Options& options = line.options;

    std::unique_ptr<Vcd_Trace> trace;
    if (!options.trace.isEmpty()) {
        try {
            trace = Vcd_Trace::Create(options.trace.toLocal8Bit().toStdString(),
                                      "zovrel-panel " ZOVREL_VERSION);
        } catch (const Trace_Error& e) {
            Say(stderr, QStringLiteral("zovrel-panel: %1\n")
                            .arg(Printable(QString::fromLocal8Bit(e.what()))));
            return Misuse_Exit_Status;
        }
    }
    const Port_Setup port = Set_Up_Port(options, hooks, trace.get());
    Use_Port_Output(port.output);

    int status = 0;
    {
        QApplication application(argc, argv);
        Signal_Exit signals_end_the_run;
        Form1* window_for_report = nullptr;
        Form1 form([&window_for_report](const QString& what) {
            Report_Failure_And_Exit(window_for_report, what);
        });
        window_for_report = &form;

        std::optional<Port_Monitor> monitor;
        if (port.watched && (options.monitor || port.simulated)) {
            monitor.emplace(*port.watched, port.simulated ? QStringLiteral("Code the chip holds")
                                                          : QStringLiteral("Code last sent"));
        }
        Place_Windows(form, monitor ? &*monitor : nullptr);
        form.show();
        if (monitor) {
            monitor->show();
        }
        if (hooks.after_show) {
            hooks.after_show(form);
        }
        status = QApplication::exec();
    }
    Release_Port_Output();
    if (trace) {
        try {
            trace->close();
        } catch (const Trace_Error& e) {
            Say(stderr, QStringLiteral("zovrel-panel: %1\n")
                            .arg(Printable(QString::fromLocal8Bit(e.what()))));
            if (status == 0) {
                status = Failure_Exit_Status;
            }
        }
    }
    return status;
}
