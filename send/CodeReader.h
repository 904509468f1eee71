#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

// A code as a script writes it: a whole number from 0 to 127 in decimal, with
// any leading zeros ("0064", as printf %04d writes it).
std::optional<int> readCode(std::string_view text);

// Splits what arrives on a file descriptor into whitespace-separated tokens,
// each handed out as soon as the whitespace after it (or the end) arrives, so
// that a script feeding one code at a time gets each frame at once.
class TokenReader {
public:
    enum class Status { Token, End, Interrupted, Failed };
    static constexpr std::size_t longestToken = 64; // longer ones are cut, and refused

    // waitForInput returns false when a signal came while it waited.
    TokenReader(int fd, std::function<bool()> waitForInput)
        : fd_(fd), waitForInput_(std::move(waitForInput)) {}

    // Interrupted when a signal arrived while waiting for input.
    Status next(std::string& token);
    // The line the last token stood on, counting from 1.
    int line() const { return tokenLine_; }
    // Why reading failed, as errno.
    int error() const { return error_; }

private:
    int fd_;
    std::function<bool()> waitForInput_;
    char buffer_[4096];
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool atEnd_ = false;
    int line_ = 1;
    int tokenLine_ = 1;
    std::string partial_;
    bool inToken_ = false;
    int error_ = 0;
};
