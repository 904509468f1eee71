#include "vxi11/Client.h"

#include "vxi11/Procedures.h"
#include "vxi11/RpcMessage.h"

#include <algorithm>

namespace vxi11::client {
namespace {

constexpr std::uint32_t portmapperProgram = 100000;
constexpr std::uint32_t portmapperVersion = 2;
constexpr std::uint32_t getPortProcedure = 3;
constexpr std::uint32_t tcp = 6;

void put(std::string& out, std::uint32_t value) {
    rpc::appendWord(out, value);
}

// A call with no credentials, as one record.
std::string call(std::uint32_t xid, std::uint32_t program, std::uint32_t version,
                 std::uint32_t procedure, const std::string& arguments) {
    std::string body;
    for (const std::uint32_t word :
         {xid, 0u, rpc::version, program, version, procedure, 0u, 0u, 0u, 0u}) {
        put(body, word);
    }
    body += arguments;
    std::string record;
    put(record, 0x80000000u | static_cast<std::uint32_t>(body.size()));
    return record + body;
}

std::string core(std::uint32_t xid, std::uint32_t procedure, const std::string& arguments) {
    return call(xid, coreProgram, programVersion, procedure, arguments);
}

} // namespace

std::string getPort(std::uint32_t xid) {
    std::string arguments;
    for (const std::uint32_t word : {coreProgram, programVersion, tcp, 0u}) {
        put(arguments, word);
    }
    return call(xid, portmapperProgram, portmapperVersion, getPortProcedure, arguments);
}

std::string createLink(std::uint32_t xid, const std::string& device) {
    std::string arguments;
    put(arguments, 0); // clientId
    put(arguments, 0); // lockDevice: no
    put(arguments, 0); // lock_timeout
    rpc::appendOpaque(arguments, device);
    return core(xid, vxi11::createLink, arguments);
}

std::string write(std::uint32_t xid, long lid, unsigned long ioTimeoutMs, std::string_view data) {
    std::string arguments;
    put(arguments, static_cast<std::uint32_t>(lid));
    put(arguments, static_cast<std::uint32_t>(ioTimeoutMs));
    put(arguments, 0); // lock_timeout
    put(arguments, static_cast<std::uint32_t>(endFlag));
    rpc::appendOpaque(arguments, data);
    return core(xid, deviceWrite, arguments);
}

std::string read(std::uint32_t xid, long lid, unsigned long ioTimeoutMs) {
    std::string arguments;
    put(arguments, static_cast<std::uint32_t>(lid));
    put(arguments, static_cast<std::uint32_t>(readLimit)); // requestSize
    put(arguments, static_cast<std::uint32_t>(ioTimeoutMs));
    put(arguments, 0); // lock_timeout
    put(arguments, 0); // flags
    put(arguments, 0); // termChar
    return core(xid, deviceRead, arguments);
}

std::string destroyLink(std::uint32_t xid, long lid) {
    std::string arguments;
    put(arguments, static_cast<std::uint32_t>(lid));
    return core(xid, vxi11::destroyLink, arguments);
}

std::optional<std::uint32_t> replyTo(std::string_view record) {
    Results fields(record);
    const auto xid = fields.word();
    const auto direction = fields.word();
    return xid && direction == 1u ? xid : std::nullopt;
}

std::optional<Results> resultsOf(std::string_view record, std::uint32_t xid) {
    Results fields(record);
    if (fields.word() != xid || fields.word() != 1u || fields.word() != 0u) { // a reply, accepted
        return std::nullopt;
    }
    if (!fields.word() || !fields.opaque()) { // the verifier
        return std::nullopt;
    }
    if (fields.word() != 0u) { // SUCCESS
        return std::nullopt;
    }
    return fields;
}

} // namespace vxi11::client
