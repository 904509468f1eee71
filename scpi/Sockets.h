#pragma once

#include "port/UniqueFd.h"
#include "setup/CommandLine.h"

#include <sys/socket.h>

#include <functional>
#include <string>

// What the doors share of TCP: a listening socket, how a peer is shown, and
// the options that find a peer that vanished.

// A non-blocking listening socket on host:port (port "0": any free one);
// nothing, having said why, when it cannot be made.
UniqueFd listenOn(const ListenAddress& address, const std::function<void(std::string)>& say);

// "127.0.0.1:5025", "[::1]:5025": a peer's address, or the one a socket is bound to.
std::string addressText(const sockaddr_storage& address);
std::string addressText(int fd);
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

// Takes a waiting connection; an invalid descriptor when none waits, with
// exhausted set when the process is out of descriptors (the listener is then
// best left unwatched until a client leaves). At the limit, a connection is
// closed at once and said on standard error.
UniqueFd acceptClient(int listener, std::size_t connected, std::size_t limit, std::string& peer,
                      bool& exhausted, const std::function<void(std::string)>& say);
