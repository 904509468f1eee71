#include "scpi/HttpDoor.h"

#include "port/MessageText.h"
#include "scpi/Sockets.h"

#include <microhttpd.h>
#include <netdb.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <optional>

namespace {

// What a request holds while its body arrives.
struct Request {
    std::string body;
    bool tooLong = false;
};

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// "host", "host:port" or "[v6]" / "[v6]:port" without its port; nothing
// for any other shape (a port that is not digits, text after the brackets).
std::optional<std::string> withoutPort(const std::string& host) {
    std::string name = host;
    std::string port;
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string::npos) {
            return std::nullopt;
        }
        name = host.substr(1, close - 1);
        const std::string rest = host.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            return std::nullopt;
        }
        port = rest.empty() ? "" : rest.substr(1);
        if (!rest.empty() && port.empty()) {
            return std::nullopt;
        }
    } else if (const std::size_t colon = host.find(':'); colon != std::string::npos) {
        name = host.substr(0, colon);
        port = host.substr(colon + 1);
        if (port.empty()) {
            return std::nullopt;
        }
    }
    if (!std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); })) {
        return std::nullopt;
    }
    return name;
}

std::string formField(const std::string& body, const std::string& name) {
    std::size_t at = 0;
    while (at <= body.size()) {
        const std::size_t end = std::min(body.find('&', at), body.size());
        const std::string pair = body.substr(at, end - at);
        if (pair.rfind(name + "=", 0) == 0) {
            return pair.substr(name.size() + 1);
        }
        at = end + 1;
    }
    return {};
}

// A cookie's value from a Cookie header ("a=1; b=2"); empty when absent.
std::string cookieValue(const std::string& cookies, const std::string& name) {
    std::size_t at = 0;
    while (at < cookies.size()) {
        const std::size_t end = std::min(cookies.find(';', at), cookies.size());
        std::size_t from = at;
        while (from < end && cookies[from] == ' ') {
            ++from;
        }
        if (cookies.compare(from, name.size() + 1, name + "=") == 0) {
            return cookies.substr(from + name.size() + 1, end - from - name.size() - 1);
        }
        at = end + 1;
    }
    return {};
}

