#include "scpi/RawDoor.h"

#include "port/MessageText.h"
#include "scpi/Sockets.h"

#include <cerrno>

struct RawDoor::Client {
    Client(UniqueFd socket, Instrument::Board& board, std::string from)
        : fd(std::move(socket)), session(board), peer(std::move(from)) {}

    UniqueFd fd;
    Session session;
    std::string peer;
    bool reading = true; // the client has not shut its side
};

RawDoor::RawDoor(UniqueFd listener, Instrument::Board& board, std::function<void(std::string)> say)
    : listener_(std::move(listener)), board_(board), say_(std::move(say)) {}

RawDoor::~RawDoor() = default;

void RawDoor::tellEveryone(const std::string& failure) {
    for (const auto& client : clients_) {
        client->session.instrument.portFailed(failure);
    }
}

bool RawDoor::runnable() const {
    for (const auto& c : clients_) {
        if (c->session.runnable()) {
            return true;
        }
    }
    return false;
}

void RawDoor::watch(std::vector<pollfd>& watched) {
    watched.push_back({listener_.watched(), POLLIN, 0});
    for (const auto& c : clients_) {
        const bool read = c->reading && c->session.input.room() > 0;
        const bool write = !c->session.output.empty();
        watched.push_back({c->fd.get(), short((read ? POLLIN : 0) | (write ? POLLOUT : 0)), 0});
    }
}

void RawDoor::readFrom(Client& c) {
    char buffer[16 * 1024];
    std::size_t got = 0;
    int error = 0;
    switch (receiveFrom(c.fd.get(), buffer, std::min(sizeof buffer, c.session.input.room()), got,
                        error)) {
    case Received::Data:
        c.session.receive(buffer, got);
        break;
    case Received::Ended:
        c.reading = false; // shut by the client: what it sent still runs
        c.session.input.end();
        break;
    case Received::Lost:
        lose(c, error);
        break;
    case Received::Nothing:
        break;
    }
}

// The connection broke (reset, or the peer stopped answering): nothing more
// can be read from it or sent to it.
void RawDoor::lose(Client& c, int error) {
    c.reading = false;
    c.session.clear();
    c.session.input.end();
    tellLost("client " + c.peer, error, say_);
}

void RawDoor::writeTo(Client& c) {
    int error = 0;
    if (!sendSome(c.fd.get(), c.session.output, error)) {
        lose(c, error);
    }
}

void RawDoor::serve(const pollfd* ready) {
    // Each client in turn, always in the same order, so that turns alternate.
    for (std::size_t i = 0; i < clients_.size(); ++i) {
        Client& c = *clients_[i];
        const short events = ready[1 + i].revents;
        if (events & POLLERR) {
            lose(c, socketError(c.fd.get()));
        } else if ((events & (POLLIN | POLLHUP)) && c.reading && c.session.input.room() > 0) {
            readFrom(c);
        }
        c.session.runTurn();
        writeTo(c);
    }
    // Done: it shut its side, every line it sent has run, every reply is sent.
    for (std::size_t i = clients_.size(); i-- > 0;) {
        const Client& c = *clients_[i];
        if (!c.reading && c.session.idle() && c.session.output.empty()) {
            ::shutdown(c.fd.get(), SHUT_WR);
            clients_.erase(clients_.begin() + static_cast<long>(i));
            listener_.clientLeft();
        }
    }
    if (ready[0].revents & POLLIN) {
        std::string peer;
        while (UniqueFd fd = listener_.accept(clients_.size(), clientLimit, peer, say_)) {
            clients_.push_back(std::make_unique<Client>(std::move(fd), board_, peer));
        }
    }
}
