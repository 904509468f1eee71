#pragma once

#include "setup/CommandLine.h"

#include <QStringList>

#include <random>

// Argument lists of the kinds that break parsers: empty and missing values,
// repeated options, very long values, control characters and odd code points.
inline QStringList hostileArguments(std::mt19937& random) {
    static const QStringList pieces = {"--port",
                                       "--port=",
                                       "--port=sim",
                                       "--port=ppdev:",
                                       "--port=ppdev:/dev/parport0",
                                       "--port=direct",
                                       "--trace",
                                       "--trace=",
                                       "--monitor",
                                       "--monitor=1",
                                       "-",
                                       "--",
                                       "-p",
                                       "--PORT=sim",
                                       "sim",
                                       "=",
                                       "--port=\t",
                                       "--help=x",
                                       "--version=2",
                                       "-hx",
                                       "--trace=/"};
    auto pick = [&random](int n) { return int(random() % unsigned(n)); };
    QStringList arguments;
    const int count = 1 + pick(4);
    for (int i = 0; i < count; ++i) {
        switch (pick(4)) {
        case 0: {
            QString odd;
            const int length = pick(3) == 0 ? 5000 + pick(5000) : pick(20);
            for (int c = 0; c < length; ++c) {
                const char16_t chars[] = {u'\x01',   u'\x1b',   u'\n', u'\r', u'\x7f', u'\u202e',
                                          u'\uFFFD', u'\u00e9', u'%',  u'$',  u'/',    u'a'};
                odd += QChar(chars[pick(int(std::size(chars)))]);
            }
            arguments << (pick(2) ? "--port=" + odd : pick(2) ? "--trace=" + odd : odd);
            break;
        }
        default:
            arguments << pieces[pick(int(pieces.size()))];
            break;
        }
    }
    return arguments;
}

// Reads a command line given as text, as the program gets it from argv.
inline CommandLine readArguments(const QStringList& arguments, Program program = Program::Panel) {
    std::vector<std::string> bytes;
    for (const QString& argument : arguments) {
        bytes.push_back(argument.toStdString());
    }
    return readCommandLine(bytes, program);
}
