#pragma once

#include "app/ProgramOptions.h"

#include <functional>
#include <memory>

class Form1;
class PortOutput;

// Ways for a test program to stand in for parts of the real one.
struct Program_Hooks {
    // Replaces the port the options choose.
    std::function<std::shared_ptr<PortOutput>(const Program_Options&)> make_port;
    // Runs once the window is shown, before the event loop starts.
    std::function<void(Form1&)> after_show;
};

// Reads the command line, chooses the port, shows the panel and runs it.
// Returns the exit status: 0 after Exit or closing the window, 1 after a
// failure, 2 for misuse of the command line.
int Run_Program(int argc, char** argv, const Program_Hooks& hooks = {});
