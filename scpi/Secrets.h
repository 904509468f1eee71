#pragma once

#include <string>

// What the web page keeps secret, and how it tells a wrong password from a
// right one that came with a nonce the server no longer holds.

// Random bytes, in hexadecimal; throws std::runtime_error when the system
// gives none.
std::string randomHex(std::size_t bytes);

// HMAC-SHA-256 of text under key, in hexadecimal.
std::string keyedHash(const std::string& key, const std::string& text);

// Whether an Authorization header answers a SHA-256 Digest challenge of
// realm for user with password (its response matches whatever nonce it
// names); false for anything else.
bool digestAnswersWith(const std::string& authorization, const std::string& method,
                       const std::string& realm, const std::string& user,
                       const std::string& password);
