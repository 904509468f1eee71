#include "scpi/HttpDoor.h"

#include "port/MessageText.h"
#include "scpi/Secrets.h"
#include "scpi/Sockets.h"

#include <microhttpd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <strings.h>

namespace {

// What a request holds while its body arrives.
struct Request {
    std::string body;
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

// Every value a Cookie header ("a=1; b=2") gives a name: a page on another
// port of this host can set a cookie of the same name (cookies do not keep
// ports apart), and it may come first.
std::vector<std::string> cookieValues(const std::string& cookies, const std::string& name) {
    std::vector<std::string> values;
    std::size_t at = 0;
    while (at < cookies.size() && values.size() < 8) {
        const std::size_t end = std::min(cookies.find(';', at), cookies.size());
        std::size_t from = at;
        while (from < end && cookies[from] == ' ') {
            ++from;
        }
        if (cookies.compare(from, name.size() + 1, name + "=") == 0) {
            values.push_back(cookies.substr(from + name.size() + 1, end - from - name.size() - 1));
        }
        at = end + 1;
    }
    return values;
}

// How many times a request names a header (a request naming two hosts is
// malformed: which one is meant cannot be told).
unsigned timesNamed(MHD_Connection* connection, const char* name) {
    struct Count {
        const char* name;
        unsigned times;
    } count{name, 0};
    MHD_get_connection_values(
        connection, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char*) {
            auto* c = static_cast<Count*>(cls);
            c->times += strcasecmp(key, c->name) == 0;
            return MHD_YES;
        },
        &count);
    return count.times;
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
constexpr const char* textType = "text/plain; charset=utf-8";

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

MHD_Response* responseOf(const HttpDoor::Reply& reply) {
    MHD_Response* response = MHD_create_response_from_buffer(
        reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
    if (response) {
        secure(response, reply.type);
    }
    return response;
}

MHD_Result respond(MHD_Connection* connection, const HttpDoor::Reply& reply,
                   const std::string& retryAfter = {}) {
    MHD_Response* response = responseOf(reply);
    if (!response) {
        return MHD_NO;
    }
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

// A change on a page with a password: HTTP Digest as admin first. Nothing
// when it may go on; else the answer given. The library says no alike for a
// wrong password and for a nonce it no longer holds (worn out by others, or
// old): every answer refused counts against its place unless it shows the
// password (which nobody without it can fake), so that nobody can lock
// another out by wearing nonces out, a right one with a nonce gone is told
// to try a fresh one, and no way of putting a guess escapes the count.
std::optional<MHD_Result> passwordChecked(HttpDoor& door, MHD_Connection* connection,
                                          const std::string& authorization) {
    const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr) {
        return MHD_NO;
    }
    const std::string place = placeOf(info->client_addr, {});
    if (const auto wait = door.waitBeforeTrying(place)) {
        std::string text = "Wrong passwords: try again in ";
        text += std::to_string(*wait);
        text += " s.\n";
        return respond(connection, {429, textType, text}, std::to_string(*wait));
    }
    const int checked =
        authorization.empty()
            ? MHD_NO
            : MHD_digest_auth_check2(connection, realm, "admin", door.password().c_str(),
                                     HttpDoor::nonceSeconds, MHD_DIGEST_ALG_SHA256);
    if (checked == MHD_YES) {
        door.passwordTried(place, true);
        return std::nullopt;
    }
    const bool known = !authorization.empty() &&
                       digestAnswersWith(authorization, "POST", realm, "admin", door.password());
    if (!authorization.empty() && !known) {
        door.passwordTried(place, false);
    }
    MHD_Response* response =
        responseOf({401, textType, "Changes need the password (user admin).\n"});
    if (!response) {
        return MHD_NO;
    }
    const MHD_Result queued = MHD_queue_auth_fail_response2(
        connection, realm, realm, response, known ? MHD_YES : MHD_NO, MHD_DIGEST_ALG_SHA256);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result handleRequest(HttpDoor& door, MHD_Connection* connection, const char* url,
                         const char* method, const char* upload, std::size_t* uploadSize,
                         void** state) {
    auto* request = static_cast<Request*>(*state);
    if (!request) {
        // Answered at the next call, once the library knows the request
        // whole: an answer given now would close the connection.
        *state = new Request;
        const char* length =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
        if (length && !readDecimal(length, HttpDoor::bodyLimit)) {
            // A body past the bound is refused before it is read (and
            // before a client that asks is told to go on).
            return respond(connection, {413, textType, "The request is too long.\n"});
        }
        return MHD_YES;
    }
    if (*uploadSize > 0) {
        if (request->body.size() + *uploadSize > HttpDoor::bodyLimit) {
            return MHD_NO; // a body of no stated length past the bound: closed
        }
        request->body.append(upload, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    // The request is whole: the next one on this connection has its own time.
    door.requestWhole(connection);
    const auto header = [connection](const char* name) {
        const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
        return std::string(value ? value : "");
    };
    if (timesNamed(connection, "Host") > 1) {
        return respond(connection, {400, textType, "A request names one host.\n"});
    }
    const std::string local = localAddressOf(connection);
    // The password is asked for last, of a change that is otherwise this
    // page's own: a page elsewhere can neither prompt for it nor spend the
    // tries of the one who knows it.
    if (!door.password().empty() && std::strcmp(url, "/wiper") == 0 &&
        std::strcmp(method, "POST") == 0 && door.knownHost(header("Host"), local)) {
        if (const auto refusal = door.notFromThisPage(header, request->body)) {
            return respond(connection, *refusal);
        }
        if (const auto refused = passwordChecked(door, connection, header("Authorization"))) {
            return *refused;
        }
    }
    return respond(connection, door.answer(method, url, header, request->body, local));
}

// The library's callbacks: C frames that nothing may be thrown across. A
// request that fails to be served (out of memory) is closed.
MHD_Result handle(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char* upload, std::size_t* uploadSize, void** state) {
    try {
        return handleRequest(*static_cast<HttpDoor*>(cls), connection, url, method, upload,
                             uploadSize, state);
    } catch (...) {
        return MHD_NO;
    }
}

void connectionNotice(void* cls, MHD_Connection* connection, void**,
                      MHD_ConnectionNotificationCode code) {
    auto* door = static_cast<HttpDoor*>(cls);
    try {
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            const auto* fd = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            const auto* client =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
            door->connectionStarted(connection, fd ? fd->connect_fd : -1,
                                    client ? client->client_addr : nullptr);
            return;
        }
    } catch (...) {
        // Not timed, then: the library's own timeout still drops it when silent.
        return;
    }
    door->connectionClosed(connection);
}

void completed(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    delete static_cast<Request*>(*state);
    *state = nullptr;
}

} // namespace

HttpDoor::HttpDoor(Instrument::Board& board, IdentityFor identity,
                   std::function<void(std::string)> say)
    : board_(board), identity_(std::move(identity)), say_(std::move(say)) {}

HttpDoor::~HttpDoor() {
    if (daemon_) {
        MHD_stop_daemon(daemon_);
    }
}

bool HttpDoor::open(const ListenAddress& address, int port) {
    const std::string service = std::to_string(port);
    try {
        sessionKey_ = randomHex(32);
        const std::string seed = randomHex(sizeof nonceSeed_ / 2);
        std::memcpy(nonceSeed_, seed.data(), sizeof nonceSeed_);
    } catch (const std::runtime_error& e) {
        say_(std::string("the web page is not served: ") + e.what());
        return false;
    }
    // A backlog for a burst of browsers' connections while one is served.
    listener_ = Listener(listenOn({address.host, service}, say_, 64));
    if (listener_.fd() < 0) {
        say_("the web page is not served");
        return false;
    }
    // The library's own log is left off: a client's malformed request is not
    // this server's failure, and would let anyone fill its log. Its limit
    // leaves room for connections shut to make room but not yet closed.
    errno = 0;
    daemon_ = MHD_start_daemon(
        MHD_USE_EPOLL | MHD_USE_NO_LISTEN_SOCKET, 0, nullptr, nullptr, &handle, this,
        MHD_OPTION_CONNECTION_LIMIT, 2 * connectionLimit, MHD_OPTION_CONNECTION_TIMEOUT,
        idleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, requestMemory, MHD_OPTION_NOTIFY_COMPLETED,
        &completed, nullptr, MHD_OPTION_DIGEST_AUTH_RANDOM, sizeof nonceSeed_, nonceSeed_,
        MHD_OPTION_NONCE_NC_SIZE, noncesHeld, MHD_OPTION_NOTIFY_CONNECTION, &connectionNotice, this,
        MHD_OPTION_END);
    const auto* epoll = daemon_ ? MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
    if (!epoll) {
        std::string why = "the web page is not served: its server cannot start";
        if (errno) {
            why += " (" + errorText(errno) + ")";
        }
        say_(why);
        return false;
    }
    epoll_ = epoll->epoll_fd;
    cookieName_ = "zovrel-session-" + service;
    // The names this instrument answers to: its own and the loopback's,
    // with the address each request came in on; any other is a page
    // elsewhere trying to reach it through a name it controls.
    char host[256] = "";
    ::gethostname(host, sizeof host - 1);
    const std::string name = lower(host);
    hosts_ = {
        "localhost",        "127.0.0.1", "::1", name, name.substr(0, name.find('.')) + ".local",
        lower(address.host)};
    ownNames_ = hosts_;
    say_("web page on port " + service);
    return true;
}

void HttpDoor::answerTo(const std::string& name) {
    std::string known = lower(name);
    if (!known.empty() && known.back() == '.') {
        known.pop_back();
    }
    // A name given up (after a clash) may be another host's now.
    if (!mdnsName_.empty() && !ownNames_.count(mdnsName_)) {
        hosts_.erase(mdnsName_);
    }
    mdnsName_ = known;
    hosts_.insert(known);
}

void HttpDoor::watch(std::vector<pollfd>& watched) {
    watched.push_back({epoll_, POLLIN, 0});
    watched.push_back({listener_.watched(), POLLIN, 0});
}

// Run when its descriptor is ready or its own timeout is due: the passes
// the SCPI doors make cost it nothing.
void HttpDoor::serve(const pollfd* ready) {
    dropLateRequests();
    if (ready[1].revents != 0) {
        takeConnections();
    }
    MHD_UNSIGNED_LONG_LONG ms = 0;
    const bool due = MHD_get_timeout(daemon_, &ms) == MHD_YES && ms == 0;
    if (ready[0].revents != 0 || due || rerun_) {
        const unsigned before = connections();
        MHD_run(daemon_);
        // A run that closed connections may let the library go on with
        // others it could not serve meanwhile: that run is due at once.
        rerun_ = connections() < before;
    }
}

// The library's own timeout is for silence: a request that trickles in a
// byte at a time would hold its place for hours. Its socket is shut, which
// the library then sees and closes like any other.
void HttpDoor::dropLateRequests() {
    const auto now = Clock::now();
    for (auto& [connection, peer] : peers_) {
        if (peer.fd >= 0 && now - peer.began >= requestTime) {
            ::shutdown(peer.fd, SHUT_RDWR);
            peer.fd = -1; // shut once
        }
    }
}

// Connections waiting are taken, unless their place holds its share, and
// handed to the library (which closes one it cannot take). A few at a pass:
// each is read before more are taken, so that a crowd arriving behind a
// client cannot push it out before its request is even read.
void HttpDoor::takeConnections() {
    std::string peer;
    for (int taken = 0; taken < 4; ++taken) {
        UniqueFd fd = listener_.accept(0, 1, peer, say_);
        if (!fd) {
            break;
        }
        sockaddr_storage from{};
        socklen_t size = sizeof from;
        if (::getpeername(fd.get(), reinterpret_cast<sockaddr*>(&from), &size) != 0) {
            continue; // gone already
        }
        const std::string place = placeOf(reinterpret_cast<const sockaddr*>(&from));
        if (!mayConnect(place)) {
            if (fullPlaces_.insert(place).second) { // said once while it stays full
                say_("web page: clients from " + place + " refused while it holds " +
                     std::to_string(connectionsPerPlace) + " connections, the most from one place");
            }
            continue;
        }
        makeRoom();
        errno = 0;
        if (MHD_add_connection(daemon_, fd.release(), reinterpret_cast<const sockaddr*>(&from),
                               size) != MHD_YES) {
            if (!addFailed_) { // said once until one is taken again
                say_("web page: a client cannot be served now" +
                     (errno ? ": " + errorText(errno) : std::string()));
                addFailed_ = true;
            }
            continue;
        }
        addFailed_ = false;
        rerun_ = true; // its first bytes may have come already
    }
}

// At the limit, whoever comes next would wait until some connection ends:
// the one whose request has waited longest (a request sent in half, a
// connection kept open with nothing to ask) is shut to make room, so that
// clients holding every place cannot keep the page from anyone else.
void HttpDoor::makeRoom() {
    const auto open =
        std::count_if(peers_.begin(), peers_.end(), [](const auto& p) { return p.second.fd >= 0; });
    if (open < static_cast<long>(connectionLimit)) {
        return;
    }
    Peer* oldest = nullptr;
    for (auto& [connection, peer] : peers_) {
        if (peer.fd >= 0 && (!oldest || peer.began < oldest->began)) {
            oldest = &peer;
        }
    }
    if (oldest) {
        ::shutdown(oldest->fd, SHUT_RDWR);
        oldest->fd = -1;
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
    for (const auto& [connection, peer] : peers_) {
        if (peer.fd >= 0 && (!nearest || peer.began + requestTime < *nearest)) {
            nearest = peer.began + requestTime;
        }
    }
    if (const auto retry = listener_.retryAt(); retry && (!nearest || *retry < *nearest)) {
        nearest = retry;
    }
    return nearest;
}

void HttpDoor::connectionStarted(MHD_Connection* connection, int fd, const sockaddr* client) {
    peers_[connection] = {Clock::now(), fd, client ? placeOf(client) : std::string()};
}

void HttpDoor::connectionClosed(MHD_Connection* connection) {
    if (const auto found = peers_.find(connection); found != peers_.end()) {
        fullPlaces_.erase(found->second.place);
        peers_.erase(found);
    }
    listener_.clientLeft(); // a descriptor is free, if it was wanted
}

void HttpDoor::requestWhole(MHD_Connection* connection) {
    if (const auto found = peers_.find(connection); found != peers_.end()) {
        found->second.began = Clock::now();
    }
}

std::string HttpDoor::placeOf(const sockaddr* client) {
    // An interface's addresses change seldom; reading them at every
    // connection would cost a system call a client could make us repeat.
    if (Clock::now() - onLinkRead_ >= std::chrono::seconds(5)) {
        onLink_ = onLinkPrefixes();
        onLinkRead_ = Clock::now();
    }
    return ::placeOf(client, onLink_);
}

// Read from the kernel at most every few seconds for each address a client
// reaches: a page reloaded in a loop costs no more than one that is not.
const Identity& HttpDoor::identityFor(const std::string& localAddress) {
    const auto now = Clock::now();
    auto found = identities_.find(localAddress);
    if (found == identities_.end() || now - found->second.second >= std::chrono::seconds(5)) {
        if (identities_.size() >= 16) {
            identities_.clear(); // bounded: a machine has few addresses
        }
        identities_[localAddress] = {identity_(localAddress), now};
        found = identities_.find(localAddress);
    }
    return found->second.first;
}

bool HttpDoor::mayConnect(const std::string& place) const {
    return std::count_if(peers_.begin(), peers_.end(), [&](const auto& p) {
               return p.second.place == place;
           }) < static_cast<long>(connectionsPerPlace);
}

std::optional<int> HttpDoor::waitBeforeTrying(const std::string& place) const {
    const auto found = tries_.find(place);
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
    if (tries_.size() >= placesSlowed && !tries_.count(place)) {
        // Bounded: the places forgiven go first, else the one free soonest.
        std::erase_if(tries_, [&](const auto& t) { return now - t.second.notBefore >= forgiven; });
        if (tries_.size() >= placesSlowed) {
            tries_.erase(
                std::min_element(tries_.begin(), tries_.end(), [](const auto& a, const auto& b) {
                    return a.second.notBefore < b.second.notBefore;
                }));
        }
    }
    Tries& t = tries_[place];
    if (now - t.notBefore >= forgiven) {
        t.wrong = 0;
    }
    t.wrong = std::min(t.wrong + 1, 7);
    t.notBefore = now + std::chrono::seconds(std::min(60, 1 << (t.wrong - 1)));
}

bool HttpDoor::knownHost(const std::string& host, const std::string& localAddress) const {
    const auto name = withoutPort(host);
    return name && !name->empty() &&
           (hosts_.count(lower(*name)) > 0 || lower(*name) == lower(localAddress));
}

std::vector<std::string>
HttpDoor::sessionsOf(const std::function<std::string(const char*)>& header) const {
    std::vector<std::string> ids = cookieValues(header("Cookie"), cookieName_);
    std::erase_if(ids, [](const std::string& id) {
        return id.size() != 32 || !std::all_of(id.begin(), id.end(), [](char c) {
                   return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
               });
    });
    return ids;
}

// The page, with its session's token; a browser without a session is given
// one.
HttpDoor::Reply HttpDoor::welcome(const std::function<std::string(const char*)>& header,
                                  const std::string& localAddress) {
    Reply reply{200, "text/html; charset=utf-8", {}};
    const auto sessions = sessionsOf(header);
    std::string session = sessions.empty() ? std::string() : sessions.front();
    if (session.empty()) {
        session = randomHex(16);
        reply.cookie = cookieName_ + "=" + session + "; Path=/; HttpOnly; SameSite=Strict";
    }
    reply.body = welcomePage(identityFor(localAddress), keyedHash(sessionKey_, session), board_);
    return reply;
}

HttpDoor::Reply HttpDoor::answer(const std::string& method, const std::string& url,
                                 const std::function<std::string(const char*)>& header,
                                 const std::string& body, const std::string& localAddress) {
    if (!knownHost(header("Host"), localAddress)) {
        return {421, textType, "This instrument does not answer to that name.\n"};
    }
    const bool reading = method == "GET" || method == "HEAD";
    if (url == "/wiper") {
        return method == "POST" ? change(header, body)
                                : Reply{405, textType, "A code is sent with POST.\n", "POST"};
    }
    if (!reading) {
        return {405, textType, "Only reading, here.\n", "GET, HEAD"};
    }
    if (url == "/") {
        return welcome(header, localAddress);
    }
    if (url == "/style.css") {
        return {200, "text/css; charset=utf-8", pageStyle};
    }
    if (url == "/app.js") {
        return {200, "text/javascript; charset=utf-8", pageScript};
    }
    if (url == "/state") {
        return {200, "application/json", stateJson(board_)};
    }
    if (url == "/lxi/identification") {
        return {200, "text/xml; charset=utf-8", identificationXml(identityFor(localAddress))};
    }
    return {404, textType, "Nothing here.\n"};
}

// A change must come from this page: its own origin (a browser says which
// page sent a request), and the token given with the page to this browser's
// session, which another site can neither read nor send.
std::optional<HttpDoor::Reply>
HttpDoor::notFromThisPage(const std::function<std::string(const char*)>& header,
                          const std::string& body) const {
    std::string self = "http://";
    self += header("Host");
    const std::string origin = header("Origin");
    const std::string referer = header("Referer");
    const bool sameOrigin = origin.empty() ? lower(referer).rfind(lower(self) + "/", 0) == 0
                                           : lower(origin) == lower(self);
    if (!sameOrigin) {
        return Reply{403, textType, "A change must come from this page.\n"};
    }
    const auto sessions = sessionsOf(header);
    const std::string token = formField(body, "token");
    if (std::none_of(sessions.begin(), sessions.end(), [&](const std::string& session) {
            return sameText(token, keyedHash(sessionKey_, session));
        })) {
        return Reply{403, textType, "The page's token is missing or old: reload the page.\n"};
    }
    return std::nullopt;
}

HttpDoor::Reply HttpDoor::change(const std::function<std::string(const char*)>& header,
                                 const std::string& body) {
    if (auto refusal = notFromThisPage(header, body)) {
        return *refusal;
    }
    const auto code = readDecimal(formField(body, "code"), 127);
    if (!code) {
        return {400, textType, "A code is a whole number from 0 to 127.\n"};
    }
    board_.send(static_cast<int>(*code));
    if (board_.lastCode != static_cast<int>(*code)) {
        return {503, textType,
                "The frame did not reach the board: the port failed (its cause is on the "
                "server's standard error).\n"};
    }
    return {200, textType, "Code " + std::to_string(*code) + " sent.\n"};
}
