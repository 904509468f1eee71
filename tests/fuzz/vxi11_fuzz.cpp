// libFuzzer: bytes as a VXI-11 client sends them, in pieces, cut into RPC
// records, each decoded as a call and its arguments as every procedure's.
// Whatever arrives, what is held stays bounded, nothing decoded passes the
// record's bounds, and every reply made for a call is one whole record.
#include "vxi11/Procedures.h"
#include "vxi11/RecordReader.h"
#include "vxi11/RpcMessage.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

constexpr std::uint32_t everyProcedure[] = {vxi11::nullProcedure,
                                            vxi11::deviceAbort,
                                            vxi11::createLink,
                                            vxi11::deviceWrite,
                                            vxi11::deviceRead,
                                            vxi11::deviceReadStb,
                                            vxi11::deviceTrigger,
                                            vxi11::deviceClear,
                                            vxi11::deviceRemote,
                                            vxi11::deviceLocal,
                                            vxi11::deviceLock,
                                            vxi11::deviceUnlock,
                                            vxi11::deviceEnableSrq,
                                            vxi11::deviceDocmd,
                                            vxi11::destroyLink,
                                            vxi11::createInterruptChannel,
                                            vxi11::destroyInterruptChannel,
                                            99};

// One whole record of one fragment, its mark giving its length.
void requireRecord(const std::string& out) {
    require(out.size() >= 4);
    const auto* mark = reinterpret_cast<const unsigned char*>(out.data());
    require((mark[0] & 0x80) != 0);
    require(((std::size_t(mark[0] & 0x7F) << 24) | (std::size_t(mark[1]) << 16) |
             (std::size_t(mark[2]) << 8) | mark[3]) == out.size() - 4);
}

void decodeEveryWay(const std::string& record) {
    const auto header = rpc::readCallHeader(record);
    if (!header || header->rpcVersion != rpc::version) {
        return;
    }
    require(header->argumentsAt <= record.size());
    const std::string_view arguments = std::string_view(record).substr(header->argumentsAt);
    for (const bool abortChannel : {false, true}) {
        for (const std::uint32_t procedure : everyProcedure) {
            vxi11::Call call;
            call.xid = header->xid;
            if (vxi11::decodeArguments(abortChannel, procedure, arguments, call) !=
                vxi11::Decoded::Call) {
                continue;
            }
            require(call.data.size() <= vxi11::recordLimit);
            require(call.requestSize <= vxi11::readLimit);
            // Every reply the server could give it, each one whole record.
            const std::string_view data = std::string_view(call.data).substr(
                0, std::min<std::size_t>(call.requestSize, call.data.size()));
            const auto replies = {
                +[](std::string& out, const vxi11::Call& c, std::string_view) {
                    vxi11::replyError(out, c, vxi11::ioTimeout);
                },
                +[](std::string& out, const vxi11::Call& c, std::string_view d) {
                    vxi11::replyRead(out, c.xid, vxi11::reasonEnd, d);
                },
                +[](std::string& out, const vxi11::Call& c, std::string_view) {
                    vxi11::replyCreateLink(out, c.xid, c.lid, 1024);
                },
                +[](std::string& out, const vxi11::Call& c, std::string_view) {
                    rpc::appendAccepted(out, c.xid, rpc::Accepted::ProgramMismatch);
                },
            };
            for (const auto reply : replies) {
                std::string out;
                reply(out, call, data);
                requireRecord(out);
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte sets the size of the pieces the rest arrives in.
    const std::size_t piece = 1 + data[0] % 64;
    RecordReader reader(vxi11::recordLimit, vxi11::fragmentLimit);
    for (std::size_t at = 1; at < size;) {
        const std::size_t n = std::min<std::size_t>({piece, size - at, reader.room()});
        if (n == 0) {
            break;
        }
        reader.append(reinterpret_cast<const char*>(data + at), n);
        at += n;
        require(reader.held() <= RecordReader::inputLimit);
        for (;;) {
            const auto next = reader.next();
            if (next == RecordReader::Next::None) {
                break;
            }
            if (next != RecordReader::Next::Record) {
                return 0; // refused: the stream ends there
            }
            require(reader.record().size() <= vxi11::recordLimit);
            decodeEveryWay(reader.record());
        }
    }
    return 0;
}
