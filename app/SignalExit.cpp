#include "app/SignalExit.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

namespace {

// The handler may touch nothing but this plain descriptor.
volatile int signalWriteFd = -1;

void onSignal(int number) {
    const unsigned char byte = static_cast<unsigned char>(number);
    // Only async-signal-safe calls here; the event loop does the rest.
    [[maybe_unused]] const ssize_t written = ::write(signalWriteFd, &byte, 1);
}

void setHandler(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

} // namespace

SignalExit::SignalExit(QObject* parent) : QObject(parent) {
    int ends[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return;
    }
    readEnd_ = UniqueFd(ends[0]);
    writeEnd_ = UniqueFd(ends[1]);
    signalWriteFd = writeEnd_.get();
    notifier_ = new QSocketNotifier(readEnd_.get(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        unsigned char number = 0;
        if (::read(readEnd_.get(), &number, 1) == 1) {
            QCoreApplication::exit(128 + number);
        }
    });
    setHandler(onSignal);
}

SignalExit::~SignalExit() {
    if (!notifier_) {
        return;
    }
    setHandler(SIG_DFL);
    signalWriteFd = -1;
    delete notifier_;
}
