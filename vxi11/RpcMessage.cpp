#include "vxi11/RpcMessage.h"

namespace rpc {
namespace {

constexpr std::uint32_t callDirection = 0;
constexpr std::uint32_t replyDirection = 1;
constexpr std::uint32_t lastFragment = 0x80000000u;

// Reads the XDR fields of a record in order; any read past its end fails
// every later one.
class Fields {
public:
    explicit Fields(std::string_view data) : data_(data) {}
    bool word(std::uint32_t& value) {
        if (data_.size() - at_ < 4) {
            return false;
        }
        const auto* b = reinterpret_cast<const unsigned char*>(data_.data() + at_);
        value = (std::uint32_t(b[0]) << 24) | (std::uint32_t(b[1]) << 16) |
                (std::uint32_t(b[2]) << 8) | b[3];
        at_ += 4;
        return true;
    }
    // An authenticator: its flavour and opaque body, padded to four bytes.
    bool authenticator() {
        std::uint32_t flavour = 0;
        std::uint32_t length = 0;
        if (!word(flavour) || !word(length) || length > credentialsLimit) {
            return false;
        }
        const std::size_t padded = (std::size_t(length) + 3) & ~std::size_t(3);
        if (data_.size() - at_ < padded) {
            return false;
        }
        at_ += padded;
        return true;
    }
    std::size_t at() const { return at_; }

private:
    std::string_view data_;
    std::size_t at_ = 0;
};

void put(std::string& out, std::uint32_t value) {
    const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    out.append(bytes, 4);
}

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
    Fields fields(record);
    CallHeader header;
    std::uint32_t direction = 0;
    if (!fields.word(header.xid) || !fields.word(direction) || direction != callDirection ||
        !fields.word(header.rpcVersion)) {
        return std::nullopt;
    }
    if (header.rpcVersion != version) {
        return header;
    }
    if (!fields.word(header.program) || !fields.word(header.programVersion) ||
        !fields.word(header.procedure) || !fields.authenticator() || !fields.authenticator()) {
        return std::nullopt;
    }
    header.argumentsAt = fields.at();
    return header;
}

void appendAccepted(std::string& out, std::uint32_t xid, Accepted status, std::string_view results,
                    std::uint32_t lowVersion, std::uint32_t highVersion) {
    const std::size_t markAt = out.size();
    put(out, 0);
    put(out, xid);
    put(out, replyDirection);
    put(out, 0); // accepted
    put(out, 0); // a null verifier
    put(out, 0);
    put(out, static_cast<std::uint32_t>(status));
    if (status == Accepted::Success) {
        out.append(results);
    } else if (status == Accepted::ProgramMismatch) {
        put(out, lowVersion);
        put(out, highVersion);
    }
    seal(out, markAt);
}

void appendVersionMismatch(std::string& out, std::uint32_t xid) {
    const std::size_t markAt = out.size();
    put(out, 0);
    put(out, xid);
    put(out, replyDirection);
    put(out, 1); // denied
    put(out, 0); // RPC_MISMATCH
    put(out, version);
    put(out, version);
    seal(out, markAt);
}

} // namespace rpc
