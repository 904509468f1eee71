#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// ONC RPC messages as the server meets them: a call's header read from a
// record, and replies appended to what waits to be sent, each a whole record
// of one fragment.
namespace rpc {

// XDR's big-endian words, as calls and replies are made of.
void appendWord(std::string& out, std::uint32_t value);
void appendOpaque(std::string& out, std::string_view data); // its length, then padded bytes

// Reads XDR fields in order; a read past the end fails, and every one after it.
class Words {
public:
    explicit Words(std::string_view data) : data_(data) {}
    std::optional<std::uint32_t> word();
    // A variable-length opaque of at most limit bytes.
    std::optional<std::string_view> opaque(std::size_t limit = SIZE_MAX);
    std::size_t at() const { return at_; }

private:
    std::string_view data_;
    std::size_t at_ = 0;
};

inline constexpr std::uint32_t version = 2;
inline constexpr std::size_t credentialsLimit = 400; // the most an authenticator holds

struct CallHeader {
    std::uint32_t xid = 0;
    std::uint32_t rpcVersion = 0;
    std::uint32_t program = 0;
    std::uint32_t programVersion = 0;
    std::uint32_t procedure = 0;
    std::size_t argumentsAt = 0; // where the procedure's arguments begin
};

// The header of the call in record; nothing when the record is not a call
// (too short, a reply, an authenticator longer than allowed). Of a call of
// another RPC version only the xid and that version are read.
std::optional<CallHeader> readCallHeader(std::string_view record);

enum class Accepted : std::uint32_t {
    Success = 0,
    ProgramUnavailable = 1,
    ProgramMismatch = 2,
    ProcedureUnavailable = 3,
    GarbageArguments = 4,
    SystemError = 5,
};

// An accepted reply: results (XDR-encoded) on success; the versions served
// when the program's version is not one of them.
void appendAccepted(std::string& out, std::uint32_t xid, Accepted status,
                    std::string_view results = {}, std::uint32_t lowVersion = 1,
                    std::uint32_t highVersion = 1);
// A call of another RPC version, denied with the one this server speaks.
void appendVersionMismatch(std::string& out, std::uint32_t xid);

} // namespace rpc
