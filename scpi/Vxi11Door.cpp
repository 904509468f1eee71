#include "scpi/Vxi11Door.h"

#include "port/MessageText.h"
#include "scpi/Sockets.h"
#include "vxi11.h"

#include <arpa/inet.h>
#include <rpc/pmap_clnt.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// VXI-11's error codes and flags.
constexpr std::int32_t noError = 0;
constexpr std::int32_t deviceNotAccessible = 3;
constexpr std::int32_t invalidLink = 4;
constexpr std::int32_t notSupported = 8;
constexpr std::int32_t outOfResources = 9;
constexpr std::int32_t lockedByAnother = 11;
constexpr std::int32_t noLockHeld = 12;
constexpr std::int32_t ioTimeout = 15;
constexpr std::int32_t aborted = 23;
constexpr std::int32_t waitLock = 1;
constexpr std::int32_t endFlag = 8;
constexpr std::int32_t termCharSet = 128;
constexpr long reasonRequestCount = 1;
constexpr long reasonTermChar = 2;
constexpr long reasonEnd = 4;

// Frees what an XDR decode allocated when the value goes.
template <typename T> struct Decoded {
    explicit Decoded(xdrproc_t proc) : proc(proc) {}
    ~Decoded() { xdr_free(proc, reinterpret_cast<char*>(&value)); }
    Decoded(const Decoded&) = delete;
    Decoded& operator=(const Decoded&) = delete;
    T value{};
    xdrproc_t proc;
};

// A timeout in milliseconds from now, as a deadline (a day at the most).
Door::Clock::time_point after(unsigned long ms) {
    return Door::Clock::now() + std::chrono::milliseconds(std::min<unsigned long>(ms, 86'400'000));
}

