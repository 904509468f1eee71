#pragma once

#include "instrument/Session.h"
#include "port/UniqueFd.h"
#include "scpi/Door.h"
#include "scpi/Sockets.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// SCPI on a raw TCP socket, one line a program message. Every line a client
// sent is run, in order, even after it shut its side of the socket, and its
// replies are all sent before the socket is closed. A client that does not
// read its replies is not read from, or run, until it does; a peer that
// vanished is found by TCP keepalive.
class RawDoor : public Door {
public:
    static constexpr std::size_t clientLimit = 32;

    RawDoor(UniqueFd listener, Instrument::Board& board, std::function<void(std::string)> say);
    ~RawDoor() override;

    void watch(std::vector<pollfd>& watched) override;
    void serve(const pollfd* ready) override;
    bool runnable() const override;
    std::optional<Clock::time_point> nextDeadline() const override { return listener_.retryAt(); }
    void tellEveryone(const std::string& failure) override;

private:
    struct Client;
    void readFrom(Client& client);
    void writeTo(Client& client);
    void lose(Client& client, int error);

    Listener listener_;
    Instrument::Board& board_;
    std::function<void(std::string)> say_;
    std::vector<std::unique_ptr<Client>> clients_;
};