std::string randomHex(std::size_t bytes) {
    std::string hex;
    for (std::size_t i = 0; i < bytes; ++i) {
        unsigned char byte = 0;
        while (::getrandom(&byte, 1, 0) != 1) {
        }
        static const char digits[] = "0123456789abcdef";
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}

// The address a connection came in on, as a Host header would name it.
std::string localAddressOf(MHD_Connection* connection) {
    const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    sockaddr_storage local{};
    socklen_t size = sizeof local;
    if (!info || ::getsockname(info->connect_fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
        return {};
    }
    std::string text = hostText(reinterpret_cast<const sockaddr*>(&local));
    return text.substr(0, text.find('%'));
}

bool sameText(const std::string& a, const std::string& b) {
    unsigned char differ = a.size() != b.size();
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return differ == 0;
}

constexpr const char* realm = "Zovrel Rev B";

// What every answer carries: no framing, no script but the page's own, no
// sniffing, nothing kept.
void secure(MHD_Response* response, const std::string& type) {
    MHD_add_response_header(response, "Content-Type", type.c_str());
    MHD_add_response_header(response, "Content-Security-Policy",
                            "default-src 'none'; script-src 'self'; connect-src 'self'; "
                            "style-src 'self'; img-src 'self'; form-action 'self'; "
                            "base-uri 'none'; frame-ancestors 'none'");
    MHD_add_response_header(response, "X-Frame-Options", "DENY");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "Referrer-Policy", "same-origin");
    MHD_add_response_header(response, "Cache-Control", "no-store");
}

MHD_Result respond(MHD_Connection* connection, const HttpDoor::Reply& reply,
                   const std::string& retryAfter = {}) {
    MHD_Response* response = MHD_create_response_from_buffer(
        reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) {
        return MHD_NO;
    }
    secure(response, reply.type);
    if (!reply.allow.empty()) {
        MHD_add_response_header(response, "Allow", reply.allow.c_str());
    }
    if (!reply.cookie.empty()) {
        MHD_add_response_header(response, "Set-Cookie", reply.cookie.c_str());
    }
    if (!retryAfter.empty()) {
        MHD_add_response_header(response, "Retry-After", retryAfter.c_str());
    }
    const MHD_Result queued = MHD_queue_response(connection, reply.status, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result handle(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char* upload, std::size_t* uploadSize, void** state) {
    auto* door = static_cast<HttpDoor*>(cls);
    auto* request = static_cast<Request*>(*state);
    if (!request) {
        *state = request = new Request;
        if (std::strcmp(method, "POST") == 0) {
            return MHD_YES; // the body comes next
        }
    }
    if (*uploadSize > 0) {
        const std::size_t room =
            HttpDoor::bodyLimit - std::min(HttpDoor::bodyLimit, request->body.size());
        request->tooLong = request->tooLong || *uploadSize > room;
        request->body.append(upload, std::min(*uploadSize, room));
        *uploadSize = 0;
        return MHD_YES;
    }
    // The request is whole: the next one on this connection has its own time.
    if (const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        info && info->socket_context) {
        static_cast<HttpDoor::Peer*>(info->socket_context)->began = Door::Clock::now();
    }
    const auto header = [connection](const char* name) {
        const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
        return std::string(value ? value : "");
    };
    const std::string local = localAddressOf(connection);
    // A change on a page with a password: HTTP Digest as admin first.
    if (!door->password().empty() && std::strcmp(url, "/wiper") == 0 &&
        std::strcmp(method, "POST") == 0 && door->knownHost(header("Host"), local)) {
        const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        const std::string address = hostText(info->client_addr);
        const std::string place = placeOf(info->client_addr);
        if (const auto wait = door->waitBeforeTrying(place)) {
            return respond(connection,
                           {429,
                            "text/plain; charset=utf-8",
                            "Wrong passwords: try again in " + std::to_string(*wait) + " s.\n",
                            {}},
                           std::to_string(*wait));
        }
        const int checked = MHD_digest_auth_check2(
            connection, realm, "admin", door->password().c_str(), 300, MHD_DIGEST_ALG_SHA256);
        if (checked != MHD_YES) {
            // The library says no alike for a wrong password and for a nonce
            // it no longer holds: only a wrong answer to the nonce this
            // address was given last, a moment ago, counts against it, so
            // that nobody can lock another out by wearing nonces out.
            const std::string given = header("Authorization");
            const std::size_t at = given.find("nonce=\"");
            const std::string nonce = at == std::string::npos
                                          ? ""
                                          : given.substr(at + 7, given.find('"', at + 7) - at - 7);
            const bool wrong =
                checked == MHD_NO && !nonce.empty() && door->lastNonce(address, nonce);
            if (wrong) {
                door->passwordTried(place, false);
            }
            const std::string text = "Changes need the password (user admin).\n";
            MHD_Response* response = MHD_create_response_from_buffer(
                text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY);
            secure(response, "text/plain; charset=utf-8");
            const MHD_Result queued =
                MHD_queue_auth_fail_response2(connection, realm, realm, response,
                                              wrong ? MHD_NO : MHD_YES, MHD_DIGEST_ALG_SHA256);
            // The nonce just given, for telling a wrong answer to it later.
            if (const char* challenge =
                    MHD_get_response_header(response, MHD_HTTP_HEADER_WWW_AUTHENTICATE)) {
                const std::string text = challenge;
                const std::size_t from = text.find("nonce=\"");
                if (from != std::string::npos) {
                    door->gaveNonce(address,
                                    text.substr(from + 7, text.find('"', from + 7) - from - 7));
                }
            }
            MHD_destroy_response(response);
            return queued;
        }
        door->passwordTried(place, true);
    }
    HttpDoor::Reply reply =
        request->tooLong
            ? HttpDoor::Reply{413, "text/plain; charset=utf-8", "The request is too long.\n", {}}
            : door->answer(method, url, header, request->body, local);
    return respond(connection, reply);
}

void connectionNotice(void* cls, MHD_Connection* connection, void** context,
                      MHD_ConnectionNotificationCode code) {
    auto* door = static_cast<HttpDoor*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        const auto* client =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        auto* peer = new HttpDoor::Peer{Door::Clock::now(), info ? info->connect_fd : -1,
                                        client ? placeOf(client->client_addr) : std::string()};
        door->peers_.insert(peer);
        *context = peer;
    } else if (*context) {
        auto* peer = static_cast<HttpDoor::Peer*>(*context);
        door->peers_.erase(peer);
        delete peer;
        *context = nullptr;
    }
}

MHD_Result admit(void* cls, const sockaddr* address, socklen_t) {
    return static_cast<HttpDoor*>(cls)->mayConnect(placeOf(address)) ? MHD_YES : MHD_NO;
}

void completed(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    delete static_cast<Request*>(*state);
    *state = nullptr;
}

} // namespace

HttpDoor::HttpDoor(Instrument::Board& board, Identity identity,
                   std::function<void(std::string)> say)
    : board_(board), identity_(std::move(identity)), say_(std::move(say)) {
    const std::string seed = randomHex(sizeof nonceSeed_ / 2);
    std::memcpy(nonceSeed_, seed.data(), sizeof nonceSeed_);
}

HttpDoor::~HttpDoor() {
    if (daemon_) {
        MHD_stop_daemon(daemon_);
    }
}

bool HttpDoor::open(const ListenAddress& address, int port) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(address.host.c_str(), service.c_str(), &hints, &found) != 0) {
        say_("the web page is not served: '" + printable(address.host) + "' is no address");
        return false;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> info(found, freeaddrinfo);
    // The library's own log is left off: a client's malformed request is not
    // this server's failure, and would let anyone fill its log.
    unsigned flags = MHD_USE_EPOLL;
    if (found->ai_family == AF_INET6) {
        // [::] takes IPv4 clients too, as the SCPI doors do.
        flags |= address.host == "::" ? MHD_USE_DUAL_STACK : MHD_USE_IPv6;
    }
    daemon_ = MHD_start_daemon(
        flags, static_cast<std::uint16_t>(port), &admit, this, &handle, this,
        MHD_OPTION_SOCK_ADDR, found->ai_addr, MHD_OPTION_CONNECTION_LIMIT, connectionLimit,
        MHD_OPTION_CONNECTION_TIMEOUT,
        idleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, requestMemory, MHD_OPTION_NOTIFY_COMPLETED,
        &completed, nullptr, MHD_OPTION_DIGEST_AUTH_RANDOM, sizeof nonceSeed_, nonceSeed_,
        MHD_OPTION_NONCE_NC_SIZE, 4096u, MHD_OPTION_NOTIFY_CONNECTION, &connectionNotice, this,
        MHD_OPTION_END);
    if (!daemon_) {
        say_("the web page is not served: port " + service + " cannot be taken (" +
             errorText(errno) + ")");
        return false;
    }
    epoll_ = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD)->epoll_fd;
    // The names this instrument answers to: its own and the loopback's,
    // with the address each request came in on; any other is a page
    // elsewhere trying to reach it through a name it controls.
    hosts_ = {"localhost",
              "127.0.0.1",
              "::1",
              lower(identity_.hostname),
              lower(identity_.hostname) + ".local",
              lower(address.host)};
    say_("web page on port " + service);
    return true;
}

