#pragma once

#include <optional>
#include <string>

// What the web page keeps secret, and how it tells a wrong password from a
// right one that came with a nonce the server no longer holds.

// Random bytes, in hexadecimal; throws std::runtime_error when the system
// gives none.
std::string randomHex(std::size_t bytes);

// HMAC-SHA-256 of text under key, in hexadecimal.
std::string keyedHash(const std::string& key, const std::string& text);

// Whether an Authorization header answers a SHA-256 Digest challenge for
// user with password (its response matches whatever nonce it names);
// nothing when it is no such answer (another scheme, user or algorithm, a
// field missing), which cannot succeed and so is no guess at the password.
std::optional<bool> digestAnswersWith(const std::string& authorization, const std::string& method,
                                      const std::string& user, const std::string& password);
