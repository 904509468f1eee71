#include "sweep/Meter.h"

#include "port/MessageText.h"
#include "port/UniqueFd.h"
#include "setup/StopSignals.h"
#include "vxi11/Client.h"
#include "vxi11/Procedures.h"
#include "vxi11/RecordReader.h"

#include <fcntl.h>
#include <linux/usb/tmc.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <thread>
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

// A TCP connection to a meter, spoken by the sweep itself so that every wait
// also watches for a stop and ends at its deadline: no call here blocks.
class MeterSocket {
public:
    MeterSocket(const std::string& name, const std::string& host, const std::string& port,
                int timeoutMs, StopSignals& stops)
        : name_(name), timeoutMs_(timeoutMs), stops_(stops) {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (const int error = getaddrinfo(host.c_str(), port.c_str(), &hints, &found)) {
            throw MeterError(name_ + ": '" + printable(host) + "' cannot be found (" +
                             gai_strerror(error) + ")");
        }
        std::unique_ptr<addrinfo, void (*)(addrinfo*)> info(found, freeaddrinfo);
        fd_ = UniqueFd(::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd_ || (::connect(fd_.get(), found->ai_addr, found->ai_addrlen) != 0 &&
                     errno != EINPROGRESS)) {
            throw MeterError(name_ + " could not be reached: " + errorText(errno));
        }
        waitFor(POLLOUT, "to connect", fresh());
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &error, &size);
        if (error != 0) {
            throw MeterError(name_ + " could not be reached: " + errorText(error));
        }
    }

    // A deadline of the meter's timeout from now.
    Clock::time_point fresh() const { return Clock::now() + std::chrono::milliseconds(timeoutMs_); }
    int timeoutMs() const { return timeoutMs_; }

    void sendAll(std::string_view bytes, const std::string& what) {
        const auto deadline = fresh();
        while (!bytes.empty()) {
            waitFor(POLLOUT, "to take " + what, deadline);
            const ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                throw MeterError(name_ + " went away (" + errorText(errno) + ")");
            }
            bytes.remove_prefix(n > 0 ? static_cast<std::size_t>(n) : 0);
        }
    }
    // Drops what has arrived and not been asked for.
    void drain() {
        char buffer[4096];
        for (int pieces = 0; pieces < 64; ++pieces) {
            if (::recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT) <= 0) {
                return;
            }
        }
    }
    // Appends what arrives next, at most room bytes.
    void receive(std::string& into, std::size_t room, const std::string& what,
                 Clock::time_point deadline) {
        waitFor(POLLIN, "to answer " + what, deadline);
        char buffer[16 * 1024];
        const ssize_t n = ::recv(fd_.get(), buffer, std::min(room, sizeof buffer), 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            throw MeterError(name_ + " went away" +
                             (n == 0 ? std::string() : " (" + errorText(errno) + ")"));
        }
        into.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    }

