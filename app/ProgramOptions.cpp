#include "app/ProgramOptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace {

bool Is_Known_Port(const QString& port) {
    if (port == QLatin1String("auto") || port == QLatin1String("sim") ||
        port == QLatin1String("direct")) {
        return true;
    }
    return port.startsWith(QLatin1String("ppdev:/")) && port.size() > 7;
}

Command_Line Misuse(const QString& why) {
    Command_Line line;
    line.outcome = Command_Line::Outcome::Misuse;
    line.exit_status = Misuse_Exit_Status;
    line.text = QStringLiteral("zovrel-panel: %1 (try --help)\n").arg(Printable(why));
    return line;
}

} // namespace

// Misuse is echoed on one line of standard error: whatever the user typed is
// cut short and stripped of control characters before it is shown.
QString Printable(const QString& text) {
    constexpr int Longest = 200;
    QString shown;
    for (const QChar c : text.left(Longest)) {
        shown += c.isPrint() ? c : QChar(u'?');
    }
    if (text.size() > Longest) {
        shown += QStringLiteral("...");
    }
    return shown;
}

Command_Line Read_Command_Line(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Control panel for the Zovrel Rev B digital potentiometer board on the "
                       "first parallel port (0x378)."));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Show the program's version and exit."));
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral("How to reach the board: auto (the parallel port at 0x378 through "
                       "ppdev, the default), ppdev:/dev/parportN (that port, taken as 0x378), "
                       "direct (I/O instructions; needs CAP_SYS_RAWIO) or sim (a simulated "
                       "board that prints every frame it latches)."),
        QStringLiteral("port"), QStringLiteral("auto"));
    const QCommandLineOption trace(
        QStringLiteral("trace"),
        QStringLiteral("Record every word written to the port in <file>, a Value Change Dump of "
                       "the data lines D0 to D7 (an existing file is replaced)."),
        QStringLiteral("file"));
    const QCommandLineOption monitor(
        QStringLiteral("monitor"),
        QStringLiteral("Show the port monitor, a window that follows every frame sent (always "
                       "shown with --port=sim)."));
    parser.addOption(help);
    parser.addOption(version);
    parser.addOption(port);
    parser.addOption(trace);
    parser.addOption(monitor);

    if (!parser.parse(arguments)) {
        return Misuse(parser.errorText());
    }
    if (!parser.positionalArguments().isEmpty()) {
        return Misuse(QStringLiteral("unexpected argument '%1'")
                          .arg(parser.positionalArguments().constFirst()));
    }
    Command_Line line;
    if (parser.isSet(help)) {
        line.outcome = Command_Line::Outcome::Print_And_Exit;
        line.text = parser.helpText().replace(QStringLiteral("<executable_name>"),
                                              QStringLiteral("zovrel-panel"));
        return line;
    }
    if (parser.isSet(version)) {
        line.outcome = Command_Line::Outcome::Print_And_Exit;
        line.text = QStringLiteral("zovrel-panel %1\n").arg(QCoreApplication::applicationVersion());
        return line;
    }
    for (const auto* once : {&port, &trace}) {
        if (parser.values(*once).size() > 1) {
            return Misuse(
                QStringLiteral("--%1 given more than once").arg(once->names().constFirst()));
        }
    }
    line.options.trace = parser.value(trace);
    if (parser.isSet(trace) && line.options.trace.isEmpty()) {
        return Misuse(QStringLiteral("--trace needs a file name"));
    }
    line.options.monitor = parser.isSet(monitor);
    line.options.port = parser.value(port);
    if (!Is_Known_Port(line.options.port)) {
        return Misuse(QStringLiteral("unknown port '%1'; use auto, sim, direct or "
                                     "ppdev:/dev/parportN")
                          .arg(line.options.port));
    }
    return line;
}
