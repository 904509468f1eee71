#include "setup/StandardStreams.h"

#include "setup/StopSignals.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>

void guardStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free descriptor: this very one.
            ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        }
    }
}

bool writeWhole(int fd, std::string_view text) {
    StopSignals* const stops = StopSignals::current();
    while (!text.empty()) {
        // Wait until fd is writable or a stop signal comes (the poll ends for
        // either: fd not writable then means a stop); once one has been taken,
        // write only what goes without waiting.
        pollfd watched[2] = {{fd, POLLOUT, 0}, {stops ? stops->fd() : -1, POLLIN, 0}};
        if (::poll(watched, 2, stops && stops->wasTaken() ? 0 : -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if ((watched[0].revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL)) == 0) {
            return false;
        }
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void say(Program program, std::string_view text) {
    std::string line = programName(program) + ": ";
    line += text;
    if (line.back() != '\n') {
        line += '\n';
    }
    writeWhole(STDERR_FILENO, line);
}