void HttpDoor::watch(std::vector<pollfd>& watched) {
    watched.push_back({epoll_, POLLIN, 0});
}

// Run when its descriptor is ready or its own timeout is due: the passes
// the SCPI doors make cost it nothing.
void HttpDoor::serve(const pollfd* ready) {
    dropLateRequests();
    MHD_UNSIGNED_LONG_LONG ms = 0;
    const bool due = MHD_get_timeout(daemon_, &ms) == MHD_YES && ms == 0;
    if (ready[0].revents != 0 || due || rerun_) {
        const unsigned before = connections();
        MHD_run(daemon_);
        // A run that closed connections may have left the listening socket
        // out of the epoll set (it is taken out at the connection limit and
        // put back by the next run): that run is due at once.
        rerun_ = connections() < before;
    }
}

// The library's own timeout is for silence: a request that trickles in a
// byte at a time would hold its place for hours. Its socket is shut, which
// the library then sees and closes like any other.
void HttpDoor::dropLateRequests() {
    const auto now = Clock::now();
    for (Peer* peer : peers_) {
        if (peer->fd >= 0 && now - peer->began >= requestTime) {
            ::shutdown(peer->fd, SHUT_RDWR);
            peer->fd = -1; // shut once
        }
    }
}

unsigned HttpDoor::connections() const {
    const auto* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_CURRENT_CONNECTIONS);
    return info ? info->num_connections : 0;
}

