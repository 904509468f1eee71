#pragma once

#include "instrument/Instrument.h"
#include "scpi/Door.h"
#include "scpi/Sockets.h"
#include "scpi/WebPage.h"
#include "setup/CommandLine.h"

#include <sys/socket.h>

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

struct MHD_Daemon;
struct MHD_Connection;

// The instrument's web page, served by libmicrohttpd from the server's one
// poll: its epoll descriptor is watched there and it runs when that is ready
// or its own timeout is due; it has no thread of its own. Connections are
// taken as the SCPI doors take theirs (set aside while out of descriptors,
// counted by place) and handed to the library. A change (a code
// for the wiper) goes through the same Board as the SCPI doors, so frames
// never interleave. The page defends against the browser as well as the
// network: a request naming another host (DNS rebinding) is refused; a
// change must be a POST from the page's own origin carrying the token given
// to that browser's session with the page; every answer forbids framing,
// sniffing and inline script.
class HttpDoor : public Door {
public:
    static constexpr unsigned connectionLimit = 32;
    // From one IPv4 address, one IPv6 address on this link, or one IPv6 /64
    // beyond it.
    static constexpr unsigned connectionsPerPlace = 8;
    static constexpr unsigned idleSeconds = 10; // a connection silent this long is dropped
    // A request not whole this long after its connection opened, or after
    // the request before it was whole, is dropped however it trickles in.
    static constexpr auto requestTime = std::chrono::seconds(10);
    static constexpr std::size_t requestMemory = 16 * 1024; // a request's line, headers and body
    static constexpr std::size_t bodyLimit = 256;
    static constexpr unsigned nonceSeconds = 300;     // a Digest nonce's life
    static constexpr unsigned noncesHeld = 4096;      // nonces whose counts are kept against replay
    static constexpr std::size_t placesSlowed = 1024; // places held to a wait, at most

    // The identity the page and the XML give, for the address a request
    // came in on: a client is told the address it reached.
    using IdentityFor = std::function<Identity(const std::string& localAddress)>;

    HttpDoor(Instrument::Board& board, IdentityFor identity, std::function<void(std::string)> say);
    ~HttpDoor() override;

    // Changes need this password, as user admin, by HTTP Digest; none: open.
    void requirePassword(std::string password) { password_ = std::move(password); }
    const std::string& password() const { return password_; }
    // Wrong passwords from one place (an IPv4 address, an IPv6 /64: a host
    // may take any address of its /64) are slowed: each doubles the wait before it may try again (a
    // second, then two... a minute); an hour without one forgives them.
    std::optional<int> waitBeforeTrying(const std::string& place) const;
    void passwordTried(const std::string& place, bool right);
    // Serves on port of the listen address's host; false, having said why,
    // when it cannot.
    bool open(const ListenAddress& address, int port);
    // One more name this instrument answers to (its mDNS name).
    void answerTo(const std::string& name);
    // Whether a Host header names this instrument: its names, the loopback,
    // or the address the request came in on.
    bool knownHost(const std::string& host, const std::string& localAddress) const;

    void watch(std::vector<pollfd>& watched) override;
    void serve(const pollfd* ready) override;
    bool runnable() const override { return rerun_; }
    std::optional<Clock::time_point> nextDeadline() const override;
    void tellEveryone(const std::string&) override {} // the page shows the board's own state

    struct Reply {
        Reply(unsigned status, std::string type, std::string body, std::string allow = {})
            : status(status), type(std::move(type)), body(std::move(body)),
              allow(std::move(allow)) {}
        unsigned status;
        std::string type;
        std::string body;
        std::string allow;  // for 405
        std::string cookie; // a session begun
    };
    // What a request that came in on localAddress gets; headers by name
    // (case as sent, looked up without case).
    Reply answer(const std::string& method, const std::string& url,
                 const std::function<std::string(const char*)>& header, const std::string& body,
                 const std::string& localAddress);

    // The library's notices of connections, kept so that a request that
    // trickles in can be timed and the place of each counted.
    void connectionStarted(MHD_Connection* connection, int fd, const sockaddr* client);
    void connectionClosed(MHD_Connection* connection);
    void requestWhole(MHD_Connection* connection);
    // Where a client is, as connections and wrong passwords are counted.
    std::string placeOf(const sockaddr* client);

private:
    struct Tries {
        int wrong = 0;
        Clock::time_point notBefore;
    };
    // Each connection: when its request began, its socket (-1 once shut),
    // and where it comes from.
    struct Peer {
        Clock::time_point began;
        int fd = -1;
        std::string place;
    };
    unsigned connections() const;
    void dropLateRequests();
    void takeConnections();
    void makeRoom();
    bool mayConnect(const std::string& place) const;
    const Identity& identityFor(const std::string& localAddress);
    Reply change(const std::function<std::string(const char*)>& header, const std::string& body);

public:
    // Why a change is not this page's own (another origin, no or another
    // session's token), if it is not.
    std::optional<Reply> notFromThisPage(const std::function<std::string(const char*)>& header,
                                         const std::string& body) const;

private:
    // The sessions a request's cookies name (their identifiers), those well formed.
    std::vector<std::string>
    sessionsOf(const std::function<std::string(const char*)>& header) const;
    Reply welcome(const std::function<std::string(const char*)>& header,
                  const std::string& localAddress);

    Instrument::Board& board_;
    IdentityFor identity_;
    std::function<void(std::string)> say_;
    Listener listener_;
    MHD_Daemon* daemon_ = nullptr;
    int epoll_ = -1;
    // A session's token is this key's hash of its identifier: nothing is
    // kept per session, so no number of sessions can push one out.
    std::string sessionKey_;
    std::string cookieName_;         // with the port: two instruments on one host keep apart
    char nonceSeed_[32] = {};        // what the Digest nonces are made from
    std::set<std::string> hosts_;    // the names this instrument answers to
    std::set<std::string> ownNames_; // of those, the ones it has whatever mDNS says
    std::string mdnsName_;
    std::set<std::string> fullPlaces_; // places told that they hold their share
    bool addFailed_ = false;           // a client the library would not take was told
    std::map<std::string, std::pair<Identity, Clock::time_point>> identities_; // by address reached
    std::string password_;
    std::map<std::string, Tries> tries_; // wrong passwords by place
    std::map<MHD_Connection*, Peer> peers_;
    std::set<std::string> onLink_; // this machine's IPv6 /64s, read again every few seconds
    Clock::time_point onLinkRead_;
    bool rerun_ = false; // the last run closed connections: run again at once
};
