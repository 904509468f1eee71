#pragma once

#include <QString>

class QWidget;

inline constexpr int failureExitStatus = 1;

// The one place where a failure is told to the user: the text goes to standard
// error at once, then a critical message box titled "Zovrel Rev B" shows it,
// and the program ends with status 1. The box is shown once the failing handler
// has returned, so it never runs an event loop in the middle of a handler.
void reportFailureAndExit(QWidget* window, const QString& what);
