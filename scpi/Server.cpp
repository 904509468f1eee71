#include "scpi/Server.h"

#include "port/MessageText.h"
#include "port/UniqueFd.h"
#include "setup/StopSignals.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

struct Server::Client {
    UniqueFd fd;
    Instrument instrument;
    std::string input;
    std::string output;
    bool discarding = false; // inside a line that was too long
    std::string peer;
};

namespace {

std::string peerOf(const sockaddr_storage& address) {
    char host[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (address.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        port = ntohs(in->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
    inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    std::string shown(1, '[');
    shown += host;
    shown += "]:";
    shown += std::to_string(ntohs(in6->sin6_port));
    return shown;
}

} // namespace

Server::Server(Instrument::Board& board, StopSignals& stops, std::function<void(std::string)> say)
    : board_(board), stops_(stops), say_(std::move(say)) {}

Server::~Server() = default;

void Server::tellEveryone(const std::string& failure) {
    for (const auto& client : clients_) {
        client->instrument.portFailed(failure);
    }
}

int Server::serve(const ListenAddress& address) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int error = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found)) {
        say_("cannot listen on '" + printable(address.host) + "': " + gai_strerror(error));
        return 1;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> info(found, freeaddrinfo);
    UniqueFd listener(::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int on = 1;
    if (listener) {
        ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (!listener || ::bind(listener.get(), found->ai_addr, found->ai_addrlen) != 0 ||
        ::listen(listener.get(), 16) != 0) {
        say_("cannot listen on " + printable(address.host) + ":" + address.port + ": " +
             errorText(errno));
        return 1;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &length);
    say_("listening on " + peerOf(bound));

    std::vector<std::unique_ptr<Client>>& clients = clients_;
    const auto drop = [&](std::size_t i, const std::string& why) {
        if (!why.empty()) {
            say_("client " + clients[i]->peer + " dropped: " + why);
        }
        clients.erase(clients.begin() + long(i));
    };
    bool busy = false; // lines wait unread: poll without waiting
    while (stops_.taken() == 0) {
        std::vector<pollfd> watched{{stops_.fd(), POLLIN, 0}, {listener.get(), POLLIN, 0}};
        for (const auto& c : clients) {
            watched.push_back({c->fd.get(), short(POLLIN | (c->output.empty() ? 0 : POLLOUT)), 0});
        }
        if (::poll(watched.data(), watched.size(), busy ? 0 : -1) < 0 && errno != EINTR) {
            say_("waiting for clients failed: " + errorText(errno));
            return 1;
        }
        if (watched[1].revents & POLLIN) {
            sockaddr_storage peer{};
            socklen_t size = sizeof peer;
            UniqueFd fd(::accept4(listener.get(), reinterpret_cast<sockaddr*>(&peer), &size,
                                  SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (fd && clients.size() < clientLimit) {
                ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                clients.push_back(std::unique_ptr<Client>(
                    new Client{std::move(fd), Instrument(board_), {}, {}, false, peerOf(peer)}));
            }
        }
        busy = false;
        for (std::size_t i = clients.size(); i-- > 0;) {
            Client& c = *clients[i];
            const short events = i + 2 < watched.size() && watched[i + 2].fd == c.fd.get()
                                     ? watched[i + 2].revents
                                     : 0;
            if (events & POLLIN) {
                char buffer[4096];
                const ssize_t n = ::recv(c.fd.get(), buffer, sizeof buffer, 0);
                if (n <= 0 && !(n < 0 && (errno == EAGAIN || errno == EINTR))) {
                    drop(i, "");
                    continue;
                }
                if (n > 0) {
                    c.input.append(buffer, std::size_t(n));
                }
            }
            // Whole lines, a few at a time, so that no client holds the others up.
            for (int turn = 0; turn < linesPerTurn && stops_.taken() == 0; ++turn) {
                const std::size_t end = c.input.find('\n');
                if (end == std::string::npos) {
                    if (c.input.size() > lineLimit) {
                        c.input.clear();
                        if (!c.discarding) {
                            c.instrument.pushError(-100, "a line longer than " +
                                                             std::to_string(lineLimit) +
                                                             " characters was refused");
                        }
                        c.discarding = true;
                    }
                    break;
                }
                std::string line = c.input.substr(0, end);
                c.input.erase(0, end + 1);
                if (std::exchange(c.discarding, false) || line.size() > lineLimit) {
                    continue; // the tail of a refused line, or a refused line whole
                }
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                if (const auto reply = c.instrument.execute(line)) {
                    c.output += *reply + "\n";
                }
            }
            busy = busy || c.input.find('\n') != std::string::npos;
            if (!c.output.empty()) {
                const ssize_t n =
                    ::send(c.fd.get(), c.output.data(), c.output.size(), MSG_NOSIGNAL);
                if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    drop(i, "");
                    continue;
                }
                if (n > 0) {
                    c.output.erase(0, std::size_t(n));
                }
            }
            if (c.output.size() > outputLimit) {
                drop(i, "it left more than " + std::to_string(outputLimit) +
                            " bytes of replies unread");
            }
        }
    }
    return stopStatus(stops_.taken());
}