private:
    // Waits until the socket is ready, the deadline passes or a stop comes.
    void waitFor(short events, const std::string& what, Clock::time_point deadline) {
        for (;;) {
            if (stops_.wasTaken()) { // taken already: its descriptor no longer says so
                throw MeterError("stopped");
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                throw MeterError(name_ + " took more than " + std::to_string(timeoutMs_) + " ms " +
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

    std::string name_;
    int timeoutMs_;
    StopSignals& stops_;
    UniqueFd fd_;
};

// A raw SCPI socket: a command a line, a reply a line.
class SocketMeter : public Meter {
public:
    SocketMeter(const std::string& resource, const std::string& host, const std::string& port,
                int timeoutMs, StopSignals& stops)
        : Meter("the meter at " + resource), socket_(name(), host, port, timeoutMs, stops) {}

    void send(const std::string& command) override {
        socket_.sendAll(command + "\n", inQuotes(command));
    }
    std::string query(const std::string& command) override {
        // Lines the meter sent unasked (a reply to a command that has none)
        // would be taken for this one's reply.
        held_.clear();
        socket_.drain();
        send(command);
        const auto deadline = socket_.fresh();
        for (;;) {
            if (const std::size_t end = held_.find('\n'); end != std::string::npos) {
                std::string reply = held_.substr(0, end);
                held_.erase(0, end + 1);
                return withoutNewLine(reply);
            }
            socket_.receive(held_, 4096, inQuotes(command), deadline);
            if (held_.size() > 65536) {
                throw MeterError(name() + " answered more than 64 KiB with no new line");
            }
        }
    }

private:
    MeterSocket socket_;
    std::string held_;
};

// VXI-11, as VISA's INSTR resources speak it: the core channel's port from
// the meter's portmapper, then a link, writes and reads, each call waited
// for no longer than the timeout (and a stop ends any wait at once).
class Vxi11Meter : public Meter {
public:
    Vxi11Meter(const std::string& resource, const std::string& host, const std::string& device,
               int timeoutMs, StopSignals& stops)
        : Meter("the meter at " + resource) {
        std::uint32_t port = 0;
        {
            MeterSocket portmapper(name() + "'s portmapper", host,
                                   std::to_string(vxi11::client::portmapperPort), timeoutMs, stops);
            auto results = call(portmapper, vxi11::client::getPort(++xid_), "GETPORT");
            port = results.word().value_or(0);
        }
        if (port == 0 || port > 65535) {
            throw MeterError(name() + " has no VXI-11 core channel registered with its portmapper "
                                      "(is it a VXI-11 instrument?)");
        }
        core_.emplace(name(), host, std::to_string(port), timeoutMs, stops);
        auto link = call(*core_, vxi11::client::createLink(++xid_, device), "create_link");
        const auto error = link.word();
        const auto lid = link.word();
        if (error != 0u || !lid) {
            throw MeterError(name() + " refused a link to its device '" + printable(device) +
                             "' (VXI-11 error " + std::to_string(error.value_or(0)) + ")");
        }
        lid_ = *lid;
    }
    // The link is let go of politely while the meter answers; after a failure
    // or a stop, closing the connection ends it as well, and nothing is waited for.
    ~Vxi11Meter() override {
        if (failed_) {
            return;
        }
        try {
            call(*core_, vxi11::client::destroyLink(++xid_, lid_), "destroy_link");
        } catch (...) {
        }
    }

    void send(const std::string& command) override {
        auto results =
            call(*core_, vxi11::client::write(++xid_, lid_, core_->timeoutMs(), command + "\n"),
                 inQuotes(command));
        if (const auto error = results.word(); error != 0u) {
            fail(error, "take '" + printable(command) + "'");
        }
    }
    std::string query(const std::string& command) override {
        send(command);
        std::string reply;
        for (;;) {
            auto results = call(*core_, vxi11::client::read(++xid_, lid_, core_->timeoutMs()),
                                inQuotes(command));
            const auto error = results.word();
            const auto reason = results.word();
            const auto data = results.opaque();
            if (error != 0u || !data) {
                fail(error, "answer '" + printable(command) + "'");
            }
            reply += *data;
            if (*reason & vxi11::reasonEnd) {
                return withoutNewLine(reply);
            }
            if (reply.size() > vxi11::readLimit) {
                throw MeterError(name() + " answered more than 64 KiB to '" + printable(command) +
                                 "'");
            }
        }
    }

private:
    [[noreturn]] void fail(std::optional<std::uint32_t> error, const std::string& what) {
        if (!error) {
            throw MeterError(name() + " gave a reply that could not be read, to " + what);
        }
        throw MeterError(
            name() +
            (error == vxi11::ioTimeout ? " did not " + what + " in time" : " could not " + what) +
            " (VXI-11 error " + std::to_string(*error) + ")");
    }

    // Sends a call and waits for its reply; replies to calls given up on
    // before are passed over.
    vxi11::client::Results call(MeterSocket& socket, const std::string& record,
                                const std::string& what) {
        failed_ = true; // until its reply is read
        socket.sendAll(record, what);
        const std::uint32_t xid = xid_;
        // A little longer than the meter's own timeout, so that its own
        // timeout error comes first when it has one.
        const auto deadline = socket.fresh() + std::chrono::milliseconds(250);
        RecordReader& reader = core_ && &socket == &*core_ ? coreReader_ : portmapperReader_;
        for (;;) {
            switch (reader.next()) {
            case RecordReader::Next::Record:
                if (vxi11::client::replyTo(reader.record()) != xid) {
                    continue;
                }
                if (auto results = vxi11::client::resultsOf(reader.record(), xid)) {
                    failed_ = false;
                    return *results;
                }
                throw MeterError(name() + " refused the RPC call for " + what);
            case RecordReader::Next::None:
                break;
            default:
                throw MeterError(name() + " sent an RPC record past its bounds");
            }
            std::string bytes;
            socket.receive(bytes, reader.room(), what, deadline);
            reader.append(bytes.data(), bytes.size());
        }
    }

    std::optional<MeterSocket> core_;
    RecordReader coreReader_{vxi11::readLimit + 1024, vxi11::fragmentLimit};
    RecordReader portmapperReader_{1024, vxi11::fragmentLimit};
    bool failed_ = false; // a call went unanswered: the link's state is not known
    std::uint32_t xid_ = 0;
    long lid_ = 0;
};

// Runs a read or write that may block in the kernel (the usbtmc driver's,
// which poll cannot watch) on a thread of its own, so that a stop ends the
// wait at once; a call still running then is left to end with the process,
// and holds its descriptor until it does.
ssize_t unlessStopped(StopSignals& stops, std::function<ssize_t()> call, int& error) {
    struct Outcome {
        UniqueFd done{::eventfd(0, EFD_CLOEXEC)};
        ssize_t result = -1;
        int error = 0;
    };
    auto outcome = std::make_shared<Outcome>();
    if (!outcome->done) {
        throw MeterError("cannot wait for the meter: " + errorText(errno));
    }
    std::thread([outcome, call = std::move(call)] {
        outcome->result = call();
        outcome->error = errno;
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t told = ::write(outcome->done.get(), &one, sizeof one);
    }).detach();
    for (;;) {
        pollfd watched[2] = {{outcome->done.get(), POLLIN, 0}, {stops.fd(), POLLIN, 0}};
        if (::poll(watched, 2, -1) > 0) {
            if (watched[0].revents != 0) {
                error = outcome->error;
                return outcome->result;
            }
            if (watched[1].revents != 0 && stops.taken() != 0) {
                throw MeterError("stopped");
            }
        }
    }
}

// A USB meter through the kernel's USB Test and Measurement driver.
class UsbtmcMeter : public Meter {
public:
    UsbtmcMeter(const std::string& path, int timeoutMs, StopSignals& stops)
        : Meter("the meter at " + path), timeoutMs_(timeoutMs), stops_(stops),
          fd_(std::make_shared<UniqueFd>(::open(path.c_str(), O_RDWR | O_CLOEXEC))) {
        if (!*fd_) {
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
        ::ioctl(fd_->get(), USBTMC_IOCTL_SET_TIMEOUT, &ms);
    }

    void send(const std::string& command) override {
        auto line = std::make_shared<std::string>(command + "\n");
        int error = 0;
        const ssize_t n = unlessStopped(
            stops_, [fd = fd_, line] { return ::write(fd->get(), line->data(), line->size()); },
            error);
        if (n != static_cast<ssize_t>(line->size())) {
            fail(error, "take '" + printable(command) + "'");
        }
    }
    std::string query(const std::string& command) override {
        send(command);
        auto reply = std::make_shared<std::string>(65536, '\0');
        int error = 0;
        const ssize_t n = unlessStopped(
            stops_, [fd = fd_, reply] { return ::read(fd->get(), reply->data(), reply->size()); },
            error);
        if (n < 0) {
            fail(error, "answer '" + printable(command) + "'");
        }
        reply->resize(static_cast<std::size_t>(n));
        return withoutNewLine(*reply);
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
    StopSignals& stops_;
    std::shared_ptr<UniqueFd> fd_; // shared with a call a stop left running
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
        return std::make_unique<UsbtmcMeter>(resource, timeoutMs, stops);
    }
    const auto parts = partsOf(resource);
    if (parts.back() == "SOCKET") {
        return std::make_unique<SocketMeter>(resource, parts[1], parts[2], timeoutMs, stops);
    }
    return std::make_unique<Vxi11Meter>(resource, parts[1], parts.size() == 4 ? parts[2] : "inst0",
                                        timeoutMs, stops);
}
