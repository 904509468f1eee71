#include "scpi/Sockets.h"

#include "port/MessageText.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

// Errors after which the same call may simply be made again later.
bool passing(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

} // namespace

UniqueFd listenOn(const ListenAddress& address, const std::function<void(std::string)>& say,
                  int backlog) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int error = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found)) {
        say("cannot listen on '" + printable(address.host) + "': " + gai_strerror(error));
        return {};
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> info(found, freeaddrinfo);
    UniqueFd listener(::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int on = 1;
    if (listener) {
        ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (!listener || ::bind(listener.get(), found->ai_addr, found->ai_addrlen) != 0 ||
        ::listen(listener.get(), backlog) != 0) {
        say("cannot listen on " + printable(address.host) + ":" + address.port + ": " +
            errorText(errno));
        return {};
    }
    return listener;
}

std::string addressText(const sockaddr_storage& address) {
    char host[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        return std::string(host) + ":" + std::to_string(ntohs(in->sin_port));
    }
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
    inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    std::string shown(1, '[');
    shown += host;
    shown += "]:";
    shown += std::to_string(ntohs(in6->sin6_port));
    return shown;
}

std::string addressText(int fd) {
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    return addressText(bound);
}

unsigned short boundPort(int fd) {
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    return bound.ss_family == AF_INET
               ? ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port)
               : ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port);
}

void keepAlive(int fd) {
    const int on = 1;
    const unsigned user = unacknowledgedMs;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &keepaliveIdle, sizeof(int));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &keepaliveInterval, sizeof(int));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &keepaliveCount, sizeof(int));
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user, sizeof user);
}

bool Listener::settingAside() const {
    return retryAt_ && Clock::now() < *retryAt_;
}

std::optional<Listener::Clock::time_point> Listener::retryAt() const {
    return settingAside() ? retryAt_ : std::nullopt;
}

int Listener::watched() const {
    return settingAside() ? -1 : fd_.get();
}

UniqueFd Listener::accept(std::size_t connected, std::size_t limit, std::string& peer,
                          const std::function<void(std::string)>& say) {
    if (settingAside()) {
        return {};
    }
    for (;;) {
        sockaddr_storage from{};
        socklen_t size = sizeof from;
        UniqueFd fd(::accept4(fd_.get(), reinterpret_cast<sockaddr*>(&from), &size,
                              SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                retryAt_ = Clock::now() + retryAfter;
                if (!told_) {
                    say("cannot take a client now: " + errorText(errno) +
                        "; new clients wait until one leaves");
                    told_ = true;
                }
            }
            return fd; // EAGAIN, or a client that left before it was taken
        }
        retryAt_.reset();
        told_ = false;
        peer = addressText(from);
        if (connected < limit) {
            keepAlive(fd.get());
            return fd;
        }
        say("client " + peer + " refused: " + std::to_string(limit) +
            " clients are connected, the most served at once");
        ::shutdown(fd.get(), SHUT_RDWR);
    }
}

Received receiveFrom(int fd, char* buffer, std::size_t room, std::size_t& got, int& error) {
    got = 0;
    error = 0;
    const ssize_t n = ::recv(fd, buffer, room, 0);
    if (n > 0) {
        got = static_cast<std::size_t>(n);
        return Received::Data;
    }
    if (n == 0) {
        return Received::Ended;
    }
    if (passing(errno)) {
        return Received::Nothing;
    }
    error = errno;
    return Received::Lost;
}

bool sendSome(int fd, std::string& out, int& error) {
    error = 0;
    if (out.empty()) {
        return true;
    }
    const ssize_t n = ::send(fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
        out.erase(0, static_cast<std::size_t>(n));
        return true;
    }
    if (n < 0 && !passing(errno)) {
        error = errno;
        return false;
    }
    return true;
}

int socketError(int fd) {
    int error = 0;
    socklen_t size = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
    return error;
}

void tellLost(const std::string& who, int error, const std::function<void(std::string)>& say) {
    if (error != 0) {
        say(who + " lost: " + errorText(error));
    }
}

std::string hostText(const sockaddr* address) {
    char host[NI_MAXHOST] = "";
    getnameinfo(address, address->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6),
                host, sizeof host, nullptr, 0, NI_NUMERICHOST);
    std::string text = host;
    // An IPv4 client of a socket that takes both is the IPv4 address it is.
    if (text.rfind("::ffff:", 0) == 0 && text.find('.') != std::string::npos) {
        text.erase(0, 7);
    }
    return text;
}

namespace {

std::string prefixOf(const sockaddr_in6& address) {
    sockaddr_in6 prefix = address;
    std::memset(prefix.sin6_addr.s6_addr + 8, 0, 8);
    prefix.sin6_scope_id = 0;
    return hostText(reinterpret_cast<const sockaddr*>(&prefix)) + "/64";
}

} // namespace

std::string placeOf(const sockaddr* address, const std::set<std::string>& onLink) {
    if (address->sa_family != AF_INET6) {
        return hostText(address);
    }
    const auto* six = reinterpret_cast<const sockaddr_in6*>(address);
    if (IN6_IS_ADDR_V4MAPPED(&six->sin6_addr) || IN6_IS_ADDR_LINKLOCAL(&six->sin6_addr)) {
        return hostText(address);
    }
    const std::string prefix = prefixOf(*six);
    return onLink.count(prefix) ? hostText(address) : prefix;
}

std::set<std::string> onLinkPrefixes() {
    std::set<std::string> prefixes;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return prefixes;
    }
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET6) {
            prefixes.insert(prefixOf(*reinterpret_cast<const sockaddr_in6*>(i->ifa_addr)));
        }
    }
    freeifaddrs(list);
    return prefixes;
}
