#pragma once

#include <memory>

class PortOutput;

// Runs zovrel-scpi. replacement, when given, stands in for the chosen port.
// Returns the exit status: 1 when it cannot listen, 2 for misuse, 128 + the
// signal's number when a stop signal ended it.
int runScpi(int argc, char** argv, std::shared_ptr<PortOutput> replacement = nullptr);
