#include "sweep/Meter.h"

#include "port/MessageText.h"
#include "port/UniqueFd.h"
#include "setup/StopSignals.h"

#include <fcntl.h>
#include <linux/usb/tmc.h>
#include <lxi.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

std::unique_ptr<Meter> openSimulatedMeter(std::shared_ptr<SimulatedBoard> board);

namespace {

using Clock = std::chrono::steady_clock;

// A resource's parts between "::", the first and last upper-cased.
std::vector<std::string> partsOf(const std::string& resource) {
    std::vector<std::string> parts;
    for (std::size_t at = 0;;) {
        const std::size_t end = resource.find("::", at);
        parts.push_back(resource.substr(at, end - at));
        if (end == std::string::npos) {
            break;
        }
        at = end + 2;
    }
    for (std::string* part : {&parts.front(), &parts.back()}) {
        std::transform(part->begin(), part->end(), part->begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    }
    return parts;
}

bool isTcpip(const std::string& board) {
    return board.rfind("TCPIP", 0) == 0 &&
           std::all_of(board.begin() + 5, board.end(),
                       [](unsigned char c) { return std::isdigit(c); });
}

std::string withoutNewLine(std::string reply) {
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) {
        reply.pop_back();
    }
    return reply;
}

// VXI-11 through liblxi, as lxi-tools and VISA's INSTR resources speak it.
class Vxi11Meter : public Meter {
public:
    Vxi11Meter(const std::string& resource, const std::string& host, const std::string& device,
               int timeoutMs)
        : Meter("the meter at " + resource), timeoutMs_(timeoutMs) {
        static const int ready = lxi_init();
        (void)ready;
        device_ = lxi_connect(host.c_str(), 0, device.c_str(), timeoutMs, VXI11);
        if (device_ < 0) {
            throw MeterError(name() + " could not be reached over VXI-11 (is it on, on this "
                                      "network, and answering its portmapper?)");
        }
    }
    ~Vxi11Meter() override { lxi_disconnect(device_); }

    void send(const std::string& command) override {
        const std::string line = command + "\n";
        if (lxi_send(device_, line.data(), static_cast<int>(line.size()), timeoutMs_) < 0) {
            throw MeterError(name() + " did not take '" + printable(command) + "'");
        }
    }
    std::string query(const std::string& command) override {
        send(command);
        std::vector<char> reply(65536);
        const int n =
            lxi_receive(device_, reply.data(), static_cast<int>(reply.size()), timeoutMs_);
        if (n < 0) {
            throw MeterError(name() + " gave no answer to '" + printable(command) + "' within " +
                             std::to_string(timeoutMs_) + " ms");
        }
        return withoutNewLine(std::string(reply.data(), static_cast<std::size_t>(n)));
    }

private:
    int timeoutMs_;
    int device_ = -1;
};

// A raw SCPI socket: a command a line, a reply a line. Its own few lines
// rather than the library's, so that every wait also watches for a stop.
class SocketMeter : public Meter {
public:
    SocketMeter(const std::string& resource, const std::string& host, const std::string& port,
                int timeoutMs, StopSignals& stops)
        : Meter("the meter at " + resource), timeoutMs_(timeoutMs), stops_(stops) {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (const int error = getaddrinfo(host.c_str(), port.c_str(), &hints, &found)) {
            throw MeterError(name() + ": '" + printable(host) + "' cannot be found (" +
                             gai_strerror(error) + ")");
        }
        std::unique_ptr<addrinfo, void (*)(addrinfo*)> info(found, freeaddrinfo);
        fd_ = UniqueFd(::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd_ || (::connect(fd_.get(), found->ai_addr, found->ai_addrlen) != 0 &&
                     errno != EINPROGRESS)) {
            throw MeterError(name() + " could not be reached: " + errorText(errno));
        }
        waitFor(POLLOUT, "to connect");
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &error, &size);
        if (error != 0) {
            throw MeterError(name() + " could not be reached: " + errorText(error));
        }
    }

    void send(const std::string& command) override {
        std::string_view line = command;
        const std::string whole = command + "\n";
        for (std::string_view left = whole; !left.empty();) {
            waitFor(POLLOUT, "to take '" + printable(line) + "'");
            const ssize_t n = ::send(fd_.get(), left.data(), left.size(), MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                throw MeterError(name() + " went away (" + errorText(errno) + ")");
            }
            left.remove_prefix(n > 0 ? static_cast<std::size_t>(n) : 0);
        }
    }
    std::string query(const std::string& command) override {
        send(command);
        deadline_ = Clock::now() + std::chrono::milliseconds(timeoutMs_);
        for (;;) {
            if (const std::size_t end = held_.find('\n'); end != std::string::npos) {
                std::string reply = held_.substr(0, end);
                held_.erase(0, end + 1);
                return withoutNewLine(reply);
            }
            waitFor(POLLIN, "to answer '" + printable(command) + "'", false);
            char buffer[4096];
            const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                throw MeterError(name() + " went away" +
                                 (n == 0 ? std::string() : " (" + errorText(errno) + ")"));
            }
            held_.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
            if (held_.size() > 65536) {
                throw MeterError(name() + " answered more than 64 KiB with no new line");
            }
        }
    }

