#pragma once

#include "port/UniqueFd.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Standard output or error of a server that must never wait on them: what
// cannot be written now is held, up to holdLimit; past it, whole lines are
// dropped and counted, and once output moves again a line says how many.
// A pipe or terminal is written through a non-blocking descriptor of its own
// (opened afresh, so the one the program shares with its parent keeps its
// mode), a socket with non-blocking sends, a file as it is.
class StreamOutput {
public:
    static constexpr std::size_t holdLimit = 1 << 20;

    // note: how a line about dropped lines begins ("zovrel-scpi: ").
    StreamOutput(int fd, std::string note);

    // One whole line, new line included; never waits.
    void write(std::string_view line);
    // Writes what goes now, when fd() is writable.
    void flush();
    // Something is held: the server polls fd() for writing.
    bool holding() const { return start_ < held_.size() && !gone_; }
    int fd() const { return own_ ? own_.get() : fd_; }
    std::uint64_t dropped() const { return dropped_; }
    // At the end: writes what goes within the time given, then gives up.
    void finish(std::chrono::milliseconds within);

private:
    enum class Kind { File, Socket, NonBlocking, Polled };
    std::size_t writeSome(std::string_view text);

    int fd_;
    UniqueFd own_;
    Kind kind_ = Kind::File;
    std::string note_;
    std::string held_;
    std::size_t start_ = 0;
    std::uint64_t dropped_ = 0; // lines dropped and not yet told
    bool gone_ = false;         // the reader went away: nothing more is written
};
