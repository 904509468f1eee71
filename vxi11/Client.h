#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vxi11/RpcMessage.h"

// The calls a VXI-11 controller makes, each a whole RPC record to send, and
// what their replies say: the portmapper's GETPORT, then create_link,
// device_write, device_read and destroy_link on the core channel.
namespace vxi11::client {

inline constexpr std::uint16_t portmapperPort = 111;

std::string getPort(std::uint32_t xid);
std::string createLink(std::uint32_t xid, const std::string& device);
std::string write(std::uint32_t xid, long lid, unsigned long ioTimeoutMs, std::string_view data);
std::string read(std::uint32_t xid, long lid, unsigned long ioTimeoutMs);
std::string destroyLink(std::uint32_t xid, long lid);

// A reply's results, read field by field.
using Results = rpc::Words;
// The xid the record replies to, if it is a reply at all.
std::optional<std::uint32_t> replyTo(std::string_view record);
// Its results; nothing when it is not an accepted, successful reply to xid.
std::optional<Results> resultsOf(std::string_view record, std::uint32_t xid);

} // namespace vxi11::client
