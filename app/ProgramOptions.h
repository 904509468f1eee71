#pragma once

#include <QString>
#include <QStringList>

// What the command line asked for.
struct Program_Options {
    QString port = QStringLiteral("auto"); // auto, sim, direct or ppdev:/dev/parportN
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

// arguments[0] is the program's name, as in argv.
Command_Line Read_Command_Line(const QStringList& arguments);
