#include "scpi/Vxi11Door.h"

#include "vxi11/RecordReader.h"
#include "vxi11/RpcMessage.h"

#include <arpa/inet.h>
#include <rpc/pmap_clnt.h>
#include <sys/un.h>

#include <algorithm>
#include <cstring>

using namespace vxi11;

namespace {

// A timeout in milliseconds from when its call was taken (a day at most).
Door::Clock::time_point after(Door::Clock::time_point from, unsigned long ms) {
    return from + std::chrono::milliseconds(std::min<unsigned long>(ms, 86'400'000));
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

struct Vxi11Door::Pending {
    Call call;
    Clock::time_point taken;
    Waits waits = Waits::Commands;
    std::optional<Clock::time_point> until;
};

struct Vxi11Door::Connection {
    Connection(UniqueFd socket, std::string from, bool abortChannel)
        : fd(std::move(socket)), peer(std::move(from)), abortChannel(abortChannel),
          reader(recordLimit, fragmentLimit), lastActive(Clock::now()) {}

    UniqueFd fd;
    std::string peer;
    bool abortChannel;
    RecordReader reader;
    std::string out;                  // replies not yet sent
    std::unique_ptr<Pending> pending; // the call whose reply waits
    Clock::time_point lastActive;     // bytes came, or a call was answered
    bool ended = false;               // the client shut its side: what it sent is still served
    bool gone = false;                // lost, or dropped: closed at the end of the pass
};

struct Vxi11Door::Link {
    Link(long lid, Connection* owner, Instrument::Board& board)
        : id(lid), owner(owner), session(board) {}
    long id;
    Connection* owner; // none once its connection is gone
    Session session;
    bool closing = false; // destroyed, or its connection gone: its commands finish
};

Vxi11Door::Vxi11Door(Instrument::Board& board, std::function<void(std::string)> say)
    : board_(board), say_(std::move(say)) {}

Vxi11Door::~Vxi11Door() {
    if (registered_) {
        pmap_unset(coreProgram, programVersion);
    }
}

bool Vxi11Door::open(const ListenAddress& address) {
    const auto quiet = [](const std::string&) {};
    UniqueFd core = listenOn({address.host, "0"}, say_);
    UniqueFd abort = core ? listenOn({address.host, "0"}, quiet) : UniqueFd();
    if (!core || !abort) {
        say_("VXI-11 is not served: no port for its channels; the raw socket is served alone");
        return false;
    }
    corePort_ = boundPort(core.get());
    abortPort_ = boundPort(abort.get());
    if (!rpcbindAnswers()) {
        say_("rpcbind is not running, so VXI-11 clients cannot find the instrument: the raw "
             "socket is served alone. Start it ('sudo systemctl start rpcbind', or install the "
             "rpcbind package) and restart zovrel-scpi.");
        return false;
    }
    // A port registered before is taken over only when nothing answers on it
    // any more (a run that ended without unregistering): another live server
    // keeps its clients.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (const unsigned short held = pmap_getport(&local, coreProgram, programVersion, IPPROTO_TCP);
        held != 0 && held != corePort_) {
        local.sin_port = htons(held);
        UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (probe &&
            ::connect(probe.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0) {
            say_("another program serves VXI-11 on this machine (port " + std::to_string(held) +
                 ", registered with rpcbind): the raw socket is served alone");
            return false;
        }
        pmap_unset(coreProgram, programVersion);
    }
    if (!pmap_set(coreProgram, programVersion, IPPROTO_TCP, corePort_)) {
        say_("rpcbind refused to register the VXI-11 core channel: the raw socket is served "
             "alone");
        return false;
    }
    registered_ = true;
    core_ = Listener(std::move(core));
    abort_ = Listener(std::move(abort));
    say_("VXI-11 core channel on port " + std::to_string(corePort_) + ", registered with rpcbind");
    return true;
}

void Vxi11Door::tellEveryone(const std::string& failure) {
    for (const auto& [id, link] : links_) {
        link->session.instrument.portFailed(failure);
    }
}

bool Vxi11Door::runnable() const {
    return again_ || std::any_of(links_.begin(), links_.end(), [](const auto& entry) {
               return entry.second->session.runnable();
           });
}

// A connection that holds part of a record, or a core connection that holds
// nothing at all (no link, no call, no reply), is closed once it has been
// silent for silenceLimit; one with a link and nothing partial stays.
bool Vxi11Door::closesWhenSilent(const Connection& c) const {
    if (c.reader.partial()) {
        return true;
    }
    return !c.abortChannel && !c.pending && c.out.empty() && c.reader.held() == 0 &&
           linksOf(c) == 0;
}

std::optional<Door::Clock::time_point> Vxi11Door::nextDeadline() const {
    std::optional<Clock::time_point> nearest;
    const auto consider = [&](std::optional<Clock::time_point> when) {
        if (when && (!nearest || *when < *nearest)) {
            nearest = when;
        }
    };
    consider(core_.retryAt());
    consider(abort_.retryAt());
    for (const auto& c : connections_) {
        if (c->pending) {
            consider(c->pending->until);
        }
        if (closesWhenSilent(*c)) {
            consider(c->lastActive + silenceLimit);
        }
    }
    return nearest;
}

bool Vxi11Door::reads(const Connection& c) const {
    return !c.ended && !c.gone && c.reader.room() > 0 && c.out.size() < replyLimit;
}

void Vxi11Door::watch(std::vector<pollfd>& watched) {
    watched.push_back({core_.watched(), POLLIN, 0});
    watched.push_back({abort_.watched(), POLLIN, 0});
    for (const auto& c : connections_) {
        watched.push_back(
            {c->fd.get(), short((reads(*c) ? POLLIN : 0) | (c->out.empty() ? 0 : POLLOUT)), 0});
    }
}

std::size_t Vxi11Door::linksOf(const Connection& c) const {
    return static_cast<std::size_t>(std::count_if(links_.begin(), links_.end(), [&](const auto& e) {
        return e.second->owner == &c && !e.second->closing;
    }));
}

// A link is used only through the connection that made it, and not once it
// is being destroyed (but by the destroy_link that waits for its end).
Vxi11Door::Link* Vxi11Door::ownLink(const Connection& c, const Call& call) {
    const auto found = links_.find(call.lid);
    if (found == links_.end() || found->second->owner != &c) {
        return nullptr;
    }
    return !found->second->closing || call.procedure == destroyLink ? found->second.get() : nullptr;
}

// No call is taken on the link any more; what it was sent still runs.
void Vxi11Door::finishLink(Link& link) {
    if (!link.closing) {
        link.closing = true;
        link.session.finish();
    }
}

void Vxi11Door::releaseLock(long lid) {
    if (lockHolder_ == lid) {
        lockHolder_ = 0;
        again_ = true; // a call waiting for the lock gets it now
    }
}

void Vxi11Door::lose(Connection& c, int error, const std::string& why) {
    if (c.gone) {
        return;
    }
    c.gone = true;
    if (!why.empty()) {
        say_("VXI-11 client " + c.peer + " dropped: " + why);
    } else {
        tellLost("VXI-11 client " + c.peer, error, say_);
    }
}

void Vxi11Door::readFrom(Connection& c) {
    char buffer[RecordReader::inputLimit];
    std::size_t got = 0;
    int error = 0;
    switch (receiveFrom(c.fd.get(), buffer, std::min(sizeof buffer, c.reader.room()), got, error)) {
    case Received::Data:
        c.reader.append(buffer, got);
        c.lastActive = Clock::now();
        break;
    case Received::Ended:
        c.ended = true; // the calls it sent are still answered
        break;
    case Received::Lost:
        lose(c, error);
        break;
    case Received::Nothing:
        break;
    }
}

// Takes whole records, each a call, while no call of the connection waits:
// its calls are answered in the order they came. A turn takes callsPerTurn
// at most, and none while its replies wait unsent past replyLimit.
void Vxi11Door::takeCalls(Connection& c) {
    for (int taken = 0; !c.pending && !c.gone && c.out.size() < replyLimit; ++taken) {
        if (taken == callsPerTurn) {
            again_ = true;
            return;
        }
        switch (c.reader.next()) {
        case RecordReader::Next::None:
            return;
        case RecordReader::Next::TooLong:
            return lose(c, 0,
                        "it sent an RPC record longer than " + std::to_string(recordLimit) +
                            " bytes");
        case RecordReader::Next::TooManyFragments:
            return lose(c, 0,
                        "it cut an RPC record into more than " + std::to_string(fragmentLimit) +
                            " fragments");
        case RecordReader::Next::Record:
            dispatch(c, c.reader.record());
            break;
        }
    }
}

void Vxi11Door::dispatch(Connection& c, const std::string& record) {
    const auto header = rpc::readCallHeader(record);
    if (!header) {
        return lose(c, 0, "it sent something that is not an RPC call");
    }
    if (header->rpcVersion != rpc::version) {
        return rpc::appendVersionMismatch(c.out, header->xid);
    }
    if (header->program != (c.abortChannel ? abortProgram : coreProgram)) {
        return rpc::appendAccepted(c.out, header->xid, rpc::Accepted::ProgramUnavailable);
    }
    if (header->programVersion != programVersion) {
        return rpc::appendAccepted(c.out, header->xid, rpc::Accepted::ProgramMismatch, {},
                                   programVersion, programVersion);
    }
    auto pending = std::make_unique<Pending>();
    pending->call.xid = header->xid;
    pending->taken = Clock::now();
    const std::string_view arguments = std::string_view(record).substr(header->argumentsAt);
    switch (decodeArguments(c.abortChannel, header->procedure, arguments, pending->call)) {
    case Decoded::NoSuchProcedure:
        return rpc::appendAccepted(c.out, header->xid, rpc::Accepted::ProcedureUnavailable);
    case Decoded::Garbage:
        return rpc::appendAccepted(c.out, header->xid, rpc::Accepted::GarbageArguments);
    case Decoded::Call:
        break;
    }
    const Outcome outcome = handle(c, *pending);
    c.lastActive = Clock::now();
    if (!outcome.answered) {
        pending->waits = outcome.waits;
        pending->until = outcome.until;
        c.pending = std::move(pending);
    }
}

Vxi11Door::Outcome Vxi11Door::handle(Connection& c, Pending& p) {
    const Call& call = p.call;
    if (call.procedure == nullProcedure) {
        replyNull(c.out, call.xid);
        return {};
    }
    if (c.abortChannel) {
        return abort(c, p);
    }
    switch (call.procedure) {
    case vxi11::createLink:
        return createLink(c, p);
    case createInterruptChannel:
    case destroyInterruptChannel:
        replyError(c.out, call, notSupported); // no interrupt channel
        return {};
    default:
        break;
    }
    Link* link = ownLink(c, call);
    if (!link) {
        replyError(c.out, call, invalidLink);
        return {};
    }
    switch (call.procedure) {
    case deviceWrite:
        return write(c, p, *link);
    case deviceRead:
        return read(c, p, *link);
    case deviceReadStb:
        return readStatusByte(c, p, *link);
    case deviceClear:
        return clear(c, p, *link);
    case deviceTrigger:
    case deviceRemote:
    case deviceLocal:
        return nothingToDo(c, p, *link);
    case deviceLock:
        return lock(c, p, *link);
    case deviceUnlock:
        return unlock(c, p, *link);
    case destroyLink:
        return destroy(c, p, *link);
    default: // device_enable_srq, device_docmd: no interrupt channel, no commands
        replyError(c.out, call, notSupported);
        return {};
    }
}

std::optional<Vxi11Door::Outcome> Vxi11Door::lockedOut(Connection& c, Pending& p, long lid,
                                                       bool wait) {
    if (lockHolder_ == 0 || lockHolder_ == lid) {
        return std::nullopt;
    }
    const auto deadline = after(p.taken, p.call.lockTimeoutMs);
    if (wait && Clock::now() < deadline) {
        return Outcome{false, Waits::Lock, deadline};
    }
    replyError(c.out, p.call, lockedByAnother);
    return Outcome{};
}

Vxi11Door::Outcome Vxi11Door::createLink(Connection& c, Pending& p) {
    std::string device = p.call.data;
    std::transform(device.begin(), device.end(), device.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    if (device != "inst0" && device != "instr0" && !device.empty()) {
        replyError(c.out, p.call, deviceNotAccessible);
        return {};
    }
    if (links_.size() >= linkLimit || linksOf(c) >= linksPerConnection) {
        replyError(c.out, p.call, outOfResources);
        return {};
    }
    if (p.call.lockDevice) {
        if (auto outcome = lockedOut(c, p, 0, true)) {
            return *outcome;
        }
    }
    const long id = nextLink_++;
    links_.emplace(id, std::make_unique<Link>(id, &c, board_));
    if (p.call.lockDevice) {
        lockHolder_ = id;
    }
    replyCreateLink(c.out, p.call.xid, id, abortPort_);
    return {};
}

Vxi11Door::Outcome Vxi11Door::write(Connection& c, Pending& p, Link& link) {
    const Call& call = p.call;
    if (auto outcome = lockedOut(c, p, link.id, call.flags & waitLockFlag)) {
        return *outcome;
    }
    Session& session = link.session;
    // END ends the program message, as a new line does.
    const bool end = (call.flags & endFlag) && (call.data.empty() || call.data.back() != '\n');
    if (session.input.room() < call.data.size() + (end ? 1 : 0)) {
        const auto deadline = after(p.taken, call.ioTimeoutMs);
        if (Clock::now() < deadline) {
            return {false, Waits::Room, deadline}; // room comes as its commands run
        }
        replyError(c.out, call, ioTimeout);
        return {};
    }
    session.receive(call.data.data(), call.data.size());
    if (end) {
        session.receive("\n", 1);
    }
    replyWrite(c.out, call.xid, static_cast<unsigned long>(call.data.size()));
    return {};
}

Vxi11Door::Outcome Vxi11Door::read(Connection& c, Pending& p, Link& link) {
    const Call& call = p.call;
    if (auto outcome = lockedOut(c, p, link.id, call.flags & waitLockFlag)) {
        return *outcome;
    }
    Session& session = link.session;
    std::string& output = session.output;
    if (output.empty()) {
        if (session.idle()) {
            session.instrument.pushError(-420, "nothing was asked before the read");
        } else if (const auto deadline = after(p.taken, call.ioTimeoutMs);
                   Clock::now() < deadline) {
            return {false, Waits::Reply, deadline}; // its commands may still answer
        }
        replyError(c.out, call, ioTimeout);
        return {};
    }
    std::size_t end = output.find('\n');
    if (call.flags & termCharSetFlag) {
        end = std::min(end, output.find(call.termChar));
    }
    std::size_t count = end == std::string::npos ? output.size() : end + 1;
    long reason = 0;
    if (count > call.requestSize) {
        count = call.requestSize;
        reason = reasonRequestCount;
    } else if (end != std::string::npos) {
        const char last = output[end];
        reason = (last == '\n' ? reasonEnd : 0) |
                 ((call.flags & termCharSetFlag) && last == call.termChar ? reasonTermChar : 0);
    }
    replyRead(c.out, call.xid, reason, std::string_view(output).substr(0, count));
    output.erase(0, count);
    return {};
}

Vxi11Door::Outcome Vxi11Door::readStatusByte(Connection& c, Pending& p, Link& link) {
    if (auto outcome = lockedOut(c, p, link.id, p.call.flags & waitLockFlag)) {
        return *outcome;
    }
    Session& session = link.session;
    replyReadStb(
        c.out, p.call.xid,
        static_cast<unsigned char>(session.instrument.statusByte(!session.output.empty())));
    return {};
}

Vxi11Door::Outcome Vxi11Door::clear(Connection& c, Pending& p, Link& link) {
    if (auto outcome = lockedOut(c, p, link.id, p.call.flags & waitLockFlag)) {
        return *outcome;
    }
    link.session.clear();
    replyError(c.out, p.call, noError);
    return {};
}

// device_trigger, device_remote, device_local: the board has no trigger and
// no front panel to lock out, so they succeed once the lock allows.
Vxi11Door::Outcome Vxi11Door::nothingToDo(Connection& c, Pending& p, Link& link) {
    if (auto outcome = lockedOut(c, p, link.id, p.call.flags & waitLockFlag)) {
        return *outcome;
    }
    replyError(c.out, p.call, noError);
    return {};
}

Vxi11Door::Outcome Vxi11Door::lock(Connection& c, Pending& p, Link& link) {
    if (auto outcome = lockedOut(c, p, link.id, p.call.flags & waitLockFlag)) {
        return *outcome;
    }
    lockHolder_ = link.id;
    replyError(c.out, p.call, noError);
    return {};
}

Vxi11Door::Outcome Vxi11Door::unlock(Connection& c, Pending& p, Link& link) {
    const bool held = lockHolder_ == link.id;
    releaseLock(link.id);
    replyError(c.out, p.call, held ? noError : noLockHeld);
    return {};
}

// Answered once every command the link was sent has run; then the link and
// its lock go.
Vxi11Door::Outcome Vxi11Door::destroy(Connection& c, Pending& p, Link& link) {
    finishLink(link);
    if (!link.session.idle()) {
        return {false, Waits::Commands, std::nullopt};
    }
    releaseLock(link.id);
    links_.erase(link.id);
    replyError(c.out, p.call, noError);
    return {};
}

// Ends what the link's connection waits for (the lock, room, a reply) with
// the abort error, in that call's own reply. A destroy_link is not ended:
// what it waits for is commands already acknowledged.
Vxi11Door::Outcome Vxi11Door::abort(Connection& c, Pending& p) {
    const auto found = links_.find(p.call.lid);
    if (found == links_.end() || found->second->closing) {
        replyError(c.out, p.call, invalidLink);
        return {};
    }
    if (Connection* owner = found->second->owner; owner && owner->pending &&
                                                  owner->pending->call.lid == p.call.lid &&
                                                  owner->pending->waits != Waits::Commands) {
        replyError(owner->out, owner->pending->call, aborted);
        owner->pending.reset(); // the calls sent after it are taken on this same pass
    }
    replyError(c.out, p.call, noError);
    return {};
}

// Closes the connections that are done: lost or dropped; shut by the client
// with every call it sent answered and sent; silent too long. Their links
// finish their commands, then go with their lock.
void Vxi11Door::closeFinished() {
    const auto now = Clock::now();
    for (std::size_t i = connections_.size(); i-- > 0;) {
        Connection& c = *connections_[i];
        if (!c.gone && closesWhenSilent(c) && now - c.lastActive >= silenceLimit) {
            const std::string silence = "silent for " + std::to_string(silenceLimit.count()) + " s";
            lose(c, 0,
                 silence +
                     (c.reader.partial() ? " in the middle of an RPC record" : " with no link"));
        }
        const bool done = c.ended && !c.pending && c.out.empty() && c.reader.held() == 0;
        if (!c.gone && !done) {
            continue;
        }
        for (auto& [id, link] : links_) {
            if (link->owner == &c) {
                link->owner = nullptr;
                finishLink(*link);
            }
        }
        if (done && !c.gone) {
            ::shutdown(c.fd.get(), SHUT_WR);
        }
        (c.abortChannel ? abort_ : core_).clientLeft();
        connections_.erase(connections_.begin() + static_cast<long>(i));
        again_ = true;
    }
}

// Links whose connection is gone go once their commands have all run.
void Vxi11Door::retireLinks() {
    for (auto it = links_.begin(); it != links_.end();) {
        Link& link = *it->second;
        if (!link.owner && link.session.idle()) {
            releaseLock(link.id);
            it = links_.erase(it);
        } else {
            ++it;
        }
    }
}

// Answers each core connection's waiting call if it can be now, then takes
// the calls that came after it.
void Vxi11Door::progress() {
    for (const auto& c : connections_) {
        if (c->abortChannel) {
            continue;
        }
        if (c->pending && !c->gone) {
            const Outcome outcome = handle(*c, *c->pending);
            if (outcome.answered) {
                c->pending.reset();
                c->lastActive = Clock::now();
            } else {
                c->pending->until = outcome.until;
                c->pending->waits = outcome.waits;
            }
        }
        takeCalls(*c);
    }
}

void Vxi11Door::serve(const pollfd* ready) {
    again_ = false;
    for (std::size_t i = 0; i < connections_.size(); ++i) {
        Connection& c = *connections_[i];
        const short events = ready[2 + i].revents;
        if (events & POLLERR) {
            lose(c, socketError(c.fd.get()));
        } else if ((events & POLLHUP) && !reads(c)) {
            lose(c, 0); // gone both ways: nothing can be read or sent
        } else if ((events & (POLLIN | POLLHUP)) && reads(c)) {
            readFrom(c);
        }
    }
    // The core channel's calls are taken first, so that an abort that came
    // with the call it ends finds it waiting; then the aborts; then the
    // turns, so that a write's commands run on this pass; then the calls
    // again, so that a read they answer, and the calls sent after an aborted
    // one, are answered on this pass too.
    progress();
    for (const auto& c : connections_) {
        if (c->abortChannel) {
            takeCalls(*c);
        }
    }
    for (const auto& [id, link] : links_) {
        link->session.runTurn();
    }
    progress();
    for (const auto& c : connections_) {
        int error = 0;
        if (!c->gone && !sendSome(c->fd.get(), c->out, error)) {
            lose(*c, error);
        }
        // Calls it sent that waited for its replies to go are taken next pass:
        // the client may send nothing more until they are answered.
        if (!c->gone && !c->pending && c->out.size() < replyLimit && c->reader.held() > 0) {
            again_ = true;
        }
    }
    closeFinished();
    retireLinks();
    for (int channel = 0; channel < 2; ++channel) {
        if ((ready[channel].revents & POLLIN) == 0) {
            continue;
        }
        const bool abortChannel = channel == 1;
        Listener& listener = abortChannel ? abort_ : core_;
        const auto open = static_cast<std::size_t>(
            std::count_if(connections_.begin(), connections_.end(),
                          [&](const auto& c) { return c->abortChannel == abortChannel; }));
        std::string peer;
        if (UniqueFd fd = listener.accept(open, connectionLimit, peer, say_)) {
            connections_.push_back(std::make_unique<Connection>(std::move(fd), peer, abortChannel));
        }
    }
}
