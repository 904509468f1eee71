#pragma once

#include "instrument/Instrument.h"
#include "scpi/Door.h"
#include "scpi/WebPage.h"
#include "setup/CommandLine.h"

#include <functional>
#include <map>
#include <set>
#include <string>

struct MHD_Daemon;
struct MHD_Connection;

// The instrument's web page, served by libmicrohttpd from the server's one
// poll: its epoll descriptor is watched there and it runs when that is ready
// or its own timeout is due; it has no thread of its own. A change (a code
// for the wiper) goes through the same Board as the SCPI doors, so frames
// never interleave. The page defends against the browser as well as the
// network: a request naming another host (DNS rebinding) is refused; a
// change must be a POST from the page's own origin carrying the token given
// to that browser's session with the page; every answer forbids framing,
// sniffing and inline script.
class HttpDoor : public Door {
public:
    static constexpr unsigned connectionLimit = 32;
    static constexpr unsigned connectionsPerAddress = 8; // an IPv4 address, or an IPv6 /64
    static constexpr unsigned idleSeconds = 10; // a connection silent this long is dropped
    // A request not whole this long after its connection opened, or after
    // the answer before it, is dropped however it trickles in.
    static constexpr auto requestTime = std::chrono::seconds(10);
    static constexpr std::size_t requestMemory = 16 * 1024; // a request's line, headers and body
    static constexpr std::size_t bodyLimit = 256;
    // Sessions (a browser's cookie and the token its page carries): those
    // unused this long are forgotten, and the least recently used when more
    // would be kept.
    static constexpr std::size_t sessionLimit = 1024;
    static constexpr auto sessionLife = std::chrono::hours(12);
    static constexpr const char* sessionCookie = "zovrel-session";

    HttpDoor(Instrument::Board& board, Identity identity, std::function<void(std::string)> say);
    ~HttpDoor() override;

    // Changes need this password, as user admin, by HTTP Digest; none: open.
    void requirePassword(std::string password) { password_ = std::move(password); }
    const std::string& password() const { return password_; }
    // Wrong passwords from one place (an IPv4 address, an IPv6 /64) are
    // slowed: each doubles the wait before it may try again (a second, then
    // two... a minute); an hour without one forgives them.
    std::optional<int> waitBeforeTrying(const std::string& place) const;
    void passwordTried(const std::string& place, bool right);
    void gaveNonce(const std::string& address, const std::string& nonce);
    // Whether nonce is the one this address was given last, a minute ago at most.
    bool lastNonce(const std::string& address, const std::string& nonce) const;
    // Serves on port of the listen address's host; false, having said why,
    // when it cannot.
    bool open(const ListenAddress& address, int port);
    // Whether a Host header names this instrument: its names, the loopback,
    // or the address the request came in on.
    bool knownHost(const std::string& host, const std::string& localAddress) const;
    // Whether a client at place may open one more connection.
    bool mayConnect(const std::string& place) const;

    void watch(std::vector<pollfd>& watched) override;
    void serve(const pollfd* ready) override;
    bool runnable() const override { return rerun_; }
    std::optional<Clock::time_point> nextDeadline() const override;
    void tellEveryone(const std::string&) override {} // the page shows the board's own state

    struct Reply {
        Reply(unsigned status, std::string type, std::string body, std::string allow = {})
            : status(status), type(std::move(type)), body(std::move(body)), allow(std::move(allow)) {}
        unsigned status = 200;
        std::string type = "text/plain; charset=utf-8";
        std::string body;
        std::string allow;  // for 405
        std::string cookie; // a session begun
    };
    // What a request that came in on localAddress gets; headers by name
    // (case as sent, looked up without case).
    Reply answer(const std::string& method, const std::string& url,
                 const std::function<std::string(const char*)>& header, const std::string& body,
                 const std::string& localAddress);

private:
    struct Tries {
        int wrong = 0;
        Clock::time_point notBefore;
    };
    struct Session {
        std::string token;
        Clock::time_point used;
    };
    unsigned connections() const;
    void dropLateRequests();

public:
    // Each connection: when its request began, and its socket. Kept by the
    // library's connection notices; a request answered starts the clock again.
    struct Peer {
        Clock::time_point began;
        int fd = -1;
        std::string place; // where it comes from, as mayConnect counts
    };
    std::set<Peer*> peers_;

private:
    Reply change(const std::function<std::string(const char*)>& header, const std::string& body);
    // The session a request's cookie names, if it is still held.
    Session* sessionOf(const std::function<std::string(const char*)>& header);
    Reply welcome(const std::function<std::string(const char*)>& header);

    Instrument::Board& board_;
    Identity identity_;
    std::function<void(std::string)> say_;
    MHD_Daemon* daemon_ = nullptr;
    int epoll_ = -1;
    char nonceSeed_[32] = {};     // what the Digest nonces are made from
    std::set<std::string> hosts_; // the names and addresses this instrument answers to
    std::string password_;
    std::map<std::string, Tries> tries_; // wrong passwords by place
    std::map<std::string, Session> sessions_; // by cookie
    std::map<std::string, std::pair<std::string, Clock::time_point>> nonces_; // the last given
    bool rerun_ = false; // the last run closed connections: run again at once
};
