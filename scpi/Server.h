#pragma once

#include "scpi/Door.h"

#include <poll.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class StopSignals;
class StreamOutput;

// The instrument's one loop: it waits in a single poll for every door's
// sockets, the stop signals and its own standard streams, serves what is
// ready, and gives every session a turn; nothing in it waits but that poll.
// It runs until a stop signal comes.
class Server {
public:
    // How the loop waits: poll by default; the mDNS advertiser waits for its
    // own descriptors in the same poll.
    using Wait = std::function<int(std::vector<pollfd>& watched, int timeoutMs)>;

    Server(StopSignals& stops, std::vector<StreamOutput*> streams);

    void addDoor(std::unique_ptr<Door> door) { doors_.push_back(std::move(door)); }
    void setWait(Wait wait) { wait_ = std::move(wait); }
    // Serves until a stop signal; returns 128 + its number, or 1 when
    // waiting failed (said through say).
    int serve(const std::function<void(std::string)>& say);
    // A port failure, told to every session's error queue.
    void tellEveryone(const std::string& failure);

private:
    int timeoutMs() const;

    StopSignals& stops_;
    std::vector<StreamOutput*> streams_;
    std::vector<std::unique_ptr<Door>> doors_;
    Wait wait_;
};
