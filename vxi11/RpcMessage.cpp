#include "vxi11/RpcMessage.h"

namespace rpc {

void appendWord(std::string& out, std::uint32_t value) {
    const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    out.append(bytes, 4);
}

void appendOpaque(std::string& out, std::string_view data) {
    appendWord(out, static_cast<std::uint32_t>(data.size()));
    out.append(data);
    out.append((4 - data.size() % 4) % 4, '\0');
}

std::optional<std::uint32_t> Words::word() {
    if (data_.size() - at_ < 4) {
        at_ = data_.size();
        return std::nullopt;
    }
    const auto* b = reinterpret_cast<const unsigned char*>(data_.data() + at_);
    at_ += 4;
    return (std::uint32_t(b[0]) << 24) | (std::uint32_t(b[1]) << 16) | (std::uint32_t(b[2]) << 8) |
           b[3];
}

std::optional<std::string_view> Words::opaque(std::size_t limit) {
    const auto size = word();
    const std::size_t padded = size ? (std::size_t(*size) + 3) & ~std::size_t(3) : 0;
    if (!size || *size > limit || data_.size() - at_ < padded) {
        at_ = data_.size();
        return std::nullopt;
    }
    const std::string_view bytes = data_.substr(at_, *size);
    at_ += padded;
    return bytes;
}

namespace {

constexpr std::uint32_t callDirection = 0;
constexpr std::uint32_t replyDirection = 1;
constexpr std::uint32_t lastFragment = 0x80000000u;

// A record's mark, written once its length is known.
void seal(std::string& out, std::size_t markAt) {
    const auto length = static_cast<std::uint32_t>(out.size() - markAt - 4);
    const std::uint32_t mark = lastFragment | length;
    for (int i = 0; i < 4; ++i) {
        out[markAt + i] = char(mark >> (24 - 8 * i));
    }
}

} // namespace

std::optional<CallHeader> readCallHeader(std::string_view record) {
    Words fields(record);
    CallHeader header;
    const auto xid = fields.word();
    const auto direction = fields.word();
    const auto rpcVersion = fields.word();
    if (!rpcVersion || direction != callDirection) {
        return std::nullopt;
    }
    header.xid = *xid;
    header.rpcVersion = *rpcVersion;
    if (header.rpcVersion != version) {
        return header;
    }
    const auto program = fields.word();
    const auto programVersion = fields.word();
    const auto procedure = fields.word();
    // The credentials and the verifier: a flavour and a body each.
    const bool authenticated = fields.word() && fields.opaque(credentialsLimit) && fields.word() &&
                               fields.opaque(credentialsLimit);
    if (!procedure || !authenticated) {
        return std::nullopt;
    }
    header.program = *program;
    header.programVersion = *programVersion;
    header.procedure = *procedure;
    header.argumentsAt = fields.at();
    return header;
}

void appendAccepted(std::string& out, std::uint32_t xid, Accepted status, std::string_view results,
                    std::uint32_t lowVersion, std::uint32_t highVersion) {
    const std::size_t markAt = out.size();
    appendWord(out, 0);
    appendWord(out, xid);
    appendWord(out, replyDirection);
    appendWord(out, 0); // accepted
    appendWord(out, 0); // a null verifier
    appendWord(out, 0);
    appendWord(out, static_cast<std::uint32_t>(status));
    if (status == Accepted::Success) {
        out.append(results);
    } else if (status == Accepted::ProgramMismatch) {
        appendWord(out, lowVersion);
        appendWord(out, highVersion);
    }
    seal(out, markAt);
}

void appendVersionMismatch(std::string& out, std::uint32_t xid) {
    const std::size_t markAt = out.size();
    appendWord(out, 0);
    appendWord(out, xid);
    appendWord(out, replyDirection);
    appendWord(out, 1); // denied
    appendWord(out, 0); // RPC_MISMATCH
    appendWord(out, version);
    appendWord(out, version);
    seal(out, markAt);
}

} // namespace rpc