std::optional<Door::Clock::time_point> HttpDoor::nextDeadline() const {
    std::optional<Clock::time_point> nearest;
    MHD_UNSIGNED_LONG_LONG ms = 0;
    if (MHD_get_timeout(daemon_, &ms) == MHD_YES) {
        nearest = Clock::now() + std::chrono::milliseconds(ms);
    }
    for (const Peer* peer : peers_) {
        if (peer->fd >= 0 && (!nearest || peer->began + requestTime < *nearest)) {
            nearest = peer->began + requestTime;
        }
    }
    return nearest;
}

void HttpDoor::gaveNonce(const std::string& address, const std::string& nonce) {
    if (nonces_.size() >= 1024 && !nonces_.count(address)) {
        nonces_.clear(); // bounded: forgetting only spares a wrong answer its count
    }
    nonces_[address] = {nonce, Clock::now()};
}

bool HttpDoor::lastNonce(const std::string& address, const std::string& nonce) const {
    const auto found = nonces_.find(address);
    return found != nonces_.end() && found->second.first == nonce &&
           Clock::now() - found->second.second < std::chrono::seconds(60);
}

std::optional<int> HttpDoor::waitBeforeTrying(const std::string& address) const {
    const auto found = tries_.find(address);
    if (found == tries_.end() || Clock::now() >= found->second.notBefore) {
        return std::nullopt;
    }
    return static_cast<int>(
        std::chrono::ceil<std::chrono::seconds>(found->second.notBefore - Clock::now()).count());
}

void HttpDoor::passwordTried(const std::string& place, bool right) {
    const auto now = Clock::now();
    constexpr auto forgiven = std::chrono::hours(1);
    if (right) {
        tries_.erase(place);
        return;
    }
    if (tries_.size() >= 1024 && !tries_.count(place)) {
        // Bounded: the places forgiven go first, else the one free soonest.
        std::erase_if(tries_, [&](const auto& t) { return now - t.second.notBefore >= forgiven; });
        if (tries_.size() >= 1024) {
            tries_.erase(std::min_element(tries_.begin(), tries_.end(), [](const auto& a, const auto& b) {
                return a.second.notBefore < b.second.notBefore;
            }));
        }
    }
    Tries& t = tries_[place];
    if (now - t.notBefore >= forgiven) {
        t.wrong = 0;
    }
    t.wrong = std::min(t.wrong + 1, 7);
    t.notBefore = Clock::now() + std::chrono::seconds(std::min(60, 1 << (t.wrong - 1)));
}

bool HttpDoor::knownHost(const std::string& host, const std::string& localAddress) const {
    const auto name = withoutPort(host);
    return name && !name->empty() &&
           (hosts_.count(lower(*name)) > 0 || lower(*name) == lower(localAddress));
}

bool HttpDoor::mayConnect(const std::string& place) const {
    return std::count_if(peers_.begin(), peers_.end(),
                         [&](const Peer* p) { return p->place == place; }) <
           static_cast<long>(connectionsPerAddress);
}

HttpDoor::Session* HttpDoor::sessionOf(const std::function<std::string(const char*)>& header) {
    const auto found = sessions_.find(cookieValue(header("Cookie"), sessionCookie));
    if (found == sessions_.end() || Clock::now() - found->second.used >= sessionLife) {
        return nullptr;
    }
    found->second.used = Clock::now();
    return &found->second;
}

