#pragma once

#include <QString>
#include <QStringList>

// What the command line asked for.
struct Program_Options {
    QString port = QStringLiteral("auto"); // auto, sim, direct or ppdev:/dev/parportN
    QString trace;                         // a file to record every word in, or empty
    bool monitor = false;                  // show the port monitor (always on the simulated board)
};

// The outcome of reading the command line: run the panel, or leave at once
// with a text for standard output (help, version) or standard error (misuse).
struct Command_Line {
    enum class Outcome { Run, Print_And_Exit, Misuse };
    Outcome outcome = Outcome::Run;
    Program_Options options;
    QString text;
    int exit_status = 0;
};

inline constexpr int Misuse_Exit_Status = 2;

// Text from outside (an argument, a path) made fit for one line of a message:
// cut short, control characters replaced.
QString Printable(const QString& text);

// arguments[0] is the program's name, as in argv.
Command_Line Read_Command_Line(const QStringList& arguments);
