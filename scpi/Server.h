#pragma once

#include "port/UniqueFd.h"
#include "scpi/Instrument.h"
#include "scpi/LineInput.h"
#include "setup/CommandLine.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class StopSignals;
class StreamOutput;

// Serves SCPI on a raw TCP socket, one line a program message, until a stop
// signal comes. Each client has its own error queue and registers; every
// command runs whole, so frames never interleave, and the clients take turns
// by work done (a command a unit), so a long line holds nobody up. Every line
// a client sent is run, in order, even after it shut its side of the socket,
// and its replies are all sent before the socket is closed. Bounds keep any
// client from costing the others: input held and replies unread are bounded
// (a client that does not read its replies waits, and is not read from,
// until it does), a line longer than lineLimit is refused, a peer that
// vanished is found by TCP keepalive. Nothing in the loop waits but poll.
class Server {
public:
    static constexpr std::size_t lineLimit = 4096;
    // Replies held for a client before its commands wait for it to read them.
    static constexpr std::size_t outputLimit = 64 * 1024;
    static constexpr std::size_t clientLimit = 32;
    static constexpr int workPerTurn = 32;
    // A peer that stops answering is dropped after about idle + interval * count
    // seconds, or once data it has not acknowledged is this old.
    static constexpr int keepaliveIdle = 10;
    static constexpr int keepaliveInterval = 5;
    static constexpr int keepaliveCount = 3;
    static constexpr unsigned unacknowledgedMs = 25000;

    // streams: standard output and error, written without waiting; the loop
    // flushes them as they drain. say tells one line on standard error.
    Server(Instrument::Board& board, StopSignals& stops, std::vector<StreamOutput*> streams,
           std::function<void(std::string)> say);
    ~Server();

    // Opens the listening socket; false, having said why, when it cannot.
    bool listen(const ListenAddress& address);
    // Serves until a stop signal; returns 128 + its number.
    int serve();
    // Tells every client's error queue of a port failure.
    void tellEveryone(const std::string& failure);

private:
    struct Client;
    void acceptClients();
    void readFrom(Client& client);
    void lose(Client& client, int error);
    bool runCommands(Client& client);
    void writeTo(Client& client);
    bool finished(const Client& client) const;
    void drop(std::size_t index, const std::string& why);

    Instrument::Board& board_;
    StopSignals& stops_;
    std::vector<StreamOutput*> streams_;
    std::function<void(std::string)> say_;
    UniqueFd listener_;
    bool acceptPaused_ = false; // out of descriptors until a client leaves
    std::vector<std::unique_ptr<Client>> clients_;
};
