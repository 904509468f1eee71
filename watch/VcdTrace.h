#pragma once

#include "port/PortOutput.h"
#include "port/UniqueFd.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

// A trace that cannot be opened or written. Opening fails before the panel
// starts; a write that fails later is a failure like any port's.
class TraceError : public PortError {
public:
    using PortError::PortError;
};

// Records the data lines as a Value Change Dump: eight wires D0 to D7, one
// timestamp per word in nanoseconds since the first word, only the lines
// that changed, and a closing timestamp so that viewers show the last edge.
// Each frame goes to the file with write(2) as its closing word is recorded.
class VcdTrace {
public:
    // Refuses, as create would, a path that cannot take a trace, without
    // creating or changing anything.
    static void check(const std::filesystem::path& path);
    // Opens the regular file at path, or makes it; an existing one is replaced
    // at the first word, and left as it was by a run that writes none. Refuses
    // anything else: a folder, a device, a pipe, a folder that does not exist,
    // the program's own standard input, output or error, a file another run
    // is tracing to (an exclusive lock).
    static std::unique_ptr<VcdTrace> create(const std::filesystem::path& path,
                                            const std::string& producer);
    ~VcdTrace();
    VcdTrace(const VcdTrace&) = delete;
    VcdTrace& operator=(const VcdTrace&) = delete;

    // The word now on the data lines. A file that cannot take it is cut back
    // to the last whole frame, and TraceError says which frame was lost.
    void record(std::uint16_t word);
    // The same at a given time; times that do not advance are moved on by 1 ns.
    void recordAt(std::uint64_t nanoseconds, std::uint16_t word);
    // Writes the closing timestamp and everything still buffered, and closes
    // the file. Safe to call more than once; throws TraceError when the file
    // could not be written completely.
    void close();

    std::uint64_t words() const { return words_; }
    const std::filesystem::path& path() const { return path_; }

private:
    VcdTrace(UniqueFd fd, std::filesystem::path path, const std::string& producer, bool created);
    // Writes out what is buffered; false once writing has failed (error_ says why).
    bool flush();
    [[noreturn]] void fail();

    UniqueFd fd_;
    std::filesystem::path path_;
    std::string buffer_;
    std::uint64_t words_ = 0;
    std::uint64_t lastTime_ = 0;
    std::uint16_t lines_ = 0;
    int error_ = 0;
    bool created_ = false;
    std::uint64_t written_ = 0;     // bytes in the file
    std::uint64_t wholeBytes_ = 0;  // bytes up to the end of the last whole frame
    std::uint64_t wholeFrames_ = 0; // frames whose closing word is in the file
    std::chrono::steady_clock::time_point firstWord_;
};
