#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into an orderly end of the event loop, with exit
// status 128 + the signal's number, so that the program closes its port and
// its trace as it does after Exit. The signal is taken between handlers,
// never in the middle of a frame.
class Signal_Exit : public QObject {
    Q_OBJECT

public:
    explicit Signal_Exit(QObject* parent = nullptr);
    ~Signal_Exit() override;

private:
    QSocketNotifier* notifier_ = nullptr;
};
