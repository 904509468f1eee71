#include "port/UniqueFd.h"

#include <unistd.h>

#include <cerrno>

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = std::exchange(other.fd_, -1);
        closer_ = std::move(other.closer_);
    }
    return *this;
}

int UniqueFd::reset() {
    if (fd_ < 0) {
        return 0;
    }
    const int fd = std::exchange(fd_, -1);
    if (closer_) {
        errno = 0;
        closer_(fd);
        return errno == 0 ? 0 : -1;
    }
    return ::close(fd);
}
