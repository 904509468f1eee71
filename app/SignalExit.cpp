#include "app/SignalExit.h"

#include "setup/StopSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

SignalExit::SignalExit(StopSignals& stops, QObject* parent) : QObject(parent) {
    notifier_ = new QSocketNotifier(stops.fd(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this, &stops] {
        if (const int number = stops.taken()) {
            notifier_->setEnabled(false);
            QCoreApplication::exit(stopStatus(number));
        }
    });
}
