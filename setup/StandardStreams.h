#pragma once

#include "setup/CommandLine.h"

#include <string_view>

// Puts /dev/null on standard input, output and error where they are closed, so
// that no file the program opens (a trace, the display's connection) takes
// descriptors 0 to 2 and receives what was meant for them. Call it first.
void guardStandardStreams();

// Writes all of text to fd, waiting while a pipe is full, but giving up when
// a stop signal comes (StopSignals), so that a reader that stalls cannot hold
// the program past Ctrl+C. False when not all of it was written.
bool writeWhole(int fd, std::string_view text);

// One line on standard error: "zovrel-send: text".
void say(Program program, std::string_view text);
