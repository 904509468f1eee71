#pragma once

#include "setup/CommandLine.h"

#include <exception>
#include <string>

// What the user reads when a run fails: the cause the port layer gave, then
// what to do about it, worded with this program's own options.
std::string failureText(const std::exception& failure, Program program);