private:
    // Waits until the socket is ready, the time runs out or a stop comes.
    void waitFor(short events, const std::string& what, bool fresh = true) {
        if (fresh) {
            deadline_ = Clock::now() + std::chrono::milliseconds(timeoutMs_);
        }
        for (;;) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now());
            if (left.count() <= 0) {
                throw MeterError(name() + " took more than " + std::to_string(timeoutMs_) + " ms " +
                                 what);
            }
            pollfd watched[2] = {{fd_.get(), events, 0}, {stops_.fd(), POLLIN, 0}};
            if (::poll(watched, 2, static_cast<int>(left.count())) > 0) {
                if (watched[1].revents != 0 && stops_.taken() != 0) {
                    throw MeterError("stopped");
                }
                if (watched[0].revents != 0) {
                    return;
                }
            }
        }
    }

    int timeoutMs_;
    StopSignals& stops_;
    UniqueFd fd_;
    std::string held_;
    Clock::time_point deadline_;
};

// A USB meter through the kernel's USB Test and Measurement driver.
class UsbtmcMeter : public Meter {
public:
    UsbtmcMeter(const std::string& path, int timeoutMs)
        : Meter("the meter at " + path), timeoutMs_(timeoutMs) {
        fd_ = UniqueFd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
        if (!fd_) {
            const int error = errno;
            throw MeterError(
                name() + " cannot be opened: " + errorText(error) +
                (error == EACCES
                     ? ". Give your group the USB meter with a udev rule, such as "
                       "SUBSYSTEM==\"usbmisc\", KERNEL==\"usbtmc*\", GROUP=\"plugdev\", "
                       "MODE=\"0660\", then plug it in again."
                 : error == ENOENT ? ". Is the meter plugged in and on? ('lsusb' lists it; the "
                                     "kernel's usbtmc driver makes /dev/usbtmc0 for it.)"
                                   : ""));
        }
        const __u32 ms = static_cast<__u32>(timeoutMs);
        ::ioctl(fd_.get(), USBTMC_IOCTL_SET_TIMEOUT, &ms);
    }

    void send(const std::string& command) override {
        const std::string line = command + "\n";
        if (::write(fd_.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            fail(errno, "take '" + printable(command) + "'");
        }
    }
    std::string query(const std::string& command) override {
        send(command);
        std::string reply(65536, '\0');
        const ssize_t n = ::read(fd_.get(), reply.data(), reply.size());
        if (n < 0) {
            fail(errno, "answer '" + printable(command) + "'");
        }
        reply.resize(static_cast<std::size_t>(n));
        return withoutNewLine(reply);
    }

private:
    [[noreturn]] void fail(int error, const std::string& what) {
        if (error == ETIMEDOUT) {
            throw MeterError(name() + " did not " + what + " within " + std::to_string(timeoutMs_) +
                             " ms");
        }
        throw MeterError(name() +
                         (error == ENODEV ? " went away (unplugged?)" : " failed to " + what) +
                         ": " + errorText(error));
    }

    int timeoutMs_;
    UniqueFd fd_;
};

} // namespace

bool isMeterResource(const std::string& resource) {
    if (resource == "sim" || (resource.rfind("/dev/", 0) == 0 && resource.size() > 5)) {
        return true;
    }
    const auto parts = partsOf(resource);
    return parts.size() >= 3 && isTcpip(parts.front()) && !parts[1].empty() &&
           ((parts.back() == "INSTR" && (parts.size() == 3 || parts.size() == 4)) ||
            (parts.back() == "SOCKET" && parts.size() == 4 &&
             readDecimal(parts[2], 65535).value_or(0) > 0));
}

std::unique_ptr<Meter> openMeter(const std::string& resource, int timeoutMs, StopSignals& stops,
                                 std::shared_ptr<SimulatedBoard> board) {
    if (resource == "sim") {
        return openSimulatedMeter(std::move(board));
    }
    if (resource.rfind("/dev/", 0) == 0) {
        return std::make_unique<UsbtmcMeter>(resource, timeoutMs);
    }
    const auto parts = partsOf(resource);
    if (parts.back() == "SOCKET") {
        return std::make_unique<SocketMeter>(resource, parts[1], parts[2], timeoutMs, stops);
    }
    return std::make_unique<Vxi11Meter>(resource, parts[1], parts.size() == 4 ? parts[2] : "inst0",
                                        timeoutMs);
}
