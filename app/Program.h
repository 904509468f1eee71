#pragma once

#include <functional>
#include <memory>

class Form1;
class PortOutput;

// The panel program: reads the command line, builds the port stack, shows the
// window and reports the one failure (FailureReport.h). Qt Widgets.

// Ways for a test program to stand in for parts of the real one.
struct ProgramHooks {
    // Replaces the port the options choose.
    std::function<std::shared_ptr<PortOutput>()> makePort;
    // Runs once the window is shown, before the event loop starts.
    std::function<void(Form1&)> afterShow;
};

// Reads the command line, chooses the port, shows the panel and runs it.
// Returns the exit status: 0 after Exit or closing the window, 1 after a
// failure, 2 for misuse of the command line.
int runProgram(int argc, char** argv, const ProgramHooks& hooks = {});
