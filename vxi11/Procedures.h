#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// VXI-11's core and abort programs: each call's arguments decoded into a
// plain Call, and each procedure's reply encoded in its own result type.
namespace vxi11 {

inline constexpr std::uint32_t coreProgram = 0x0607AF;
inline constexpr std::uint32_t abortProgram = 0x0607B0;
inline constexpr std::uint32_t programVersion = 1;

enum Procedure : std::uint32_t {
    nullProcedure = 0,
    deviceAbort = 1, // the abort program's
    createLink = 10,
    deviceWrite = 11,
    deviceRead = 12,
    deviceReadStb = 13,
    deviceTrigger = 14,
    deviceClear = 15,
    deviceRemote = 16,
    deviceLocal = 17,
    deviceLock = 18,
    deviceUnlock = 19,
    deviceEnableSrq = 20,
    deviceDocmd = 22,
    destroyLink = 23,
    createInterruptChannel = 25,
    destroyInterruptChannel = 26,
};

// The protocol's error codes the server gives.
enum Error : std::int32_t {
    noError = 0,
    deviceNotAccessible = 3,
    invalidLink = 4,
    notSupported = 8,
    outOfResources = 9,
    lockedByAnother = 11,
    noLockHeld = 12,
    ioTimeout = 15,
    aborted = 23,
};

inline constexpr std::int32_t waitLockFlag = 1;
inline constexpr std::int32_t endFlag = 8;
inline constexpr std::int32_t termCharSetFlag = 128;
inline constexpr long reasonRequestCount = 1;
inline constexpr long reasonTermChar = 2;
inline constexpr long reasonEnd = 4;

// What create_link offers as the largest write; the largest record taken (a
// write and its header; every variable-length field is bounded by it); the
// most one device_read returns.
inline constexpr std::size_t maxRecvSize = 16 * 1024;
inline constexpr std::size_t recordLimit = maxRecvSize + 1024;
inline constexpr std::size_t readLimit = 64 * 1024;
// The most fragments one record may be cut into (empty ones count).
inline constexpr std::size_t fragmentLimit = 64;

struct Call {
    std::uint32_t xid = 0;
    std::uint32_t procedure = 0;
    long lid = 0;
    std::int32_t flags = 0;
    unsigned long lockTimeoutMs = 0;
    unsigned long ioTimeoutMs = 0;
    bool lockDevice = false;       // create_link's
    std::string data;              // device_write's bytes, create_link's device name
    unsigned long requestSize = 0; // device_read's, at most readLimit
    char termChar = 0;
};

enum class Decoded { Call, Garbage, NoSuchProcedure };

// Decodes the arguments of a call to procedure of the abort program (when
// abortChannel) or of the core program.
Decoded decodeArguments(bool abortChannel, std::uint32_t procedure, std::string_view arguments,
                        Call& call);

// Replies, appended to out as whole RPC records.
void replyError(std::string& out, const Call& call, std::int32_t error); // in the call's own type
void replyNull(std::string& out, std::uint32_t xid);
void replyCreateLink(std::string& out, std::uint32_t xid, long lid, unsigned short abortPort);
void replyWrite(std::string& out, std::uint32_t xid, unsigned long size);
void replyRead(std::string& out, std::uint32_t xid, long reason, std::string_view data);
void replyReadStb(std::string& out, std::uint32_t xid, unsigned char stb);

} // namespace vxi11
