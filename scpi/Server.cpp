#include "scpi/Server.h"

#include "port/MessageText.h"
#include "scpi/StreamOutput.h"
#include "setup/StopSignals.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

struct Server::Client {
    Client(UniqueFd socket, Instrument::Board& board, std::string from)
        : fd(std::move(socket)), instrument(board), input(lineLimit), peer(std::move(from)) {}

    UniqueFd fd;
    Instrument instrument;
    LineInput input;
    std::string output;
    std::string peer;
    bool reading = true;   // the client has not shut its side
    bool moreWork = false; // its turn ended with commands still to run
};

namespace {

std::string peerOf(const sockaddr_storage& address) {
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

void keepAlive(int fd) {
    const int on = 1;
    const unsigned user = Server::unacknowledgedMs;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &Server::keepaliveIdle, sizeof(int));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &Server::keepaliveInterval, sizeof(int));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &Server::keepaliveCount, sizeof(int));
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user, sizeof user);
}

} // namespace

Server::Server(Instrument::Board& board, StopSignals& stops, std::vector<StreamOutput*> streams,
               std::function<void(std::string)> say)
    : board_(board), stops_(stops), streams_(std::move(streams)), say_(std::move(say)) {}

Server::~Server() = default;

void Server::tellEveryone(const std::string& failure) {
    for (const auto& client : clients_) {
        client->instrument.portFailed(failure);
    }
}

bool Server::listen(const ListenAddress& address) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int error = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found)) {
        say_("cannot listen on '" + printable(address.host) + "': " + gai_strerror(error));
        return false;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> info(found, freeaddrinfo);
    listener_ = UniqueFd(::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int on = 1;
    if (listener_) {
        ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (!listener_ || ::bind(listener_.get(), found->ai_addr, found->ai_addrlen) != 0 ||
        ::listen(listener_.get(), 16) != 0) {
        say_("cannot listen on " + printable(address.host) + ":" + address.port + ": " +
             errorText(errno));
        return false;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&bound), &length);
    say_("listening on " + peerOf(bound));
    return true;
}

void Server::drop(std::size_t index, const std::string& why) {
    if (!why.empty()) {
        say_("client " + clients_[index]->peer + " dropped: " + why);
    }
    clients_.erase(clients_.begin() + static_cast<long>(index));
    acceptPaused_ = false;
}

void Server::acceptClients() {
    for (int taken = 0; taken < 16; ++taken) {
        sockaddr_storage peer{};
        socklen_t size = sizeof peer;
        UniqueFd fd(::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &size,
                              SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                say_("cannot take a client now: " + errorText(errno) +
                     "; new clients wait until one leaves");
                acceptPaused_ = true;
            }
            return; // EAGAIN, or a client that left before it was taken
        }
        if (clients_.size() >= clientLimit) {
            say_("client " + peerOf(peer) + " refused: " + std::to_string(clientLimit) +
                 " clients are connected, the most served at once");
            ::shutdown(fd.get(), SHUT_RDWR);
            continue;
        }
        keepAlive(fd.get());
        clients_.push_back(std::make_unique<Client>(std::move(fd), board_, peerOf(peer)));
    }
}

void Server::readFrom(Client& c) {
    char buffer[16 * 1024];
    const ssize_t n = ::recv(c.fd.get(), buffer, std::min(sizeof buffer, c.input.room()), 0);
    if (n > 0) {
        c.input.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
        c.reading = false; // shut by the client: what it sent still runs
        c.input.end();
    } else if (errno != EAGAIN && errno != EINTR) {
        lose(c, errno);
    }
}

// The connection broke (reset, or the peer stopped answering): nothing more
// can be read from it or sent to it.
void Server::lose(Client& c, int error) {
    c.reading = false;
    c.input.end();
    c.input.clear();
    c.instrument.clear();
    c.output.clear();
    c.moreWork = false;
    if (error != 0) {
        say_("client " + c.peer + " lost: " + errorText(error));
    }
}

// Runs the client's commands in order, for one turn's work at most; true
// when commands may be left, to run once its replies are read if they wait.
bool Server::runCommands(Client& c) {
    for (int work = 0; work < workPerTurn; ++work) {
        if (c.output.size() >= outputLimit || stops_.taken() != 0) {
            return true; // it reads its replies before more are made
        }
        if (c.instrument.finished()) {
            auto line = c.input.next();
            if (!line) {
                return false;
            }
            if (line->tooLong) {
                c.instrument.pushError(-100, "a line longer than " + std::to_string(lineLimit) +
                                                 " characters was refused");
                continue;
            }
            c.instrument.start(std::move(line->text));
        }
        c.instrument.setOutputWaiting(!c.output.empty());
        c.instrument.step();
        if (c.instrument.finished()) {
            if (auto response = c.instrument.takeResponse()) {
                c.output += *response;
                c.output += '\n';
            }
        }
    }
    return true;
}

void Server::writeTo(Client& c) {
    if (c.output.empty()) {
        return;
    }
    const ssize_t n =
        ::send(c.fd.get(), c.output.data(), c.output.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
        c.output.erase(0, static_cast<std::size_t>(n));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        lose(c, errno);
    }
}

// Done: it shut its side, every line it sent has run and every reply is sent.
bool Server::finished(const Client& c) const {
    return !c.reading && !c.moreWork && c.instrument.finished() && c.output.empty();
}

int Server::serve() {
    std::vector<pollfd> watched;
    while (stops_.taken() == 0) {
        bool runnable = false;
        watched.assign(
            {{stops_.fd(), POLLIN, 0}, {acceptPaused_ ? -1 : listener_.get(), POLLIN, 0}});
        for (StreamOutput* stream : streams_) {
            watched.push_back({stream->holding() ? stream->fd() : -1, POLLOUT, 0});
        }
        const std::size_t firstClient = watched.size();
        for (const auto& c : clients_) {
            const bool read = c->reading && c->input.room() > 0;
            watched.push_back(
                {c->fd.get(), short((read ? POLLIN : 0) | (c->output.empty() ? 0 : POLLOUT)), 0});
            runnable = runnable || (c->moreWork && c->output.size() < outputLimit);
        }
        if (::poll(watched.data(), watched.size(), runnable ? 0 : -1) < 0 && errno != EINTR) {
            say_("waiting for clients failed: " + errorText(errno));
            return 1;
        }
        for (std::size_t s = 0; s < streams_.size(); ++s) {
            if (watched[2 + s].revents != 0) {
                streams_[s]->flush();
            }
        }
        // Each client in turn, always in the same order, so that turns alternate.
        for (std::size_t i = 0; i < clients_.size(); ++i) {
            Client& c = *clients_[i];
            const short events = watched[firstClient + i].revents;
            if (events & POLLERR) {
                int error = 0;
                socklen_t size = sizeof error;
                ::getsockopt(c.fd.get(), SOL_SOCKET, SO_ERROR, &error, &size);
                lose(c, error);
            } else if ((events & (POLLIN | POLLHUP)) && c.reading && c.input.room() > 0) {
                readFrom(c);
            }
            c.moreWork = runCommands(c);
            writeTo(c);
        }
        for (std::size_t i = clients_.size(); i-- > 0;) {
            if (finished(*clients_[i])) {
                ::shutdown(clients_[i]->fd.get(), SHUT_WR);
                drop(i, "");
            }
        }
        if (watched[1].revents & POLLIN) {
            acceptClients();
        }
    }
    return stopStatus(stops_.taken());
}
