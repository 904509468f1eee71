#pragma once

#include "scpi/Instrument.h"
#include "setup/CommandLine.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class StopSignals;

// Serves SCPI on a raw TCP socket, one line a command line, until a stop
// signal comes; each client has its own error queue, and every command runs
// whole before the next is read, so frames never interleave. Bounds keep a
// hostile client from costing the others: a line longer than lineLimit is
// refused, a client that leaves more than outputLimit unread is dropped.
// Returns the exit status; says what it does on standard error.
class Server {
public:
    static constexpr std::size_t lineLimit = 4096;
    static constexpr std::size_t outputLimit = 1 << 20;
    static constexpr std::size_t clientLimit = 32;
    static constexpr int linesPerTurn = 64;

    Server(Instrument::Board& board, StopSignals& stops, std::function<void(std::string)> say);
    ~Server();

    int serve(const ListenAddress& address);
    // Tells every client's error queue of a port failure.
    void tellEveryone(const std::string& failure);

private:
    struct Client;
    Instrument::Board& board_;
    StopSignals& stops_;
    std::function<void(std::string)> say_;
    std::vector<std::unique_ptr<Client>> clients_;
};
