#include "scpi/Secrets.h"

#include <nettle/hmac.h>
#include <nettle/sha2.h>
#include <sys/random.h>

#include <cerrno>
#include <map>
#include <optional>
#include <stdexcept>

namespace {

std::string hex(const unsigned char* bytes, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::string sha256(const std::string& text) {
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, text.size(), reinterpret_cast<const std::uint8_t*>(text.data()));
    unsigned char digest[SHA256_DIGEST_SIZE];
    sha256_digest(&context, sizeof digest, digest);
    return hex(digest, sizeof digest);
}

// The fields of "Digest a=b, c="d"" by name; nothing when it is not Digest
// or a quoted value does not end.
std::optional<std::map<std::string, std::string>> digestFields(const std::string& header) {
    if (header.compare(0, 7, "Digest ") != 0) {
        return std::nullopt;
    }
    std::map<std::string, std::string> fields;
    std::size_t at = 7;
    while (at < header.size()) {
        while (at < header.size() && (header[at] == ' ' || header[at] == ',')) {
            ++at;
        }
        const std::size_t equals = header.find('=', at);
        if (equals == std::string::npos) {
            break;
        }
        std::string name = header.substr(at, equals - at);
        for (char& c : name) {
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        }
        std::string value;
        at = equals + 1;
        if (at < header.size() && header[at] == '"') {
            for (++at; at < header.size() && header[at] != '"'; ++at) {
                if (header[at] == '\\' && at + 1 < header.size()) {
                    ++at;
                }
                value += header[at];
            }
            if (at >= header.size()) {
                return std::nullopt;
            }
            ++at;
        } else {
            const std::size_t end = std::min(header.find(',', at), header.size());
            value = header.substr(at, end - at);
            at = end;
        }
        fields[name] = value;
    }
    return fields;
}

} // namespace

std::string randomHex(std::size_t bytes) {
    std::string random(bytes, '\0');
    std::size_t got = 0;
    while (got < bytes) {
        const ssize_t n = ::getrandom(random.data() + got, bytes - got, 0);
        if (n < 0 && errno != EINTR) {
            throw std::runtime_error("the system gives no random numbers");
        }
        got += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return hex(reinterpret_cast<const unsigned char*>(random.data()), bytes);
}

std::string keyedHash(const std::string& key, const std::string& text) {
    hmac_sha256_ctx context;
    hmac_sha256_set_key(&context, key.size(), reinterpret_cast<const std::uint8_t*>(key.data()));
    hmac_sha256_update(&context, text.size(), reinterpret_cast<const std::uint8_t*>(text.data()));
    unsigned char digest[SHA256_DIGEST_SIZE];
    hmac_sha256_digest(&context, sizeof digest, digest);
    return hex(digest, sizeof digest);
}

bool digestAnswersWith(const std::string& authorization, const std::string& method,
                       const std::string& realm, const std::string& user,
                       const std::string& password) {
    const auto fields = digestFields(authorization);
    if (!fields) {
        return false;
    }
    const auto field = [&](const char* name) {
        const auto found = fields->find(name);
        return found == fields->end() ? std::string() : found->second;
    };
    if (field("username") != user || field("response").size() != 2 * SHA256_DIGEST_SIZE) {
        return false;
    }
    const std::string known = sha256(user + ":" + realm + ":" + password);
    const std::string request = sha256(method + ":" + field("uri"));
    // Built by appending: GCC 12 at -O3 warns falsely about a literal added
    // to a temporary string.
    std::string answer = known;
    for (const char* name : {"nonce", "nc", "cnonce", "qop"}) {
        if (std::string(name) == "nonce" || !field("qop").empty()) {
            answer += ':';
            answer += field(name);
        }
    }
    answer += ':';
    const std::string expected = sha256(answer + request);
    const std::string given = field("response");
    unsigned char differ = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const char c =
            given[i] >= 'A' && given[i] <= 'F' ? static_cast<char>(given[i] - 'A' + 'a') : given[i];
        differ |= static_cast<unsigned char>(c ^ expected[i]);
    }
    return differ == 0;
}