// The page, with its session's token; a browser without a session (or
// with one forgotten) is given one.
HttpDoor::Reply HttpDoor::welcome(const std::function<std::string(const char*)>& header) {
    Reply reply{200, "text/html; charset=utf-8", {}};
    Session* session = sessionOf(header);
    if (!session) {
        const auto now = Clock::now();
        std::erase_if(sessions_, [&](const auto& s) { return now - s.second.used >= sessionLife; });
        if (sessions_.size() >= sessionLimit) {
            sessions_.erase(std::min_element(
                sessions_.begin(), sessions_.end(),
                [](const auto& a, const auto& b) { return a.second.used < b.second.used; }));
        }
        const std::string id = randomHex(16);
        session = &sessions_[id];
        *session = {randomHex(16), now};
        reply.cookie = std::string(sessionCookie) + "=" + id + "; Path=/; HttpOnly; SameSite=Strict";
    }
    reply.body = welcomePage(identity_, session->token);
    return reply;
}

HttpDoor::Reply HttpDoor::answer(const std::string& method, const std::string& url,
                                 const std::function<std::string(const char*)>& header,
                                 const std::string& body, const std::string& localAddress) {
    if (!knownHost(header("Host"), localAddress)) {
        return {421,
                "text/plain; charset=utf-8",
                "This instrument does not answer to that name.\n",
                {}};
    }
    const bool reading = method == "GET" || method == "HEAD";
    if (url == "/wiper") {
        return method == "POST"
                   ? change(header, body)
                   : Reply{405, "text/plain; charset=utf-8", "A code is sent with POST.\n", "POST"};
    }
    if (!reading) {
        return {405, "text/plain; charset=utf-8", "Only reading, here.\n", "GET, HEAD"};
    }
    if (url == "/") {
        return welcome(header);
    }
    if (url == "/style.css") {
        return {200, "text/css; charset=utf-8", pageStyle, {}};
    }
    if (url == "/app.js") {
        return {200, "text/javascript; charset=utf-8", pageScript, {}};
    }
    if (url == "/state") {
        sessionOf(header); // an open page keeps its session
        return {200, "application/json", stateJson(board_), {}};
    }
    if (url == "/lxi/identification") {
        return {200, "text/xml; charset=utf-8", identificationXml(identity_), {}};
    }
    return {404, "text/plain; charset=utf-8", "Nothing here.\n", {}};
}

// A change must come from this page: its own origin (a browser says which
// page sent a request), and the token given with the page to this browser's
// session, which another site can neither read nor send.
HttpDoor::Reply HttpDoor::change(const std::function<std::string(const char*)>& header,
                                 const std::string& body) {
    const std::string self = "http://" + header("Host");
    const std::string origin = header("Origin");
    const std::string referer = header("Referer");
    const bool sameOrigin =
        origin.empty() ? referer.rfind(self + "/", 0) == 0 : lower(origin) == lower(self);
    if (!sameOrigin) {
        return {403, "text/plain; charset=utf-8", "A change must come from this page.\n", {}};
    }
    const Session* session = sessionOf(header);
    if (!session || !sameText(formField(body, "token"), session->token)) {
        return {403,
                "text/plain; charset=utf-8",
                "The page's token is missing or old: reload the page.\n",
                {}};
    }
    const auto code = readDecimal(formField(body, "code"), 127);
    if (!code) {
        return {400, "text/plain; charset=utf-8", "A code is a whole number from 0 to 127.\n", {}};
    }
    board_.send(static_cast<int>(*code));
    if (board_.lastCode != static_cast<int>(*code)) {
        return {503,
                "text/plain; charset=utf-8",
                "The frame did not reach the board: the port failed (its cause is on the "
                "server's standard error).\n",
                {}};
    }
    return {200, "text/plain; charset=utf-8", "Code " + std::to_string(*code) + " sent.\n", {}};
}
