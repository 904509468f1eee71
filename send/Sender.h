#pragma once

// zovrel-send, the panel's companion for scripts: sends wiper codes from the
// command line or standard input, one frame each, through the same port stack
// and frame writer as the panel. No Qt and no window.

#include <memory>

class PortOutput;

// Runs zovrel-send. replacement, when given, stands in for the chosen port.
// Returns the exit status: 0 when every code was sent, 1 when the port failed,
// 2 for misuse or a bad code, 128 + the signal's number when a signal ended it.
int runSender(int argc, char** argv, std::shared_ptr<PortOutput> replacement = nullptr);
