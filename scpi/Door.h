#pragma once

#include <poll.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// One way into the instrument (the raw socket, VXI-11, the web page): its sockets are
// watched in the server's one poll, and it serves what they say. Every door
// runs its sessions' commands through the one Board, so frames never
// interleave whichever doors the controllers came through.
class Door {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~Door() = default;

    // Appends the descriptors to watch now.
    virtual void watch(std::vector<pollfd>& watched) = 0;
    // Serves what the descriptors it appended last say (ready points at its
    // first), then gives each of its sessions a turn.
    virtual void serve(const pollfd* ready) = 0;
    // Work waits that needs no event, only a turn.
    virtual bool runnable() const = 0;
    // When something it waits for times out, if anything does.
    virtual std::optional<Clock::time_point> nextDeadline() const { return std::nullopt; }
    // A port failure, told to every session's error queue.
    virtual void tellEveryone(const std::string& failure) = 0;
};
