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
// change must be a POST from the page's own origin carrying the page's
// token; every answer forbids framing, sniffing and inline script.
class HttpDoor : public Door {
public:
    static constexpr unsigned connectionLimit = 32;
    static constexpr unsigned connectionsPerAddress = 8;
    static constexpr unsigned idleSeconds = 10; // a connection silent this long is dropped
    // A request not whole this long after its connection opened, or after
    // the answer before it, is dropped however it trickles in.
    static constexpr auto requestTime = std::chrono::seconds(10);
    static constexpr std::size_t requestMemory = 16 * 1024; // a request's line, headers and body
    static constexpr std::size_t bodyLimit = 256;

    HttpDoor(Instrument::Board& board, Identity identity, std::function<void(std::string)> say);
    ~HttpDoor() override;

    // Changes need this password, as user admin, by HTTP Digest; none: open.
    void requirePassword(std::string password) { password_ = std::move(password); }
    const std::string& password() const { return password_; }
    // Wrong passwords from one address are slowed: each doubles the wait
    // before that address may try again (a second, then two... a minute).
    std::optional<int> waitBeforeTrying(const std::string& address) const;
    void passwordTried(const std::string& address, bool right);
    void gaveNonce(const std::string& address, const std::string& nonce);
    // Whether nonce is the one this address was given last, a minute ago at most.
    bool lastNonce(const std::string& address, const std::string& nonce) const;
    // Serves on port of the listen address's host; false, having said why,
    // when it cannot.
    bool open(const ListenAddress& address, int port);
    bool knownHost(const std::string& host) const;

    void watch(std::vector<pollfd>& watched) override;
    void serve(const pollfd* ready) override;
    bool runnable() const override { return rerun_; }
    std::optional<Clock::time_point> nextDeadline() const override;
    void tellEveryone(const std::string&) override {} // the page shows the board's own state

    struct Reply {
        unsigned status = 200;
        std::string type = "text/plain; charset=utf-8";
        std::string body;
        std::string allow; // for 405
    };
    // What a request gets; headers by name (case as sent, looked up without case).
    Reply answer(const std::string& method, const std::string& url,
                 const std::function<std::string(const char*)>& header, const std::string& body);

private:
    struct Tries {
        int wrong = 0;
        Clock::time_point notBefore;
    };
    unsigned connections() const;
    void dropLateRequests();

public:
    // Each connection: when its request began, and its socket. Kept by the
    // library's connection notices; a request answered starts the clock again.
    struct Peer {
        Clock::time_point began;
        int fd = -1;
    };
    std::set<Peer*> peers_;

private:
    Reply change(const std::function<std::string(const char*)>& header, const std::string& body);

    Instrument::Board& board_;
    Identity identity_;
    std::function<void(std::string)> say_;
    MHD_Daemon* daemon_ = nullptr;
    int epoll_ = -1;
    std::string token_;
    char nonceSeed_[32] = {};     // what the Digest nonces are made from
    std::set<std::string> hosts_; // the names and addresses this instrument answers to
    std::string password_;
    std::map<std::string, Tries> tries_; // wrong passwords by address, while any is held against it
    std::map<std::string, std::pair<std::string, Clock::time_point>> nonces_; // the last given
    bool rerun_ = false; // the last run closed connections: run again at once
};
