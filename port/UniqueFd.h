#pragma once

#include <functional>
#include <utility>

// Owns one file descriptor and closes it exactly once: when it goes out of scope,
// when another descriptor is moved in, or on reset(). The closer is ::close unless
// the owner reaches the kernel through a seam of its own.
class UniqueFd {
public:
    using Closer = std::function<void(int fd)>;

    UniqueFd() = default;
    explicit UniqueFd(int fd, Closer closer = {}) : fd_(fd), closer_(std::move(closer)) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)), closer_(std::move(other.closer_)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool isValid() const { return fd_ >= 0; }
    explicit operator bool() const { return isValid(); }

    // Closes the descriptor now; returns close's result (0 when there was none)
    // with errno as close left it.
    int reset();
    // Gives the descriptor to a new owner, which closes it.
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
    Closer closer_;
};
