#pragma once

#include "port/UniqueFd.h"
#include "setup/CommandLine.h"

#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <string>

// What the doors share of TCP: a listening socket, how a peer is shown, and
// the options that find a peer that vanished.

// A non-blocking listening socket on host:port (port "0": any free one);
// nothing, having said why, when it cannot be made.
UniqueFd listenOn(const ListenAddress& address, const std::function<void(std::string)>& say,
                  int backlog = 16);

// "127.0.0.1:5025", "[::1]:5025": a peer's address, or the one a socket is bound to.
std::string addressText(const sockaddr_storage& address);
std::string addressText(int fd);
// An address alone, no port or brackets, as a log names it; an IPv4
// client of a socket that takes both shown as the IPv4 address it is.
std::string hostText(const sockaddr* address);
// Where a client is, for counting what it may hold: its IPv4 address; its
// IPv6 address when it is on one of this machine's links (link-local, or
// in a /64 in onLink), where each host has its own; else its IPv6 /64,
// since a host beyond is given a whole /64 and may take any address in it.
std::string placeOf(const sockaddr* address, const std::set<std::string>& onLink);
// The IPv6 /64s on this machine's interfaces, as placeOf names them.
std::set<std::string> onLinkPrefixes();
// The port a socket is bound to.
unsigned short boundPort(int fd);

// TCP keepalive with short timers and a limit on unacknowledged data: a peer
// that stops answering (a cable pulled, a machine switched off) is found in
// about keepaliveIdle + keepaliveInterval * keepaliveCount seconds.
inline constexpr int keepaliveIdle = 10;
inline constexpr int keepaliveInterval = 5;
inline constexpr int keepaliveCount = 3;
inline constexpr unsigned unacknowledgedMs = 25000;
void keepAlive(int fd);

// A listening socket that takes clients up to a limit. While the process is
// out of descriptors the listener is not watched (it would be ready at
// every pass and nothing could be taken): that is said once, and taking is
// tried again when one of its door's clients leaves or a second has passed,
// whichever comes first (a client of another door may have freed one).
class Listener {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto retryAfter = std::chrono::seconds(1);

    Listener() = default;
    explicit Listener(UniqueFd fd) : fd_(std::move(fd)) {}

    int fd() const { return fd_.get(); }
    // What to watch now: nothing while out of descriptors and not yet due.
    int watched() const;
    // When taking is to be tried again, while that is still to come.
    std::optional<Clock::time_point> retryAt() const;
    // Takes a waiting connection, if one waits and descriptors allow; at the
    // limit, a connection is closed at once and said on standard error.
    UniqueFd accept(std::size_t connected, std::size_t limit, std::string& peer,
                    const std::function<void(std::string)>& say);
    void clientLeft() { retryAt_.reset(); }

private:
    bool settingAside() const;

    UniqueFd fd_;
    std::optional<Clock::time_point> retryAt_; // out of descriptors until then
    bool told_ = false;                        // the shortage was said
};

// What a read from a client gave: bytes, nothing yet, the end of its input
// (it shut its side), or a lost connection (error says why).
enum class Received { Data, Nothing, Ended, Lost };
Received receiveFrom(int fd, char* buffer, std::size_t room, std::size_t& got, int& error);
// Sends what the socket takes of out, dropping it from out; false when the
// connection is lost (error says why).
bool sendSome(int fd, std::string& out, int& error);
// The error a socket reported with POLLERR.
int socketError(int fd);
// Says why a client was lost (nothing when error is 0).
void tellLost(const std::string& who, int error, const std::function<void(std::string)>& say);
