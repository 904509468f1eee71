#include "scpi/StreamOutput.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

StreamOutput::StreamOutput(int fd, std::string note) : fd_(fd), note_(std::move(note)) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || S_ISREG(status.st_mode)) {
        return; // a file never keeps a writer waiting for a reader
    }
    if (S_ISSOCK(status.st_mode)) {
        kind_ = Kind::Socket;
        return;
    }
    own_ = UniqueFd(::open(("/proc/self/fd/" + std::to_string(fd)).c_str(),
                           O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    // Without a descriptor of its own, a wait is avoided by writing only
    // after poll says there is room, and no more than a pipe takes at once.
    kind_ = own_ ? Kind::NonBlocking : Kind::Polled;
}

std::size_t StreamOutput::writeSome(std::string_view text) {
    ssize_t n = -1;
    switch (kind_) {
    case Kind::File:
    case Kind::NonBlocking:
        n = ::write(fd(), text.data(), text.size());
        break;
    case Kind::Socket:
        n = ::send(fd_, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        break;
    case Kind::Polled: {
        pollfd watched{fd_, POLLOUT, 0};
        if (::poll(&watched, 1, 0) != 1 || (watched.revents & POLLOUT) == 0) {
            return 0;
        }
        n = ::write(fd_, text.data(), std::min<std::size_t>(text.size(), PIPE_BUF));
        break;
    }
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
        gone_ = true; // closed, or broken: nobody can read what follows
        held_.clear();
        start_ = 0;
    }
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

void StreamOutput::write(std::string_view line) {
    if (gone_) {
        return;
    }
    if (!holding()) {
        held_.clear();
        start_ = 0;
        if (dropped_ == 0) {
            line.remove_prefix(writeSome(line));
            if (line.empty() || gone_) {
                return;
            }
        }
    }
    if (held_.size() - start_ + line.size() > holdLimit) {
        ++dropped_;
        return;
    }
    held_ += line;
}

void StreamOutput::flush() {
    while (holding()) {
        const std::size_t n = writeSome(std::string_view(held_).substr(start_));
        if (n == 0) {
            return;
        }
        start_ += n;
    }
    held_.clear();
    start_ = 0;
    if (dropped_ > 0 && !gone_) {
        std::string told = note_ + std::to_string(dropped_) + (dropped_ == 1 ? " line" : " lines") +
                           " dropped here while this output was not read\n";
        dropped_ = 0;
        write(told);
    }
}

void StreamOutput::finish(std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    flush();
    while (holding()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd watched{fd(), POLLOUT, 0};
        if (left.count() <= 0 || ::poll(&watched, 1, static_cast<int>(left.count())) <= 0) {
            return;
        }
        flush();
    }
}
