#pragma once

#include "instrument/Session.h"
#include "scpi/Door.h"
#include "scpi/Sockets.h"
#include "setup/CommandLine.h"
#include "vxi11/Procedures.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// The VXI-11 door: ONC RPC over TCP, as VISA opens TCPIP::host::INSTR. A core
// channel (links, writes, reads, the status byte, clear, locks) and an abort
// channel, both served in the server's poll loop without waiting. Each
// procedure has a handler that answers its call or says what the call waits
// for (the lock, room for its bytes, a reply, its link's commands) and until
// when, so that the loop sleeps until then or until work arrives. Each link
// is a Session of its own; every command a write was acknowledged for runs,
// in order, whatever becomes of its link or connection. The core channel is
// registered with the system's rpcbind, so that clients find it through the
// portmapper.
//
// Bounds: 32 connections on each channel, 64 links (16 a connection),
// records of vxi11::recordLimit bytes in at most vxi11::fragmentLimit
// fragments; a connection is not read from while 64 KiB of its replies wait
// unsent, and holds at most RecordReader::inputLimit bytes of input besides
// the record being served; one silent for 30 s in the middle of a record,
// or on the core channel with no link, is closed.
class Vxi11Door : public Door {
public:
    static constexpr std::size_t connectionLimit = 32; // on each channel
    static constexpr std::size_t linkLimit = 64;
    static constexpr std::size_t linksPerConnection = 16;
    static constexpr std::size_t replyLimit = 64 * 1024;
    static constexpr int callsPerTurn = 32;
    static constexpr auto silenceLimit = std::chrono::seconds(30);

    Vxi11Door(Instrument::Board& board, std::function<void(std::string)> say);
    ~Vxi11Door() override;

    // Listens on the host of address (ports of its own choosing) and
    // registers with rpcbind; false, having said why once, when VXI-11
    // cannot be served (no rpcbind): the raw socket is then served alone.
    bool open(const ListenAddress& address);
    unsigned short corePort() const { return corePort_; }

    void watch(std::vector<pollfd>& watched) override;
    void serve(const pollfd* ready) override;
    bool runnable() const override;
    std::optional<Clock::time_point> nextDeadline() const override;
    void tellEveryone(const std::string& failure) override;

private:
    struct Connection;
    struct Link;
    struct Pending;
    // What a waiting call waits for; only the first three can be aborted.
    enum class Waits { Lock, Room, Reply, Commands };
    // What a handler did with its call: answered it, or it waits for
    // something, until a deadline (none: only work brings what it waits for).
    struct Outcome {
        bool answered = true;
        Waits waits = Waits::Commands;
        std::optional<Clock::time_point> until;
    };

    // One handler a procedure.
    Outcome handle(Connection& c, Pending& p);
    Outcome createLink(Connection& c, Pending& p);
    Outcome write(Connection& c, Pending& p, Link& link);
    Outcome read(Connection& c, Pending& p, Link& link);
    Outcome readStatusByte(Connection& c, Pending& p, Link& link);
    Outcome clear(Connection& c, Pending& p, Link& link);
    Outcome nothingToDo(Connection& c, Pending& p, Link& link);
    Outcome lock(Connection& c, Pending& p, Link& link);
    Outcome unlock(Connection& c, Pending& p, Link& link);
    Outcome destroy(Connection& c, Pending& p, Link& link);
    Outcome abort(Connection& c, Pending& p);
    // The outcome when another link holds the lock: the call waits for it
    // until its lock timeout (when it asked to wait) or fails.
    std::optional<Outcome> lockedOut(Connection& c, Pending& p, long lid, bool wait);

    bool reads(const Connection& c) const;
    void readFrom(Connection& c);
    void takeCalls(Connection& c);
    void progress();
    void dispatch(Connection& c, const std::string& record);
    void lose(Connection& c, int error, const std::string& why = {});
    bool closesWhenSilent(const Connection& c) const;
    void closeFinished();
    void retireLinks();
    void finishLink(Link& link);
    void releaseLock(long lid);
    std::size_t linksOf(const Connection& c) const;
    Link* ownLink(const Connection& c, const vxi11::Call& call);

    Instrument::Board& board_;
    std::function<void(std::string)> say_;
    Listener core_;
    Listener abort_;
    unsigned short corePort_ = 0;
    unsigned short abortPort_ = 0;
    bool registered_ = false;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::map<long, std::unique_ptr<Link>> links_;
    long nextLink_ = 1;
    long lockHolder_ = 0; // the link that holds the device's lock; 0: none
    bool again_ = false;  // a pass is due without waiting for an event
};
