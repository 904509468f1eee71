#include "vxi11/Procedures.h"

#include "vxi11.h"
#include "vxi11/RpcMessage.h"

#include <algorithm>

namespace vxi11 {

static_assert(recordLimit == VXI11_RECORD_LIMIT && readLimit == VXI11_READ_LIMIT,
              "the interface definition bounds its fields by the same limits");

namespace {

// An XDR decode's value, freed with what it allocated when it goes.
template <typename T> struct Holder {
    explicit Holder(xdrproc_t routine) : routine(routine) {}
    ~Holder() { xdr_free(routine, reinterpret_cast<char*>(&value)); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    T value{};
    xdrproc_t routine;
};

template <typename T> xdrproc_t routine(bool_t (*xdr)(XDR*, T*)) {
    return reinterpret_cast<xdrproc_t>(xdr);
}

// Decodes arguments as T with xdr, and hands the value to take.
template <typename T, typename Take>
bool decode(std::string_view arguments, bool_t (*xdr)(XDR*, T*), Take take) {
    XDR xdrs;
    xdrmem_create(&xdrs, const_cast<char*>(arguments.data()), static_cast<u_int>(arguments.size()),
                  XDR_DECODE);
    Holder<T> holder(routine(xdr));
    const bool decoded = xdr(&xdrs, &holder.value);
    xdr_destroy(&xdrs);
    if (decoded) {
        take(holder.value);
    }
    return decoded;
}

void timeouts(Call& call, long lid, std::int32_t flags, unsigned long lockMs, unsigned long ioMs) {
    call.lid = lid;
    call.flags = flags;
    call.lockTimeoutMs = lockMs;
    call.ioTimeoutMs = ioMs;
}

Decoded decodeCore(std::uint32_t procedure, std::string_view arguments, Call& call) {
    bool decoded = false;
    const auto generic = [&](const Device_GenericParms& p) {
        timeouts(call, p.lid, p.flags, p.lock_timeout, p.io_timeout);
    };
    const auto link = [&](Device_Link lid) { call.lid = lid; };
    switch (procedure) {
    case createLink:
        decoded = decode(arguments, xdr_Create_LinkParms, [&](const Create_LinkParms& p) {
            call.lockDevice = p.lockDevice;
            call.lockTimeoutMs = p.lock_timeout;
            call.data = p.device ? p.device : "";
        });
        break;
    case deviceWrite:
        decoded = decode(arguments, xdr_Device_WriteParms, [&](const Device_WriteParms& p) {
            timeouts(call, p.lid, p.flags, p.lock_timeout, p.io_timeout);
            call.data.assign(p.data.data_val, p.data.data_len);
        });
        break;
    case deviceRead:
        decoded = decode(arguments, xdr_Device_ReadParms, [&](const Device_ReadParms& p) {
            timeouts(call, p.lid, p.flags, p.lock_timeout, p.io_timeout);
            call.requestSize = std::min<unsigned long>(p.requestSize, readLimit);
            call.termChar = p.termChar;
        });
        break;
    case deviceReadStb:
    case deviceTrigger:
    case deviceClear:
    case deviceRemote:
    case deviceLocal:
        decoded = decode(arguments, xdr_Device_GenericParms, generic);
        break;
    case deviceLock:
        decoded = decode(arguments, xdr_Device_LockParms, [&](const Device_LockParms& p) {
            timeouts(call, p.lid, p.flags, p.lock_timeout, 0);
        });
        break;
    case deviceUnlock:
    case destroyLink:
        decoded = decode(arguments, xdr_Device_Link, link);
        break;
    case deviceEnableSrq:
        decoded = decode(arguments, xdr_Device_EnableSrqParms,
                         [&](const Device_EnableSrqParms& p) { call.lid = p.lid; });
        break;
    case deviceDocmd:
        decoded = decode(arguments, xdr_Device_DocmdParms,
                         [&](const Device_DocmdParms& p) { call.lid = p.lid; });
        break;
    case createInterruptChannel:
        decoded = decode(arguments, xdr_Device_RemoteFunc, [](const Device_RemoteFunc&) {});
        break;
    case destroyInterruptChannel:
    case nullProcedure:
        decoded = true;
        break;
    default:
        return Decoded::NoSuchProcedure;
    }
    return decoded ? Decoded::Call : Decoded::Garbage;
}

// Encodes a result with xdr and appends it as a successful reply; payload:
// the bytes of data it carries beyond its fixed fields.
template <typename T>
void reply(std::string& out, std::uint32_t xid, bool_t (*xdr)(XDR*, T*), T& result,
           std::size_t payload = 0) {
    std::string encoded(payload + 64, '\0');
    XDR xdrs;
    xdrmem_create(&xdrs, encoded.data(), static_cast<u_int>(encoded.size()), XDR_ENCODE);
    const bool done = xdr(&xdrs, &result);
    encoded.resize(done ? xdr_getpos(&xdrs) : 0);
    xdr_destroy(&xdrs);
    // A result that would not encode (a field past its bound) is the
    // server's own fault, told as such rather than as a success with nothing.
    rpc::appendAccepted(out, xid, done ? rpc::Accepted::Success : rpc::Accepted::SystemError,
                        encoded);
}

template <typename T>
void replyFailure(std::string& out, std::uint32_t xid, bool_t (*xdr)(XDR*, T*),
                  std::int32_t error) {
    T result{};
    result.error = error;
    reply(out, xid, xdr, result);
}

} // namespace

Decoded decodeArguments(bool abortChannel, std::uint32_t procedure, std::string_view arguments,
                        Call& call) {
    call.procedure = procedure;
    if (!abortChannel) {
        return decodeCore(procedure, arguments, call);
    }
    if (procedure == nullProcedure) {
        return Decoded::Call;
    }
    if (procedure != deviceAbort) {
        return Decoded::NoSuchProcedure;
    }
    return decode(arguments, xdr_Device_Link, [&](Device_Link lid) { call.lid = lid; })
               ? Decoded::Call
               : Decoded::Garbage;
}

void replyError(std::string& out, const Call& call, std::int32_t error) {
    switch (call.procedure) {
    case createLink:
        return replyFailure(out, call.xid, xdr_Create_LinkResp, error);
    case deviceWrite:
        return replyFailure(out, call.xid, xdr_Device_WriteResp, error);
    case deviceRead:
        return replyFailure(out, call.xid, xdr_Device_ReadResp, error);
    case deviceReadStb:
        return replyFailure(out, call.xid, xdr_Device_ReadStbResp, error);
    case deviceDocmd:
        return replyFailure(out, call.xid, xdr_Device_DocmdResp, error);
    default:
        return replyFailure(out, call.xid, xdr_Device_Error, error);
    }
}

void replyNull(std::string& out, std::uint32_t xid) {
    rpc::appendAccepted(out, xid, rpc::Accepted::Success);
}

void replyCreateLink(std::string& out, std::uint32_t xid, long lid, unsigned short abortPort) {
    Create_LinkResp result{noError, lid, abortPort, maxRecvSize};
    reply(out, xid, xdr_Create_LinkResp, result);
}

void replyWrite(std::string& out, std::uint32_t xid, unsigned long size) {
    Device_WriteResp result{noError, size};
    reply(out, xid, xdr_Device_WriteResp, result);
}

void replyRead(std::string& out, std::uint32_t xid, long reason, std::string_view data) {
    Device_ReadResp result{};
    result.error = noError;
    result.reason = reason;
    result.data.data_val = const_cast<char*>(data.data());
    result.data.data_len = static_cast<u_int>(data.size());
    reply(out, xid, xdr_Device_ReadResp, result, data.size());
}

void replyReadStb(std::string& out, std::uint32_t xid, unsigned char stb) {
    Device_ReadStbResp result{noError, stb};
    reply(out, xid, xdr_Device_ReadStbResp, result);
}

} // namespace vxi11