// Whether rpcbind takes connections on its local socket (a socket file left
// by one that stopped takes none).
bool rpcbindAnswers() {
    for (const char* path : {"/run/rpcbind.sock", "/var/run/rpcbind.sock"}) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
        UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (probe &&
            ::connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

struct Vxi11Door::Call {
    std::uint32_t xid = 0;
    std::uint32_t procedure = 0;
    long lid = 0;
    std::int32_t flags = 0;
    Clock::time_point lockDeadline;
    Clock::time_point ioDeadline;
    std::string data; // device_write's bytes
    unsigned long requestSize = 0;
    char termChar = 0;

    void takeLink(long link, std::int32_t given, unsigned long lockMs, unsigned long ioMs) {
        lid = link;
        flags = given;
        lockDeadline = after(lockMs);
        ioDeadline = after(ioMs);
    }
};

struct Vxi11Door::Connection {
    UniqueFd fd;
    std::string peer;
    bool abortChannel = false;
    std::string in;                // bytes read, not yet taken as records
    std::string record;            // the fragments of the record being read
    std::string out;               // replies not yet sent
    std::unique_ptr<Call> waiting; // the call whose reply waits
    bool closed = false;
};

struct Vxi11Door::Link {
    Link(long lid, Connection* owner, Instrument::Board& board)
        : id(lid), connection(owner), session(board) {}
    long id;
    Connection* connection;
    Session session;
};

namespace {

// Sends one reply as a whole RPC record: accepted, with result (payload: the
// bytes of data it carries), or the RPC-level error given.
void sendReply(std::string& out, std::uint32_t xid, xdrproc_t proc, void* result,
               accept_stat status = SUCCESS, std::size_t payload = 0) {
    std::string buffer(payload + 512, '\0');
    XDR xdrs;
    xdrmem_create(&xdrs, buffer.data() + 4, static_cast<u_int>(buffer.size() - 4), XDR_ENCODE);
    rpc_msg reply{};
    reply.rm_xid = xid;
    reply.rm_direction = REPLY;
    reply.rm_reply.rp_stat = MSG_ACCEPTED;
    reply.acpted_rply.ar_verf = _null_auth;
    reply.acpted_rply.ar_stat = status;
    if (status == SUCCESS) {
        reply.acpted_rply.ar_results.where = static_cast<caddr_t>(result);
        reply.acpted_rply.ar_results.proc = proc;
    } else if (status == PROG_MISMATCH) {
        reply.acpted_rply.ar_vers.low = 1;
        reply.acpted_rply.ar_vers.high = 1;
    }
    if (!xdr_replymsg(&xdrs, &reply)) {
        return;
    }
    const std::uint32_t length = xdr_getpos(&xdrs);
    xdr_destroy(&xdrs);
    const std::uint32_t mark = htonl(0x80000000u | length);
    std::memcpy(buffer.data(), &mark, 4);
    out.append(buffer, 0, 4 + length);
}

void sendError(std::string& out, std::uint32_t xid, std::int32_t error) {
    Device_Error result{error};
    sendReply(out, xid, reinterpret_cast<xdrproc_t>(xdr_Device_Error), &result);
}

// A reply of type Result that carries only an error.
template <typename Result>
void sendFailure(std::string& out, std::uint32_t xid, bool_t (*encode)(XDR*, Result*),
                 std::int32_t error) {
    Result result{};
    result.error = error;
    sendReply(out, xid, reinterpret_cast<xdrproc_t>(encode), &result);
}

// Answers a call with an error, in the reply its procedure has.
void failCall(std::string& out, const Vxi11Door::Call& call, std::int32_t error) {
    switch (call.procedure) {
    case create_link:
        return sendFailure(out, call.xid, xdr_Create_LinkResp, error);
    case device_write:
        return sendFailure(out, call.xid, xdr_Device_WriteResp, error);
    case device_read:
        return sendFailure(out, call.xid, xdr_Device_ReadResp, error);
    case device_readstb:
        return sendFailure(out, call.xid, xdr_Device_ReadStbResp, error);
    case device_docmd:
        return sendFailure(out, call.xid, xdr_Device_DocmdResp, error);
    default:
        return sendFailure(out, call.xid, xdr_Device_Error, error);
    }
}

} // namespace

Vxi11Door::Vxi11Door(Instrument::Board& board, std::function<void(std::string)> say)
    : board_(board), say_(std::move(say)) {}

Vxi11Door::~Vxi11Door() {
    if (registered_) {
        pmap_unset(DEVICE_CORE, DEVICE_CORE_VERSION);
    }
}

bool Vxi11Door::open(const ListenAddress& address) {
    const auto quiet = [](const std::string&) {};
    core_ = listenOn({address.host, "0"}, say_);
    abort_ = core_ ? listenOn({address.host, "0"}, quiet) : UniqueFd();
    if (!core_ || !abort_) {
        say_("VXI-11 is not served: no port for its channels; the raw socket is served alone");
        return false;
    }
    corePort_ = boundPort(core_.get());
    abortPort_ = boundPort(abort_.get());
    if (!rpcbindAnswers()) {
        say_("rpcbind is not running, so VXI-11 clients cannot find the instrument: the raw "
             "socket is served alone. Start it ('sudo systemctl start rpcbind', or install the "
             "rpcbind package) and restart zovrel-scpi.");
        core_.reset();
        abort_.reset();
        return false;
    }
    // A port registered before is taken over only when nothing answers on it
    // any more (a run that ended without unregistering): another live server
    // keeps its clients.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (const unsigned short held =
            pmap_getport(&local, DEVICE_CORE, DEVICE_CORE_VERSION, IPPROTO_TCP)) {
        local.sin_port = htons(held);
        UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (probe &&
            ::connect(probe.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0) {
            say_("another program serves VXI-11 on this machine (port " + std::to_string(held) +
                 ", registered with rpcbind): the raw socket is served alone");
            core_.reset();
            abort_.reset();
            return false;
        }
        pmap_unset(DEVICE_CORE, DEVICE_CORE_VERSION);
    }
    if (!pmap_set(DEVICE_CORE, DEVICE_CORE_VERSION, IPPROTO_TCP, corePort_)) {
        say_("rpcbind refused to register the VXI-11 core channel: the raw socket is served "
             "alone");
        core_.reset();
        abort_.reset();
        return false;
    }
    registered_ = true;
    say_("VXI-11 core channel on port " + std::to_string(corePort_) + ", registered with rpcbind");
    return true;
}

void Vxi11Door::tellEveryone(const std::string& failure) {
    for (const auto& [id, link] : links_) {
        link->session.instrument.portFailed(failure);
    }
}

bool Vxi11Door::runnable() const {
    return std::any_of(links_.begin(), links_.end(),
                       [](const auto& entry) { return entry.second->session.runnable(); });
}

std::optional<Door::Clock::time_point> Vxi11Door::nextDeadline() const {
    std::optional<Clock::time_point> nearest;
    for (const auto& c : connections_) {
        if (c->waiting) {
            const auto when = std::min(c->waiting->lockDeadline, c->waiting->ioDeadline);
            nearest = nearest ? std::min(*nearest, when) : when;
        }
    }
    return nearest;
}

void Vxi11Door::watch(std::vector<pollfd>& watched) {
    watched.push_back({core_.get(), POLLIN, 0});
    watched.push_back({abort_.get(), POLLIN, 0});
    for (const auto& c : connections_) {
        const bool read = c->in.size() < recordLimit + 4;
        watched.push_back(
            {c->fd.get(), short((read ? POLLIN : 0) | (c->out.empty() ? 0 : POLLOUT)), 0});
    }
}

Vxi11Door::Link* Vxi11Door::linkOf(const Connection& connection, long lid) {
    const auto found = links_.find(lid);
    return found != links_.end() && found->second->connection == &connection ? found->second.get()
                                                                             : nullptr;
}

void Vxi11Door::destroyLink(long lid) {
    if (lockHolder_ == lid) {
        lockHolder_ = 0;
    }
    links_.erase(lid);
}

void Vxi11Door::readFrom(Connection& c) {
    char buffer[16 * 1024];
    const std::size_t room = recordLimit + 4 - std::min(c.in.size(), recordLimit + 4);
    const ssize_t n = ::recv(c.fd.get(), buffer, std::min(sizeof buffer, room), 0);
    if (n > 0) {
        c.in.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        if (n < 0 && errno != ECONNRESET) {
            say_("VXI-11 client " + c.peer + " lost: " + errorText(errno));
        }
        c.closed = true;
    }
}

// Takes whole records, each a call, while no call waits for its reply: a
// client's calls are answered in the order they came.
void Vxi11Door::takeRecords(Connection& c) {
    while (!c.waiting && !c.closed && c.in.size() >= 4) {
        std::uint32_t mark = 0;
        std::memcpy(&mark, c.in.data(), 4);
        mark = ntohl(mark);
        const std::size_t length = mark & 0x7FFFFFFFu;
        if (c.record.size() + length > recordLimit) {
            say_("VXI-11 client " + c.peer + " dropped: it sent an RPC record longer than " +
                 std::to_string(recordLimit) + " bytes");
            c.closed = true;
            return;
        }
        if (c.in.size() < 4 + length) {
            return;
        }
        c.record.append(c.in, 4, length);
        c.in.erase(0, 4 + length);
        if (mark & 0x80000000u) {
            const std::string record = std::move(c.record);
            c.record.clear();
            dispatch(c, record);
        }
    }
}

void Vxi11Door::dispatch(Connection& c, const std::string& record) {
    XDR xdrs;
    xdrmem_create(&xdrs, const_cast<char*>(record.data()), static_cast<u_int>(record.size()),
                  XDR_DECODE);
    rpc_msg call{};
    char credentials[MAX_AUTH_BYTES];
    char verifier[MAX_AUTH_BYTES];
    call.rm_call.cb_cred.oa_base = credentials;
    call.rm_call.cb_verf.oa_base = verifier;
    if (!xdr_callmsg(&xdrs, &call) || call.rm_direction != CALL) {
        say_("VXI-11 client " + c.peer + " dropped: it sent something that is not an RPC call");
        c.closed = true;
        return;
    }
    const std::uint32_t xid = call.rm_xid;
    if (call.rm_call.cb_rpcvers != RPC_MSG_VERSION) {
        c.closed = true; // it speaks another RPC: nothing it reads would make sense
        return;
    }
    const rpcprog_t program = c.abortChannel ? DEVICE_ASYNC : DEVICE_CORE;
    if (call.rm_call.cb_prog != program) {
        sendReply(c.out, xid, nullptr, nullptr, PROG_UNAVAIL);
        return;
    }
    if (call.rm_call.cb_vers != 1) {
        sendReply(c.out, xid, nullptr, nullptr, PROG_MISMATCH);
        return;
    }
    auto taken = std::make_unique<Call>();
    Call& a = *taken;
    a.xid = xid;
    a.procedure = static_cast<std::uint32_t>(call.rm_call.cb_proc);
    a.lockDeadline = a.ioDeadline = Clock::now();
    // Each call's arguments, decoded into what attempt() needs.
    const auto decode = [&](auto& holder, auto&& take) {
        if (!holder.proc(&xdrs, &holder.value)) {
            return false;
        }
        take(holder.value);
        return true;
    };
    const auto generic = [&](const Device_GenericParms& p) {
        a.takeLink(p.lid, p.flags, p.lock_timeout, p.io_timeout);
    };
    bool decoded = false;
    if (c.abortChannel) {
        Decoded<Device_Link> p(reinterpret_cast<xdrproc_t>(xdr_Device_Link));
        decoded = a.procedure == device_abort && decode(p, [&](Device_Link lid) { a.lid = lid; });
    } else {
        switch (a.procedure) {
        case create_link: {
            Decoded<Create_LinkParms> p(reinterpret_cast<xdrproc_t>(xdr_Create_LinkParms));
            decoded = decode(p, [&](const Create_LinkParms& v) {
                a.flags = v.lockDevice ? waitLock : 0;
                a.lockDeadline = after(v.lock_timeout);
                a.data = v.device ? v.device : "";
                a.lid = v.lockDevice ? -1 : 0; // -1: the new link is to take the lock
            });
            break;
        }
        case device_write: {
            Decoded<Device_WriteParms> p(reinterpret_cast<xdrproc_t>(xdr_Device_WriteParms));
            decoded = decode(p, [&](const Device_WriteParms& v) {
                a.takeLink(v.lid, v.flags, v.lock_timeout, v.io_timeout);
                a.data.assign(v.data.data_val, v.data.data_len);
            });
            break;
        }
        case device_read: {
            Decoded<Device_ReadParms> p(reinterpret_cast<xdrproc_t>(xdr_Device_ReadParms));
            decoded = decode(p, [&](const Device_ReadParms& v) {
                a.takeLink(v.lid, v.flags, v.lock_timeout, v.io_timeout);
                a.requestSize = std::min<unsigned long>(v.requestSize, readLimit);
                a.termChar = v.termChar;
            });
            break;
        }
        case device_readstb:
        case device_trigger:
        case device_clear:
        case device_remote:
        case device_local: {
            Decoded<Device_GenericParms> p(reinterpret_cast<xdrproc_t>(xdr_Device_GenericParms));
            decoded = decode(p, generic);
            break;
        }
        case device_lock: {
            Decoded<Device_LockParms> p(reinterpret_cast<xdrproc_t>(xdr_Device_LockParms));
            decoded = decode(p, [&](const Device_LockParms& v) {
                a.takeLink(v.lid, v.flags, v.lock_timeout, 0);
            });
            break;
        }
        case device_unlock:
        case destroy_link: {
            Decoded<Device_Link> p(reinterpret_cast<xdrproc_t>(xdr_Device_Link));
            decoded = decode(p, [&](Device_Link lid) { a.lid = lid; });
            break;
        }
        case device_enable_srq: {
            Decoded<Device_EnableSrqParms> p(
                reinterpret_cast<xdrproc_t>(xdr_Device_EnableSrqParms));
            decoded = decode(p, [&](const Device_EnableSrqParms& v) { a.lid = v.lid; });
            break;
        }
        case device_docmd: {
            Decoded<Device_DocmdParms> p(reinterpret_cast<xdrproc_t>(xdr_Device_DocmdParms));
            decoded = decode(p, [&](const Device_DocmdParms& v) { a.lid = v.lid; });
            break;
        }
        case create_intr_chan: {
            Decoded<Device_RemoteFunc> p(reinterpret_cast<xdrproc_t>(xdr_Device_RemoteFunc));
            decoded = decode(p, [](const Device_RemoteFunc&) {});
            break;
        }
        case destroy_intr_chan:
            decoded = true;
            break;
        default:
            sendReply(c.out, xid, nullptr, nullptr, PROC_UNAVAIL);
            return;
        }
    }
    if (!decoded) {
        sendReply(c.out, xid, nullptr, nullptr, GARBAGE_ARGS);
        return;
    }
    if (!attempt(c, a)) {
        c.waiting = std::move(taken);
    }
}

// Whether another link's lock keeps this call waiting; error set when it
// is to fail now instead (no waiting asked for, or the lock timeout passed).
bool Vxi11Door::lockBlocks(const Call& call, std::int32_t& error) const {
    error = noError;
    if (lockHolder_ == 0 || lockHolder_ == call.lid) {
        return false;
    }
    if ((call.flags & waitLock) && Clock::now() < call.lockDeadline) {
        return true;
    }
    error = lockedByAnother;
    return false;
}

// Answers the call if it can be answered now; false while it must wait.
bool Vxi11Door::attempt(Connection& c, Call& call) {
    const auto now = Clock::now();
    if (c.abortChannel) {
        // Ends what the link's connection waits for, with the abort error.
        const auto found = links_.find(call.lid);
        if (found == links_.end()) {
            sendError(c.out, call.xid, invalidLink);
            return true;
        }
        Connection& owner = *found->second->connection;
        if (owner.waiting) {
            failCall(owner.out, *owner.waiting, aborted);
            owner.waiting.reset();
        }
        sendError(c.out, call.xid, noError);
        return true;
    }
    std::int32_t error = noError;
    if (call.procedure == create_link) {
        std::string device = call.data;
        std::transform(device.begin(), device.end(), device.begin(), ::tolower);
        Create_LinkResp result{};
        result.abortPort = abortPort_;
        result.maxRecvSize = maxRecvSize;
        const std::size_t owned = static_cast<std::size_t>(
            std::count_if(links_.begin(), links_.end(),
                          [&](const auto& e) { return e.second->connection == &c; }));
        if (device != "inst0" && device != "instr0" && !device.empty()) {
            result.error = deviceNotAccessible;
        } else if (links_.size() >= linkLimit || owned >= linksPerConnection) {
            result.error = outOfResources;
        } else if (call.lid == -1 && lockHolder_ != 0) {
            if (now < call.lockDeadline) {
                return false;
            }
            result.error = lockedByAnother;
        } else {
            const long id = nextLink_++;
            links_.emplace(id, std::make_unique<Link>(id, &c, board_));
            if (call.lid == -1) {
                lockHolder_ = id;
            }
            result.lid = id;
        }
        sendReply(c.out, call.xid, reinterpret_cast<xdrproc_t>(xdr_Create_LinkResp), &result);
        return true;
    }
    if (call.procedure == create_intr_chan || call.procedure == destroy_intr_chan) {
        sendError(c.out, call.xid, notSupported);
        return true;
    }
    Link* link = linkOf(c, call.lid);
    if (!link) {
        failCall(c.out, call, invalidLink);
        return true;
    }
    Session& session = link->session;
    const bool locked = call.procedure != device_unlock && call.procedure != destroy_link &&
                        call.procedure != device_enable_srq && call.procedure != device_docmd &&
                        lockBlocks(call, error);
    switch (call.procedure) {
    case device_write: {
        Device_WriteResp result{error, 0};
        if (locked) {
            return false;
        }
        const bool end = (call.flags & endFlag) && (call.data.empty() || call.data.back() != '\n');
        if (error == noError && session.input.room() < call.data.size() + (end ? 1 : 0)) {
            if (now < call.ioDeadline) {
                return false; // room comes as its commands run
            }
            result.error = ioTimeout;
        } else if (error == noError) {
            session.receive(call.data.data(), call.data.size());
            if (end) {
                session.receive("\n", 1); // END ends the program message
            }
            result.size = static_cast<u_long>(call.data.size());
        }
        sendReply(c.out, call.xid, reinterpret_cast<xdrproc_t>(xdr_Device_WriteResp), &result);
        return true;
    }
    case device_read: {
        Device_ReadResp result{};
        result.error = error;
        std::string taken;
        if (locked) {
            return false;
        }
        if (error == noError && session.output.empty()) {
            if (!session.idle() && now < call.ioDeadline) {
                return false; // a reply may still come from commands that wait to run
            }
            if (session.idle()) {
                session.instrument.pushError(-420, "nothing was asked before the read");
            }
            result.error = ioTimeout;
        } else if (error == noError) {
            std::size_t end = session.output.find('\n');
            if (call.flags & termCharSet) {
                end = std::min(end, session.output.find(call.termChar));
            }
            std::size_t count = end == std::string::npos ? session.output.size() : end + 1;
            result.reason = 0;
            if (count > call.requestSize) {
                count = call.requestSize;
                result.reason = reasonRequestCount;
            } else if (end != std::string::npos) {
                const char last = session.output[end];
                result.reason =
                    (last == '\n' ? reasonEnd : 0) |
                    ((call.flags & termCharSet) && last == call.termChar ? reasonTermChar : 0);
            }
            taken = session.output.substr(0, count);
            session.output.erase(0, count);
            result.data.data_val = taken.data();
            result.data.data_len = static_cast<u_int>(taken.size());
        }
        sendReply(c.out, call.xid, reinterpret_cast<xdrproc_t>(xdr_Device_ReadResp), &result,
                  SUCCESS, taken.size());
        return true;
    }
    case device_readstb: {
        if (locked) {
            return false;
        }
        Device_ReadStbResp result{error, 0};
        if (error == noError) {
            result.stb =
                static_cast<u_char>(session.instrument.statusByte(!session.output.empty()));
        }
        sendReply(c.out, call.xid, reinterpret_cast<xdrproc_t>(xdr_Device_ReadStbResp), &result);
        return true;
    }
    case device_clear:
    case device_trigger: // the board has no trigger: nothing to do
    case device_remote:  // nor a front panel to lock out
    case device_local:
        if (locked) {
            return false;
        }
        if (error == noError && call.procedure == device_clear) {
            session.clear();
        }
        sendError(c.out, call.xid, error);
        return true;
    case device_lock:
        if (locked) {
            return false;
        }
        if (error == noError) {
            lockHolder_ = link->id;
        }
        sendError(c.out, call.xid, error);
        return true;
    case device_unlock:
        if (lockHolder_ == link->id) {
            lockHolder_ = 0;
            sendError(c.out, call.xid, noError);
        } else {
            sendError(c.out, call.xid, noLockHeld);
        }
        return true;
    case destroy_link:
        destroyLink(link->id);
        sendError(c.out, call.xid, noError);
        return true;
    case device_docmd: {
        Device_DocmdResp result{};
        result.error = notSupported;
        sendReply(c.out, call.xid, reinterpret_cast<xdrproc_t>(xdr_Device_DocmdResp), &result);
        return true;
    }
    default: // device_enable_srq: no interrupt channel
        sendError(c.out, call.xid, notSupported);
        return true;
    }
}

void Vxi11Door::close(std::size_t index) {
    Connection* gone = connections_[index].get();
    for (auto it = links_.begin(); it != links_.end();) {
        const long id = it->first;
        ++it;
        if (links_.at(id)->connection == gone) {
            destroyLink(id); // its lock goes with it
        }
    }
    connections_.erase(connections_.begin() + static_cast<long>(index));
}

void Vxi11Door::serve(const pollfd* ready) {
    for (std::size_t i = 0; i < connections_.size(); ++i) {
        Connection& c = *connections_[i];
        const short events = ready[2 + i].revents;
        if (events & POLLERR) {
            c.closed = true;
        } else if (events & (POLLIN | POLLHUP)) {
            readFrom(c);
        }
        takeRecords(c);
    }
    for (const auto& [id, link] : links_) {
        link->session.runTurn();
    }
    for (const auto& c : connections_) {
        if (c->waiting && !c->closed && attempt(*c, *c->waiting)) {
            c->waiting.reset();
            takeRecords(*c);
        }
        if (!c->out.empty() && !c->closed) {
            const ssize_t n =
                ::send(c->fd.get(), c->out.data(), c->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                c->out.erase(0, static_cast<std::size_t>(n));
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                c->closed = true;
            }
        }
    }
    for (std::size_t i = connections_.size(); i-- > 0;) {
        if (connections_[i]->closed) {
            close(i);
        }
    }
    for (int channel = 0; channel < 2; ++channel) {
        if ((ready[channel].revents & POLLIN) == 0) {
            continue;
        }
        const bool abortChannel = channel == 1;
        const std::size_t open = static_cast<std::size_t>(
            std::count_if(connections_.begin(), connections_.end(),
                          [&](const auto& c) { return c->abortChannel == abortChannel; }));
        std::string peer;
        bool exhausted = false;
        if (UniqueFd fd =
                acceptClient(ready[channel].fd, open, connectionLimit, peer, exhausted, say_)) {
            auto c = std::make_unique<Connection>();
            c->fd = std::move(fd);
            c->peer = peer;
            c->abortChannel = abortChannel;
            connections_.push_back(std::move(c));
        }
    }
}
