#pragma once

#include <QObject>

class QSocketNotifier;
class StopSignals;

// Turns SIGINT, SIGTERM and SIGHUP (the terminal closed) into an orderly end of the event loop,
// with exit status 128 + the signal's number, so that the program closes its port and its trace as
// it does after Exit. The signal is taken between handlers, never in the middle of a frame.
class SignalExit : public QObject {
    Q_OBJECT

public:
    explicit SignalExit(StopSignals& stops, QObject* parent = nullptr);

private:
    QSocketNotifier* notifier_ = nullptr;
};
