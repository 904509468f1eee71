#pragma once

#include "port/UniqueFd.h"
#include "scpi/Door.h"
#include "scpi/Session.h"
#include "setup/CommandLine.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// The VXI-11 door: ONC RPC over TCP, as VISA opens TCPIP::host::INSTR. A core
// channel (links, writes, reads, the status byte, clear, locks) and an abort
// channel, both served in the server's poll loop: the records are read and
// written without waiting, decoded with the XDR routines rpcgen made from the
// protocol's interface definition, and a call that must wait (for the lock,
// for a reply, for room) is answered later from the same loop. Each link is
// a Session of its own. The core channel is registered with the system's
// rpcbind, so that clients find it through the portmapper.
class Vxi11Door : public Door {
public:
    static constexpr std::size_t connectionLimit = 32; // on each channel
    static constexpr std::size_t linkLimit = 64;
    static constexpr std::size_t linksPerConnection = 16;
    // What create_link offers as the largest write, and the largest RPC
    // record taken (a write and its header); a larger one ends the connection.
    static constexpr std::size_t maxRecvSize = 16 * 1024;
    static constexpr std::size_t recordLimit = maxRecvSize + 1024;
    static constexpr std::size_t readLimit = 64 * 1024; // the most one device_read returns

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

    struct Call; // a call as decoded, kept while its reply waits

private:
    struct Connection;
    struct Link;

    void readFrom(Connection& connection);
    void takeRecords(Connection& connection);
    void dispatch(Connection& connection, const std::string& record);
    bool attempt(Connection& connection, Call& call);
    bool lockBlocks(const Call& call, std::int32_t& error) const;
    void close(std::size_t index);
    void destroyLink(long lid);
    Link* linkOf(const Connection& connection, long lid);

    Instrument::Board& board_;
    std::function<void(std::string)> say_;
    UniqueFd core_;
    UniqueFd abort_;
    unsigned short corePort_ = 0;
    unsigned short abortPort_ = 0;
    bool registered_ = false;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::map<long, std::unique_ptr<Link>> links_;
    long nextLink_ = 1;
    long lockHolder_ = 0; // the link that holds the device's lock; 0: none
};
