#include "setup/CommandLine.h"

#include <QCommandLineParser>

namespace {

bool isKnownPort(const QString& port) {
    if (port == QLatin1String("auto") || port == QLatin1String("sim") ||
        port == QLatin1String("direct")) {
        return true;
    }
    return port.startsWith(QLatin1String("ppdev:/")) && port.size() > 7;
}

// A code such as "-1" or "-.5" is an argument to refuse as a code, not an option.
bool looksNumeric(const QString& argument) {
    return argument == QLatin1String("-") ||
           (argument.size() > 1 && (argument[1].isDigit() || argument[1] == u'.'));
}

// The sender's codes go behind "--", so that "-1" is refused as a code and an
// option's separate value ("--port sim") stays with its option.
QStringList codesLast(const QStringList& arguments, const QStringList& takingValues) {
    QStringList options{arguments.value(0)};
    QStringList codes;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String("--")) {
            codes += arguments.mid(i + 1);
            break;
        }
        if (!argument.startsWith(u'-') || looksNumeric(argument)) {
            codes << argument;
            continue;
        }
        options << argument;
        const QString name = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
        if (takingValues.contains(name) && i + 1 < arguments.size()) {
            options << arguments[++i];
        }
    }
    return options + QStringList{QStringLiteral("--")} + codes;
}

bool readInterval(const QString& text, int& milliseconds) {
    if (text.isEmpty() || text.size() > 7) {
        return false;
    }
    for (const QChar c : text) {
        if (c < u'0' || c > u'9') {
            return false;
        }
    }
    milliseconds = text.toInt();
    return milliseconds <= longestInterval;
}

} // namespace

QString programName(Program program) {
    return program == Program::Panel ? QStringLiteral("zovrel-panel")
                                     : QStringLiteral("zovrel-send");
}

QString printable(const QString& text) {
    constexpr int longest = 200;
    QString shown;
    for (const QChar c : text.left(longest)) {
        shown += c.isPrint() ? c : QChar(u'?');
    }
    if (text.size() > longest) {
        shown += QStringLiteral("...");
    }
    return shown;
}

CommandLine misuse(Program program, const QString& why) {
    CommandLine line;
    line.outcome = CommandLine::Outcome::Misuse;
    line.exitStatus = misuseExitStatus;
    line.text = QStringLiteral("%1: %2 (try --help)\n").arg(programName(program), printable(why));
    return line;
}

CommandLine readCommandLine(const QStringList& arguments, Program program) {
    const bool panel = program == Program::Panel;
    QCommandLineParser parser;
    parser.setApplicationDescription(
        panel ? QStringLiteral("Control panel for the Zovrel Rev B digital potentiometer board on "
                               "the first parallel port (0x378).")
              : QStringLiteral("Sends wiper codes (0 to 127) to the Zovrel Rev B board on the "
                               "first parallel port (0x378), one frame each, in the order given."));
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
    const QCommandLineOption interval(
        QStringLiteral("interval"),
        QStringLiteral("Wait <ms> milliseconds after each frame but the last (0 to 3600000)."),
        QStringLiteral("ms"), QStringLiteral("0"));
    parser.addOption(help);
    parser.addOption(version);
    parser.addOption(port);
    parser.addOption(trace);
    if (panel) {
        parser.addOption(monitor);
    } else {
        parser.addOption(interval);
        parser.addPositionalArgument(
            QStringLiteral("codes"),
            QStringLiteral("Codes 0 to 127, or - to read them from standard input."),
            QStringLiteral("CODE...|-"));
    }

    const QStringList taken =
        panel ? arguments
              : codesLast(arguments, {QStringLiteral("port"), QStringLiteral("trace"),
                                      QStringLiteral("interval")});
    if (!parser.parse(taken)) {
        return misuse(program, parser.errorText());
    }
    const QStringList positional = parser.positionalArguments();
    if (panel && !positional.isEmpty()) {
        return misuse(program,
                      QStringLiteral("unexpected argument '%1'").arg(positional.constFirst()));
    }
    CommandLine line;
    if (parser.isSet(help)) {
        line.outcome = CommandLine::Outcome::PrintAndExit;
        line.text =
            parser.helpText().replace(QStringLiteral("<executable_name>"), programName(program));
        return line;
    }
    if (parser.isSet(version)) {
        line.outcome = CommandLine::Outcome::PrintAndExit;
        line.text =
            QStringLiteral("%1 %2\n").arg(programName(program), QStringLiteral(ZOVREL_VERSION));
        return line;
    }
    for (const auto* once : {&port, &trace, panel ? &port : &interval}) {
        if (parser.values(*once).size() > 1) {
            return misuse(
                program,
                QStringLiteral("--%1 given more than once").arg(once->names().constFirst()));
        }
    }
    line.options.trace = parser.value(trace);
    if (parser.isSet(trace) && line.options.trace.isEmpty()) {
        return misuse(program, QStringLiteral("--trace needs a file name"));
    }
    line.options.port = parser.value(port);
    if (!isKnownPort(line.options.port)) {
        return misuse(program, QStringLiteral("unknown port '%1'; use auto, sim, direct or "
                                              "ppdev:/dev/parportN")
                                   .arg(line.options.port));
    }
    if (panel) {
        line.options.monitor = parser.isSet(monitor);
        return line;
    }
    if (!readInterval(parser.value(interval), line.options.intervalMs)) {
        return misuse(program, QStringLiteral("--interval takes a whole number of milliseconds "
                                              "from 0 to 3600000, not '%1'")
                                   .arg(parser.value(interval)));
    }
    if (positional.isEmpty()) {
        return misuse(program, QStringLiteral("no codes to send; usage: zovrel-send [options] "
                                              "CODE... or zovrel-send [options] -"));
    }
    if (positional.contains(QStringLiteral("-")) && positional.size() > 1) {
        return misuse(program, QStringLiteral("'-' reads the codes from standard input and "
                                              "takes no codes beside it"));
    }
    line.options.codes = positional;
    return line;
}
