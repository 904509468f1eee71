#include "setup/StopSignals.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

constexpr int stopNumbers[] = {SIGINT, SIGTERM, SIGHUP};

StopSignals* living = nullptr;

sigset_t stopSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int number : stopNumbers) {
        sigaddset(&set, number);
    }
    return set;
}

} // namespace

StopSignals::StopSignals() {
    const sigset_t set = stopSet();
    pthread_sigmask(SIG_BLOCK, &set, &savedMask_);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &savedPipe_);
    fd_ = UniqueFd(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    living = this;
}

StopSignals::~StopSignals() {
    if (living == this) {
        living = nullptr;
    }
    fd_.reset();
    sigaction(SIGPIPE, &savedPipe_, nullptr);
    pthread_sigmask(SIG_SETMASK, &savedMask_, nullptr);
}

int StopSignals::taken() {
    if (taken_ != 0) {
        return taken_;
    }
    signalfd_siginfo info{};
    if (::read(fd_.get(), &info, sizeof info) == sizeof info) {
        taken_ = static_cast<int>(info.ssi_signo);
    } else if (!fd_) {
        // Without a signalfd (no descriptor was free) the pending set still tells.
        const sigset_t set = stopSet();
        const timespec now{};
        const int number = sigtimedwait(&set, nullptr, &now);
        taken_ = number > 0 ? number : 0;
    }
    return taken_;
}

bool StopSignals::wait(int fd, std::optional<Clock::time_point> deadline) {
    for (;;) {
        if (taken() != 0) {
            return false;
        }
        int timeoutMs = -1;
        if (deadline) {
            const auto left = *deadline - Clock::now();
            if (left <= Clock::duration::zero()) {
                return true;
            }
            // Rounded up, so that a wait never ends early.
            timeoutMs =
                static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        }
        pollfd watched[2] = {{fd_.get(), POLLIN, 0}, {fd, POLLIN, 0}};
        const int ready = ::poll(watched, fd >= 0 ? 2 : 1, timeoutMs);
        if (ready < 0 && errno != EINTR) {
            return true; // let the caller's read tell what is wrong
        }
        if (ready > 0 && watched[1].revents != 0 && watched[0].revents == 0) {
            return true;
        }
    }
}

StopSignals* StopSignals::current() {
    return living;
}

int stopStatus(int signal) {
    return 128 + signal;
}

int endAs(int status) {
    for (const int number : stopNumbers) {
        if (status != stopStatus(number)) {
            continue;
        }
        std::signal(number, SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, number);
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        ::raise(number);
    }
    return status;
}
