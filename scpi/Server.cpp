#include "scpi/Server.h"

#include "port/MessageText.h"
#include "scpi/StreamOutput.h"
#include "setup/StopSignals.h"

#include <cerrno>

Server::Server(StopSignals& stops, std::vector<StreamOutput*> streams)
    : stops_(stops), streams_(std::move(streams)),
      wait_([](std::vector<pollfd>& watched, int timeoutMs) {
          return ::poll(watched.data(), watched.size(), timeoutMs);
      }) {}

void Server::tellEveryone(const std::string& failure) {
    for (const auto& door : doors_) {
        door->tellEveryone(failure);
    }
}

// No wait while a turn is due, else until the nearest deadline, if any.
int Server::timeoutMs() const {
    std::optional<Door::Clock::time_point> nearest;
    for (const auto& door : doors_) {
        if (door->runnable()) {
            return 0;
        }
        const auto deadline = door->nextDeadline();
        if (deadline && (!nearest || *deadline < *nearest)) {
            nearest = deadline;
        }
    }
    if (!nearest) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*nearest - Door::Clock::now());
    return static_cast<int>(std::max<long>(0, left.count()));
}

int Server::serve(const std::function<void(std::string)>& say) {
    std::vector<pollfd> watched;
    std::vector<std::size_t> firsts(doors_.size());
    // The stop descriptor is read only when poll finds it readable, so that
    // a pass costs no more system calls than its work needs.
    for (int stop = stops_.taken(); stop == 0; stop = watched[0].revents ? stops_.taken() : 0) {
        watched.assign({{stops_.fd(), POLLIN, 0}});
        for (StreamOutput* stream : streams_) {
            watched.push_back({stream->holding() ? stream->fd() : -1, POLLOUT, 0});
        }
        for (std::size_t d = 0; d < doors_.size(); ++d) {
            firsts[d] = watched.size();
            doors_[d]->watch(watched);
        }
        if (wait_(watched, timeoutMs()) < 0 && errno != EINTR) {
            say("waiting for clients failed: " + errorText(errno));
            return 1;
        }
        for (std::size_t s = 0; s < streams_.size(); ++s) {
            if (watched[1 + s].revents != 0) {
                streams_[s]->flush();
            }
        }
        if (watched[0].revents != 0) {
            continue; // a stop signal: no more work is begun
        }
        for (std::size_t d = 0; d < doors_.size(); ++d) {
            doors_[d]->serve(&watched[firsts[d]]);
        }
    }
    return stopStatus(stops_.taken());
}
